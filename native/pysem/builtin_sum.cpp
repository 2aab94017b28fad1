#include "pysem/builtin_sum.h"

#include <climits>
#include <cmath>

namespace pysem {

bool NativeSum::add(PyObject *item) {
    if (!floating_) {
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            long long b = PyLong_AsLongLongAndOverflow(item, &overflow);
            return !overflow && !__builtin_add_overflow(int_sum_, b, &int_sum_);
        }
        if (PyFloat_CheckExact(item)) {
            // int + float: the int is converted to the nearest double first.
            float_sum_ = (double) int_sum_ + PyFloat_AS_DOUBLE(item);
            compensation_ = 0.0;
            floating_ = true;
            return true;
        }
        return false;
    }
    if (PyFloat_CheckExact(item)) {
        double x = PyFloat_AS_DOUBLE(item);
        double t = float_sum_ + x;
        if (std::fabs(float_sum_) >= std::fabs(x))
            compensation_ += (float_sum_ - t) + x;
        else
            compensation_ += (x - t) + float_sum_;
        float_sum_ = t;
        return true;
    }
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(item, &overflow);
        if (overflow) return false;
        float_sum_ += (double) v;
        return true;
    }
    return false;
}

nb::object NativeSum::result() const {
    if (!floating_) return nb::steal(PyLong_FromLongLong(int_sum_));
    double r = float_sum_;
    if (compensation_ != 0.0 && std::isfinite(compensation_)) r += compensation_;
    return nb::steal(PyFloat_FromDouble(r));
}

nb::object host_sum(PyObject *list) {
    NativeSum sum;
    Py_ssize_t n = PyList_GET_SIZE(list);
    bool native = true;
    for (Py_ssize_t i = 0; i < n && native; ++i) native = sum.add(PyList_GET_ITEM(list, i));
    if (native) return sum.result();
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *fn = PyDict_GetItemString(builtins, "sum");
    if (!fn) throw nb::python_error();
    PyObject *r = PyObject_CallOneArg(fn, list);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void BuiltinSum::add(PyObject *item) {
    if (!items_) {
        items_ = nb::steal(PyList_New(0));
        if (!items_) throw nb::python_error();
    }
    if (PyList_Append(items_.ptr(), item) < 0) throw nb::python_error();
    if (native_) native_ = native_sum_.add(item);
}

nb::object BuiltinSum::result() {
    if (native_) return native_sum_.result();
    return host_sum(items_.ptr());
}

}  // namespace pysem
