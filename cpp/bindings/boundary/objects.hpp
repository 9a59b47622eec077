// Object helpers: owning references from the C API, the operations of the
// object protocol (attributes, items, calls, comparisons, iteration,
// unpacking) and the building of lists and dicts, each raising the pending
// Python error as a C++ exception so that it passes through unchanged.
#pragma once
#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace py = pybind11;

namespace lexaro::bind {

// ---------------------------------------------------------------- references

// An interned name, kept for the life of the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;
}
#define LEXARO_NAME(literal)                                          \
    ([]() -> PyObject* {                                              \
        static PyObject* name_ = ::lexaro::bind::intern(literal);     \
        return name_;                                                 \
    }())

inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }
// A new reference from the C API; NULL means a Python error is pending.
inline py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}
// A new str from UTF-8 text.
inline py::str utf8(const char* s) { return py::reinterpret_steal<py::str>(steal(PyUnicode_FromString(s)).release()); }
// The int V, made once and kept.
template <long V>
PyObject* small_int() {
    static PyObject* o = steal(PyLong_FromLong(V)).release().ptr();
    return o;
}

// ---------------------------------------------------------------- truth and comparison

// bool(o), with its errors.
inline bool truthy(PyObject* o) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) throw py::error_already_set();
    return t != 0;
}
// The value of `a <op> b` (op: Py_EQ, Py_NE, Py_LT, ...).
inline py::object rich_compare(PyObject* a, PyObject* b, int op) { return steal(PyObject_RichCompare(a, b, op)); }
// bool(a <op> b).
inline bool compare(PyObject* a, PyObject* b, int op) { return truthy(rich_compare(a, b, op).ptr()); }
// a == b the way containers test it: the same object is equal to itself
// without asking it.
inline bool equal(PyObject* a, PyObject* b) {
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}
// `needle in hay`.
inline bool contains(PyObject* hay, PyObject* needle) {
    const int r = PySequence_Contains(hay, needle);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}
// len(o).
inline Py_ssize_t size(PyObject* o) {
    const Py_ssize_t n = PyObject_Size(o);
    if (n < 0) throw py::error_already_set();
    return n;
}

// ---------------------------------------------------------------- attributes and items

inline py::object getattr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }
inline void setattr(py::handle o, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(o.ptr(), name, value) < 0) throw py::error_already_set();
}
inline int lookup_optional(PyObject* o, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    return _PyObject_LookupAttr(o, name, out);
#endif
}

// o[key].
inline py::object get_item(py::handle o, PyObject* key) { return steal(PyObject_GetItem(o.ptr(), key)); }
// d[key] = value: the dict's own store for an exact dict, else __setitem__.
inline void set_item(py::handle d, PyObject* key, PyObject* value) {
    const int r = PyDict_CheckExact(d.ptr()) ? PyDict_SetItem(d.ptr(), key, value)
                                             : PyObject_SetItem(d.ptr(), key, value);
    if (r < 0) throw py::error_already_set();
}

// ---------------------------------------------------------------- calls

// callable(*args), or with kwnames the last len(kwnames) values passed by
// keyword: callable(*positional, **dict(zip(kwnames, rest))).
inline py::object call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return steal(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()), args.size() - nkw, kwnames));
}
// callable(**dict(zip(kwnames, values))): every value by keyword.
inline py::object call_kw(PyObject* callable, PyObject* kwnames, PyObject* const* values) {
    return steal(PyObject_Vectorcall(callable, values, 0, kwnames));
}
inline py::object call_kw(PyObject* callable, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    return call_kw(callable, kwnames, values.begin());
}
// obj.name(*args), looked up on the object as a Python method call is.
template <class... A>
py::object call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* arr[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, arr, 1 + sizeof...(A), nullptr));
}

// A tuple of interned keyword names, for calls with keywords.
inline PyObject* make_kwnames(std::initializer_list<const char*> names) {
    PyObject* t = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size()))).release().ptr();
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t, i++, intern(n));
    return t;
}
template <std::size_t N>
PyObject* make_kwnames(const char* const (&names)[N]) {
    PyObject* t = steal(PyTuple_New(static_cast<Py_ssize_t>(N))).release().ptr();
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), intern(names[i]));
    return t;
}
// The keyword-name tuple of a call site, made once.
#define KWNAMES(...)                                                                  \
    ([]() -> PyObject* {                                                              \
        static PyObject* t_ = ::lexaro::bind::make_kwnames({__VA_ARGS__});            \
        return t_;                                                                    \
    }())

// The interpreter's name for a callable in call errors: "module.qualname()".
inline py::object function_str(PyObject* f) {
    PyObject* qualname = nullptr;
    if (lookup_optional(f, LEXARO_NAME("__qualname__"), &qualname) < 0) throw py::error_already_set();
    if (!qualname) return steal(PyObject_Str(f));
    py::object q = py::reinterpret_steal<py::object>(qualname);
    PyObject* module = nullptr;
    if (lookup_optional(f, LEXARO_NAME("__module__"), &module) < 0) throw py::error_already_set();
    py::object mod = py::reinterpret_steal<py::object>(module);
    if (module && module != Py_None) {
        const int ne = PyObject_RichCompareBool(module, LEXARO_NAME("builtins"), Py_NE);
        if (ne < 0) throw py::error_already_set();
        if (ne) return steal(PyUnicode_FromFormat("%S.%S()", module, qualname));
    }
    return steal(PyUnicode_FromFormat("%S()", qualname));
}

// f(**mapping), with the interpreter's error for something not a mapping.
inline py::object call_with_mapping(PyObject* f, PyObject* mapping) {
    py::object kwargs;
    if (PyDict_CheckExact(mapping)) {
        kwargs = borrow(mapping);
    } else {
        kwargs = steal(PyDict_New());
        if (PyDict_Merge(kwargs.ptr(), mapping, 1) < 0) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                py::object name = function_str(f);
                PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", name.ptr(),
                             Py_TYPE(mapping)->tp_name);
            }
            throw py::error_already_set();
        }
    }
    static PyObject* empty = steal(PyTuple_New(0)).release().ptr();
    return steal(PyObject_Call(f, empty, kwargs.ptr()));
}

// ---------------------------------------------------------------- lists and dicts

inline py::object new_list() { return steal(PyList_New(0)); }
inline py::object new_dict() { return steal(PyDict_New()); }
// list.append(item) on an exact list.
inline void append(py::handle list, PyObject* item) {
    if (PyList_Append(list.ptr(), item) < 0) throw py::error_already_set();
}
// [a, b, ...]
inline py::object list_of(std::initializer_list<PyObject*> items) {
    py::object l = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(l.ptr(), i++, borrow(item).release().ptr());
    return l;
}
// (a, b, ...)
inline py::object tuple_of(std::initializer_list<PyObject*> items) {
    py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.ptr(), i++, borrow(item).release().ptr());
    return t;
}
// {k1: v1, k2: v2, ...}, in that order.
inline py::object dict_of(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    py::object d = new_dict();
    for (const auto& [k, v] : items) set_item(d, k, v);
    return d;
}

// d[key] of a dict, or an empty object when the key is missing.
inline py::object dict_lookup(py::handle d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(v);  // empty when missing
}

// m.get(key) or m.get(key, dflt): the dict's own lookup for an exact dict,
// else whatever `get` the object has (AttributeError without one).
inline py::object mapping_get(py::handle m, PyObject* key, PyObject* dflt = nullptr) {
    if (PyDict_CheckExact(m.ptr())) {
        PyObject* v = PyDict_GetItemWithError(m.ptr(), key);
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return borrow(v ? v : (dflt ? dflt : Py_None));
    }
    return dflt ? call_method(m.ptr(), LEXARO_NAME("get"), key, dflt) : call_method(m.ptr(), LEXARO_NAME("get"), key);
}

// ---------------------------------------------------------------- iteration

// for item in seq: f(item), each item held strongly while f runs. When f
// returns bool, false ends the loop (a `break`).
template <class F>
void for_each(PyObject* seq, F&& f) {
    auto step = [&](PyObject* item) {
        if constexpr (std::is_void_v<decltype(f(item))>) {
            f(item);
            return true;
        } else {
            return static_cast<bool>(f(item));
        }
    };
    if (PyList_CheckExact(seq)) {
        // The list iterator's rule: the length is read again at every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            py::object item = borrow(PyList_GET_ITEM(seq, i));
            if (!step(item.ptr())) return;
        }
        return;
    }
    py::object it = steal(PyObject_GetIter(seq));
    while (PyObject* n = PyIter_Next(it.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(n);
        if (!step(item.ptr())) return;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

// a, b, ... = v with the interpreter's messages.
inline void unpack(PyObject* v, Py_ssize_t n, py::object* out) {
    if ((PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == n) || (PyList_CheckExact(v) && PyList_GET_SIZE(v) == n)) {
        PyObject** items = PySequence_Fast_ITEMS(v);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = borrow(items[i]);
        return;
    }
    PyObject* raw = PyObject_GetIter(v);
    if (!raw) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object it = py::reinterpret_steal<py::object>(raw);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyIter_Next(raw);
        if (!w) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            throw py::error_already_set();
        }
        out[i] = py::reinterpret_steal<py::object>(w);
    }
    py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(raw));
    if (!extra) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return;
    }
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    throw py::error_already_set();
}

}  // namespace lexaro::bind
