// Fields of the native records and the collector.
//
// A record holding only atomic values (numbers, strings, datetimes, None)
// can be part of no reference cycle, so the collector need not know it: the
// record engine (record_type.h) leaves such an instance untracked, and
// track_for() tracks it as soon as one field is given a value the collector
// may have to see.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace pysem {
namespace nb = nanobind;

// Whether the collector may ever have to traverse through `o` (CPython's
// own rule for the values of a dict): any GC object, except an exact tuple
// the collector has already found to hold only atomic values.
inline bool may_be_tracked(PyObject *o) {
    // PyObject_IS_GC without the call (a type object counts as one that may be).
    if (!o || !PyType_IS_GC(Py_TYPE(o))) return false;
    return !PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o);
}

inline void track_for(PyObject *self, PyObject *value) {
    if (may_be_tracked(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

// Reads a member for internal use: the field's value, or AttributeError when
// it was deleted.
inline PyObject *require(const nb::object &o, const char *name) {
    if (!o.ptr()) {
        PyErr_Format(PyExc_AttributeError, "record has no attribute '%s'", name);
        throw nb::python_error();
    }
    return o.ptr();
}

// GC slots for a C++ struct bound with nb::class_ (the store's helper
// types): T::visit(visitproc, void*) visits every object member; T::clear()
// drops them.
template <typename T>
int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<T>(self)->visit(visit, arg);
}

template <typename T>
int record_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    return 0;
}

}  // namespace pysem
