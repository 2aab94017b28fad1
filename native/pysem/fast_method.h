// Methods bound as plain CPython fast-call methods: no argument dispatch
// layer, and a text signature in the docstring so that inspect.signature
// shows the real parameters.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/args.h"
#include "pysem/slot_call.h"

namespace pysem {
namespace nb = nanobind;

// Calls `body(self, bound_args)`; C++-side errors become Python ones.
template <typename Body>
PyObject *fast_method(ArgSpec &arg_spec, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      Body &&body) {
    PyObject *a[8];
    if (!bind_args(arg_spec, args, (size_t) nargs, kwnames, a)) return nullptr;
    return slot_call<PyObject *>(nullptr, [&] { return body(self, a).release().ptr(); });
}

#define PYSEM_FASTCALL(fn) (PyCFunction)(void (*)(void))(fn), METH_FASTCALL | METH_KEYWORDS

}  // namespace pysem
