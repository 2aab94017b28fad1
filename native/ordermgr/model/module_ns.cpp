#include "model/module_ns.h"

#include "model/kept_book.h"
#include "model/trade.h"
#include "pysem/clock.h"

namespace ordermgr {

static ModuleState *the_state = nullptr;

ModuleState &state() { return *the_state; }

void init_state(PyObject *module, ModuleState *st) {
    new (st) ModuleState();
    st->module = module;
    the_state = st;
    // `union` is a C++ keyword: its member is union_.
#define ORDERMGR_INTERN_(n) st->names.n = pysem::check(PyUnicode_InternFromString(#n)).release();
    ORDERMGR_NAMES(ORDERMGR_INTERN_)
#undef ORDERMGR_INTERN_
    Py_SETREF(st->names.union_, pysem::check(PyUnicode_InternFromString("union")).release());
    st->absent = pysem::check(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type)).release();
    st->stopPct_keyword = pysem::check(PyTuple_Pack(1, st->names.stopPct)).release();
    st->stdlib_base64 = pysem::check(PyImport_ImportModule("base64")).release();
    PyObject *flags = PySys_GetObject("flags");  // borrowed
    if (!flags) pysem::raise(PyExc_RuntimeError, "sys.flags is missing");
    Ref optimize = pysem::check(PyObject_GetAttrString(flags, "optimize"));
    int level = PyObject_IsTrue(optimize.ptr());
    if (level < 0) throw Error();
    st->assertions = level == 0;
}

int traverse_state(ModuleState *st, visitproc visit, void *arg) {
    Py_VISIT(st->stdlib_base64);
    Py_VISIT(st->store_type);
    return 0;
}

void clear_state(ModuleState *st) {
    // What the collector may have to break; each use of these falls back to
    // the generic path once they are gone.
    Py_CLEAR(st->stdlib_base64);
    Py_CLEAR(st->store_type);
}

void free_state(ModuleState *st) {
    clear_state(st);
    pysem::record::drop_free_list(trade_class);
#define ORDERMGR_RELEASE_(n) Py_CLEAR(st->names.n);
    ORDERMGR_NAMES(ORDERMGR_RELEASE_)
#undef ORDERMGR_RELEASE_
    Py_CLEAR(st->absent);
    Py_CLEAR(st->stopPct_keyword);
    if (the_state == st) the_state = nullptr;
}

namespace {

// Whether every key of the namespace is an exact str. Then looking a str up
// in it compares no keys through __eq__ (no code of the caller's runs), and
// the answer depends on the dict's contents alone.
bool keys_plain(KeptNamespace &k, PyObject *dict) {
    if (k.plain_keys_epoch == k.epoch) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    k.plain_keys_epoch = k.epoch;
    return true;
}

// The kept answer for `name`, or null.
PyObject *kept(PyObject *name) {
    KeptNamespace &k = state().kept;
    KeptNamespace::Entry &e = k.entry(name);
    return e.name == name && e.epoch == k.epoch && k.epoch ? e.value : nullptr;
}

// Keeps `value`, found in the namespace for `name` in epoch `epoch` (the
// lookup may have run code that changed it).
void keep(PyObject *name, PyObject *value, uint64_t epoch) {
    KeptNamespace &k = state().kept;
    if (!k.epoch || k.epoch != epoch || !keys_plain(k, PyModule_GetDict(state().module))) return;
    k.entry(name) = {name, value, epoch};
}

}  // namespace

void watch_module_namespace() {
    ModuleState &st = state();
    if (watch_namespace(PyModule_GetDict(st.module))) st.kept.epoch = 1;
}

void namespace_changed(bool gone) {
    if (!the_state) return;
    KeptNamespace &k = the_state->kept;
    if (gone)
        k.epoch = 0;
    else if (k.epoch)
        ++k.epoch;
}

PyObject *module_attr(PyObject *name) {
    if (PyObject *v = kept(name)) return v;
    uint64_t epoch = state().kept.epoch;
    PyObject *dict = PyModule_GetDict(state().module);
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "module 'marlovent.ordermgr' has no attribute '%U'", name);
        throw Error();
    }
    keep(name, v, epoch);
    return v;
}

PyObject *module_class(pysem::record::Class &c) {
    // The class was made in this module (PyType_GetModule), whose namespace
    // is the one watched.
    if (PyObject *v = kept(c.type_name)) return v;
    uint64_t epoch = state().kept.epoch;
    PyObject *v = pysem::record::bound_class(c);
    if (v) keep(c.type_name, v, epoch);
    return v;
}

Ref utc_now() { return pysem::utc_now(module_attr(names().datetime)); }

bool utc_now_micros(int64_t &micros) { return pysem::utc_now_micros(module_attr(names().datetime), micros); }

}  // namespace ordermgr
