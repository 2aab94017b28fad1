// Ordering exact datetimes without calling into the datetime module.
#pragma once
#include <Python.h>
#include <cstdint>

namespace pysem {

// For an exact datetime.datetime, an integer that orders exactly as the host
// orders datetimes sharing one tzinfo object (or all naive): field by field,
// year down to microsecond, the fold aside. `*tzinfo` carries the tzinfo of
// the values seen so far (start with nullptr). Returns false, leaving the
// caller to the generic comparison, for any other object or another tzinfo.
bool datetime_order_key(PyObject *value, PyObject **tzinfo, int64_t *key);

// a < b as the host compares two timestamps: natively for exact datetimes
// sharing one tzinfo object (or both naive), the host's comparison
// otherwise. Raises the host's error.
bool timestamp_less(PyObject *a, PyObject *b);

}  // namespace pysem
