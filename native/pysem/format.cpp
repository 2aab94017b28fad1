#include "pysem/format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace pysem {

void append_utf8(std::string &out, PyObject *str) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(str, &n);
    if (p) {
        out.append(p, (size_t) n);
        return;
    }
    // Lone surrogates (text decoded with surrogateescape, for instance) have
    // no UTF-8 form: carry them as their surrogatepass bytes, which
    // utf8_to_str turns back into the same code points.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw Error();
    PyErr_Clear();
    PyObject *b = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (!b) throw Error();
    out.append(PyBytes_AS_STRING(b), (size_t) PyBytes_GET_SIZE(b));
    Py_DECREF(b);
}

Ref utf8_to_str(const std::string &s) {
    PyObject *r = PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t) s.size(), "surrogatepass");
    if (!r) throw Error();
    return steal(r);
}

static void append_float_repr(std::string &out, double d) {
    char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) throw Error();
    out.append(s);
    PyMem_Free(s);
}

Ref default_format(PyObject *x) {
    if (PyUnicode_CheckExact(x)) return borrow(x);
    Ref empty = steal(PyUnicode_FromStringAndSize("", 0));
    PyObject *r = PyObject_Format(x, empty.ptr());
    if (!r) throw Error();
    return steal(r);
}

void append_default(std::string &out, PyObject *x) {
    if (PyUnicode_CheckExact(x)) return append_utf8(out, x);
    if (PyFloat_CheckExact(x)) return append_float_repr(out, PyFloat_AS_DOUBLE(x));
    if (PyLong_CheckExact(x)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (!overflow) {
            out += std::to_string(v);
            return;
        }
    }
    Ref s = default_format(x);
    append_utf8(out, s.ptr());
}

void append_str(std::string &out, PyObject *x) {
    if (PyUnicode_CheckExact(x)) return append_utf8(out, x);
    if (PyFloat_CheckExact(x) || PyLong_CheckExact(x)) return append_default(out, x);
    PyObject *s = PyObject_Str(x);
    if (!s) throw Error();
    Ref guard = steal(s);
    append_utf8(out, s);
}

void append_repr(std::string &out, PyObject *x) {
    if (PyFloat_CheckExact(x)) return append_float_repr(out, PyFloat_AS_DOUBLE(x));
    PyObject *s = PyObject_Repr(x);
    if (!s) throw Error();
    Ref guard = steal(s);
    append_utf8(out, s);
}

static void group_thousands(std::string &out, const char *digits) {
    // digits: optional '-', integer digits, optional fraction part.
    const char *p = digits;
    if (*p == '-') out += *p++;
    const char *q = p;
    while (*q >= '0' && *q <= '9') ++q;
    size_t n = (size_t) (q - p);
    for (size_t i = 0; i < n; ++i) {
        if (i && (n - i) % 3 == 0) out += ',';
        out += p[i];
    }
    out += q;
}

// x rounded to `precision` (0 to 4) decimals, correctly (ties to even, from
// the exact value of the double), as "[-]digits.digits" into buf (at least
// 48 bytes), a comma between every three integer digits when `grouping`:
// the length written, or 0 when |x| * 10**precision is not below 2**52 (or
// x is not finite).
static size_t fixed_small(double x, int precision, bool grouping, char *buf) {
    static const double scale[] = {1.0, 10.0, 100.0, 1000.0, 10000.0};
    static const int64_t iscale[] = {1, 10, 100, 1000, 10000};
    if (precision < 0 || precision > 4) return 0;
    double a = std::fabs(x);
    if (!(a * scale[precision] < 4503599627370496.0)) return 0;  // 2**52; also nan and inf
    // a = m * 2**e exactly, and then a * 10**precision = m * 10**precision *
    // 2**e: the integer part and the remainder of the exact product come
    // from a shift. Below 2**52, e is negative.
    uint64_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    int biased = (int) (bits >> 52);
    uint64_t m = bits & ((uint64_t(1) << 52) - 1);
    if (biased)
        m |= uint64_t(1) << 52;
    else
        biased = 1;  // subnormal
    int shift = 1075 - biased;  // e = -shift, shift >= 1
    unsigned __int128 product = (unsigned __int128) m * (uint64_t) iscale[precision];  // below 2**67
    int64_t n = 0;
    if (shift < 100) {
        n = (int64_t) (product >> shift);
        unsigned __int128 rest = product & (((unsigned __int128) 1 << shift) - 1);
        unsigned __int128 half = (unsigned __int128) 1 << (shift - 1);
        if (rest > half || (rest == half && (n & 1))) ++n;  // ties to even
    }  // else a * 10**precision < 2**-32: rounds to 0
    // Division by a constant, without a hardware divide.
    int64_t whole, frac;
    switch (precision) {
    case 0: whole = n, frac = 0; break;
    case 1: whole = n / 10, frac = n % 10; break;
    case 2: whole = n / 100, frac = n % 100; break;
    case 3: whole = n / 1000, frac = n % 1000; break;
    default: whole = n / 10000, frac = n % 10000; break;
    }
    // The integer digits, last first, then written out in order with the
    // group separators.
    char digits[20];
    int k = 0;
    do {
        digits[k++] = (char) ('0' + whole % 10);
        whole /= 10;
    } while (whole);
    char *p = buf;
    if (std::signbit(x)) *p++ = '-';
    for (int i = k - 1; i >= 0; --i) {
        *p++ = digits[i];
        if (grouping && i && i % 3 == 0) *p++ = ',';
    }
    if (precision) {
        *p++ = '.';
        for (int i = precision - 1; i >= 0; --i, frac /= 10) p[i] = (char) ('0' + frac % 10);
        p += precision;
    }
    return (size_t) (p - buf);
}

void append_fixed_double(std::string &out, double d, int precision, bool grouping, bool percent) {
    if (percent) d *= 100.0;  // as the host does before formatting a '%'
    char small[48];
    if (size_t n = fixed_small(d, precision, grouping, small)) {
        if (percent) small[n++] = '%';
        out.append(small, n);
        return;
    }
    char *s = PyOS_double_to_string(d, 'f', precision, 0, nullptr);
    if (!s) throw Error();
    if (grouping && std::isfinite(d))
        group_thousands(out, s);
    else
        out += s;
    PyMem_Free(s);
    if (percent) out += '%';
}

void append_fixed(std::string &out, PyObject *x, int precision, bool grouping, bool percent) {
    if (PyFloat_CheckExact(x)) return append_fixed_double(out, PyFloat_AS_DOUBLE(x), precision, grouping, percent);
    if (PyLong_CheckExact(x)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (!overflow && v <= (1LL << 53) && v >= -(1LL << 53))
            return append_fixed_double(out, (double) v, precision, grouping, percent);
    }
    char format_spec[16];
    std::snprintf(format_spec, sizeof format_spec, "%s.%d%c", grouping ? "," : "", precision, percent ? '%' : 'f');
    Ref s = steal(PyUnicode_FromString(format_spec));
    PyObject *r = PyObject_Format(x, s.ptr());
    if (!r) throw Error();
    Ref guard = steal(r);
    append_utf8(out, r);
}

size_t codepoints(std::string_view s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

}  // namespace pysem
