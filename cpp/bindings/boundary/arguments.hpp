// Argument binding with the interpreter's rules: positional-or-keyword
// parameters with defaults, bound from a vectorcall argument list, and the
// exact-type checks of the public functions, all with the messages a Python
// function would give.
#pragma once
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace py = pybind11;

namespace lexaro::bind {

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

// fn(param), param a str: the one argument, bound and checked.
inline PyObject* one_str(const char* fn, const char* param, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const Param params[] = {{param, nullptr}};
    PyObject* a[1];
    bind_args(fn, args, nargs, kwnames, params, 1, a);
    require_str(a[0], fn, param);
    return a[0];
}

}  // namespace lexaro::bind
