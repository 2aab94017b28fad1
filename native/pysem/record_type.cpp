#include "pysem/record_type.h"

#include <structmember.h>

#include <string>
#include <string_view>
#include <vector>

#include "pysem/compat.h"
#include "pysem/fields.h"
#include "pysem/format.h"
#include "pysem/record.h"
#include "pysem/slot_call.h"

namespace pysem::record {

namespace {

[[noreturn]] void throw_error() { throw Error(); }

PyObject *no_attribute(PyObject *self, const char *name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, name);
    return nullptr;
}

// The value of field i as the record holds it (borrowed), making it first
// when the field makes its value on first read; null with AttributeError
// when it is unset.
PyObject *held(Class &c, PyObject *self, int i, Ref &keep) {
    const Field &f = c.decl.fields.rows[i];
    if (f.get) {
        keep = steal(f.get(self, (void *) (intptr_t) i));
        return keep.ptr();
    }
    PyObject *v = *c.slot(self, i);
    return v ? v : no_attribute(self, f.name);
}

// The default of a parameter left out: a new reference, or null with an error.
PyObject *default_of(Class &c, int i) {
    const Field &f = c.decl.fields.rows[i];
    if (f.init == Init::Default) return Py_NewRef(c.defaults[i]);
    return f.make();
}

// Values taken out of an instance, released together once the new ones
// are in place (their finalisers may look at the instance).
class Replaced {
public:
    void add(PyObject *o) { items_[n_++] = o; }
    ~Replaced() {
        for (int i = 0; i < n_; ++i) Py_XDECREF(items_[i]);
    }

private:
    PyObject *items_[kMaxFields];
    int n_ = 0;
};

// Stores the bound arguments (and defaults) into a fresh or existing
// instance; the values replaced are released once all are in place.
void store_arguments(Class &c, PyObject *self, PyObject *const *a) {
    Replaced replaced;
    int n = c.signature.count;
    for (int j = 0; j < n; ++j) {
        int i = c.param_field[j];
        const Field &f = c.decl.fields.rows[i];
        if (!a[j] && f.init == Init::Factory && c.decl.fill_default) {
            int r = c.decl.fill_default(self, i);
            if (r < 0) throw_error();
            if (r > 0) continue;
        }
        Ref v = a[j] ? borrow(a[j]) : steal(default_of(c, i));
        if (!v) throw_error();
        if (f.set) {
            if (f.set(self, v.ptr(), (void *) (intptr_t) i) < 0) throw_error();
            continue;
        }
        PyObject **s = c.slot(self, i);
        replaced.add(*s);
        *s = v.release();
    }
}

// The same for an instance just allocated (all fields null, seen by nobody):
// the values go straight into their slots. Returns whether none of them may
// be tracked by the collector (retrack's test, made while storing).
bool store_fresh(Class &c, PyObject *self, PyObject *const *a) {
    int n = c.signature.count;
    bool atomic = true;
    for (int j = 0; j < n; ++j) {
        int i = c.param_field[j];
        const Field &f = c.decl.fields.rows[i];
        PyObject *v;
        if (a[j]) {
            v = Py_NewRef(a[j]);
        } else if (f.init == Init::Default) {
            v = Py_NewRef(c.defaults[i]);
        } else {
            if (c.decl.fill_default) {
                int r = c.decl.fill_default(self, i);
                if (r < 0) throw_error();
                if (r > 0) {
                    atomic = atomic && !may_be_tracked(*c.slot(self, i));
                    continue;
                }
            }
            v = f.make();
            if (!v) throw_error();
        }
        *c.slot(self, i) = v;
        atomic = atomic && !may_be_tracked(v);
    }
    return atomic;
}

// "__post_init__", interned once.
PyObject *post_init_name() {
    static PyObject *name = PyUnicode_InternFromString("__post_init__");
    return name;
}

void run_post_init(Class &c, PyObject *self) {
    if (!c.decl.post_init) return;
    PyObject *name = post_init_name();
    PyObject *found = c.exact(self) ? compat::own_type_lookup(c.type, name) : compat::type_lookup(Py_TYPE(self), name);
    if (found && found == c.own_post_init) {
        if (c.decl.post_init(self) < 0) throw_error();
        return;
    }
    PyObject *r = PyObject_CallMethodNoArgs(self, name);
    if (!r) throw_error();
    Py_DECREF(r);
}

void settle_tracking(Class &c, PyObject *self) {
    if (c.decl.untracked_while_atomic && c.exact(self))
        retrack(c, self);
    else if (!PyObject_GC_IsTracked(self))
        PyObject_GC_Track(self);
    if (c.decl.settled) c.decl.settled(self, -1);
}

// settle_tracking for an instance made by vectorcall: untracked since its
// allocation unless its __post_init__ assigned a field that needs the
// collector (field_set and the own derivations track it then), `atomic`
// being what store_fresh found.
void settle_fresh(Class &c, PyObject *self, bool atomic) {
    if (!(c.decl.untracked_while_atomic && c.exact(self))) return settle_tracking(c, self);
    if (!atomic && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
    if (c.decl.settled) c.decl.settled(self, -1);
}

// Every field as the record holds it (no subclass override consulted).
Ref fields_tuple(Class &c, PyObject *self) {
    int n = c.decl.fields.count;
    Ref t = steal(PyTuple_New(n));
    if (!t) throw_error();
    for (int i = 0; i < n; ++i) {
        Ref keep;
        PyObject *v = held(c, self, i, keep);
        if (!v) throw_error();
        PyTuple_SET_ITEM(t.ptr(), i, Py_NewRef(v));
    }
    return t;
}

// Replaces every field from values in field order, one per field
// (pickled state, a stored record).
void assign_all(Class &c, PyObject *self, PyObject *const *values) {
    if (c.decl.changing) c.decl.changing(self, -1, self);
    Replaced replaced;
    for (int i = 0; i < c.decl.fields.count; ++i) {
        PyObject *v = values[i];
        const Field &f = c.decl.fields.rows[i];
        if (f.set) {
            if (f.set(self, v, (void *) (intptr_t) i) < 0) throw_error();
            continue;
        }
        PyObject **s = c.slot(self, i);
        replaced.add(*s);
        *s = Py_NewRef(v);
    }
}

// The same for an instance just allocated (all fields null, seen by nobody,
// so no one is told of the change): the values go straight into their
// slots. Returns whether none of them may be tracked by the collector
// (retrack's test, made while storing).
bool assign_fresh(Class &c, PyObject *self, PyObject *const *values) {
    bool atomic = true;
    for (int i = 0; i < c.decl.fields.count; ++i) {
        PyObject *v = values[i];
        atomic = atomic && !may_be_tracked(v);
        const Field &f = c.decl.fields.rows[i];
        if (f.set) {
            if (f.set(self, v, (void *) (intptr_t) i) < 0) throw_error();
            continue;
        }
        *c.slot(self, i) = Py_NewRef(v);
    }
    return atomic;
}

PyObject *make_tuple_of_names(Class &c, bool params_only) {
    std::vector<PyObject *> items;
    if (params_only)
        for (int j = 0; j < c.signature.count; ++j) items.push_back(c.names[c.param_field[j]]);
    else
        for (int i = 0; i < c.decl.fields.count; ++i) items.push_back(c.names[i]);
    PyObject *t = PyTuple_New((Py_ssize_t) items.size());
    if (!t) throw_error();
    for (size_t k = 0; k < items.size(); ++k) PyTuple_SET_ITEM(t, k, Py_NewRef(items[k]));
    return t;
}

const char *kind_name(Init k) {
    switch (k) {
    case Init::Required: return "required";
    case Init::Default: return "default";
    case Init::Factory: return "factory";
    default: return "excluded";
    }
}

// (name, annotation, kind, default or None, factory name or None, compare, repr)
// per field: what introspection and the stubs are derived from / checked against.
PyObject *field_description(Class &c) {
    Ref out = steal(PyTuple_New(c.decl.fields.count));
    if (!out) throw_error();
    for (int i = 0; i < c.decl.fields.count; ++i) {
        const Field &f = c.decl.fields.rows[i];
        PyObject *row = Py_BuildValue("(ssOOzOO)", f.name, f.annotation, PyUnicode_FromString(kind_name(f.init)),
                                      f.init == Init::Default ? c.defaults[i] : Py_None, f.factory,
                                      f.compare ? Py_True : Py_False, f.repr ? Py_True : Py_False);
        if (!row) throw_error();
        // The kind string was made for the call: drop the extra reference.
        Py_DECREF(PyTuple_GET_ITEM(row, 2));
        PyTuple_SET_ITEM(out.ptr(), i, row);
    }
    return out.release();
}

// The class's documentation: the summary line of the declaration's doc,
// the constructor's signature, one line per field, then the rest.
std::string class_doc(Class &c) {
    std::string_view all(c.decl.doc ? c.decl.doc : "");
    size_t cut = all.find("\n\n");
    std::string out(all.substr(0, cut));
    out += "\n\n";
    out += c.decl.name;
    out += '(';
    bool first = true;
    for (int i = 0; i < c.decl.fields.count; ++i) {
        const Field &f = c.decl.fields.rows[i];
        if (f.init == Init::Excluded) continue;
        if (!first) out += ", ";
        first = false;
        out += f.name;
        if (f.init == Init::Factory) {
            out += "=<factory>";
        } else if (f.init == Init::Default) {
            out += '=';
            append_repr(out, c.defaults[i]);
        }
    }
    out += ')';
    for (int i = 0; i < c.decl.fields.count; ++i) {
        const Field &f = c.decl.fields.rows[i];
        out += i ? "\n" : "\n\n";
        out += f.name;
        out += ": ";
        out += f.annotation;
        out += " -- ";
        out += f.doc;
    }
    if (cut != std::string_view::npos) {
        out += "\n\n";
        out += all.substr(cut + 2);
    }
    return out;
}

}  // namespace

// --- construction ---------------------------------------------------------------

PyObject *tp_new(Class &, PyTypeObject *type) { return type->tp_alloc(type, 0); }

int tp_init(Class &c, PyObject *self, PyObject *args, PyObject *kwargs) {
    return slot_call<int>(-1, [&] {
        PyObject *a[kMaxFields];
        bind_args(c.signature, args, kwargs, a);
        if (c.decl.changing) c.decl.changing(self, -1, self);
        store_arguments(c, self, a);
        run_post_init(c, self);
        settle_tracking(c, self);
        return 0;
    });
}

// A new instance of exactly the class, its fields null: allocated untracked
// and zeroed, to be tracked (or not) once complete. A kept instance is as
// the collector's allocation leaves one (untracked, header cleared) and
// holds its reference to the class already. Null with the error set.
static PyObject *fresh_instance(Class &c) {
    PyObject *self;
    if (c.free_count) {
        self = c.free_items[--c.free_count];
        PyObject_Init(self, c.type);
        Py_DECREF(c.type);
    } else {
        self = PyObject_GC_New(PyObject, c.type);
        if (!self) return nullptr;
    }
    memset(reinterpret_cast<char *>(self) + sizeof(PyObject), 0, (size_t) c.type->tp_basicsize - sizeof(PyObject));
    return self;
}

PyObject *vectorcall(Class &c, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *a[kMaxFields];
    if (!bind_args(c.signature, args, nargsf, kwnames, a)) return nullptr;
    PyObject *self = fresh_instance(c);
    if (!self) return nullptr;
    return slot_call<PyObject *>(nullptr, [&] {
        Ref guard = steal(self);
        bool atomic = store_fresh(c, self, a);
        run_post_init(c, self);
        settle_fresh(c, self, atomic);
        return guard.release();
    });
}

// --- lifetime and the collector -----------------------------------------------

void tp_dealloc(Class &c, PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (c.weaklist_offset &&
        *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + c.weaklist_offset))
        PyObject_ClearWeakRefs(self);
    for (int i = 0; i < c.decl.fields.count; ++i) Py_CLEAR(*c.slot(self, i));
    if (PyObject **d = c.dict_ptr(self)) Py_CLEAR(*d);
    PyTypeObject *type = Py_TYPE(self);
    // Kept for reuse with its reference to the class (which so outlives it).
    if (type == c.type && c.free_count < c.free_capacity) {
        c.free_items[c.free_count++] = self;
        return;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

void drop_free_list(Class &c) {
    c.free_capacity = 0;
    while (c.free_count) {
        PyObject *self = c.free_items[--c.free_count];
        PyTypeObject *type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }
    delete[] c.free_items;
    c.free_items = nullptr;
}

int tp_traverse(Class &c, PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    for (int i = 0; i < c.decl.fields.count; ++i) Py_VISIT(*c.slot(self, i));
    if (PyObject **d = c.dict_ptr(self)) Py_VISIT(*d);
    return 0;
}

int tp_clear(Class &c, PyObject *self) {
    if (c.decl.changing) c.decl.changing(self, -1, nullptr);
    for (int i = 0; i < c.decl.fields.count; ++i) Py_CLEAR(*c.slot(self, i));
    if (PyObject **d = c.dict_ptr(self)) Py_CLEAR(*d);
    if (c.decl.cleared) c.decl.cleared(self);
    return 0;
}

void retrack(Class &c, PyObject *self) {
    bool atomic = true;
    for (int i = 0; i < c.decl.fields.count && atomic; ++i) atomic = !may_be_tracked(*c.slot(self, i));
    if (atomic && PyObject_GC_IsTracked(self))
        PyObject_GC_UnTrack(self);
    else if (!atomic && !PyObject_GC_IsTracked(self))
        PyObject_GC_Track(self);
}

// --- fields ---------------------------------------------------------------------

PyObject *field_get(Class &c, PyObject *self, int i) {
    const Field &f = c.decl.fields.rows[i];
    if (f.get) return f.get(self, (void *) (intptr_t) i);
    PyObject *v = *c.slot(self, i);
    return v ? Py_NewRef(v) : no_attribute(self, f.name);
}

int field_set(Class &c, PyObject *self, PyObject *value, int i) {
    const Field &f = c.decl.fields.rows[i];
    if (f.set) return f.set(self, value, (void *) (intptr_t) i);
    PyObject **s = c.slot(self, i);
    if (!value && !*s) {
        no_attribute(self, f.name);
        return -1;
    }
    if (c.decl.changing) c.decl.changing(self, i, value);
    // Swap first, release after: the old value's finaliser may look at us.
    PyObject *old = *s;
    *s = Py_XNewRef(value);
    if (c.decl.untracked_while_atomic) track_for(self, value);
    Py_XDECREF(old);
    if (c.decl.settled) c.decl.settled(self, i);
    return 0;
}

PyObject *read(Class &c, PyObject *self, int i) {
    if (c.exact(self)) return field_get(c, self, i);
    return PyObject_GetAttr(self, c.names[i]);
}

// --- instances made for the module's own results ----------------------------------

PyObject *make(Class &c, PyObject **values) {
    PyObject *self = c.type->tp_alloc(c.type, 0);
    if (!self) {
        for (int i = 0; i < c.decl.fields.count; ++i) Py_XDECREF(values[i]);
        return nullptr;
    }
    for (int i = 0; i < c.decl.fields.count; ++i) *c.slot(self, i) = values[i];
    return self;
}

bool runs_own_constructor(Class &c, PyObject *cls) {
    if (cls != (PyObject *) c.type || Py_TYPE(cls) != &PyType_Type || c.type->tp_vectorcall != c.own_vectorcall)
        return false;
    if (!c.decl.post_init) return true;
    PyObject *found = compat::own_type_lookup(c.type, post_init_name());
    return found && found == c.own_post_init;
}

PyObject *make_constructed(Class &c, PyObject **values) {
    PyObject *self = fresh_instance(c);
    if (!self) {
        for (int i = 0; i < c.decl.fields.count; ++i) Py_XDECREF(values[i]);
        return nullptr;
    }
    bool atomic = true;
    for (int i = 0; i < c.decl.fields.count; ++i) {
        *c.slot(self, i) = values[i];
        atomic = atomic && !may_be_tracked(values[i]);
    }
    return slot_call<PyObject *>(nullptr, [&] {
        Ref guard = steal(self);
        settle_fresh(c, self, atomic);
        return guard.release();
    });
}

PyObject *bound_class(Class &c) {
    PyObject *module = PyType_GetModule(c.type);
    PyObject *cls = module ? PyDict_GetItemWithError(PyModule_GetDict(module), c.type_name) : nullptr;
    if (!cls && !PyErr_Occurred())
        PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", PyModule_GetName(module),
                     c.type_name);
    return cls;
}

PyObject *call_with(Class &c, PyObject *cls, PyObject **values, bool by_keyword) {
    int n = c.decl.fields.count;
    PyObject *r = nullptr;
    Py_INCREF(cls);
    PyObject *kwnames = by_keyword ? PyTuple_New(n) : nullptr;
    if (kwnames)
        for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(kwnames, i, Py_NewRef(c.names[i]));
    if (kwnames || !by_keyword) r = PyObject_Vectorcall(cls, values, by_keyword ? 0 : (size_t) n, kwnames);
    Py_XDECREF(kwnames);
    Py_DECREF(cls);
    for (int i = 0; i < n; ++i) Py_XDECREF(values[i]);
    return r;
}

PyObject *construct(Class &c, PyObject **values, bool by_keyword) {
    PyObject *cls = bound_class(c);
    if (cls == (PyObject *) c.type) return make(c, values);
    if (!cls) {
        for (int i = 0; i < c.decl.fields.count; ++i) Py_XDECREF(values[i]);
        return nullptr;
    }
    return call_with(c, cls, values, by_keyword);
}

// --- the generated methods --------------------------------------------------------

PyObject *tp_repr(Class &c, PyObject *self) {
    return slot_call<PyObject *>(nullptr, [&] {
        // As reprlib.recursive_repr: "..." for a record met again while
        // its own representation is being made.
        ReprGuard guard(self);
        if (!guard.active()) return PyUnicode_FromString("...");
        std::string out;
        Ref qualname = steal(PyType_GetQualName(Py_TYPE(self)));
        if (!qualname) throw_error();
        append_utf8(out, qualname.ptr());
        out += '(';
        bool first = true;
        for (int i = 0; i < c.decl.fields.count; ++i) {
            if (!c.decl.fields.rows[i].repr) continue;
            Ref v = steal(read(c, self, i));
            if (!v) throw_error();
            if (!first) out += ", ";
            first = false;
            out += c.decl.fields.rows[i].name;
            out += '=';
            append_repr(out, v.ptr());
        }
        out += ')';
        return utf8_to_str(out).release();
    });
}

#if PY_VERSION_HEX >= 0x030D0000
// A dataclass's __eq__ as CPython 3.13 makes it: `self is other`, then
// `self.a == other.a and self.b == other.b ...` over the compared fields:
// each pair with == (no identity shortcut), and the answer is the first
// false result or else the last one, as the comparison returned it. Each
// pair is read as the comparison reaches it and held while it is compared:
// a field's own == may assign the record's fields.
static PyObject *equal(Class &c, PyObject *self, PyObject *other) {
    if (self == other) Py_RETURN_TRUE;
    if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    Ref result = borrow(Py_True);
    bool first = true;
    for (int i = 0; i < c.decl.fields.count; ++i) {
        if (!c.decl.fields.rows[i].compare) continue;
        if (!first) {
            int truth = PyObject_IsTrue(result.ptr());
            if (truth < 0) return nullptr;
            if (!truth) return result.release();
        }
        first = false;
        Ref a = steal(read(c, self, i));
        if (!a) return nullptr;
        Ref b = steal(read(c, other, i));
        if (!b) return nullptr;
        result = steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
        if (!result) return nullptr;
    }
    return result.release();
}
#else
// A dataclass's __eq__ as CPython 3.12 makes it: the tuples of the compared
// fields, (self.a, self.b, ...) == (other.a, other.b, ...). Every field is
// read, and held, before any is compared: a field's own == may assign the
// record's fields, and the comparison goes on with the values it read.
static PyObject *equal(Class &c, PyObject *self, PyObject *other) {
    if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    int n = 0;
    for (int i = 0; i < c.decl.fields.count; ++i) n += c.decl.fields.rows[i].compare;
    Ref mine = steal(PyTuple_New(n)), theirs = steal(PyTuple_New(n));
    if (!mine || !theirs) return nullptr;
    for (int side = 0; side < 2; ++side) {
        PyObject *obj = side ? other : self, *tuple = side ? theirs.ptr() : mine.ptr();
        for (int i = 0, k = 0; i < c.decl.fields.count; ++i) {
            if (!c.decl.fields.rows[i].compare) continue;
            PyObject *v = read(c, obj, i);
            if (!v) return nullptr;
            PyTuple_SET_ITEM(tuple, k++, v);
        }
    }
    return PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ);
}
#endif

PyObject *tp_richcompare(Class &c, PyObject *self, PyObject *other, int op) {
    if (op == Py_EQ) return equal(c, self, other);
    if (op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    // `!=` is object's: the inverse of whatever __eq__ (perhaps a
    // subclass's) answers.
    PyObject *r = Py_TYPE(self)->tp_richcompare(self, other, Py_EQ);
    if (!r || r == Py_NotImplemented) return r;
    int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) return nullptr;
    return Py_NewRef(truth ? Py_False : Py_True);
}

PyObject *getstate(Class &c, PyObject *self) {
    return slot_call<PyObject *>(nullptr, [&] {
        Ref values = fields_tuple(c, self);
        PyObject **d = c.dict_ptr(self);
        if (!c.dict_offset) return values.release();
        PyObject *extra = d && *d && PyDict_GET_SIZE(*d) ? *d : Py_None;
        return PyTuple_Pack(2, values.ptr(), extra);
    });
}

PyObject *setstate(Class &c, PyObject *self, PyObject *state) {
    return slot_call<PyObject *>(nullptr, [&] {
        PyObject *values = state, *extra = Py_None;
        if (c.dict_offset) {
            if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) {
                PyErr_Format(PyExc_ValueError, "%s state must be a pair (fields, attributes)", c.decl.name);
                throw_error();
            }
            values = PyTuple_GET_ITEM(state, 0);
            extra = PyTuple_GET_ITEM(state, 1);
        }
        if (!PyTuple_Check(values) || PyTuple_GET_SIZE(values) != c.decl.fields.count) {
            PyErr_Format(PyExc_ValueError, "%s state must have %d fields", c.decl.name, c.decl.fields.count);
            throw_error();
        }
        if (extra != Py_None) {
            Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
            if (!dict || PyDict_Update(dict.ptr(), extra) < 0) throw_error();
        }
        assign_all(c, self, &PyTuple_GET_ITEM(values, 0));
        settle_tracking(c, self);
        Py_RETURN_NONE;
    });
}

PyObject *post_init_method(Class &c, PyObject *self) {
    if (c.decl.post_init(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

// --- store codec ------------------------------------------------------------------

PyObject *codec_fields(Class &c, PyObject *self) {
    return slot_call<PyObject *>(nullptr, [&] { return fields_tuple(c, self).release(); });
}

PyObject *codec_build_array(Class &c, PyTypeObject *cls, PyObject *const *fields, Py_ssize_t n) {
    if (n != c.decl.fields.count) {
        PyErr_Format(PyExc_ValueError, "stored %s has the wrong number of fields", c.decl.name);
        return nullptr;
    }
    // Exactly the class: made as its constructor makes an instance (never
    // tracked before it is complete, its fields stored straight into their
    // slots); a subclass by its own allocator, its fields assigned.
    if (cls == c.type) {
        PyObject *self = fresh_instance(c);
        if (!self) return nullptr;
        return slot_call<PyObject *>(nullptr, [&] {
            Ref guard = steal(self);
            settle_fresh(c, self, assign_fresh(c, self, fields));
            return guard.release();
        });
    }
    PyObject *self = cls->tp_alloc(cls, 0);
    if (!self) return nullptr;
    return slot_call<PyObject *>(nullptr, [&] {
        Ref guard = steal(self);
        assign_all(c, self, fields);
        settle_tracking(c, self);
        return guard.release();
    });
}

PyObject *codec_build(Class &c, PyTypeObject *cls, PyObject *fields) {
    if (!PyTuple_Check(fields)) {
        PyErr_Format(PyExc_ValueError, "stored %s has the wrong number of fields", c.decl.name);
        return nullptr;
    }
    return codec_build_array(c, cls, &PyTuple_GET_ITEM(fields, 0), PyTuple_GET_SIZE(fields));
}

// --- the class ----------------------------------------------------------------------

PyTypeObject *create(Class &c, PyObject *module, const SlotSet &s) {
    const Decl &d = c.decl;
    if (d.fields.count > kMaxFields) {
        PyErr_Format(PyExc_SystemError, "record %s has too many fields", d.name);
        throw_error();
    }
    int nparams = 0, required = 0;
    for (int i = 0; i < d.fields.count; ++i) {
        const Field &f = d.fields.rows[i];
        c.names[i] = intern(f.name);
        if (f.init == Init::Default) {
            c.defaults[i] = f.make();
            if (!c.defaults[i]) throw_error();
        }
        if (f.init == Init::Excluded) continue;
        if (f.init == Init::Required) {
            if (required != nparams) {
                PyErr_Format(PyExc_SystemError, "%s: field %s without a default follows one with", d.name, f.name);
                throw_error();
            }
            ++required;
        }
        c.params[nparams] = f.name;
        c.param_field[nparams] = i;
        ++nparams;
    }
    c.init_qualname = std::string(d.name) + ".__init__";
    c.type_name = intern(d.name);
    c.doc = class_doc(c);
    c.signature = ArgSpec{c.init_qualname.c_str(), c.params, c.param_names, nparams, required};

    // Kept for the life of the process, as the class is.
    int nprops = 0, nmethods = 0;
    if (d.properties)
        while (d.properties[nprops].name) ++nprops;
    PyMethodDef *own_methods = d.methods ? d.methods(d.name) : nullptr;
    if (own_methods)
        while (own_methods[nmethods].ml_name) ++nmethods;
    auto *getset = new PyGetSetDef[d.fields.count + nprops + 2]();
    int g = 0;
    for (int i = 0; i < d.fields.count; ++i)
        getset[g++] = {d.fields.rows[i].name, s.field_get, s.field_set, d.fields.rows[i].doc, (void *) (intptr_t) i};
    for (int k = 0; k < nprops; ++k) getset[g++] = d.properties[k];
    if (c.dict_offset) getset[g++] = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr};

    auto *methods = new PyMethodDef[nmethods + 4]();
    int m = 0;
    for (int k = 0; k < nmethods; ++k) methods[m++] = own_methods[k];
    methods[m++] = {"__getstate__", s.getstate, METH_NOARGS, "The record's fields, for pickling and copying."};
    methods[m++] = {"__setstate__", s.setstate, METH_O, "Restores the fields from __getstate__'s value."};
    if (d.post_init)
        methods[m++] = {"__post_init__", s.post_init, METH_NOARGS,
                        "__post_init__($self, /)\n--\n\nThe step run right after construction."};

    auto *members = new PyMemberDef[3]();
    if (c.dict_offset) {
        members[0] = {"__dictoffset__", Py_T_PYSSIZET, c.dict_offset, Py_READONLY, nullptr};
        members[1] = {"__weaklistoffset__", Py_T_PYSSIZET, c.weaklist_offset, Py_READONLY, nullptr};
    }

    PyType_Slot slots[] = {
        {Py_tp_new, (void *) s.tp_new},
        {Py_tp_init, (void *) s.tp_init},
        {Py_tp_dealloc, (void *) s.tp_dealloc},
        {Py_tp_traverse, (void *) s.tp_traverse},
        {Py_tp_clear, (void *) s.tp_clear},
        {Py_tp_repr, (void *) s.tp_repr},
        {Py_tp_richcompare, (void *) s.tp_richcompare},
        {Py_tp_hash, (void *) (d.hash ? d.hash : PyObject_HashNotImplemented)},
        {Py_tp_getset, (void *) getset},
        {Py_tp_methods, (void *) methods},
        {Py_tp_members, (void *) members},
        {Py_tp_doc, (void *) c.doc.c_str()},
        {0, nullptr},
    };
    // Made under its dotted name (which sets __module__), then named as a
    // class statement names it, so that the host's messages say 'Trade'.
    Ref module_name = steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) throw_error();
    std::string dotted = std::string(PyUnicode_AsUTF8(module_name.ptr())) + "." + d.name;
    PyType_Spec spec = {dotted.c_str(), (int) c.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                        slots};
    Ref type = steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) throw_error();
    PyTypeObject *tp = (PyTypeObject *) type.ptr();
    // The class's own constructor path; subclasses go through __new__/__init__.
    tp->tp_vectorcall = c.own_vectorcall = s.vectorcall;

    auto set = [&](const char *name, PyObject *value) {
        Ref v = steal(value);
        if (!v || PyObject_SetAttrString(type.ptr(), name, v.ptr()) < 0) throw_error();
    };
    set("__name__", PyUnicode_FromString(d.name));
    set("__match_args__", make_tuple_of_names(c, true));
    if (!c.dict_offset) set("__slots__", make_tuple_of_names(c, false));
    set("__record_fields__", field_description(c));
    if (d.post_init) {
        c.own_post_init = PyDict_GetItemString(tp->tp_dict, "__post_init__");
        Py_XINCREF(c.own_post_init);
    }
    if (d.free_list > 0) {
        c.free_items = new PyObject *[d.free_list];
        c.free_capacity = d.free_list;
    }
    c.codec = zelph_record_codec{ZELPH_RECORD_CODEC_ABI, s.codec_fields, s.codec_build, d.itemized_field,
                                 d.items_changed};
    c.codec.build_from_array = s.codec_build_array;
    if (PyMethodDef *functions = d.functions ? d.functions(d.name) : nullptr) {
        for (PyMethodDef *f = functions; f->ml_name; ++f) {
            Ref fn = steal(PyCFunction_NewEx(f, nullptr, module_name.ptr()));
            if (!fn) throw_error();
            // A function object that binds the instance, as a def in a class does.
            set(f->ml_name, PyInstanceMethod_New(fn.ptr()));
        }
    }
    if (d.module_attribute && PyModule_AddObjectRef(module, d.name, type.ptr()) < 0) throw_error();
    c.type = tp;
    return (PyTypeObject *) type.release();
}

}  // namespace pysem::record
