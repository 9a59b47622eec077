// Text built as a Python f-string builds it:
//
//     f"Consultando CNPJ {exibido}..."      fstring<"Consultando CNPJ {}...">(exibido)
//     f"Similaridade: {sim:.0%}"            fstring<"Similaridade: {:.0%}">(sim)
//
// Each field is format(value, spec), in order from left to right, and the
// literal pieces are interned once per template. A field takes an object (a
// py::handle or a PyObject*) or a count (Py_ssize_t), shown as an int is.
#pragma once
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

#include "bindings/boundary/objects.hpp"

namespace lexaro::bind {

// The template of an f-string: its text, with "{}" or "{:spec}" where a
// field goes.
template <std::size_t N>
struct FString {
    char text[N]{};
    constexpr FString(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    constexpr std::size_t fields() const {
        std::size_t k = 0;
        for (std::size_t i = 0; i + 1 < N; ++i) k += text[i] == '{';
        return k;
    }
};

namespace detail {

// The literal pieces (K + 1, nullptr when empty) and the format specs (K,
// nullptr when none) of a template with K fields, interned.
template <std::size_t K>
struct FStringParts {
    std::array<PyObject*, K + 1> literal{};
    std::array<PyObject*, (K ? K : 1)> spec{};
};

template <std::size_t K>
FStringParts<K> split(const char* text) {
    FStringParts<K> parts;
    std::string piece;
    std::size_t field = 0;
    for (const char* p = text; *p; ++p) {
        if (*p != '{') {
            piece += *p;
            continue;
        }
        parts.literal[field] = piece.empty() ? nullptr : intern(piece.c_str());
        piece.clear();
        ++p;
        if (*p == ':') {
            std::string spec;
            for (++p; *p != '}'; ++p) spec += *p;
            parts.spec[field] = intern(spec.c_str());
        }
        ++field;  // *p is the closing '}'
    }
    parts.literal[K] = piece.empty() ? nullptr : intern(piece.c_str());
    return parts;
}

inline py::object field_value(py::handle o) { return borrow(o.ptr()); }
inline py::object field_value(PyObject* o) { return borrow(o); }
inline py::object field_value(Py_ssize_t n) { return steal(PyLong_FromSsize_t(n)); }

}  // namespace detail

template <FString T, class... A>
py::object fstring(const A&... args) {
    constexpr std::size_t K = T.fields();
    static_assert(K == sizeof...(A), "one value for each {} of the template");
    static const detail::FStringParts<K> parts = detail::split<K>(T.text);
    if constexpr (K == 0) {
        return borrow(parts.literal[0] ? parts.literal[0] : LEXARO_NAME(""));
    } else {
        py::object values[] = {detail::field_value(args)...};
        py::object shown[K];
        std::size_t count = 0;
        for (std::size_t i = 0; i < K; ++i) {
            count += (parts.literal[i] != nullptr) + 1;
            shown[i] = steal(PyObject_Format(values[i].ptr(), parts.spec[i]));
        }
        count += parts.literal[K] != nullptr;
        py::object pieces = steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
        Py_ssize_t j = 0;
        auto put = [&](PyObject* piece) { PyTuple_SET_ITEM(pieces.ptr(), j++, borrow(piece).release().ptr()); };
        for (std::size_t i = 0; i < K; ++i) {
            if (parts.literal[i]) put(parts.literal[i]);
            put(shown[i].ptr());
        }
        if (parts.literal[K]) put(parts.literal[K]);
        return steal(PyUnicode_Join(LEXARO_NAME(""), pieces.ptr()));
    }
}

}  // namespace lexaro::bind
