// Ordinary records: plain record classes (pysem/record_type.h) whose
// instances also carry an attribute dictionary (a caller may attach further
// attributes) and accept weak references, as a plain dataclass does.
//
// The record struct holds the fields in declaration order:
//
//     struct ThingRec : plain::Fields<2> {};
//     static const pysem::record::Field thing_fields[] = {
//         PLAIN_FIELD(ThingRec, 0, "a", "int", "doc"), PLAIN_FIELD(ThingRec, 1, "b", "str", "doc")};
//     static const pysem::record::Decl thing_decl = plain::ordinary<ThingRec>("Thing", doc, thing_fields, 2);
//     static pysem::record::Class thing_class{thing_decl};
//     ... plain::define<ThingRec, thing_class>(m);
//
// and the engine derives constructor, equality, repr, pickling, GC and the
// field description from that table. The helpers below let the rest of the
// diagnostics read fields and build instances the way Python code would.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <array>
#include <cstddef>

#include "model/module_ns.h"
#include "pysem/compat.h"
#include "pysem/fields.h"
#include "pysem/record.h"
#include "pysem/record_type.h"

namespace ordermgr::plain {
namespace nb = nanobind;

template <size_t N>
struct Fields {
    static constexpr bool kPlainObject = true;
    static constexpr size_t kSize = N;
    std::array<nb::object, N> f;
};

template <typename T>
using Object = pysem::record::InstanceWithDict<T>;

// Field i of record struct T, as the declaration table lists it.
#define PLAIN_FIELD(T, i, fname, annot, fdoc)                                                               \
    pysem::record::Field {                                                                                  \
        .name = fname, .annotation = annot, .doc = fdoc,                                                    \
        .offset = (Py_ssize_t) (offsetof(::ordermgr::plain::Object<T>, rec) + offsetof(T, f) +            \
                                (i) * sizeof(nb::object))                                                   \
    }

// The declaration of an ordinary record over struct T: every field a
// required parameter, no hash.
template <typename T>
constexpr pysem::record::Decl ordinary(const char *name, const char *doc, const pysem::record::Field *fields,
                                       int nfields, int (*post_init)(PyObject *) = nullptr) {
    return {.name = name,
            .doc = doc,
            .fields = fields,
            .nfields = nfields,
            .basicsize = (Py_ssize_t) sizeof(Object<T>),
            .dict_offset = (Py_ssize_t) offsetof(Object<T>, dict),
            .weaklist_offset = (Py_ssize_t) offsetof(Object<T>, weaklist),
            .post_init = post_init};
}

// The live class of record struct T.
template <typename T>
inline pysem::record::Class *record_class = nullptr;

template <typename T>
inline PyTypeObject *py_type() {
    return record_class<T>->type;
}

// Builds the class of T from its declaration and binds it in the module.
template <typename T, pysem::record::Class &C>
PyTypeObject *define(nb::module_ &m) {
    static_assert(T::kPlainObject);
    record_class<T> = &C;
    return pysem::record::define<C>(m.ptr());
}

// --- reads ------------------------------------------------------------------

template <typename T>
inline T *exact(PyObject *o) {
    return Py_TYPE(o) == py_type<T>() ? pysem::record::rec_of<T>(o) : nullptr;
}

// Field i of a record: the struct for the exact class, attribute access for a
// subclass (which may override it). New reference.
template <typename T>
nb::object field(PyObject *self, size_t i) {
    PyObject *v = pysem::record::read(*record_class<T>, self, (int) i);
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

// Builds an instance of the exact class from owned field values (no
// post-construction step: the caller computed every field).
template <typename T>
nb::object make(std::array<nb::object, T::kSize> &&values) {
    PyTypeObject *tp = py_type<T>();
    nb::object inst = nb::steal(tp->tp_alloc(tp, 0));
    if (!inst) throw nb::python_error();
    T *rec = pysem::record::rec_of<T>(inst.ptr());
    for (size_t i = 0; i < T::kSize; ++i) rec->f[i] = std::move(values[i]);
    return inst;
}

// The class the module binds to T's name right now: T's own type when nobody
// replaced it (then `make` applies), or whatever the caller put there.
template <typename T>
PyObject *bound_class() {
    static PyObject *name = pysem::intern(record_class<T>->decl.name);
    return module_attr(name);
}

// Calls a replaced class with the fields as keywords.
template <typename T>
nb::object call_with_keywords(PyObject *cls, std::array<nb::object, T::kSize> &values) {
    std::array<PyObject *, T::kSize> args;
    for (size_t i = 0; i < T::kSize; ++i) args[i] = values[i].ptr();
    nb::object kwnames = nb::steal(PyTuple_New((Py_ssize_t) T::kSize));
    if (!kwnames) throw nb::python_error();
    for (size_t i = 0; i < T::kSize; ++i) PyTuple_SET_ITEM(kwnames.ptr(), i, Py_NewRef(record_class<T>->names[i]));
    PyObject *r = PyObject_Vectorcall(cls, args.data(), 0, kwnames.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

template <typename T>
nb::object call_positional(PyObject *cls, std::array<nb::object, T::kSize> &values) {
    std::array<PyObject *, T::kSize> args;
    for (size_t i = 0; i < T::kSize; ++i) args[i] = values[i].ptr();
    PyObject *r = PyObject_Vectorcall(cls, args.data(), T::kSize, nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Constructs "T(...)" as the module's namespace resolves T at this moment.
template <typename T>
nb::object construct(std::array<nb::object, T::kSize> &&values, bool by_keyword) {
    PyObject *cls = bound_class<T>();
    if (cls == (PyObject *) py_type<T>()) return make<T>(std::move(values));
    return by_keyword ? call_with_keywords<T>(cls, values) : call_positional<T>(cls, values);
}

// True when calling method `name` on `self` would run `own`: no instance
// attribute shadows it and the class still resolves it to the module's own
// function object.
inline bool resolves_to(PyObject *self, PyObject *name, PyObject *own) {
    if (Py_TYPE(self)->tp_dictoffset) {
        nb::object dict = nb::steal(pysem::compat::instance_dict(self));
        if (!dict) throw nb::python_error();
        if (PyDict_GET_SIZE(dict.ptr())) {
            PyObject *v = PyDict_GetItemWithError(dict.ptr(), name);
            if (v) return false;
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    return pysem::compat::type_lookup(Py_TYPE(self), name) == own;
}

// Keeps a reference to the class attribute `name` in *slot, for identity
// checks, until the interpreter starts shutting down (then *slot becomes
// null and every check falls back to the generic path).
void keep_attr(nb::handle cls, const char *name, PyObject **slot);

}  // namespace ordermgr::plain
