// Native record fields as getset descriptors over nanobind instances.
//
// A record type is a C++ struct of nb::object members bound with nb::class_.
// Its fields are exposed through a static PyGetSetDef table (installed with
// nb::type_slots) instead of nanobind properties: a getset read is a plain C
// call, no argument dispatch. The GC slots come from the same struct, which
// lists its members once in `visit`.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

// Type slot for a type's own vectorcall (constructor fast path). Public only
// from 3.14 on; nanobind installs it on older hosts as well.
#ifndef Py_tp_vectorcall
#define Py_tp_vectorcall 82
#endif

namespace pysem {
namespace nb = nanobind;

// A record struct laid out as a plain CPython object (record_type.h) says
// so with `static constexpr bool kPlainObject = true;`.
template <typename T>
concept PlainRecord = T::kPlainObject;

template <typename T>
inline T *record_of(PyObject *self) {
    if constexpr (PlainRecord<T>) {
        return &reinterpret_cast<record::Instance<T> *>(self)->rec;
    }
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_AttributeError, "'%s' object is not initialised", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return nb::inst_ptr<T>(self);
}

template <typename T, nb::object T::*Member>
PyObject *field_get(PyObject *self, void *closure) {
    T *rec = record_of<T>(self);
    if (!rec) return nullptr;
    PyObject *v = (rec->*Member).ptr();
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'",
                     Py_TYPE(self)->tp_name, (const char *) closure);
        return nullptr;
    }
    return Py_NewRef(v);
}

// Whether the collector may ever have to traverse through `o` (CPython's
// own rule for the values of a dict): any GC object, except an exact tuple
// the collector has already found to hold only atomic values.
inline bool may_be_tracked(PyObject *o) {
    // PyObject_IS_GC without the call (a type object counts as one that may be).
    if (!o || !PyType_IS_GC(Py_TYPE(o))) return false;
    return !PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o);
}

// A record holding only atomic values (numbers, strings, datetimes, None)
// can be part of no reference cycle, so the collector need not know it:
// untrack it (and track it again when its fields were replaced by some the
// collector may have to see). track_for() tracks it when one field gets
// such a value.
//
// Only for an instance of the exact record type: a subclass may keep other
// values (slots of its own, an instance dict) that the record cannot see.
template <typename T>
void untrack_if_atomic(PyObject *self, T &rec, PyTypeObject *exact_type) {
    if (Py_TYPE(self) != exact_type) return;
    bool atomic = true;
    rec.visit(
        [](PyObject *o, void *arg) -> int {
            if (!may_be_tracked(o)) return 0;
            *(bool *) arg = false;
            return 1;
        },
        &atomic);
    if (atomic && PyObject_GC_IsTracked(self))
        PyObject_GC_UnTrack(self);
    else if (!atomic && !PyObject_GC_IsTracked(self))
        PyObject_GC_Track(self);
}

inline void track_for(PyObject *self, PyObject *value) {
    if (may_be_tracked(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

template <typename T, nb::object T::*Member>
int field_set(PyObject *self, PyObject *value, void *closure) {
    T *rec = record_of<T>(self);
    if (!rec) return -1;
    if (!value && !(rec->*Member).ptr()) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'",
                     Py_TYPE(self)->tp_name, (const char *) closure);
        return -1;
    }
    // Swap first, release after: the old value's finaliser may look at us.
    nb::object old = std::move(rec->*Member);
    rec->*Member = value ? nb::borrow(value) : nb::object();
    track_for(self, value);
    return 0;
}

#define PYSEM_FIELD(T, name, doc)                                                   \
    PyGetSetDef {                                                                   \
        #name, &::pysem::field_get<T, &T::name>, &::pysem::field_set<T, &T::name>, \
            doc, (void *) #name                                                     \
    }

// GC support: T::visit(visitproc, void*) visits every object member;
// T::clear() drops them.
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

// Reads a member for internal use: the field's value, or AttributeError when
// it was deleted.
inline PyObject *require(const nb::object &o, const char *name) {
    if (!o.ptr()) {
        PyErr_Format(PyExc_AttributeError, "record has no attribute '%s'", name);
        throw nb::python_error();
    }
    return o.ptr();
}

}  // namespace pysem
