// The host's round(x, ndigits).
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace pysem {

// round(x, ndigits) exactly as the host computes it: an exact float is rounded
// from the double's exact value (halfway cases to even) and comes back as the
// nearest double; an exact int is returned unchanged; anything else goes
// through the host's round().
Ref round_ndigits(PyObject *x, int ndigits);

// The float fast path alone, for callers that already hold a double.
double round_double(double x, int ndigits);

}  // namespace pysem
