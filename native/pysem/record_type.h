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
// are zero (Ref is then null), and no constructor or destructor of
// the struct runs; the fields are dropped through the table.
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <cstddef>
#include <string>

#include "pysem/args.h"
#include "dualcache/record_codec.h"

namespace pysem::record {

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

// A field's object as an instance holds it (borrowed); the host's
// AttributeError when the field is unset (deleted, or never set on an
// instance made with __new__ alone).
inline PyObject *held(PyObject *self, const Ref &member, const char *name) {
    if (!member) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
        throw Error();
    }
    return member.ptr();
}

enum class Init : unsigned char {
    Required,  // a constructor parameter without default
    Default,   // a parameter whose default is one value, made once
    Factory,   // a parameter whose default is made anew for every instance
    Excluded,  // not a parameter: set by the post-construction step
};

// How a field takes part in construction, equality and repr: one value per
// field, made by the helpers below (`required()`, `defaults(make)`,
// `factory(make, "name")`, `excluded()`, then `.uncompared()` or
// `.through(get, set)` where a field needs them).
struct Role {
    Init init = Init::Required;
    // Default: makes the value (kept by the class); Factory: makes a new one.
    PyObject *(*make)() = nullptr;
    const char *factory = nullptr;  // the factory's name, for introspection
    bool compare = true;
    bool repr = true;
    // A field that is more than its object slot (a value made on first
    // read, say) is read and written through these; the slot at the field's
    // offset is still what the collector visits and what clearing drops.
    getter get = nullptr;
    setter set = nullptr;

    constexpr Role uncompared() const {
        Role r = *this;
        r.compare = false;
        return r;
    }
    constexpr Role through(getter g, setter s) const {
        Role r = *this;
        r.get = g;
        r.set = s;
        return r;
    }
};

namespace roles {
constexpr Role required() { return Role{}; }
constexpr Role defaults(PyObject *(*make)()) { return Role{Init::Default, make}; }
constexpr Role factory(PyObject *(*make)(), const char *name) { return Role{Init::Factory, make, name}; }
constexpr Role excluded() { return Role{Init::Excluded}; }
}  // namespace roles

struct Field : Role {
    const char *name;
    const char *annotation;  // type expression, read in the module's namespace
    const char *doc;
    Py_ssize_t offset;  // of the field's PyObject * from the start of an instance

    constexpr Field(const char *n, const char *a, const char *d, Py_ssize_t o, Role r)
        : Role(r), name(n), annotation(a), doc(d), offset(o) {}
    // Closes a table (which may have no fields at all).
    static constexpr Field end() { return Field(nullptr, nullptr, nullptr, 0, Role{}); }
};

// The fields of one record, in declaration order.
struct Table {
    const Field *rows;
    int count;
};

// A record's fields are declared once, as an X-macro list of rows
//
//     #define THING_FIELDS(F)  (each row ending in a backslash)
//         F(Ref, a, "int", required(), "What a is.")
//         F(Ref, b, "str", defaults(make_b), "What b is.")
//
// (member type, name, annotation, role, doc). From it follow the struct's
// members and their indices (PYSEM_RECORD_FIELDS, inside the struct:
// `Thing::field::a`, `Thing::field::count`) and the table the class is built
// from (PYSEM_RECORD_TABLE, where the roles are evaluated, with
// pysem::record::roles in scope); the engine derives everything else from the
// table (see Decl).
// A field's Python name is its member's name; a member whose name is a C++
// keyword is written with a trailing underscore (`namespace_`), which the
// Python name drops.
template <size_t N>
struct FieldName {
    char text[N] = {};
    constexpr explicit FieldName(const char (&member)[N]) {
        size_t n = N - 1;
        if (n > 1 && member[n - 1] == '_') --n;
        for (size_t i = 0; i < n; ++i) text[i] = member[i];
    }
};
#define PYSEM_RECORD_NAME_(name)                                                   \
    [] {                                                                           \
        static constexpr ::pysem::record::FieldName<sizeof(#name)> python(#name); \
        return python.text;                                                        \
    }()
#define PYSEM_RECORD_MEMBER_(type, name, annotation, role, doc) type name;
#define PYSEM_RECORD_INDEX_(type, name, annotation, role, doc) name,
#define PYSEM_RECORD_ROW_(type, name, annotation, role, doc)                                                        \
    ::pysem::record::Field(PYSEM_RECORD_NAME_(name), annotation, doc,                                                 \
                           (Py_ssize_t) offsetof(::pysem::record::Instance<Record>, rec.name),                        \
                           role),
#define PYSEM_RECORD_FIELDS(LIST) \
    LIST(PYSEM_RECORD_MEMBER_)    \
    struct field {                \
        enum : int { LIST(PYSEM_RECORD_INDEX_) count };                                                            \
    };
#define PYSEM_RECORD_TABLE(T, LIST)                                         \
    [] {                                                                    \
        using Record [[maybe_unused]] = T;                                  \
        using namespace ::pysem::record::roles;                             \
        static const ::pysem::record::Field rows[] = {LIST(PYSEM_RECORD_ROW_)::pysem::record::Field::end()}; \
        return ::pysem::record::Table{rows, (int) (sizeof rows / sizeof rows[0]) - 1};                    \
    }()

// Everything about one record class. Its documentation is derived: the
// summary line of `doc`, the constructor's signature, one line per field
// (name, annotation, doc), then the rest of `doc`.
struct Decl {
    const char *name;
    const char *doc;
    Table fields;
    // Ordinary records carry an attribute dict and accept weak references;
    // the others are fixed to their fields (slots).
    bool ordinary = false;
    // Bound in the module under its name; false for a helper class that the
    // caller makes an attribute of another class.
    bool module_attribute = true;
    // The post-construction step, exposed as __post_init__ and run by the
    // constructor through that name (a subclass may override it). 0 / -1.
    int (*post_init)(PyObject *self) = nullptr;
    hashfunc hash = nullptr;  // null: unhashable
    // An instance of exactly this class whose fields all hold objects the
    // collector never tracks is left untracked (slot records only).
    bool untracked_while_atomic = false;
    // Released instances of exactly this class whose memory is kept for the
    // next ones the class's own constructor makes (as the host keeps its
    // floats and tuples): at most this many. Subclass instances are always
    // freed.
    int free_list = 0;
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
    // The class's methods (pysem/method.h), made when the class is: a table
    // ending in an empty entry. `owner` is the class's name.
    PyMethodDef *(*methods)(const char *owner) = nullptr;
    // Methods bound like Python functions (pysem::Method::Function): any
    // object is taken as self. Set as class attributes.
    PyMethodDef *(*functions)(const char *owner) = nullptr;
    PyGetSetDef *properties = nullptr;  // derived, read-only figures, and the class's own descriptors
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
    // The instance layout, from the record struct (define<T, C>).
    Py_ssize_t basicsize = 0, dict_offset = 0, weaklist_offset = 0;
    PyObject *type_name = nullptr;  // interned decl.name
    PyObject *names[kMaxFields] = {};
    PyObject *defaults[kMaxFields] = {};  // Default fields: the kept value
    // The constructor's parameters: the fields that are not Excluded.
    const char *params[kMaxFields] = {};
    PyObject *param_names[kMaxFields] = {};
    int param_field[kMaxFields] = {};
    ArgSpec signature{};
    PyObject *own_post_init = nullptr;
    vectorcallfunc own_vectorcall = nullptr;  // the class's own constructor path
    zelph_record_codec codec{};
    std::string init_qualname, doc;
    // The kept instances (decl.free_list of them at most), each released
    // (fields dropped, untracked) and holding the reference to the class it
    // had; free_capacity is 0 once the list was dropped.
    PyObject **free_items = nullptr;
    int free_count = 0, free_capacity = 0;

    explicit Class(const Decl &d) : decl(d) {}

    PyObject **slot(PyObject *self, int i) const {
        return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + decl.fields.rows[i].offset);
    }
    bool exact(PyObject *o) const { return Py_TYPE(o) == type; }
    // The record struct of an instance of exactly this class, else null:
    // the one way native code reaches a record's fields directly.
    template <typename T>
    T *exact(PyObject *o) const {
        return Py_TYPE(o) == type ? rec_of<T>(o) : nullptr;
    }
    PyObject **dict_ptr(PyObject *self) const {
        return dict_offset ? reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + dict_offset) : nullptr;
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
    PyObject *(*codec_build_array)(PyTypeObject *, PyObject *const *, Py_ssize_t);
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
PyObject *codec_build_array(Class &c, PyTypeObject *cls, PyObject *const *fields, Py_ssize_t n);

// Field i of a record, as `getattr(self, name)` gives it: the slot for an
// instance of exactly the class, attribute access for a subclass (which may
// override it). New reference, or null with the error set.
PyObject *read(Class &c, PyObject *self, int i);

// The same as a new reference, raising the host's error.
inline Ref get(Class &c, PyObject *self, int i) {
    PyObject *v = read(c, self, i);
    if (!v) throw Error();
    return steal(v);
}

// An instance of exactly the class from field values (new references, one
// per field, taken over), made without the constructor or the
// post-construction step: the caller computed every field.
PyObject *make(Class &c, PyObject **values);
// Whether calling `cls` runs exactly the class's own constructor and its
// own post-construction step: `cls` is the class itself, its metaclass
// `type`, its vectorcall and its __post_init__ the ones it was made with.
bool runs_own_constructor(Class &c, PyObject *cls);
// An instance of exactly the class from field values (new references, one
// per field, taken over), as its own constructor leaves one whose
// post-construction step set every field to these values: for the caller
// that computed that step's figures itself (runs_own_constructor).
PyObject *make_constructed(Class &c, PyObject **values);
// The object the module binds to the class's name at this moment (borrowed),
// or null with AttributeError.
PyObject *bound_class(Class &c);
// cls(*values) or cls(**dict(zip(field names, values))). Takes the values over.
PyObject *call_with(Class &c, PyObject *cls, PyObject **values, bool by_keyword);
// "T(...)" as the module binds the class's name at this moment: `make` while
// that is still the class itself, otherwise call_with whatever is bound there.
PyObject *construct(Class &c, PyObject **values, bool by_keyword);

// The same from a braced list of owned values (evaluated in order).
template <size_t N>
Ref construct(Class &c, Ref (&&values)[N], bool by_keyword) {
    PyObject *raw[N];
    for (size_t i = 0; i < N; ++i) raw[i] = values[i].release();
    PyObject *r = construct(c, raw, by_keyword);
    if (!r) throw Error();
    return steal(r);
}

// Builds the class in `module` (PyType_FromModuleAndSpec) and binds it there
// under its name.
PyTypeObject *create(Class &c, PyObject *module, const SlotSet &slots);

// Frees the instances kept for reuse, and keeps none from now on (the
// module is going away).
void drop_free_list(Class &c);

// Whether every field of an instance holds an object the collector never
// tracks (then it is untracked), tracked again otherwise.
void retrack(Class &c, PyObject *self);

// Builds the class of record struct T from C's declaration, in `module`.
template <typename T, Class &C>
PyTypeObject *define(PyObject *module) {
    if (C.decl.ordinary) {
        C.basicsize = (Py_ssize_t) sizeof(InstanceWithDict<T>);
        C.dict_offset = (Py_ssize_t) offsetof(InstanceWithDict<T>, dict);
        C.weaklist_offset = (Py_ssize_t) offsetof(InstanceWithDict<T>, weaklist);
    } else {
        C.basicsize = (Py_ssize_t) sizeof(Instance<T>);
    }
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
        [](PyTypeObject *t, PyObject *const *f, Py_ssize_t n) { return codec_build_array(C, t, f, n); },
    };
    return create(C, module, slots);
}

}  // namespace pysem::record
