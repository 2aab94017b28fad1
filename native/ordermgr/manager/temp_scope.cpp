// OrderMgr.temp: a scratch portfolio under a unique name for the length of a
// with-block, its store destroyed when the block ends normally.
#include "manager/order_mgr.h"
#include "model/module_ns.h"
#include "pysem/method.h"
#include "pysem/record.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::check;

// The with-block's fields, in order: (member type, name, annotation, role, doc).
#define TEMP_SCOPE_FIELDS(F)                                                                    \
    F(Ref, cls, "type", required(), "The class temp was called on.")                           \
    F(Ref, name, "str | None", required(), "The namespace asked for, or None for a scratch one.") \
    F(Ref, keep, "object", required(), "Whether the store outlives a block that ends normally.") \
    F(Ref, created, "OrderMgr | None", required(), "The manager made on entry.")

struct TempScope {
    PYSEM_RECORD_FIELDS(TEMP_SCOPE_FIELDS)
};

extern pysem::record::Class temp_scope_class;

static TempScope *scope_of(PyObject *self) {
    if (TempScope *s = temp_scope_class.exact<TempScope>(self)) return s;
    pysem::raise(PyExc_TypeError, "not an OrderMgr._TempScope");
}

// "Test Instance <random.randint(0, 200000)>", random imported now.
static Ref scratch_name() {
    Ref random = check(PyImport_ImportModule("random"));
    Ref n = check(PyObject_CallMethod(random.ptr(), "randint", "ii", 0, 200000));
    return check(PyUnicode_FromFormat("Test Instance %S", n.ptr()));
}

static Ref enter(PyObject *self) {
    TempScope *s = scope_of(self);
    Ref name = s->name ? s->name : none();
    int empty = name.is_none() ? 1 : PyObject_Not(name.ptr());
    if (empty < 0) throw Error();
    if (empty) name = scratch_name();
    Ref cls = borrow(pysem::record::held(self, s->cls, "cls"));
    s->created = check(PyObject_CallOneArg(cls.ptr(), name.ptr()));
    return s->created;
}

static Ref exit_block(PyObject *self, PyObject *exc_type) {
    TempScope *s = scope_of(self);
    if (exc_type != Py_None || !s->created || s->created.is_none()) return pysem::boolean(false);
    int keep = PyObject_IsTrue(pysem::record::held(self, s->keep, "keep"));
    if (keep < 0) throw Error();
    if (!keep) {
        Ref positions = check(PyObject_GetAttr(s->created.ptr(), names().positions));
        check(PyObject_CallMethodNoArgs(positions.ptr(), names().destroy));
    }
    return pysem::boolean(false);
}

constexpr pysem::Method enter_method = {
    "__enter__", "__enter__($self)\n--\n\nOpens the scratch manager.",
    [](PyObject *self, PyObject *const *) { return enter(self); }};
constexpr pysem::Method exit_method = {
    "__exit__",
    "__exit__($self, exc_type, exc, tb)\n--\n\nDestroys its store unless the block raised or keep was asked for.",
    [](PyObject *self, PyObject *const *a) { return exit_block(self, a[0]); }};

static PyMethodDef *temp_scope_methods(const char *owner) {
    static PyMethodDef methods[] = {
        pysem::method_def<enter_method>(owner),
        pysem::method_def<exit_method>(owner),
        {},
    };
    return methods;
}

static const pysem::record::Decl temp_scope_decl = {
    .name = "_TempScope",
    .doc = "The with-block of OrderMgr.temp.",
    .fields = PYSEM_RECORD_TABLE(TempScope, TEMP_SCOPE_FIELDS),
    .module_attribute = false,
    .methods = temp_scope_methods,
};

pysem::record::Class temp_scope_class{temp_scope_decl};

void define_temp_scope(PyTypeObject *order_mgr) {
    PyTypeObject *cls = pysem::record::define<TempScope, temp_scope_class>(state().module);
    if (PyObject_SetAttrString((PyObject *) order_mgr, "_TempScope", (PyObject *) cls) < 0) throw Error();
}

const pysem::Method temp_method = {
    "temp",
    "temp($type, name=None, keep=False)\n--\n\n"
    "Create a uniquely namespaced test instance then delete when complete",
    [](PyObject *cls, PyObject *const *a) {
        PyObject *name = a[0] ? a[0] : Py_None;
        if (name != Py_None && !PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "OrderMgr.temp() argument 'name' must be str or None, not %.200s",
                         Py_TYPE(name)->tp_name);
            throw Error();
        }
        PyObject *values[] = {Py_NewRef(cls), Py_NewRef(name), Py_NewRef(a[1] ? a[1] : Py_False),
                              Py_NewRef(Py_None)};
        return check(pysem::record::make(temp_scope_class, values));
    },
    pysem::Method::Class};

}  // namespace ordermgr
