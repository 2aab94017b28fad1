// Fields of the native records and the collector.
//
// A record holding only atomic values (numbers, strings, datetimes, None)
// can be part of no reference cycle, so the collector need not know it: the
// record engine (record_type.h) leaves such an instance untracked, and
// track_for() tracks it as soon as one field is given a value the collector
// may have to see.
#pragma once
#include <Python.h>

#ifdef PYSEM_NANOBIND
#include <nanobind/nanobind.h>
#endif

namespace pysem {

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

#ifdef PYSEM_NANOBIND
// GC slots for a C++ struct bound with nb::class_ (the store's helper
// types): T::visit(visitproc, void*) visits every object member; T::clear()
// drops them.
template <typename T>
int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nanobind::inst_ready(self)) return 0;
    return nanobind::inst_ptr<T>(self)->visit(visit, arg);
}

template <typename T>
int record_clear(PyObject *self) {
    if (nanobind::inst_ready(self)) nanobind::inst_ptr<T>(self)->clear();
    return 0;
}
#endif

}  // namespace pysem
