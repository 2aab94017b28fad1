// A module attribute looked up once and kept for the life of the process
// (a new reference that is never released; no static nb::object).
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace dualcache {

inline PyObject *import_attr(const char *module, const char *name) {
    PyObject *mod = PyImport_ImportModule(module);
    if (!mod) throw nanobind::python_error();
    PyObject *attr = PyObject_GetAttrString(mod, name);
    Py_DECREF(mod);
    if (!attr) throw nanobind::python_error();
    return attr;
}

}  // namespace dualcache
