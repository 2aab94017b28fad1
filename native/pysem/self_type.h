// Methods bound with an untyped `self` (to reach the Python object itself)
// must check it before looking at its native storage: they can be called
// through the class with any object.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace pysem {
namespace nb = nanobind;

inline void require_instance(nb::handle self, PyTypeObject *type, const char *method) {
    if (PyObject_TypeCheck(self.ptr(), type)) return;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%s'", method,
                 type->tp_name, Py_TYPE(self.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace pysem
