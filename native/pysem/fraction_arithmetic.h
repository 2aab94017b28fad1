// Whether adding exact Fractions and exact ints is still the standard
// library's own arithmetic.
//
// fractions.Fraction is a class written in Python: a program may replace its
// methods, or the names its addition looks up (the module's globals,
// math.gcd, numbers.Rational, a few built-ins), and from then on `a + b`
// gives whatever the replacement gives. A figure that adds Fractions
// natively (rational_sum.h) stands in for the host's addition only while
// nothing of the kind has happened in this process. At initialisation each
// of those is checked to be the standard library's own (a change made before
// this module was imported); from then on a type watcher on the class and a
// dict watcher on those namespaces report the first change, and Fractions
// take the generic protocol for good. Beyond what the interpreter reports,
// and not followed: rewriting the functions themselves (their code or
// closure cells), changing the ABC machinery (abc, a registration on
// Fraction), or writing a Fraction's private slots (a Fraction is the
// immutable value it is documented to be).
#pragma once
#include <Python.h>

namespace pysem {

// Starts watching; once per process, at module initialisation. Never raises:
// when the interpreter has no watcher left, or the arithmetic is not the
// standard library's already, Fractions simply keep the generic protocol.
void watch_fraction_arithmetic() noexcept;

// The class, as imported, while its arithmetic is unchanged; null otherwise
// (or before watch_fraction_arithmetic). Borrowed.
PyTypeObject *unchanged_fraction_type();

// math.gcd as imported (a C function: calling it with exact ints runs no
// Python code), or null before watch_fraction_arithmetic. Borrowed.
PyObject *stdlib_gcd();

// The numerator and denominator an exact Fraction holds, read from its slots
// without running any code (borrowed); false when either is unset. Only
// while unchanged_fraction_type() is the type of `x`.
bool fraction_slots(PyObject *x, PyObject **numerator, PyObject **denominator);

}  // namespace pysem
