// The few interpreter services whose C API differs between CPython 3.12 and
// 3.13, each behind one helper that uses only the public (or documented
// unstable) API of the version it is compiled for (compat.cpp keeps the
// answers of class lookups in the module's own types). Plain C API
// conventions: a null or negative result comes with an exception set unless
// said otherwise.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstring>

namespace pysem::compat {

// getattr(o, name) where a missing attribute is an answer, not an error:
// 1 and a new reference in *out when o has it, 0 and *out null when
// getattr raises AttributeError (cleared), -1 for any other error.
inline int optional_attr(PyObject *o, PyObject *name, PyObject **out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    *out = PyObject_GetAttr(o, name);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// The attribute `name` as the type finds it along its MRO, before any
// descriptor runs (what `type.__dict__` of the first class that has it
// holds): a borrowed reference owned by that class, or null. Never leaves an
// exception set, as attribute lookup on a type never fails for a str name.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) {
    PyObject *mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyTypeObject *base = (PyTypeObject *) PyTuple_GET_ITEM(mro, i);
        PyObject *found;
        if (base->tp_dict) {
            found = PyDict_GetItemWithError(base->tp_dict, name);
        } else {
            // A static built-in type keeps its dict outside tp_dict since 3.12.
            PyObject *dict = PyType_GetDict(base);
            found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
            Py_XDECREF(dict);  // the class keeps its dict, and so `found`, alive
        }
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

// type_lookup for one of a module's own classes (a type that outlives every
// caller): the answer is kept, and looked up again only after the type (or
// a base) was modified, which the interpreter reports to a type watcher.
// Costs a few loads where the plain lookup walks the dicts of the MRO.
PyObject *own_type_lookup(PyTypeObject *type, PyObject *name);

// The instance dict of an object whose type has one (a new reference; an
// empty dict is made if the object has none yet), or null with an
// exception set.
inline PyObject *instance_dict(PyObject *o) { return PyObject_GenericGetDict(o, nullptr); }

// The sign of an int or int subclass instance: -1, 0 or 1. Runs no user code.
inline int long_sign(PyObject *v) {
    int overflow = 0;
    long x = PyLong_AsLongAndOverflow(v, &overflow);
    return overflow ? overflow : (x > 0) - (x < 0);
}

namespace detail {

// int.<method>(*args, signed=True) (at most three positional arguments),
// looked up on the int type itself so that a subclass's override never runs.
inline PyObject *call_int_method(const char *method, PyObject *a0, PyObject *a1, PyObject *a2 = nullptr) {
    size_t nargs = a2 ? 3 : 2;
    PyObject *args[4] = {a0, a1, a2, nullptr};
    args[nargs] = Py_True;
    PyObject *fn = PyObject_GetAttrString((PyObject *) &PyLong_Type, method);
    PyObject *kwnames = fn ? Py_BuildValue("(s)", "signed") : nullptr;
    PyObject *r = kwnames ? PyObject_Vectorcall(fn, args, nargs, kwnames) : nullptr;
    Py_XDECREF(kwnames);
    Py_XDECREF(fn);
    return r;
}

}  // namespace detail

// int.bit_length(v) for an int or int subclass instance: the bits of |v|;
// (size_t) -1 with an exception set on failure.
inline size_t long_bit_length(PyObject *v) {
    PyObject *bits = PyObject_CallMethod((PyObject *) &PyLong_Type, "bit_length", "O", v);
    if (!bits) return (size_t) -1;
    size_t n = PyLong_AsSize_t(bits);
    Py_DECREF(bits);
    return n;
}

// Writes v as exactly n bytes of little-endian two's complement; -1 with
// OverflowError when v needs more.
inline int long_to_le_bytes(PyObject *v, unsigned char *out, size_t n) {
#if PY_VERSION_HEX >= 0x030D0000
    Py_ssize_t need = PyLong_AsNativeBytes(v, out, (Py_ssize_t) n, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
    if (need < 0) return -1;
    if ((size_t) need > n) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return -1;
    }
    return 0;
#else
    PyObject *length = PyLong_FromSize_t(n), *order = PyUnicode_FromString("little");
    PyObject *bytes = length && order ? detail::call_int_method("to_bytes", v, length, order) : nullptr;
    Py_XDECREF(length);
    Py_XDECREF(order);
    if (!bytes) return -1;
    std::memcpy(out, PyBytes_AS_STRING(bytes), n);
    Py_DECREF(bytes);
    return 0;
#endif
}

// The int that n bytes of little-endian two's complement hold (0 for n = 0).
inline PyObject *long_from_le_bytes(const unsigned char *p, size_t n) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyLong_FromNativeBytes(p, n, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
#else
    PyObject *bytes = PyBytes_FromStringAndSize((const char *) p, (Py_ssize_t) n);
    PyObject *order = bytes ? PyUnicode_FromString("little") : nullptr;
    PyObject *r = order ? detail::call_int_method("from_bytes", bytes, order) : nullptr;
    Py_XDECREF(order);
    Py_XDECREF(bytes);
    return r;
#endif
}

}  // namespace pysem::compat
