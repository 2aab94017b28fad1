#include "pysem/builtin_sum.h"

#include <climits>
#include <cmath>

#include "pysem/native_sum.h"

namespace pysem {

void BuiltinSum::add(PyObject *item) {
    items_.emplace_back(nb::borrow(item));
    switch (state_) {
    case State::Int:
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            long long b = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (!overflow && !__builtin_add_overflow(int_sum_, b, &int_sum_)) return;
            state_ = State::Fallback;
            return;
        }
        if (PyFloat_CheckExact(item)) {
            // int + float: the int is converted to the nearest double first.
            float_sum_ = (double) int_sum_ + PyFloat_AS_DOUBLE(item);
            compensation_ = 0.0;
            state_ = State::Float;
            return;
        }
        state_ = State::Fallback;
        return;
    case State::Float:
        if (PyFloat_CheckExact(item)) {
            neumaier_add(float_sum_, compensation_, PyFloat_AS_DOUBLE(item));
            return;
        }
        if (PyLong_CheckExact(item)) {
            int overflow = 0;
            long v = PyLong_AsLongAndOverflow(item, &overflow);
            if (!overflow) {
                float_sum_ += (double) v;
                return;
            }
        }
        state_ = State::Fallback;
        return;
    case State::Fallback:
        return;
    }
}

nb::object BuiltinSum::result() {
    switch (state_) {
    case State::Int:
        return nb::steal(PyLong_FromLongLong(int_sum_));
    case State::Float: {
        double r = float_sum_;
        if (compensation_ != 0.0 && std::isfinite(compensation_)) r += compensation_;
        return nb::steal(PyFloat_FromDouble(r));
    }
    case State::Fallback:
        break;
    }
    nb::list seq;
    for (auto &o : items_) seq.append(o);
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    PyObject *sum = PyDict_GetItemString(builtins, "sum");
    if (!sum) throw nb::python_error();
    PyObject *r = PyObject_CallOneArg(sum, seq.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

}  // namespace pysem
