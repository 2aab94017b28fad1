// The short informational key of a position group.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

// Four URL-safe Base64 characters from the host hash of the members sorted
// (stably) by the string form of their keys: the top bits of the hash's
// magnitude, |hash| >> 40 as three big-endian bytes.
nb::object compute_group_key(PyObject *positions);

// Remembers the standard base64 module (at module initialisation); while the
// module's `base64` attribute is that module the encoding is done natively.
void group_key_init();

}  // namespace ordermgr
