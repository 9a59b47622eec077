// The module entry: the module's namespace and the late-bound lookup of its
// globals, `from module import name`, printing through the module's
// `print`, the functions and methods the module defines (with the trampoline
// that turns C++ exceptions back into Python ones), and the entry point.
#pragma once
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/boundary/objects.hpp"

namespace lexaro::bind {

// ---------------------------------------------------------------- namespace

// The module's own namespace, set once at module initialisation. Globals are
// looked up here at every call, as a Python function would.
inline PyObject* g_globals = nullptr;

// Makes m's __dict__ the namespace of the module's functions.
inline void set_namespace(py::module_& m) {
    PyObject* d = m.attr("__dict__").ptr();
    Py_INCREF(d);
    Py_XSETREF(g_globals, d);
}

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
    return borrow(v);
}

// ---------------------------------------------------------------- imports

// `from <module> import <names>`, with the interpreter's messages. Honours a
// replaced builtins.__import__ as the import statement does.
inline std::vector<py::object> import_from(const char* module, std::initializer_list<const char*> names) {
    py::str modname = utf8(module);
    py::object fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    {
        Py_ssize_t i = 0;
        for (const char* n : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, utf8(n).release().ptr());
    }
    PyObject* imp = PyDict_GetItemWithError(builtins_dict(), LEXARO_NAME("__import__"));
    if (!imp) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw py::error_already_set();
    }
    py::object imp_ref = borrow(imp);
    py::object mod = call(imp_ref.ptr(), {modname.ptr(), g_globals, Py_None, fromlist.ptr(), small_int<0>()});
    std::vector<py::object> out;
    out.reserve(names.size());
    for (const char* n : names) {
        py::str name = utf8(n);
        PyObject* v = PyObject_GetAttr(mod.ptr(), name.ptr());
        if (v) {
            out.push_back(py::reinterpret_steal<py::object>(v));
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        // A submodule of that name that is already imported.
        py::object modules = py::module_::import("sys").attr("modules");
        py::str full = utf8((std::string(module) + "." + n).c_str());
        if (PyObject* sub = PyObject_GetItem(modules.ptr(), full.ptr())) {
            out.push_back(py::reinterpret_steal<py::object>(sub));
            continue;
        }
        PyErr_Clear();
        PyObject* path = PyModule_Check(mod.ptr()) ? PyModule_GetFilenameObject(mod.ptr()) : nullptr;
        py::object path_ref = py::reinterpret_steal<py::object>(path);
        if (!path) PyErr_Clear();
        py::object msg = steal(path && PyUnicode_Check(path)
                                   ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.ptr(),
                                                          modname.ptr(), path)
                                   : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                          name.ptr(), modname.ptr()));
        PyErr_SetImportError(msg.ptr(), modname.ptr(), path ? path : Py_None);
        throw py::error_already_set();
    }
    return out;
}

// `from <module> import <names>` into m's namespace.
inline void bind_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    std::vector<py::object> objs = import_from(module, names);
    std::size_t i = 0;
    for (const char* n : names) m.attr(n) = objs[i++];
}

// ---------------------------------------------------------------- output

// print(*args) or print(*args, end=end) through the module's `print`.
inline void print(std::initializer_list<PyObject*> args) {
    py::object p = global(LEXARO_NAME("print"));
    call(p.ptr(), args);
}
inline void print_end(PyObject* arg, PyObject* end) {
    py::object p = global(LEXARO_NAME("print"));
    call(p.ptr(), {arg, end}, KWNAMES("end"));
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
    py::object fn = steal(PyCFunction_NewEx(def, m.ptr(), m.attr("__name__").ptr()));
    m.attr(def->ml_name) = fn;
    return fn;
}

// Adds a method to a class made by type(); the descriptor binds like a method.
inline void add_method(py::handle cls, PyMethodDef* def) {
    py::object descr = steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
    if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) < 0) throw py::error_already_set();
}

// The same for several, in order.
inline void add_functions(py::module_& m, std::initializer_list<PyMethodDef*> defs) {
    for (PyMethodDef* def : defs) add_function(m, def);
}
inline void add_methods(py::handle cls, std::initializer_list<PyMethodDef*> defs) {
    for (PyMethodDef* def : defs) add_method(cls, def);
}

// True when `found` is the module's own native function of this name.
inline bool is_native(PyObject* found, PyMethodDef* def) {
    return PyCFunction_Check(found) && reinterpret_cast<PyCFunctionObject*>(found)->m_ml == def;
}

}  // namespace lexaro::bind

// ---------------------------------------------------------------- entry point

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
