#include "model/module_ns.h"

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

PyObject *module_attr(PyObject *name) {
    PyObject *dict = PyModule_GetDict(state().module);
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "module 'marlovent.ordermgr' has no attribute '%U'", name);
        throw Error();
    }
    return v;
}

Ref utc_now() { return pysem::utc_now(module_attr(names().datetime)); }

bool utc_now_micros(int64_t &micros) { return pysem::utc_now_micros(module_attr(names().datetime), micros); }

}  // namespace ordermgr
