// Methods bound as plain CPython fast-call methods: no argument dispatch
// layer, and a text signature in the docstring so that inspect.signature
// shows the real parameters.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/args.h"

namespace pysem {
namespace nb = nanobind;

// Calls `body(self, bound_args)` and turns C++-side errors into Python ones.
template <typename Body>
PyObject *fast_method(ArgSpec &spec, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      Body &&body) {
    PyObject *a[8];
    if (!bind_args(spec, args, (size_t) nargs, kwnames, a)) return nullptr;
    try {
        return body(self, a).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

#define PYSEM_FASTCALL(fn) (PyCFunction)(void (*)(void))(fn), METH_FASTCALL | METH_KEYWORDS

}  // namespace pysem
