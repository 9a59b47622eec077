// Folding of Python text through the native core, shared by the modules.
#pragma once
#include "bindings/boundary.hpp"
#include "core/fold.hpp"

namespace lexaro::bind {

// The folded form of `s` (NFD, Mn removed, lower-cased) as a new str; with
// `strip`, leading and trailing white space (str.isspace) is removed too.
inline py::str fold_str(PyObject* s, bool strip = false) {
    return with_view(s, [&](const auto* d, std::size_t n) -> py::str {
        using CharT = std::remove_cv_t<std::remove_pointer_t<decltype(d)>>;
        if constexpr (sizeof(CharT) == 1) {
            const bool ascii = PyUnicode_IS_ASCII(s);
            std::size_t b = 0, e = n;
            if (strip) {
                // Latin-1 white space folds to itself, so strip on the input.
                while (b < e && unicode::is_space(d[b])) ++b;
                while (e > b && unicode::is_space(d[e - 1])) --e;
            }
            const std::size_t m = e - b;
            py::object r = steal(PyUnicode_New(static_cast<Py_ssize_t>(m), ascii ? 127 : 255));
            auto* out = static_cast<std::uint8_t*>(PyUnicode_DATA(r.ptr()));
            unsigned acc = 0;
            scan_text(m, [&] {
                const std::uint8_t* tab = unicode::tables::latin_fold;
                const std::uint8_t* in = d + b;
                std::size_t i = 0;
                std::uint64_t acc8 = 0;
                for (; i + 8 <= m; i += 8) {
                    const std::uint64_t w = std::uint64_t(tab[in[i]]) | std::uint64_t(tab[in[i + 1]]) << 8 |
                                            std::uint64_t(tab[in[i + 2]]) << 16 |
                                            std::uint64_t(tab[in[i + 3]]) << 24 |
                                            std::uint64_t(tab[in[i + 4]]) << 32 |
                                            std::uint64_t(tab[in[i + 5]]) << 40 |
                                            std::uint64_t(tab[in[i + 6]]) << 48 |
                                            std::uint64_t(tab[in[i + 7]]) << 56;
                    std::memcpy(out + i, &w, 8);
                    acc8 |= w;
                }
                for (; i < m; ++i) {
                    const std::uint8_t c = tab[in[i]];
                    out[i] = c;
                    acc |= c;
                }
                acc |= (acc8 & 0x8080808080808080ull) ? 0x80u : 0u;
            });
            if (!ascii && acc < 128) {
                // Every character folded into ASCII: store the result as ASCII.
                py::object a = steal(PyUnicode_New(static_cast<Py_ssize_t>(m), 127));
                std::memcpy(PyUnicode_DATA(a.ptr()), out, m);
                r = std::move(a);
            }
            return py::reinterpret_steal<py::str>(r.release());
        } else {
            if (!strip) return str_from_stream([&](auto&& sink) { text::fold_each(d, n, sink); });
            std::u32string f = text::fold_to_u32(d, n);
            std::size_t b = 0, e = f.size();
            while (b < e && unicode::is_space(f[b])) ++b;
            while (e > b && unicode::is_space(f[e - 1])) --e;
            return str_from(f.data() + b, e - b);
        }
    });
}

}  // namespace lexaro::bind
