// Ordinary records: native types generated from a field list, whose
// instances also carry an attribute dictionary (a caller may attach further
// attributes) and accept weak references, as a plain dataclass does.
//
// A record type is a struct deriving from plain::Fields<N> that names its
// class and fields:
//
//     struct Thing : plain::Fields<2> {
//         static constexpr const char *kName = "Thing";
//         static constexpr std::array<plain::FieldDef, 2> kFields{{{"a", "doc"}, {"b", "doc"}}};
//     };
//
// plain::define<Thing>(m, doc) then builds the class: one required
// constructor parameter per field (by position or keyword), getset fields,
// field-wise equality only within the exact class, the dataclass text form,
// no hash, __match_args__, GC over fields and dictionary, and pickling/copying
// of fields and extra attributes. Subclasses defined in Python are honoured:
// their fields are read through attribute access.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <array>
#include <cstdint>
#include <new>
#include <utility>

#include "model/module_ns.h"
#include "pysem/fields.h"
#include "pysem/record.h"

namespace ordermgr::plain {
namespace nb = nanobind;

struct FieldDef {
    const char *name;
    const char *doc;
};

template <size_t N>
struct Fields {
    static constexpr size_t kSize = N;
    std::array<nb::object, N> f;

    int visit(visitproc visit, void *arg) {
        for (auto &o : f) Py_VISIT(o.ptr());
        return 0;
    }
    void clear() {
        for (auto &o : f) nb::object old = std::move(o);
    }
};

// The Python type of record struct T and its interned field names.
template <typename T>
inline PyTypeObject *py_type = nullptr;
template <typename T>
inline std::array<PyObject *, T::kSize> field_names{};
template <typename T>
inline PyObject *class_name = nullptr;

// --- reads ------------------------------------------------------------------

template <typename T>
inline T *exact(PyObject *o) {
    return Py_TYPE(o) == py_type<T> && nb::inst_ready(o) ? nb::inst_ptr<T>(o) : nullptr;
}

// Field i of a record: the struct for the exact class, attribute access for a
// subclass (which may override it). New reference.
template <typename T>
nb::object field(PyObject *self, size_t i) {
    if (T *rec = exact<T>(self)) return nb::borrow(pysem::require(rec->f[i], T::kFields[i].name));
    return pysem::getattr(self, field_names<T>[i]);
}

// Builds an instance of the exact class from owned field values.
template <typename T>
nb::object make(std::array<nb::object, T::kSize> &&values) {
    nb::object inst = nb::inst_alloc(nb::handle((PyObject *) py_type<T>));
    T *rec = new (nb::inst_ptr<T>(inst)) T{};
    rec->f = std::move(values);
    nb::inst_mark_ready(inst);
    return inst;
}

// The class the module binds to T's name right now: T's own type when nobody
// replaced it (then `make` applies), or whatever the caller put there.
template <typename T>
PyObject *bound_class() {
    return module_attr(class_name<T>);
}

// Calls a replaced class with the fields as keywords.
template <typename T>
nb::object call_with_keywords(PyObject *cls, std::array<nb::object, T::kSize> &values) {
    std::array<PyObject *, T::kSize> args;
    for (size_t i = 0; i < T::kSize; ++i) args[i] = values[i].ptr();
    nb::object kwnames = nb::steal(PyTuple_New((Py_ssize_t) T::kSize));
    if (!kwnames) throw nb::python_error();
    for (size_t i = 0; i < T::kSize; ++i) PyTuple_SET_ITEM(kwnames.ptr(), i, Py_NewRef(field_names<T>[i]));
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
    if (cls == (PyObject *) py_type<T>) return make<T>(std::move(values));
    return by_keyword ? call_with_keywords<T>(cls, values) : call_positional<T>(cls, values);
}

// True when calling method `name` on `self` would run `own`: no instance
// attribute shadows it and the class still resolves it to the module's own
// function object.
inline bool resolves_to(PyObject *self, PyObject *name, PyObject *own) {
    if (Py_TYPE(self)->tp_dictoffset) {
        PyObject **dict = _PyObject_GetDictPtr(self);
        if (dict && *dict && PyDict_GET_SIZE(*dict)) {
            PyObject *v = PyDict_GetItemWithError(*dict, name);
            if (v) return false;
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    return _PyType_Lookup(Py_TYPE(self), name) == own;
}

// Keeps a reference to the class attribute `name` in *slot, for identity
// checks, until the interpreter starts shutting down (then *slot becomes
// null and every check falls back to the generic path).
void keep_attr(nb::handle cls, const char *name, PyObject **slot);

// --- slots ------------------------------------------------------------------

template <typename T>
PyObject *get_field(PyObject *self, void *closure) {
    T *rec = pysem::record_of<T>(self);
    if (!rec) return nullptr;
    size_t i = (size_t) (uintptr_t) closure;
    PyObject *v = rec->f[i].ptr();
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     T::kFields[i].name);
        return nullptr;
    }
    return Py_NewRef(v);
}

template <typename T>
int set_field(PyObject *self, PyObject *value, void *closure) {
    T *rec = pysem::record_of<T>(self);
    if (!rec) return -1;
    size_t i = (size_t) (uintptr_t) closure;
    if (!value && !rec->f[i].ptr()) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     T::kFields[i].name);
        return -1;
    }
    // Swap first, release after: the old value's finaliser may look at us.
    nb::object old = std::move(rec->f[i]);
    rec->f[i] = value ? nb::borrow(value) : nb::object();
    return 0;
}

template <typename T>
int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    PyObject **dict = _PyObject_GetDictPtr(self);
    if (dict) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<T>(self)->visit(visit, arg);
}

template <typename T>
int clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    PyObject **dict = _PyObject_GetDictPtr(self);
    if (dict) Py_CLEAR(*dict);
    return 0;
}

template <typename T>
PyType_Slot *type_slots() {
    static PyGetSetDef getset[T::kSize + 2];
    for (size_t i = 0; i < T::kSize; ++i)
        getset[i] = {T::kFields[i].name, &get_field<T>, &set_field<T>, T::kFields[i].doc, (void *) (uintptr_t) i};
    getset[T::kSize] = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr};
    getset[T::kSize + 1] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    static PyType_Slot slots[] = {{Py_tp_traverse, (void *) &traverse<T>},
                                  {Py_tp_clear, (void *) &clear<T>},
                                  {Py_tp_hash, (void *) PyObject_HashNotImplemented},
                                  {Py_tp_getset, (void *) getset},
                                  {0, nullptr}};
    return slots;
}

// --- generated methods --------------------------------------------------------

template <typename T>
std::array<nb::object, T::kSize> all_fields(PyObject *self) {
    std::array<nb::object, T::kSize> v;
    for (size_t i = 0; i < T::kSize; ++i) v[i] = field<T>(self, i);
    return v;
}

template <typename T>
nb::object repr(nb::handle self) {
    auto values = all_fields<T>(self.ptr());
    std::array<pysem::FieldRef, T::kSize> refs;
    for (size_t i = 0; i < T::kSize; ++i) refs[i] = {T::kFields[i].name, values[i].ptr()};
    return pysem::record_repr_n(self.ptr(), refs.data(), T::kSize);
}

template <typename T>
nb::object eq(nb::handle self, nb::handle other) {
    if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr())) return pysem::not_implemented();
    if (self.is(other)) return nb::borrow(Py_True);
    auto a = all_fields<T>(self.ptr()), b = all_fields<T>(other.ptr());
    std::array<PyObject *, T::kSize> pa, pb;
    for (size_t i = 0; i < T::kSize; ++i) pa[i] = a[i].ptr(), pb[i] = b[i].ptr();
    return nb::borrow(pysem::fields_equal_n(pa.data(), pb.data(), T::kSize) ? Py_True : Py_False);
}

// State for pickle and copy: (field tuple, extra attributes or None).
template <typename T>
nb::object getstate(nb::handle self) {
    T *rec = pysem::record_of<T>(self.ptr());
    if (!rec) throw nb::python_error();
    nb::object values = nb::steal(PyTuple_New((Py_ssize_t) T::kSize));
    if (!values) throw nb::python_error();
    for (size_t i = 0; i < T::kSize; ++i)
        PyTuple_SET_ITEM(values.ptr(), i, Py_NewRef(pysem::require(rec->f[i], T::kFields[i].name)));
    PyObject **dict = _PyObject_GetDictPtr(self.ptr());
    nb::object extra = dict && *dict && PyDict_GET_SIZE(*dict) ? nb::borrow(*dict) : nb::none();
    return nb::make_tuple(values, extra);
}

template <typename T>
void setstate(nb::pointer_and_handle<T> v, nb::handle state) {
    if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 2 ||
        !PyTuple_Check(PyTuple_GET_ITEM(state.ptr(), 0)) ||
        PyTuple_GET_SIZE(PyTuple_GET_ITEM(state.ptr(), 0)) != (Py_ssize_t) T::kSize)
        throw nb::value_error("invalid record state");
    PyObject *values = PyTuple_GET_ITEM(state.ptr(), 0), *extra = PyTuple_GET_ITEM(state.ptr(), 1);
    if (extra != Py_None) {
        nb::object dict = nb::steal(PyObject_GenericGetDict(v.h.ptr(), nullptr));
        if (!dict || PyDict_Update(dict.ptr(), extra) < 0) throw nb::python_error();
    }
    T *rec = new (v.p) T{};
    for (size_t i = 0; i < T::kSize; ++i) rec->f[i] = nb::borrow(PyTuple_GET_ITEM(values, i));
}

template <size_t>
using arg_handle = nb::handle;

// After-construction hook: a record may define
//     static void post_init(nb::pointer_and_handle<T> self);
// which runs once the fields are set.
template <typename T>
concept HasPostInit = requires(nb::pointer_and_handle<T> v) { T::post_init(v); };

template <typename T, size_t... I>
void def_init(nb::class_<T> &cls, std::index_sequence<I...>) {
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<T> v, arg_handle<I>... args) {
            T *rec = new (v.p) T{};
            ((rec->f[I] = nb::borrow(args)), ...);
            if constexpr (HasPostInit<T>) {
                try {
                    T::post_init(v);
                } catch (...) {
                    // A failed construction leaves no instance behind: unless
                    // the hook already handed it over, undo the fields here.
                    if (!nb::inst_ready(v.h)) rec->~T();
                    throw;
                }
            }
        },
        nb::arg(T::kFields[I].name).none()...);
}

template <typename T, size_t... I>
nb::object match_args(std::index_sequence<I...>) {
    return nb::make_tuple(T::kFields[I].name...);
}

template <typename T>
nb::class_<T> define(nb::module_ &m, const char *doc) {
    nb::class_<T> cls(m, T::kName, nb::type_slots(type_slots<T>()), nb::dynamic_attr(), nb::is_weak_referenceable(),
                      doc);
    py_type<T> = (PyTypeObject *) cls.ptr();
    class_name<T> = pysem::intern(T::kName);
    for (size_t i = 0; i < T::kSize; ++i) field_names<T>[i] = pysem::intern(T::kFields[i].name);
    def_init<T>(cls, std::make_index_sequence<T::kSize>());
    cls.def("__eq__", &eq<T>, nb::is_operator());
    cls.def("__repr__", &repr<T>);
    cls.def("__getstate__", &getstate<T>);
    cls.def("__setstate__", &setstate<T>);
    cls.attr("__match_args__") = match_args<T>(std::make_index_sequence<T::kSize>());
    return cls;
}

}  // namespace ordermgr::plain
