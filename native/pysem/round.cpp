#include "pysem/round.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace pysem {

// Exact powers of ten as doubles.
static const double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common case without going through decimal text: x * 10**n is formed
// exactly as y + e (fma gives the rounding error e), and when that exact
// product is clearly closer to one integer r than to any other (no halfway
// case, no doubt from e) the decimal result is r * 10**-n, whose nearest
// double is the correctly rounded quotient r / 10**n. Returns false when the
// text route must decide.
static bool round_fast(double x, int ndigits, double &out) {
    if (ndigits < 0 || ndigits > 22) return false;
    double p = kPow10[ndigits];
    double y = x * p;
    if (!(std::fabs(y) < 0x1p50)) return false;
    double e = std::fma(x, p, -y);
    double r = std::nearbyint(y);
    if (!(std::fabs(y - r) + std::fabs(e) < 0.49)) return false;
    out = r / p;
    return true;
}

double round_double(double x, int ndigits) {
    if (!std::isfinite(x) || ndigits > 323) return x;
    double fast;
    if (round_fast(x, ndigits, fast)) return fast;
    // glibc prints the exact decimal value of the double rounded to nearest,
    // ties to even, as CPython's dtoa in mode 3 does; strtod reads the
    // decimal back as the nearest double.
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "%.*f", ndigits, x);
    if (n <= 0 || n >= (int) sizeof buf) return x;
    return std::strtod(buf, nullptr);
}

Ref round_ndigits(PyObject *x, int ndigits) {
    if (PyFloat_CheckExact(x) && ndigits >= 0 && ndigits <= 20) {
        return steal(PyFloat_FromDouble(round_double(PyFloat_AS_DOUBLE(x), ndigits)));
    }
    if (PyLong_CheckExact(x) && ndigits >= 0) return borrow(x);
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *round = PyDict_GetItemString(builtins, "round");
    if (!round) throw Error();
    Ref nd = steal(PyLong_FromLong(ndigits));
    PyObject *args[] = {x, nd.ptr()};
    PyObject *r = PyObject_Vectorcall(round, args, 2, nullptr);
    if (!r) throw Error();
    return steal(r);
}

}  // namespace pysem
