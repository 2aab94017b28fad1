// Truth values and the sign test as the host evaluates them.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/num.h"

namespace pysem {
namespace nb = nanobind;

// bool(o); raises on error.
inline bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// The object `x > 0` gives: a bool for exact floats and ints, whatever the
// type's comparison returns otherwise.
inline nb::object greater_than_zero(PyObject *x) {
    Num n = Num::of(x);
    if (n.kind() != Num::Kind::Obj) return nb::borrow(n.gt_zero() ? Py_True : Py_False);
    nb::object zero = nb::steal(PyLong_FromLong(0));
    PyObject *r = PyObject_RichCompare(x, zero.ptr(), Py_GT);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

}  // namespace pysem
