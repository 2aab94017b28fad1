#include "pysem/rational_sum.h"

#include "pysem/compat.h"
#include "pysem/fraction_arithmetic.h"

namespace pysem {
namespace {

// Each of these takes exact ints and runs C code only; null when memory ran out.
PyObject *gcd_of(PyObject *a, PyObject *b) {
    PyObject *args[] = {a, b};
    return PyObject_Vectorcall(stdlib_gcd(), args, 2, nullptr);
}

bool is_one(PyObject *x) {
    int overflow = 0;
    return PyLong_AsLongAndOverflow(x, &overflow) == 1 && !overflow;
}

// The numerator and denominator of an exact Fraction in lowest terms, read
// from its slots.
bool parts(PyObject *x, Ref &num, Ref &den) {
    PyObject *n, *d;
    if (!fraction_slots(x, &n, &d) || !PyLong_CheckExact(n) || !PyLong_CheckExact(d) || compat::long_sign(d) <= 0)
        return false;
    num = borrow(n);
    den = borrow(d);
    if (is_one(d)) return true;
    Ref g = steal(gcd_of(n, d));
    return g.ptr() && is_one(g.ptr());
}

}  // namespace

bool RationalSum::start(int64_t int_sum) {
    num_ = steal(PyLong_FromLongLong(int_sum));
    den_ = steal(PyLong_FromLong(1));
    fraction_ = false;
    if (num_.ptr() && den_.ptr()) return true;
    PyErr_Clear();
    return false;
}

bool RationalSum::add(PyObject *x) {
    bool ok = false;
    if (PyLong_CheckExact(x)) {
        // n/d + x = (n + x*d)/d, already in lowest terms.
        Ref scaled = fraction_ ? steal(PyNumber_Multiply(x, den_.ptr())) : borrow(x);
        Ref sum = scaled.ptr() ? steal(PyNumber_Add(num_.ptr(), scaled.ptr())) : Ref();
        if ((ok = sum.ptr() != nullptr)) num_ = std::move(sum);
    } else if (PyTypeObject *fraction = unchanged_fraction_type(); fraction && Py_TYPE(x) == fraction) {
        Ref n, d;
        if (parts(x, n, d)) {
            // Fraction's own steps: g = gcd(D, d); t = N*(d/g) + n*(D/g);
            // g2 = gcd(t, g); the sum is (t/g2) / ((D/g) * (d/g2)).
            Ref g = steal(gcd_of(den_.ptr(), d.ptr()));
            Ref s = g.ptr() ? steal(PyNumber_FloorDivide(den_.ptr(), g.ptr())) : Ref();
            Ref dg = g.ptr() ? steal(PyNumber_FloorDivide(d.ptr(), g.ptr())) : Ref();
            Ref a = dg.ptr() ? steal(PyNumber_Multiply(num_.ptr(), dg.ptr())) : Ref();
            Ref b = s.ptr() ? steal(PyNumber_Multiply(n.ptr(), s.ptr())) : Ref();
            Ref t = a.ptr() && b.ptr() ? steal(PyNumber_Add(a.ptr(), b.ptr())) : Ref();
            Ref g2 = t.ptr() ? steal(gcd_of(t.ptr(), g.ptr())) : Ref();
            Ref num = g2.ptr() ? steal(PyNumber_FloorDivide(t.ptr(), g2.ptr())) : Ref();
            Ref dg2 = g2.ptr() ? steal(PyNumber_FloorDivide(d.ptr(), g2.ptr())) : Ref();
            Ref den = dg2.ptr() && s.ptr() ? steal(PyNumber_Multiply(s.ptr(), dg2.ptr())) : Ref();
            if ((ok = num.ptr() && den.ptr())) {
                num_ = std::move(num);
                den_ = std::move(den);
                fraction_ = true;
            }
        }
    }
    if (!ok) PyErr_Clear();
    return ok;
}

bool RationalSum::is_zero() const { return compat::long_sign(num_.ptr()) == 0; }

Ref RationalSum::object() const {
    if (!fraction_) return num_;
    PyTypeObject *fraction = unchanged_fraction_type();
    if (!fraction) raise(PyExc_RuntimeError, "a kept sum of Fractions read after Fraction's arithmetic changed");
    PyObject *args[] = {num_.ptr(), den_.ptr()};
    return check(PyObject_Vectorcall((PyObject *) fraction, args, 2, nullptr));
}

}  // namespace pysem
