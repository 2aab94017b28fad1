#include "corrupt_value.h"

#include "in_use.h"

namespace dualcache {

void corrupt_from_python_error(const std::string &what) {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) throw CorruptValue{what, nb::object()};
    if (!PyErr_GivenExceptionMatches(exc, PyExc_Exception) || PyErr_GivenExceptionMatches(exc, PyExc_MemoryError) ||
        PyErr_GivenExceptionMatches(exc, PyExc_RecursionError) || is_in_use_error(exc)) {
        PyErr_SetRaisedException(exc);
        throw nb::python_error();
    }
    nb::object cause = nb::steal(exc);
    std::string text = Py_TYPE(exc)->tp_name;
    if (PyObject *s = PyObject_Str(exc)) {
        if (const char *p = PyUnicode_AsUTF8(s); p && *p) text += std::string(": ") + p;
        Py_DECREF(s);
    }
    PyErr_Clear();
    throw CorruptValue{what + " (" + text + ")", std::move(cause)};
}

std::string short_repr(PyObject *o) {
    std::string out = "<unprintable>";
    if (PyObject *r = PyObject_Repr(o)) {
        Py_ssize_t n;
        if (const char *p = PyUnicode_AsUTF8AndSize(r, &n)) out.assign(p, (size_t) n);
        Py_DECREF(r);
    }
    PyErr_Clear();
    if (out.size() > 120) out = out.substr(0, 117) + "...";
    return out;
}

}  // namespace dualcache
