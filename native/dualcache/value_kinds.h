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
// Whether `o` and `like` are of one type and `o` identity-safe: then their
// stored encodings are alike only when they are equal.
inline bool same_immutable_kind(PyObject *o, PyObject *like) {
    return Py_TYPE(o) == Py_TYPE(like) && is_identity_safe(o);
}
// The same for each pair of two fields tuples of equal size, but at `skip`.
bool same_immutable_fields(PyObject *fields, PyObject *like, Py_ssize_t skip = -1);

}  // namespace dualcache
