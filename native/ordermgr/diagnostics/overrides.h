// Whether a service's method, called by name, would run the module's own
// function: then the native code runs it directly instead of calling through
// the interpreter; a subclass or an instance that replaces it is called.
#pragma once
#include <Python.h>
#include "pysem/compat.h"
#include "pysem/record.h"
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// True when calling method `name` on `self` would run `own`: no instance
// attribute shadows it and the class still resolves it to the module's own
// function object.
inline bool resolves_to(PyObject *self, PyObject *name, PyObject *own) {
    if (Py_TYPE(self)->tp_dictoffset) {
        Ref dict = steal(pysem::compat::instance_dict(self));
        if (!dict) throw Error();
        if (PyDict_GET_SIZE(dict.ptr())) {
            PyObject *v = PyDict_GetItemWithError(dict.ptr(), name);
            if (v) return false;
            if (PyErr_Occurred()) throw Error();
        }
    }
    return pysem::compat::type_lookup(Py_TYPE(self), name) == own;
}

// Keeps a reference to the class attribute `name` in *slot, for identity
// checks, until the interpreter starts shutting down (then *slot becomes
// null and every check falls back to the generic path).
void keep_attr(PyTypeObject *cls, const char *name, PyObject **slot);

}  // namespace ordermgr
