// The boundary between the native modules and the interpreter: argument
// binding with Python's rules, exact-type checks, code-point views over str,
// late-bound module globals, printing through Python's print, and the
// trampoline that turns C++ exceptions back into Python ones.
#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace py = pybind11;

namespace lexaro::bind {

// The module's own namespace, set once at module initialisation. Globals are
// looked up here at every call, as a Python function would.
inline PyObject* g_globals = nullptr;

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

// ---------------------------------------------------------------- errors

[[noreturn]] inline void throw_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw py::error_already_set();
}

inline std::string type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

inline void require_str(PyObject* o, const char* fn, const char* param) {
    if (!PyUnicode_CheckExact(o))
        throw_type_error(std::string(fn) + "() argument '" + param + "' must be str, not " + type_name(o));
}
inline void require_str_or_none(PyObject* o, const char* fn, const char* param) {
    if (o != Py_None && !PyUnicode_CheckExact(o))
        throw_type_error(std::string(fn) + "() argument '" + param + "' must be str or None, not " +
                         type_name(o));
}
inline void require_dict(PyObject* o, const char* fn, const char* param) {
    if (!PyDict_CheckExact(o))
        throw_type_error(std::string(fn) + "() argument '" + param + "' must be dict, not " + type_name(o));
}
inline void require_list(PyObject* o, const char* fn, const char* param) {
    if (!PyList_CheckExact(o))
        throw_type_error(std::string(fn) + "() argument '" + param + "' must be list, not " + type_name(o));
}

// ---------------------------------------------------------------- arguments

struct Param {
    const char* name;
    PyObject* dflt;  // nullptr: required
};

inline std::string join_missing(const std::vector<const char*>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) s += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        s += "'";
        s += names[i];
        s += "'";
    }
    return s;
}

// Binds a vectorcall argument list to positional-or-keyword parameters, with
// the interpreter's own rules and messages. `out` receives borrowed
// references (the defaults or the caller's arguments). For methods the first
// parameter is "self" and args[0] the instance.
inline void bind_args(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const Param* params, int nparams, PyObject** out) {
    // The interpreter's order: keyword problems first, then surplus
    // positional arguments, then missing ones.
    for (int i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            for (int i = 0; i < nparams; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                // %S: the name may hold a NUL or a lone surrogate.
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fn, key);
                throw py::error_already_set();
            }
            if (out[found])
                throw_type_error(std::string(fn) + "() got multiple values for argument '" +
                                 params[found].name + "'");
            out[found] = args[nargs + k];
        }
    }
    if (nargs > nparams) {
        int nreq = 0;
        for (int i = 0; i < nparams; ++i)
            if (!params[i].dflt) ++nreq;
        std::string msg = std::string(fn) + "() takes ";
        if (nreq != nparams)
            msg += "from " + std::to_string(nreq) + " to " + std::to_string(nparams) + " positional arguments";
        else
            msg += std::to_string(nparams) + (nparams == 1 ? " positional argument" : " positional arguments");
        msg += " but " + std::to_string(nargs) + (nargs == 1 ? " was given" : " were given");
        throw_type_error(msg);
    }
    std::vector<const char*> missing;
    for (int i = 0; i < nparams; ++i) {
        if (!out[i]) {
            if (params[i].dflt)
                out[i] = params[i].dflt;
            else
                missing.push_back(params[i].name);
        }
    }
    if (!missing.empty()) {
        throw_type_error(std::string(fn) + "() missing " + std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument: " : "arguments: ") + join_missing(missing));
    }
}

// bind_args for a method: `self` bound as the first parameter, so the
// messages count it as the interpreter does.
inline void bind_method(const char* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, const Param* params, int nparams, PyObject** out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* small[16];
    std::vector<PyObject*> big;
    PyObject** buf = small;
    if (1 + nargs + nkw > 16) {
        big.resize(static_cast<std::size_t>(1 + nargs + nkw));
        buf = big.data();
    }
    buf[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) buf[1 + i] = args[i];
    bind_args(fn, buf, nargs + 1, kwnames, params, nparams, out);
}

// ---------------------------------------------------------------- objects

inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }
// A new reference from the C API; NULL means a Python error is pending.
inline py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}
// bool(o), with its errors.
inline bool truthy(PyObject* o) {
    const int t = PyObject_IsTrue(o);
    if (t < 0) throw py::error_already_set();
    return t != 0;
}
inline py::object getattr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }
inline void set_item(py::handle d, PyObject* key, PyObject* value) {
    const int r = PyDict_CheckExact(d.ptr()) ? PyDict_SetItem(d.ptr(), key, value)
                                             : PyObject_SetItem(d.ptr(), key, value);
    if (r < 0) throw py::error_already_set();
}
// obj.name(*args), looked up on the object as a Python method call is.
template <class... A>
py::object call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* arr[] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, arr, 1 + sizeof...(A), nullptr));
}

// m.get(key) or m.get(key, dflt): the dict's own lookup for an exact dict,
// else whatever `get` the object has (AttributeError without one).
inline py::object mapping_get(py::handle m, PyObject* key, PyObject* dflt = nullptr) {
    if (PyDict_CheckExact(m.ptr())) {
        PyObject* v = PyDict_GetItemWithError(m.ptr(), key);
        if (v) return borrow(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return borrow(dflt ? dflt : Py_None);
    }
    return dflt ? call_method(m.ptr(), LEXARO_NAME("get"), key, dflt) : call_method(m.ptr(), LEXARO_NAME("get"), key);
}

// A tuple of interned keyword names, for vectorcalls with keywords.
inline PyObject* make_kwnames(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t, i++, intern(n));
    return t;
}
template <std::size_t N>
PyObject* make_kwnames(const char* const (&names)[N]) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(N));
    if (!t) throw py::error_already_set();
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), intern(names[i]));
    return t;
}
// The keyword-name tuple of a call site, made once.
#define KWNAMES(...)                                                                  \
    ([]() -> PyObject* {                                                              \
        static PyObject* t_ = ::lexaro::bind::make_kwnames({__VA_ARGS__});            \
        return t_;                                                                    \
    }())

inline int lookup_optional(PyObject* o, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    return _PyObject_LookupAttr(o, name, out);
#endif
}

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
    static PyObject* empty = [] {
        PyObject* t = PyTuple_New(0);
        if (!t) throw py::error_already_set();
        return t;
    }();
    return steal(PyObject_Call(f, empty, kwargs.ptr()));
}

// ---------------------------------------------------------------- globals

// The interpreter's builtins, which a module's functions fall back to (not
// those of whichever frame happens to call in).
inline PyObject* builtins_dict() {
    static PyObject* d = [] {
        PyObject* m = PyImport_AddModule("builtins");  // borrowed, lives as long as the interpreter
        if (!m) throw py::error_already_set();
        return PyModule_GetDict(m);
    }();
    return d;
}

// LOAD_GLOBAL: the module namespace, then the builtins, else NameError.
inline py::object global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_globals, name);
    if (!v) {
        if (PyErr_Occurred()) throw py::error_already_set();
        v = PyDict_GetItemWithError(builtins_dict(), name);
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            throw py::error_already_set();
        }
    }
    return py::reinterpret_borrow<py::object>(v);
}

inline py::object call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
    PyObject* r = PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                      args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0), kwnames);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// print(*args) or print(*args, end=end) through the module's `print`.
inline void print(std::initializer_list<PyObject*> args) {
    py::object p = global(LEXARO_NAME("print"));
    call(p.ptr(), args);
}
inline void print_end(PyObject* arg, PyObject* end) {
    py::object p = global(LEXARO_NAME("print"));
    static PyObject* kw = [] {
        PyObject* t = PyTuple_Pack(1, intern("end"));
        if (!t) throw py::error_already_set();
        return t;
    }();
    call(p.ptr(), {arg, end}, kw);
}

// ---------------------------------------------------------------- text

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
    PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(n), static_cast<Py_UCS4>(mx));
    if (!r) throw py::error_already_set();
    const int kind = PyUnicode_KIND(r);
    void* d = PyUnicode_DATA(r);
    if (kind == PyUnicode_1BYTE_KIND && sizeof(CharT) == 1) {
        std::memcpy(d, p, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, d, i, static_cast<Py_UCS4>(p[i]));
    }
    return py::reinterpret_steal<py::str>(r);
}
inline py::str str_from(const std::u32string& s) { return str_from(s.data(), s.size()); }

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
    PyObject* r = PyUnicode_New(static_cast<Py_ssize_t>(n), static_cast<Py_UCS4>(mx));
    if (!r) throw py::error_already_set();
    const int kind = PyUnicode_KIND(r);
    void* d = PyUnicode_DATA(r);
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
    return py::reinterpret_steal<py::str>(r);
}

// ---------------------------------------------------------------- functions

using FastImpl = py::object (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The C entry point for a FastImpl: C++ exceptions become Python ones on
// purpose (a pending Python error passes through untouched).
template <FastImpl Impl>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        return Impl(self, args, nargs, kwnames).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::length_error&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    return nullptr;
}

#define LEXARO_METHOD(pyname, impl, doc)                                                                   \
    PyMethodDef {                                                                                          \
        pyname, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                           \
                    &::lexaro::bind::trampoline<impl>)),                                                   \
            METH_FASTCALL | METH_KEYWORDS, doc                                                             \
    }

// Binds a module-level function (its __self__ is the module, so it finds the
// module namespace) and returns it.
inline py::object add_function(py::module_& m, PyMethodDef* def) {
    PyObject* f = PyCFunction_NewEx(def, m.ptr(), m.attr("__name__").ptr());
    if (!f) throw py::error_already_set();
    py::object fn = py::reinterpret_steal<py::object>(f);
    m.attr(def->ml_name) = fn;
    return fn;
}

// Adds a method to a class made by type(); the descriptor binds like a method.
inline void add_method(py::handle cls, PyMethodDef* def) {
    PyObject* d = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def);
    if (!d) throw py::error_already_set();
    py::object descr = py::reinterpret_steal<py::object>(d);
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) < 0) throw py::error_already_set();
}

// True when `found` is the module's own native function of this name.
inline bool is_native(PyObject* found, PyMethodDef* def) {
    return PyCFunction_Check(found) && reinterpret_cast<PyCFunctionObject*>(found)->m_ml == def;
}

}  // namespace lexaro::bind

// ---------------------------------------------------------------- modules

// The module entry point. Unlike PYBIND11_MODULE it lets an error raised
// while the module body runs (a missing dependency, say) reach the importer
// as it was raised, not wrapped in another ImportError.
#define LEXARO_MODULE(name, variable)                                                              \
    static void lexaro_module_body_##name(::pybind11::module_& variable);                          \
    extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                         \
        PYBIND11_CHECK_PYTHON_VERSION                                                              \
        static PyModuleDef def_{PyModuleDef_HEAD_INIT, #name, nullptr, -1,                         \
                                nullptr, nullptr, nullptr, nullptr, nullptr};                      \
        try {                                                                                      \
            ::pybind11::detail::get_internals();                                                   \
            PyObject* raw_ = PyModule_Create(&def_);                                               \
            if (!raw_) return nullptr;                                                             \
            auto m_ = ::pybind11::reinterpret_steal<::pybind11::module_>(raw_);                    \
            lexaro_module_body_##name(m_);                                                         \
            return m_.release().ptr();                                                             \
        } catch (::pybind11::error_already_set & e_) {                                             \
            e_.restore();                                                                          \
        } catch (::pybind11::builtin_exception & e_) {                                             \
            e_.set_error();                                                                        \
        } catch (std::bad_alloc&) {                                                                \
            PyErr_NoMemory();                                                                      \
        } catch (std::exception & e_) {                                                            \
            PyErr_SetString(PyExc_ImportError, e_.what());                                         \
        }                                                                                          \
        return nullptr;                                                                            \
    }                                                                                              \
    static void lexaro_module_body_##name(::pybind11::module_& variable)
