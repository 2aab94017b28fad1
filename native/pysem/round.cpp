#include "pysem/round.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace pysem {

double round_double(double x, int ndigits) {
    if (!std::isfinite(x) || ndigits > 323) return x;
    // glibc prints the exact decimal value of the double rounded to nearest,
    // ties to even, as CPython's dtoa in mode 3 does; strtod reads the
    // decimal back as the nearest double.
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "%.*f", ndigits, x);
    if (n <= 0 || n >= (int) sizeof buf) return x;
    return std::strtod(buf, nullptr);
}

nb::object round_ndigits(PyObject *x, int ndigits) {
    if (PyFloat_CheckExact(x) && ndigits >= 0 && ndigits <= 20) {
        return nb::steal(PyFloat_FromDouble(round_double(PyFloat_AS_DOUBLE(x), ndigits)));
    }
    if (PyLong_CheckExact(x) && ndigits >= 0) return nb::borrow(x);
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *round = PyDict_GetItemString(builtins, "round");
    if (!round) throw nb::python_error();
    nb::object nd = nb::steal(PyLong_FromLong(ndigits));
    PyObject *args[] = {x, nd.ptr()};
    PyObject *r = PyObject_Vectorcall(round, args, 2, nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

}  // namespace pysem
