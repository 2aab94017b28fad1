// The short informational key of a position group.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// Four URL-safe Base64 characters from the host hash of the members sorted
// (stably) by the string form of their keys: the top bits of the hash's
// magnitude, |hash| >> 40 as three big-endian bytes. Encoded natively while
// the module's `base64` is the standard module it imported.
Ref compute_group_key(PyObject *positions);
// The same from the members as the set iterates them (borrowed; the caller
// keeps them alive).
Ref group_key_of(PyObject *const *members, size_t n);

}  // namespace ordermgr
