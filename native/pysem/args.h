// Binding of vectorcall arguments to named parameters, with the host's
// messages for a Python function of the same parameters (missing, surplus,
// unknown and repeated arguments).
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace pysem {

struct ArgSpec {
    const char *qualname;        // e.g. "Trade.__init__"
    const char *const *params;   // parameter names, in order
    PyObject **interned;         // the same names as interned str (filled lazily)
    int count;                   // number of parameters
    int required;                // the first `required` have no default
    bool counts_self = true;     // messages count a self (or cls) argument
};

// Fills out[0..count) with borrowed references (NULL where not given).
// Returns false with TypeError set on a bad call.
bool bind_args(ArgSpec &sig, PyObject *const *args, size_t nargsf, PyObject *kwnames, PyObject **out);

// The same for a call given as a tuple and a dict (or null): raises the
// TypeError as a Python error instead of returning false.
void bind_args(ArgSpec &sig, PyObject *args, PyObject *kwargs, PyObject **out);

}  // namespace pysem
