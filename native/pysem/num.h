// A number as the host sees it, with native fast paths.
//
// Exact floats are kept as doubles and exact ints of at most 2**53 in
// magnitude as int64; everything else (big ints, bool, Decimal, Fraction,
// numpy scalars, subclasses, duck-typed numbers) stays a Python object and
// goes through the generic number protocol. Every operation gives exactly the
// value and the type CPython gives for the same expression; whenever a native
// result could differ (overflow, division by zero, an int beyond 2**53) the
// operation falls back to the generic protocol.
#pragma once
#include <Python.h>
#include <cstdint>
#include "pysem/ref.h"

namespace pysem {

class Num {
public:
    enum class Kind : unsigned char { Float, Int, Obj };

    Num() : kind_(Kind::Int), i_(0) {}
    static Num of_double(double d) { Num n; n.kind_ = Kind::Float; n.d_ = d; return n; }
    static Num of_int(int64_t v);  // falls back to an object beyond 2**53
    // Borrowed reference; exact float and small exact int become native.
    static Num of(PyObject *o);
    static Num steal(PyObject *o);  // new reference; NULL raises the error set

    Kind kind() const { return kind_; }
    bool is_float() const { return kind_ == Kind::Float; }
    bool is_int() const { return kind_ == Kind::Int; }
    double as_double() const { return d_; }
    int64_t as_int() const { return i_; }

    // A new reference to the Python object for this value.
    Ref object() const;

    friend Num operator+(const Num &a, const Num &b);
    friend Num operator-(const Num &a, const Num &b);
    friend Num operator*(const Num &a, const Num &b);
    friend Num operator/(const Num &a, const Num &b);  // true division
    Num operator-() const;
    Num abs() const;
    // `*this += b`: the in-place protocol (a type's own __iadd__, the "+="
    // error message); native values add as `+` does.
    Num &operator+=(const Num &b);

    // Rich comparisons with the host's semantics; raise on error.
    bool lt(const Num &b) const;
    bool le(const Num &b) const;
    bool gt(const Num &b) const;
    bool ge(const Num &b) const;
    bool eq(const Num &b) const;
    bool ne(const Num &b) const;  // `!=` itself, never `not ==`
    bool truthy() const;

    // Comparisons against the integer 0, as `x > 0` etc. would do.
    bool gt_zero() const { return gt(Num()); }
    bool lt_zero() const { return lt(Num()); }
    bool eq_zero() const { return eq(Num()); }
    bool ne_zero() const { return ne(Num()); }

private:
    static Num generic_binary(const Num &a, const Num &b, binaryfunc op);
    bool generic_compare(const Num &b, int op) const;

    Kind kind_;
    union {
        double d_;
        int64_t i_;
    };
    Ref o_;
};

constexpr int64_t kExactIntLimit = int64_t(1) << 53;

}  // namespace pysem
