// Whether adding exact Fractions and exact ints is still the standard
// library's own arithmetic.
//
// fractions.Fraction is a class written in Python: a program may replace its
// methods, or the names its addition looks up (the module's globals,
// math.gcd, numbers.Rational, a few built-ins), and from then on `a + b`
// gives whatever the replacement gives. A figure that adds Fractions
// natively (rational_sum.h) stands in for the host's addition only while
// nothing of the kind has happened in this process: a type watcher on the
// class and a dict watcher on those namespaces report the first change, and
// from then on Fractions take the generic protocol for good. A program that
// rewrites the functions themselves (their code or closure cells) is beyond
// what the interpreter reports, and is not followed.
#pragma once
#include <Python.h>

namespace pysem {

// Starts watching; once per process, at module initialisation. Never raises:
// when the interpreter has no watcher left, Fractions simply keep the
// generic protocol.
void watch_fraction_arithmetic() noexcept;

// The class, as imported, while its arithmetic is unchanged; null otherwise
// (or before watch_fraction_arithmetic). Borrowed.
PyTypeObject *unchanged_fraction_type();

// math.gcd as imported (a C function: calling it with exact ints runs no
// Python code), or null before watch_fraction_arithmetic. Borrowed.
PyObject *stdlib_gcd();

}  // namespace pysem
