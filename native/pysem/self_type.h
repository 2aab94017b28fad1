// Methods bound with an untyped `self` (to reach the Python object itself)
// must check it before looking at its native storage: they can be called
// through the class with any object.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

namespace pysem {
namespace nb = nanobind;

inline void require_instance(nb::handle self, PyTypeObject *type, const char *method) {
    if (PyObject_TypeCheck(self.ptr(), type)) return;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%s'", method,
                 type->tp_name, Py_TYPE(self.ptr())->tp_name);
    throw nb::python_error();
}

// The native record of an instance of `type`, once initialised.
template <typename T>
T &instance(nb::handle self, PyTypeObject *type, const char *method) {
    require_instance(self, type, method);
    if constexpr (requires { T::kPlainObject; }) {
        return *record::rec_of<T>(self.ptr());
    }
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_AttributeError, "'%s' object is not initialised", Py_TYPE(self.ptr())->tp_name);
        throw nb::python_error();
    }
    return *nb::inst_ptr<T>(self);
}

}  // namespace pysem
