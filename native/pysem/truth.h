// Truth values and the sign test as the host evaluates them.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

#include "pysem/num.h"

namespace pysem {

// bool(o); raises on error.
inline bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw Error();
    return r != 0;
}

// bool(x > 0): a figure typed bool is a bool whatever the comparison of
// the value's type returns (numpy, for one, returns its own bool).
inline Ref greater_than_zero(PyObject *x) {
    return borrow(Num::of(x).gt_zero() ? Py_True : Py_False);
}

}  // namespace pysem
