// Text views: a str's own buffer seen as code points of its storage width
// (1, 2 or 4 bytes), new str objects written from code points in the
// narrowest width, and the rule for running long scans without the GIL.
#pragma once
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "bindings/boundary/objects.hpp"

namespace py = pybind11;

namespace lexaro::bind {

// Length at which long scans run without the GIL (the str stays alive and
// immutable while the caller holds it).
inline constexpr std::size_t kReleaseGilAt = 1u << 16;

// f(), without the GIL when `length` (of the text it scans) reaches
// kReleaseGilAt. f must not touch Python objects.
template <class F>
decltype(auto) scan_text(std::size_t length, F&& f) {
    std::optional<py::gil_scoped_release> nogil;
    if (length >= kReleaseGilAt) nogil.emplace();
    return f();
}

// A str's UTF-8 form, cached by the str itself: valid while the str lives.
// For identifiers and field kinds, which are ASCII; text to fold or scan is
// read through the code-point views below instead.
inline std::string_view utf8_view(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw py::error_already_set();
    return std::string_view(p, static_cast<std::size_t>(n));
}

inline void ensure_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw py::error_already_set();
#else
    (void)s;
#endif
}

// Calls f(const CharT* data, std::size_t n) with the str's own buffer.
template <class F>
decltype(auto) with_view(PyObject* s, F&& f) {
    ensure_ready(s);
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    const void* d = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return f(static_cast<const std::uint8_t*>(d), n);
        case PyUnicode_2BYTE_KIND:
            return f(static_cast<const std::uint16_t*>(d), n);
        default:
            return f(static_cast<const std::uint32_t*>(d), n);
    }
}

// A new str from code points, stored in the narrowest width.
template <class CharT>
py::str str_from(const CharT* p, std::size_t n) {
    char32_t mx = 0;
    for (std::size_t i = 0; i < n; ++i) mx = std::max<char32_t>(mx, static_cast<char32_t>(p[i]));
    py::object r = steal(PyUnicode_New(static_cast<Py_ssize_t>(n), static_cast<Py_UCS4>(mx)));
    const int kind = PyUnicode_KIND(r.ptr());
    void* d = PyUnicode_DATA(r.ptr());
    if (kind == PyUnicode_1BYTE_KIND && sizeof(CharT) == 1) {
        std::memcpy(d, p, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, d, i, static_cast<Py_UCS4>(p[i]));
    }
    return py::reinterpret_steal<py::str>(r.release());
}
inline py::str str_from(const std::u32string& s) { return str_from(s.data(), s.size()); }

// A new str from n code units of one storage width (PyUnicode_1BYTE_KIND, ...).
inline py::str str_from_kind(int kind, const void* data, std::size_t n) {
    return py::reinterpret_steal<py::str>(
        steal(PyUnicode_FromKindAndData(kind, data, static_cast<Py_ssize_t>(n))).release());
}

// A new str from a generator gen(sink) that emits code points; the generator
// runs twice (measure, then fill), so no intermediate copy is made.
template <class Gen>
py::str str_from_stream(Gen&& gen) {
    std::size_t n = 0;
    char32_t mx = 0;
    gen([&](char32_t c) {
        ++n;
        if (c > mx) mx = c;
    });
    py::object r = steal(PyUnicode_New(static_cast<Py_ssize_t>(n), static_cast<Py_UCS4>(mx)));
    const int kind = PyUnicode_KIND(r.ptr());
    void* d = PyUnicode_DATA(r.ptr());
    std::size_t i = 0;
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            gen([&](char32_t c) { static_cast<std::uint8_t*>(d)[i++] = static_cast<std::uint8_t>(c); });
            break;
        case PyUnicode_2BYTE_KIND:
            gen([&](char32_t c) { static_cast<std::uint16_t*>(d)[i++] = static_cast<std::uint16_t>(c); });
            break;
        default:
            gen([&](char32_t c) { static_cast<std::uint32_t*>(d)[i++] = static_cast<std::uint32_t>(c); });
    }
    return py::reinterpret_steal<py::str>(r.release());
}
}  // namespace lexaro::bind
