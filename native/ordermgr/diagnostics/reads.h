// How the diagnostics and the reports read what they examine: mappings
// iterated as `for k, v in m.items()` would, position flags as objects,
// numbers as the host's arithmetic sees them. Exact dicts and exact model
// types take native paths; anything else goes through attribute access.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "model/module_ns.h"
#include "pysem/num.h"

namespace ordermgr {
namespace nb = nanobind;

// Interned names read on the generic paths of diagnostics and reports.
struct DiagNames {
    PyObject *get_portfolio_summary, *position_groups, *validate_trade, *validate_position_consistency,
        *DataValidator, *check_data, *check_math, *strftime, *stopPct_kw;
};
extern DiagNames dnames;
void init_diag_names();

[[noreturn]] inline void raise() { throw nb::python_error(); }

inline bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) raise();
    return r != 0;
}

inline pysem::Num num(nb::object o) { return pysem::Num::steal(o.release().ptr()); }

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

inline nb::object float_object(double d) {
    PyObject *r = PyFloat_FromDouble(d);
    if (!r) raise();
    return nb::steal(r);
}

inline nb::object call_method0(PyObject *obj, PyObject *name) {
    PyObject *r = PyObject_CallMethodNoArgs(obj, name);
    if (!r) raise();
    return nb::steal(r);
}

// Splits one item of an items() view into key and value, as `k, v = item`.
void unpack_pair(PyObject *item, nb::object &key, nb::object &value);

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
            nb::object key = nb::borrow(k), value = nb::borrow(v);
            fn(key.ptr(), value.ptr());
            if (PyDict_GET_SIZE(mapping) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                raise();
            }
        }
        return;
    }
    nb::object items = call_method0(mapping, names.items);
    nb::object it = nb::steal(PyObject_GetIter(items.ptr()));
    if (!it) raise();
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw), key, value;
        unpack_pair(item.ptr(), key, value);
        fn(key.ptr(), value.ptr());
    }
    if (PyErr_Occurred()) raise();
}

// `for x in iterable: fn(x)`.
template <typename F>
void for_each(PyObject *iterable, F &&fn) {
    nb::object it = nb::steal(PyObject_GetIter(iterable));
    if (!it) raise();
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object x = nb::steal(raw);
        fn(x.ptr());
    }
    if (PyErr_Occurred()) raise();
}

// list(mapping.values()).
nb::object values_list(PyObject *mapping);

// A position's `is_long` and `empty` as the objects a read gives (a bool for
// an exact Position, whatever a subclass or a duck-typed object returns).
nb::object position_is_long_object(PyObject *position);
nb::object position_empty_object(PyObject *position);

// Python's `a != b` on two objects.
bool objects_differ(PyObject *a, PyObject *b);

}  // namespace ordermgr
