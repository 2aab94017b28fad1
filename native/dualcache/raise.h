// Raising Python exceptions from C++: set the error, throw python_error.
// (nanobind's own builtin exceptions are only translated inside bound
// functions; these work from type slots too.)
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace dualcache {

[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nanobind::python_error();
}

}  // namespace dualcache
