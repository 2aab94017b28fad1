// The built-in kinds the store holds without registration, and which of
// their values are immutable all the way down (so that an unchanged identity
// means unchanged content).
#pragma once
#include <Python.h>

namespace dualcache {

void value_kinds_init();

PyTypeObject *decimal_type();
PyTypeObject *fraction_type();

// Exactly one of the built-in kinds of the format (not a subclass).
bool is_builtin_kind(PyTypeObject *type);

// An immutable value of a built-in kind whose parts are immutable too:
// None, bool, int, float, str, bytes, Decimal, Fraction, the datetime kinds, and
// small tuples and frozensets of such values.
bool is_identity_safe(PyObject *o);

}  // namespace dualcache
