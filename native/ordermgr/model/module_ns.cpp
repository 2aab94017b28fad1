#include "model/module_ns.h"

#include "pysem/clock.h"
#include "pysem/record.h"

namespace ordermgr {

Types types;
Names names;
static PyObject *g_module = nullptr;

void init_names() {
    using pysem::intern;
    names.qty = intern("qty");
    names.average_price = intern("average_price");
    names.is_long = intern("is_long");
    names.total_commission = intern("total_commission");
    names.started = intern("started");
    names.empty = intern("empty");
    names.orderids = intern("orderids");
    names.values = intern("values");
    names.items = intern("items");
    names.keys = intern("keys");
    names.get = intern("get");
    names.add_trade = intern("add_trade");
    names.add_commission = intern("add_commission");
    names.datetime = intern("datetime");
    names.DualCache = intern("DualCache");
    names.summary = intern("summary");
    names.transaction = intern("transaction");
    names.cacheName = intern("cacheName");
    names.cachePrefix = intern("cachePrefix");
    names.absent = PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type);  // kept for the process
    if (!names.absent) throw nb::python_error();
}

void set_module(PyObject *module) { g_module = module; }
PyObject *module_object() { return g_module; }

PyObject *module_attr(PyObject *name) {
    PyObject *dict = PyModule_GetDict(g_module);
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "module 'marlovent.ordermgr' has no attribute '%U'", name);
        throw nb::python_error();
    }
    return v;
}

nb::object utc_now() { return pysem::utc_now(module_attr(names.datetime)); }

bool utc_now_micros(int64_t &micros) { return pysem::utc_now_micros(module_attr(names.datetime), micros); }

}  // namespace ordermgr
