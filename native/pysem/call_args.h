// Binding a call's arguments to fixed parameter names, as the host binds
// them for a plain Python function `def f(p0, ..., pk=default, ...)`.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace pysem {
namespace nb = nanobind;

struct Signature {
    const char *qualname;       // e.g. "PositionSummary.__init__"
    const char *const *names;   // parameter names after self, in order
    Py_ssize_t count;           // number of parameters after self
    Py_ssize_t required;        // the first `required` have no default
};

// Fills out[0..count) with borrowed references to the arguments, nullptr for
// a parameter left to its default. `args` is a tuple, `kwargs` a dict or
// null. Raises TypeError with the host's message for an unexpected keyword,
// a parameter given twice, too many positional or missing required
// arguments, checked in the host's order.
void bind_args(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **out);

}  // namespace pysem
