#include "pysem/builtin_sum.h"

#include <climits>
#include <cmath>

namespace pysem {

// The float the float phase hands on: its sum with the compensation, unless
// that is zero or not finite (which would turn an infinite sum into NaN).
static double compensated(double sum, double compensation) {
    return compensation != 0.0 && std::isfinite(compensation) ? sum + compensation : sum;
}

void BuiltinSum::add_generic(Ref start, PyObject *item) {
    PyObject *r = PyNumber_Add(start.ptr(), item);
    if (!r) throw Error();
    result_ = steal(r);
}

void BuiltinSum::add(PyObject *item) {
    switch (phase_) {
    case Phase::Int: {
        if (PyLong_CheckExact(item) || PyBool_Check(item)) {
            int overflow = 0;
            long b = PyLong_AsLongAndOverflow(item, &overflow);
            if (!overflow && (int_sum_ >= 0 ? b <= LONG_MAX - int_sum_ : b >= LONG_MIN - int_sum_)) {
                int_sum_ += b;
                return;
            }
        }
        PyObject *start = PyLong_FromLong(int_sum_);
        if (!start) throw Error();
        add_generic(steal(start), item);
        if (PyFloat_CheckExact(result_.ptr())) {
            // An exact float result continues in the float phase.
            phase_ = Phase::Float;
            float_sum_ = PyFloat_AS_DOUBLE(result_.ptr());
            compensation_ = 0.0;
            result_.reset();
        } else {
            phase_ = Phase::Object;
        }
        return;
    }
    case Phase::Float: {
        if (PyFloat_CheckExact(item)) {
            neumaier_add(float_sum_, compensation_, PyFloat_AS_DOUBLE(item));
            return;
        }
        if (PyLong_Check(item)) {  // int subclasses too, as the host does
            int overflow = 0;
            long v = PyLong_AsLongAndOverflow(item, &overflow);
            if (!overflow) {
                float_sum_ += (double) v;
                return;
            }
        }
        PyObject *start = PyFloat_FromDouble(compensated(float_sum_, compensation_));
        if (!start) throw Error();
        add_generic(steal(start), item);
        phase_ = Phase::Object;
        return;
    }
    case Phase::Object:
        add_generic(std::move(result_), item);
        return;
    }
}

Ref BuiltinSum::result() const {
    PyObject *r = nullptr;
    switch (phase_) {
    case Phase::Int: r = PyLong_FromLong(int_sum_); break;
    case Phase::Float: r = PyFloat_FromDouble(compensated(float_sum_, compensation_)); break;
    case Phase::Object: return result_;
    }
    if (!r) throw Error();
    return steal(r);
}

}  // namespace pysem
