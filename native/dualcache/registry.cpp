#include "registry.h"

#include <unordered_map>
#include <vector>

#include "raise.h"
#include "value_kinds.h"

namespace dualcache {

// Registrations live until the interpreter exits: they are referenced from
// stored data decoded at any time. Their Python objects (the class, its
// hooks) are released when the interpreter's exit handlers run, before the
// modules are torn down: a hook or class kept past that would keep the
// globals of the module that defined it (and every store they hold) alive
// through finalization. The records themselves stay (a tag table may point
// at one) and refuse to build or take apart anything after that.
static std::unordered_map<PyTypeObject *, RecordClass *> &by_type() {
    static auto *m = new std::unordered_map<PyTypeObject *, RecordClass *>();
    return *m;
}
static std::unordered_map<std::string, RecordClass *> &by_tag() {
    static auto *m = new std::unordered_map<std::string, RecordClass *>();
    return *m;
}

const RecordClass *record_class_of(PyTypeObject *type) {
    auto &m = by_type();
    auto it = m.find(type);
    return it == m.end() ? nullptr : it->second;
}

const RecordClass *record_class_by_tag(const std::string &tag) {
    auto &m = by_tag();
    auto it = m.find(tag);
    return it == m.end() ? nullptr : it->second;
}

static nb::object as_tuple(PyObject *r) {
    if (PyTuple_CheckExact(r)) return nb::steal(r);
    PyObject *t = PySequence_Tuple(r);
    Py_DECREF(r);
    if (!t) throw nb::python_error();
    return nb::steal(t);
}

static void check_not_released(const RecordClass &rc) {
    if (!rc.cls) raise(PyExc_RuntimeError, "the store's class registrations were released: the interpreter is exiting");
}

nb::object RecordClass::fields(PyObject *obj) const {
    check_not_released(*this);
    PyObject *r;
    if (codec) {
        r = codec->fields(obj);
    } else if (to_fields) {
        r = PyObject_CallOneArg(to_fields, obj);
    } else {  // by_name without to_fields: the attributes of those names
        Py_ssize_t n = PyTuple_GET_SIZE(names);
        nb::object t = nb::steal(PyTuple_New(n));
        if (!t) throw nb::python_error();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *v = PyObject_GetAttr(obj, PyTuple_GET_ITEM(names, i));
            if (!v) throw nb::python_error();
            PyTuple_SET_ITEM(t.ptr(), i, v);
        }
        return t;
    }
    if (!r) throw nb::python_error();
    nb::object t = as_tuple(r);
    if (names && PyTuple_GET_SIZE(t.ptr()) != PyTuple_GET_SIZE(names)) {
        PyErr_Format(PyExc_ValueError, "the fields of a %s are %zd values, but it was registered with %zd field names",
                     tag_utf8.c_str(), PyTuple_GET_SIZE(t.ptr()), PyTuple_GET_SIZE(names));
        throw nb::python_error();
    }
    return t;
}

nb::object RecordClass::build(PyObject *fields) const {
    check_not_released(*this);
    if (by_name) {
        // The fields by name, as a record stored under other names gives them.
        nb::object mapping = nb::steal(PyDict_New());
        if (!mapping) throw nb::python_error();
        Py_ssize_t n = PyTuple_GET_SIZE(names);
        if (PyTuple_GET_SIZE(fields) != n) {
            PyErr_Format(PyExc_ValueError, "%zd stored fields for %zd field names", PyTuple_GET_SIZE(fields), n);
            throw nb::python_error();
        }
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyDict_SetItem(mapping.ptr(), PyTuple_GET_ITEM(names, i), PyTuple_GET_ITEM(fields, i)) < 0)
                throw nb::python_error();
        return build_from(mapping.ptr());
    }
    PyObject *r = codec ? codec->build(cls, fields) : PyObject_CallFunctionObjArgs(from_fields, (PyObject *) cls, fields, nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object RecordClass::build(PyObject *const *fields, Py_ssize_t n) const {
    check_not_released(*this);
    if (!by_name && codec && codec->abi_version >= 5 && codec->build_from_array) {
        PyObject *r = codec->build_from_array(cls, fields, n);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    nb::object t = nb::steal(PyTuple_New(n));
    if (!t) throw nb::python_error();
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t.ptr(), i, Py_NewRef(fields[i]));
    return build(t.ptr());
}

nb::object RecordClass::build_from(PyObject *mapping) const {
    check_not_released(*this);
    PyObject *r;
    if (from_fields) {
        r = PyObject_CallFunctionObjArgs(from_fields, (PyObject *) cls, mapping, nullptr);
    } else {
        nb::object no_args = nb::steal(PyTuple_New(0));
        if (!no_args) throw nb::python_error();
        r = PyObject_Call((PyObject *) cls, no_args.ptr(), mapping);
    }
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

nb::object RecordClass::default_for(Py_ssize_t i) const {
    if (!codec || codec->abi_version < 3 || !codec->field_default) return nb::object();
    PyObject *r = codec->field_default(cls, i);
    if (!r && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(r);
}

static std::string qualified_name(PyTypeObject *type) {
    nb::handle t((PyObject *) type);
    nb::object mod = nb::steal(PyObject_GetAttrString(t.ptr(), "__module__"));
    if (!mod) PyErr_Clear();
    nb::object qual = nb::steal(PyObject_GetAttrString(t.ptr(), "__qualname__"));
    if (!qual) {
        PyErr_Clear();
        return type->tp_name;
    }
    std::string q = nb::str(qual).c_str();
    if (mod && PyUnicode_Check(mod.ptr())) {
        std::string m = nb::str(mod).c_str();
        if (m != "builtins") return m + "." + q;
    }
    return q;
}

void raise_unregistered(PyTypeObject *type) {
    std::string name = qualified_name(type);
    PyErr_Format(PyExc_TypeError,
                 "cannot store an object of class '%s': the store only holds built-in values and "
                 "registered classes; register it with zelph.dualcache.register(%s, "
                 "to_fields=..., from_fields=...) (or codec=... from a native module)",
                 name.c_str(), name.c_str());
    throw nb::python_error();
}

static const zelph_record_codec *codec_from_capsule(nb::handle capsule) {
    if (!PyCapsule_IsValid(capsule.ptr(), ZELPH_RECORD_CODEC_CAPSULE)) {
        PyErr_SetString(PyExc_TypeError, "codec must be a capsule named '" ZELPH_RECORD_CODEC_CAPSULE "'");
        throw nb::python_error();
    }
    auto *c = (const zelph_record_codec *) PyCapsule_GetPointer(capsule.ptr(), ZELPH_RECORD_CODEC_CAPSULE);
    if (!c) throw nb::python_error();
    if (c->abi_version < ZELPH_RECORD_CODEC_ABI_MIN || c->abi_version > ZELPH_RECORD_CODEC_ABI || !c->fields ||
        !c->build) {
        PyErr_Format(PyExc_ValueError, "record codec has ABI version %u; this store needs %d to %d",
                     c->abi_version, ZELPH_RECORD_CODEC_ABI_MIN, ZELPH_RECORD_CODEC_ABI);
        throw nb::python_error();
    }
    return c;
}

// The registration of the nearest registered class in the MRO after `type`.
static const RecordClass *registered_base(PyTypeObject *type) {
    PyObject *mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro); ++i)
        if (const RecordClass *rc = record_class_of((PyTypeObject *) PyTuple_GET_ITEM(mro, i))) return rc;
    return nullptr;
}

// Run by the interpreter's exit handlers: releases every registration's
// Python objects and forgets the lookups (reads after this find no class).
static void release_registrations() {
    std::vector<RecordClass *> all;
    for (auto &[tag, rc] : by_tag()) all.push_back(rc);
    by_type().clear();
    by_tag().clear();
    for (RecordClass *rc : all) {
        PyObject *refs[] = {(PyObject *) rc->cls, rc->tag, rc->capsule, rc->to_fields, rc->from_fields, rc->names};
        rc->cls = nullptr;
        rc->tag = rc->capsule = rc->to_fields = rc->from_fields = rc->names = nullptr;
        rc->codec = nullptr;
        for (PyObject *o : refs) Py_XDECREF(o);
    }
}

static void release_at_exit() {
    static bool installed = false;
    if (installed) return;
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&release_registrations));
    installed = true;
}

// Field names as register(fields=...) or a codec gives them: a tuple of
// distinct, non-empty str.
static nb::object field_names(PyObject *given, const char *what) {
    if (PyUnicode_Check(given) || PyBytes_Check(given)) {
        PyErr_Format(PyExc_TypeError, "%s must be a sequence of field names, not a single %s", what,
                     Py_TYPE(given)->tp_name);
        throw nb::python_error();
    }
    nb::object t = nb::steal(PySequence_Tuple(given));
    if (!t) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be a sequence of field names, not %s", what, Py_TYPE(given)->tp_name);
        }
        throw nb::python_error();
    }
    nb::object seen = nb::steal(PySet_New(nullptr));
    if (!seen) throw nb::python_error();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.ptr()); ++i) {
        PyObject *name = PyTuple_GET_ITEM(t.ptr(), i);
        if (!PyUnicode_CheckExact(name) || PyUnicode_GET_LENGTH(name) == 0) {
            PyErr_Format(PyExc_TypeError, "%s: each field name must be a non-empty str, not %R", what, name);
            throw nb::python_error();
        }
        int dup = PySet_Contains(seen.ptr(), name);
        if (dup < 0 || PySet_Add(seen.ptr(), name) < 0) throw nb::python_error();
        if (dup) {
            PyErr_Format(PyExc_ValueError, "%s: the field name %R is given twice", what, name);
            throw nb::python_error();
        }
        if (!PyUnicode_AsUTF8(name)) throw nb::python_error();  // lone surrogates cannot be stored
    }
    return t;
}

nb::object register_class(nb::handle cls, nb::handle tag, nb::handle codec, nb::handle to_fields,
                          nb::handle from_fields, nb::handle fields) {
    release_at_exit();
    if (!PyType_Check(cls.ptr())) raise(PyExc_TypeError, "register() needs a class");
    PyTypeObject *type = (PyTypeObject *) cls.ptr();
    if (is_builtin_kind(type))
        raise(PyExc_ValueError, "built-in value types are stored without registration and cannot be registered");

    bool has_codec = !codec.is_none(), has_to = !to_fields.is_none(), has_from = !from_fields.is_none(),
         has_names = !fields.is_none();
    if (has_codec && (has_to || has_from || has_names))
        raise(PyExc_TypeError, "register(): pass either codec or to_fields/from_fields/fields, not both");
    if (has_to != has_from && !has_names)
        raise(PyExc_TypeError, "register(): to_fields and from_fields go together (unless fields= names the fields)");
    if ((has_to && !PyCallable_Check(to_fields.ptr())) || (has_from && !PyCallable_Check(from_fields.ptr())))
        raise(PyExc_TypeError, "register(): to_fields and from_fields must be callable");

    const zelph_record_codec *c = nullptr;
    PyObject *caps = nullptr, *tf = nullptr, *ff = nullptr;
    nb::object names;
    bool by_name = false;
    if (has_codec) {
        c = codec_from_capsule(codec);
        caps = codec.ptr();
        if (c->abi_version >= 3 && c->field_names) names = field_names(c->field_names, "the codec's field_names");
    } else if (has_to || has_from || has_names) {
        tf = has_to ? to_fields.ptr() : nullptr;
        ff = has_from ? from_fields.ptr() : nullptr;
        if (has_names) {
            names = field_names(fields.ptr(), "register(): fields");
            by_name = true;
        }
    } else {
        const RecordClass *base = registered_base(type);
        if (!base) {
            std::string name = qualified_name(type);
            PyErr_Format(PyExc_TypeError,
                         "register(%s): no base class of it is registered; pass codec=... or "
                         "to_fields=... and from_fields=..., or fields=...",
                         name.c_str());
            throw nb::python_error();
        }
        c = base->codec;
        caps = base->capsule;
        tf = base->to_fields;
        ff = base->from_fields;
        names = nb::borrow(base->names);
        by_name = base->by_name;
    }
    nb::object tag_obj;
    if (tag.is_none()) {
        std::string t = qualified_name(type);
        tag_obj = nb::steal(PyUnicode_FromStringAndSize(t.data(), (Py_ssize_t) t.size()));
        if (!tag_obj) throw nb::python_error();
    } else {
        if (!PyUnicode_Check(tag.ptr()) || PyUnicode_GET_LENGTH(tag.ptr()) == 0)
            raise(PyExc_TypeError, "register(): tag must be a non-empty str");
        tag_obj = nb::borrow(tag);
    }
    Py_ssize_t n;
    const char *utf8 = PyUnicode_AsUTF8AndSize(tag_obj.ptr(), &n);
    if (!utf8) throw nb::python_error();
    std::string tag_s(utf8, (size_t) n);

    if (const RecordClass *other = record_class_by_tag(tag_s); other && other->cls != type) {
        PyErr_Format(PyExc_ValueError, "register(): tag '%s' is already registered for another class", utf8);
        throw nb::python_error();
    }
    RecordClass *existing = nullptr;
    if (auto it = by_type().find(type); it != by_type().end()) {
        existing = it->second;
        if (existing->tag_utf8 != tag_s) {
            PyErr_Format(PyExc_ValueError, "register(): class is already registered under the tag '%s'",
                         existing->tag_utf8.c_str());
            throw nb::python_error();
        }
    }

    RecordClass *rc = existing ? existing : new RecordClass{};
    // Old references of a re-registration are released only after the new
    // ones are taken.
    PyObject *old[] = {rc->capsule, rc->to_fields, rc->from_fields, rc->names};
    if (!existing) {
        rc->cls = (PyTypeObject *) Py_NewRef(cls.ptr());
        rc->tag = tag_obj.release().ptr();
        rc->tag_utf8 = tag_s;
    }
    rc->codec = c;
    rc->capsule = Py_XNewRef(caps);
    rc->to_fields = Py_XNewRef(tf);
    rc->from_fields = Py_XNewRef(ff);
    rc->names = names.release().ptr();
    rc->names_utf8.clear();
    if (rc->names)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rc->names); ++i) {
            Py_ssize_t len;
            const char *p = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(rc->names, i), &len);
            rc->names_utf8.emplace_back(p, (size_t) len);  // checked by field_names()
        }
    rc->by_name = by_name;
    static uint64_t registrations = 0;
    rc->generation = ++registrations;
    for (PyObject *o : old) Py_XDECREF(o);
    by_type()[type] = rc;
    by_tag()[tag_s] = rc;
    return nb::borrow(cls);
}

}  // namespace dualcache
