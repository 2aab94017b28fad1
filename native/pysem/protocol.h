// Python statements over objects the caller hands in, written natively:
// `for key, value in mapping.items()`, `for x in iterable`, `k, v = item`,
// `list(mapping.values())`, `a != b`, truth, and the conversions of the
// host's float arithmetic. Exact dicts take native paths; anything else goes
// through the protocol the statement uses.
#pragma once
#include <Python.h>

#include "pysem/num.h"
#include "pysem/ref.h"

namespace pysem::protocol {

PyObject *items_name();  // interned "items"

inline bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) raise();
    return r != 0;
}

inline pysem::Num num(Ref o) { return pysem::Num::steal(o.release()); }

// float(x) as the host's float arithmetic converts an operand: exact floats
// as they are, ints exactly or OverflowError, others through __float__.
inline double to_double(PyObject *o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

// A value stored back as a double, as a C double argument reads it: an
// exact or subclassed float by its value, an int exactly or OverflowError,
// anything else through __float__ or __index__.
inline double as_double(const pysem::Num &n) {
    if (n.is_float()) return n.as_double();
    if (n.is_int()) return (double) n.as_int();  // exact: within 2**53
    return to_double(n.object().ptr());
}

inline Ref float_object(double d) {
    PyObject *r = PyFloat_FromDouble(d);
    if (!r) raise();
    return steal(r);
}

inline Ref call_method0(PyObject *obj, PyObject *name) {
    PyObject *r = PyObject_CallMethodNoArgs(obj, name);
    if (!r) raise();
    return steal(r);
}

// Splits one item of an items() view into key and value, as `k, v = item`.
void unpack_pair(PyObject *item, Ref &key, Ref &value);

// `for key, value in mapping.items(): fn(key, value)`: an exact dict is
// walked natively (a change of its size during the walk raises the host's
// RuntimeError, as its own iterator does); anything else through its
// items() method and the iterator protocol.
template <typename F>
void for_each_item(PyObject *mapping, F &&fn) {
    if (PyDict_CheckExact(mapping)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(mapping);
        PyObject *k, *v;
        while (PyDict_Next(mapping, &pos, &k, &v)) {
            Ref key = borrow(k), value = borrow(v);
            fn(key.ptr(), value.ptr());
            if (PyDict_GET_SIZE(mapping) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                raise();
            }
        }
        return;
    }
    Ref items = call_method0(mapping, items_name());
    Ref it = steal(PyObject_GetIter(items.ptr()));
    if (!it) raise();
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        Ref item = steal(raw), key, value;
        unpack_pair(item.ptr(), key, value);
        fn(key.ptr(), value.ptr());
    }
    if (PyErr_Occurred()) raise();
}

// `for x in iterable: fn(x)`.
template <typename F>
void for_each(PyObject *iterable, F &&fn) {
    Ref it = steal(PyObject_GetIter(iterable));
    if (!it) raise();
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        Ref x = steal(raw);
        fn(x.ptr());
    }
    if (PyErr_Occurred()) raise();
}

// list(mapping.values()).
Ref values_list(PyObject *mapping);

// Python's `a != b` on two objects.
bool objects_differ(PyObject *a, PyObject *b);

}  // namespace pysem::protocol
