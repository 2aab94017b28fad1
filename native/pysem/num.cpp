#include "pysem/num.h"

#include <cmath>

namespace pysem {

Num Num::of_int(int64_t v) {
    if (v > kExactIntLimit || v < -kExactIntLimit) {
        PyObject *o = PyLong_FromLongLong(v);
        if (!o) throw Error();
        return steal(o);
    }
    Num n;
    n.kind_ = Kind::Int;
    n.i_ = v;
    return n;
}

Num Num::of(PyObject *o) {
    if (PyFloat_CheckExact(o)) return of_double(PyFloat_AS_DOUBLE(o));
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && v <= kExactIntLimit && v >= -kExactIntLimit) {
            Num n;
            n.kind_ = Kind::Int;
            n.i_ = v;
            return n;
        }
    }
    Num n;
    n.kind_ = Kind::Obj;
    n.o_ = borrow(o);
    return n;
}

Num Num::steal(PyObject *o) {
    if (!o) throw Error();
    if (PyFloat_CheckExact(o) || PyLong_CheckExact(o)) {
        Num n = of(o);
        Py_DECREF(o);
        return n;
    }
    Num n;
    n.kind_ = Kind::Obj;
    n.o_ = pysem::steal(o);
    return n;
}

Ref Num::object() const {
    switch (kind_) {
    case Kind::Float: return pysem::check(PyFloat_FromDouble(d_));
    case Kind::Int: return pysem::check(PyLong_FromLongLong(i_));
    default: return o_;
    }
}

Num Num::generic_binary(const Num &a, const Num &b, binaryfunc op) {
    Ref x = a.object(), y = b.object();
    return steal(op(x.ptr(), y.ptr()));
}

static inline bool is_native(const Num &n) { return n.kind() != Num::Kind::Obj; }
static inline double to_double(const Num &n) {
    return n.is_float() ? n.as_double() : (double) n.as_int();
}

Num operator+(const Num &a, const Num &b) {
    if (a.kind_ == Num::Kind::Int && b.kind_ == Num::Kind::Int) return Num::of_int(a.i_ + b.i_);
    if (is_native(a) && is_native(b)) return Num::of_double(to_double(a) + to_double(b));
    return Num::generic_binary(a, b, PyNumber_Add);
}

Num operator-(const Num &a, const Num &b) {
    if (a.kind_ == Num::Kind::Int && b.kind_ == Num::Kind::Int) return Num::of_int(a.i_ - b.i_);
    if (is_native(a) && is_native(b)) return Num::of_double(to_double(a) - to_double(b));
    return Num::generic_binary(a, b, PyNumber_Subtract);
}

Num operator*(const Num &a, const Num &b) {
    if (a.kind_ == Num::Kind::Int && b.kind_ == Num::Kind::Int) {
        int64_t r;
        if (!__builtin_mul_overflow(a.i_, b.i_, &r)) return Num::of_int(r);
        return Num::generic_binary(a, b, PyNumber_Multiply);
    }
    if (is_native(a) && is_native(b)) return Num::of_double(to_double(a) * to_double(b));
    return Num::generic_binary(a, b, PyNumber_Multiply);
}

Num operator/(const Num &a, const Num &b) {
    // Both operands exact in a double: one correctly rounded division, which
    // is what CPython does for floats and for ints below 2**53.
    if (is_native(a) && is_native(b)) {
        double y = to_double(b);
        if (y != 0.0) return Num::of_double(to_double(a) / y);
    }
    return Num::generic_binary(a, b, PyNumber_TrueDivide);
}

Num &Num::operator+=(const Num &b) {
    if (is_native(*this) && is_native(b)) return *this = *this + b;
    Ref x = object(), y = b.object();
    // Drop our reference first, so that an __iadd__ may update x in place.
    o_.reset();
    kind_ = Kind::Int;
    i_ = 0;
    *this = steal(PyNumber_InPlaceAdd(x.ptr(), y.ptr()));
    return *this;
}

Num Num::operator-() const {
    if (kind_ == Kind::Float) return of_double(-d_);
    if (kind_ == Kind::Int) return of_int(-i_);
    return steal(PyNumber_Negative(o_.ptr()));
}

Num Num::abs() const {
    if (kind_ == Kind::Float) return of_double(std::fabs(d_));
    if (kind_ == Kind::Int) return of_int(i_ < 0 ? -i_ : i_);
    return steal(PyNumber_Absolute(o_.ptr()));
}

bool Num::generic_compare(const Num &b, int op) const {
    Ref x = object(), y = b.object();
    int r = PyObject_RichCompareBool(x.ptr(), y.ptr(), op);
    if (r < 0) throw Error();
    return r != 0;
}

// Native values compare exactly as doubles: ints are kept within 2**53.
#define PYSEM_NUM_COMPARE(name, cop, pyop)                                   \
    bool Num::name(const Num &b) const {                                     \
        if (kind_ == Kind::Int && b.kind_ == Kind::Int) return i_ cop b.i_;  \
        if (is_native(*this) && is_native(b))                                \
            return to_double(*this) cop to_double(b);                        \
        return generic_compare(b, pyop);                                     \
    }
PYSEM_NUM_COMPARE(lt, <, Py_LT)
PYSEM_NUM_COMPARE(le, <=, Py_LE)
PYSEM_NUM_COMPARE(gt, >, Py_GT)
PYSEM_NUM_COMPARE(ge, >=, Py_GE)
PYSEM_NUM_COMPARE(eq, ==, Py_EQ)
PYSEM_NUM_COMPARE(ne, !=, Py_NE)
#undef PYSEM_NUM_COMPARE

bool Num::truthy() const {
    if (kind_ == Kind::Float) return d_ != 0.0;
    if (kind_ == Kind::Int) return i_ != 0;
    int r = PyObject_IsTrue(o_.ptr());
    if (r < 0) throw Error();
    return r != 0;
}

}  // namespace pysem
