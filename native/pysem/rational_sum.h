// The host's built-in sum over exact ints of any size and exact Fractions,
// kept as one rational in lowest terms.
//
// Each such addition gives the unique rational in lowest terms, a Fraction
// as soon as one Fraction took part and an int otherwise, whatever order and
// grouping the additions take; so the sum kept here is the value and the
// type the host's left-to-right sum gives over the same numbers, as long as
// Fraction's arithmetic is the standard library's (fraction_arithmetic.h).
// Adding runs no Python code (only int arithmetic and math.gcd, both C) and
// leaves no exception set.
#pragma once
#include <Python.h>
#include <cstdint>

#include "pysem/ref.h"

namespace pysem {

class RationalSum {
public:
    // Starts at `int_sum`, the sum of the ints so far. False when memory ran out.
    bool start(int64_t int_sum);
    // Adds an exact int, or an exact Fraction in lowest terms while Fraction's
    // arithmetic is unchanged. False for any other value, or when memory ran
    // out; the sum is then no longer the host's.
    bool add(PyObject *x);

    // Whether a Fraction took part: then the sum stands for the host's only
    // while Fraction's arithmetic is unchanged.
    bool has_fraction() const { return fraction_; }
    bool is_zero() const;
    // The sum as the host gives it (an int, or a new Fraction); raises.
    Ref object() const;

private:
    Ref num_, den_;  // exact ints, den_ > 0, gcd(num_, den_) == 1
    bool fraction_ = false;
};

}  // namespace pysem
