// Plain Python classes with C++ methods.
//
// The factor nodes and the pipeline steps are built with type(), not py::class_:
// their instances are ordinary Python objects with a __dict__, so users can
// subclass them in Python, override any method and skip super().__init__, and
// isinstance checks against pure-Python bases (AbstractFactor) work unchanged.
#pragma once

#include "common/pybind11.hpp"

#include <utility>

namespace quellix {

inline py::object make_class(const char* name, const py::tuple& bases, const py::module_& module,
                             const char* doc) {
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
}

template <class F, class... Extra>
void add_method(const py::object& cls, const char* name, F&& f, const Extra&... extra) {
    cls.attr(name) = py::cpp_function(std::forward<F>(f), py::name(name), py::is_method(cls), extra...);
}

// pybind11 treats any cpp_function named "__init__" as the constructor of a
// pybind11-registered type and would write into this plain instance as if it
// were one, so the initialiser is registered under another name.
template <class F, class... Extra>
void add_init(const py::object& cls, F&& f, const Extra&... extra) {
    cls.attr("__init__") = py::cpp_function(std::forward<F>(f), py::name("__init_impl__"), py::is_method(cls), extra...);
}

template <class F>
void add_property(const py::object& cls, const char* name, F&& getter, const char* doc = nullptr) {
    py::object fget = py::cpp_function(std::forward<F>(getter), py::name(name), py::is_method(cls));
    py::object property = py::module_::import("builtins").attr("property");
    cls.attr(name) = property(fget, py::none(), py::none(), doc ? py::object(py::str(doc)) : py::object(py::none()));
}

// `assert` semantics: checks vanish when the interpreter runs with -O.
inline bool assertions_enabled() {
    static const bool enabled = py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
    return enabled;
}

inline void check_assert(bool ok, const char* message = nullptr) {
    if (ok || !assertions_enabled()) return;
    if (message) {
        PyErr_SetString(PyExc_AssertionError, message);
    } else {
        PyErr_SetNone(PyExc_AssertionError);
    }
    throw py::error_already_set();
}

// Sibling modules are imported relative to the extension's own package.
inline py::module_ import_sibling(const py::module_& m, const char* name) {
    std::string full = m.attr("__name__").cast<std::string>();
    auto dot = full.rfind('.');
    std::string package = dot == std::string::npos ? std::string() : full.substr(0, dot);
    return py::module_::import((package.empty() ? std::string(name) : package + "." + name).c_str());
}

}  // namespace quellix
