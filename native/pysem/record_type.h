// Record classes declared once.
//
// A record class is described by one table (a `Decl`): its name, its fields
// in declaration order (constructor participation and default, equality and
// repr participation, type annotation), whether its instances are fixed to
// their fields or carry an attribute dict, its post-construction step and
// its hash rule. Everything else is derived from that table by `define`:
// the constructor (a vectorcall for the class itself, __init__ for
// subclasses and explicit calls) with the host's argument-binding messages,
// field access, equality, the recursion-guarded repr, pickling and copying,
// __match_args__, __slots__, the field description that dataclass
// introspection and the stubs are checked against, GC traversal and
// clearing, and the store codec.
//
// Instances are plain CPython objects: the object header followed by the
// record's C++ struct (`Instance<T>`), or by the struct, the attribute dict
// and the weak-reference list (`InstanceWithDict<T>`). Fresh instances are
// zeroed: every member of a record struct must be valid when all its bytes
// are zero (nb::object is then null), and no constructor or destructor of
// the struct runs; the fields are dropped through the table.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <cstddef>
#include <string>

#include "pysem/args.h"
#include "pysem/record_codec.h"

namespace pysem::record {
namespace nb = nanobind;

template <typename T>
struct Instance {
    PyObject_HEAD
    T rec;
};

template <typename T>
struct InstanceWithDict {
    PyObject_HEAD
    T rec;
    PyObject *dict;
    PyObject *weaklist;
};

// The record struct of an instance of a record class (or of a subclass).
template <typename T>
inline T *rec_of(PyObject *self) {
    return &reinterpret_cast<Instance<T> *>(self)->rec;
}

enum class Init : unsigned char {
    Required,  // a constructor parameter without default
    Default,   // a parameter whose default is one value, made once
    Factory,   // a parameter whose default is made anew for every instance
    Excluded,  // not a parameter: set by the post-construction step
};

struct Field {
    const char *name;
    const char *annotation;  // type expression, read in the module's namespace
    const char *doc;
    Py_ssize_t offset;  // of the field's PyObject * from the start of an instance
    Init init = Init::Required;
    // Default: makes the value (kept by the class); Factory: makes a new one.
    PyObject *(*make)() = nullptr;
    const char *factory = nullptr;  // the factory's name, for introspection
    bool compare = true;
    bool repr = true;
    // A field that is more than its object slot (a value made on first
    // read, say) is read and written through these; the slot at `offset`
    // is still what the collector visits and what clearing drops.
    getter get = nullptr;
    setter set = nullptr;
};

#define PYSEM_RECORD_SLOT(Inst, member) ((Py_ssize_t) offsetof(Inst, rec.member))

struct Decl {
    const char *name;
    const char *doc;
    const Field *fields;
    int nfields;
    Py_ssize_t basicsize;
    // Ordinary records (attribute dict and weak references); 0 for records
    // whose attributes are fixed to their fields.
    Py_ssize_t dict_offset = 0, weaklist_offset = 0;
    // The post-construction step, exposed as __post_init__ and run by the
    // constructor through that name (a subclass may override it). 0 / -1.
    int (*post_init)(PyObject *self) = nullptr;
    hashfunc hash = nullptr;  // null: unhashable
    // An instance of exactly this class whose fields all hold objects the
    // collector never tracks is left untracked (slot records only).
    bool untracked_while_atomic = false;
    // Native state beside the fields:
    // a Factory field that the record fills itself (1 done, 0 not, -1 error);
    int (*fill_default)(PyObject *self, int field) = nullptr;
    // about to give a plain field `value` (null: deleted). Field -1: every
    // field at once, `value` then null when they are being dropped by the
    // collector and `self` (something the collector may have to see) when
    // they are replaced by any values;
    void (*changing)(PyObject *self, int field, PyObject *value) = nullptr;
    // a field was assigned (-1: the record was built or restored whole);
    void (*settled)(PyObject *self, int field) = nullptr;
    // after the fields were dropped by the collector.
    void (*cleared)(PyObject *self) = nullptr;
    PyMethodDef *methods = nullptr;
    PyGetSetDef *properties = nullptr;  // derived, read-only figures
    // Store codec: index of the field kept entry by entry, and its change record.
    int itemized_field = -1;
    Py_ssize_t (*items_changed)(PyObject *, const zelph_items_mark *, zelph_items_mark *, PyObject **, PyObject **,
                                int *, Py_ssize_t) = nullptr;
};

constexpr int kMaxFields = 16;

// The live class of one declaration.
struct Class {
    const Decl &decl;
    PyTypeObject *type = nullptr;
    PyObject *names[kMaxFields] = {};
    PyObject *defaults[kMaxFields] = {};  // Default fields: the kept value
    // The constructor's parameters: the fields that are not Excluded.
    const char *params[kMaxFields] = {};
    PyObject *param_names[kMaxFields] = {};
    int param_field[kMaxFields] = {};
    ArgSpec signature{};
    PyObject *own_post_init = nullptr;
    zelph_record_codec codec{};
    std::string init_qualname;

    explicit Class(const Decl &d) : decl(d) {}

    PyObject **slot(PyObject *self, int i) const {
        return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + decl.fields[i].offset);
    }
    bool exact(PyObject *o) const { return Py_TYPE(o) == type; }
    PyObject **dict_ptr(PyObject *self) const {
        return decl.dict_offset ? reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + decl.dict_offset)
                                : nullptr;
    }
};

// The slot functions of one class, instantiated per class so that each
// knows its declaration without a lookup.
struct SlotSet {
    newfunc tp_new;
    initproc tp_init;
    destructor tp_dealloc;
    traverseproc tp_traverse;
    inquiry tp_clear;
    reprfunc tp_repr;
    richcmpfunc tp_richcompare;
    vectorcallfunc vectorcall;
    getter field_get;
    setter field_set;
    PyCFunction getstate, setstate, post_init;
    PyObject *(*codec_fields)(PyObject *);
    PyObject *(*codec_build)(PyTypeObject *, PyObject *);
};

// --- the derived operations (one definition each) ----------------------------

PyObject *tp_new(Class &c, PyTypeObject *type);
int tp_init(Class &c, PyObject *self, PyObject *args, PyObject *kwargs);
PyObject *vectorcall(Class &c, PyObject *const *args, size_t nargsf, PyObject *kwnames);
void tp_dealloc(Class &c, PyObject *self);
int tp_traverse(Class &c, PyObject *self, visitproc visit, void *arg);
int tp_clear(Class &c, PyObject *self);
PyObject *tp_repr(Class &c, PyObject *self);
PyObject *tp_richcompare(Class &c, PyObject *self, PyObject *other, int op);
PyObject *field_get(Class &c, PyObject *self, int i);
int field_set(Class &c, PyObject *self, PyObject *value, int i);
PyObject *getstate(Class &c, PyObject *self);
PyObject *setstate(Class &c, PyObject *self, PyObject *state);
PyObject *post_init_method(Class &c, PyObject *self);
PyObject *codec_fields(Class &c, PyObject *self);
PyObject *codec_build(Class &c, PyTypeObject *cls, PyObject *fields);

// Field i of a record, as `getattr(self, name)` gives it: the slot for an
// instance of exactly the class, attribute access for a subclass (which may
// override it). New reference, or null with the error set.
PyObject *read(Class &c, PyObject *self, int i);

// Builds the class in `module` (PyType_FromModuleAndSpec) and binds it there
// under its name.
PyTypeObject *create(Class &c, PyObject *module, const SlotSet &slots);

// Whether every field of an instance holds an object the collector never
// tracks (then it is untracked), tracked again otherwise.
void retrack(Class &c, PyObject *self);

template <Class &C>
PyTypeObject *define(PyObject *module) {
    static const SlotSet slots = {
        [](PyTypeObject *t, PyObject *, PyObject *) { return tp_new(C, t); },
        [](PyObject *s, PyObject *a, PyObject *k) { return tp_init(C, s, a, k); },
        [](PyObject *s) { tp_dealloc(C, s); },
        [](PyObject *s, visitproc v, void *a) { return tp_traverse(C, s, v, a); },
        [](PyObject *s) { return tp_clear(C, s); },
        [](PyObject *s) { return tp_repr(C, s); },
        [](PyObject *s, PyObject *o, int op) { return tp_richcompare(C, s, o, op); },
        [](PyObject *, PyObject *const *a, size_t n, PyObject *k) { return vectorcall(C, a, n, k); },
        [](PyObject *s, void *i) { return field_get(C, s, (int) (intptr_t) i); },
        [](PyObject *s, PyObject *v, void *i) { return field_set(C, s, v, (int) (intptr_t) i); },
        [](PyObject *s, PyObject *) { return getstate(C, s); },
        [](PyObject *s, PyObject *st) { return setstate(C, s, st); },
        [](PyObject *s, PyObject *) { return post_init_method(C, s); },
        [](PyObject *s) { return codec_fields(C, s); },
        [](PyTypeObject *t, PyObject *f) { return codec_build(C, t, f); },
    };
    return create(C, module, slots);
}

}  // namespace pysem::record
