#include "pysem/format.h"

#include <cmath>
#include <cstdio>

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
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    PyObject *b = PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass");
    if (!b) throw nb::python_error();
    out.append(PyBytes_AS_STRING(b), (size_t) PyBytes_GET_SIZE(b));
    Py_DECREF(b);
}

nb::object utf8_to_str(const std::string &s) {
    PyObject *r = PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t) s.size(), "surrogatepass");
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static void append_float_repr(std::string &out, double d) {
    char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) throw nb::python_error();
    out.append(s);
    PyMem_Free(s);
}

nb::object default_format(PyObject *x) {
    if (PyUnicode_CheckExact(x)) return nb::borrow(x);
    nb::object empty = nb::steal(PyUnicode_FromStringAndSize("", 0));
    PyObject *r = PyObject_Format(x, empty.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
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
    nb::object s = default_format(x);
    append_utf8(out, s.ptr());
}

void append_str(std::string &out, PyObject *x) {
    if (PyUnicode_CheckExact(x)) return append_utf8(out, x);
    if (PyFloat_CheckExact(x) || PyLong_CheckExact(x)) return append_default(out, x);
    PyObject *s = PyObject_Str(x);
    if (!s) throw nb::python_error();
    nb::object guard = nb::steal(s);
    append_utf8(out, s);
}

void append_repr(std::string &out, PyObject *x) {
    if (PyFloat_CheckExact(x)) return append_float_repr(out, PyFloat_AS_DOUBLE(x));
    PyObject *s = PyObject_Repr(x);
    if (!s) throw nb::python_error();
    nb::object guard = nb::steal(s);
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

void append_fixed(std::string &out, PyObject *x, int precision, bool grouping, bool percent) {
    double d;
    bool native = false;
    if (PyFloat_CheckExact(x)) {
        d = PyFloat_AS_DOUBLE(x);
        native = true;
    } else if (PyLong_CheckExact(x)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (!overflow && v <= (1LL << 53) && v >= -(1LL << 53)) {
            d = (double) v;
            native = true;
        }
    }
    if (!native) {
        char spec[16];
        std::snprintf(spec, sizeof spec, "%s.%d%c", grouping ? "," : "", precision, percent ? '%' : 'f');
        nb::object s = nb::steal(PyUnicode_FromString(spec));
        PyObject *r = PyObject_Format(x, s.ptr());
        if (!r) throw nb::python_error();
        nb::object guard = nb::steal(r);
        return append_utf8(out, r);
    }
    if (percent) d *= 100.0;
    char *s = PyOS_double_to_string(d, 'f', precision, 0, nullptr);
    if (!s) throw nb::python_error();
    if (grouping && std::isfinite(d))
        group_thousands(out, s);
    else
        out += s;
    PyMem_Free(s);
    if (percent) out += '%';
}

size_t codepoints(const std::string &s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

}  // namespace pysem
