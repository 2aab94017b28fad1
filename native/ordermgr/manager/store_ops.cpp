#include "manager/store_ops.h"

#include "model/module_ns.h"
#include "pysem/compat.h"

namespace ordermgr {

nb::object store_get(PyObject *store, PyObject *key) {
    if (PyDict_CheckExact(store)) {
        PyObject *v = PyDict_GetItemWithError(store, key);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(v ? v : Py_None);
    }
    PyObject *r = PyObject_CallMethodOneArg(store, names.get, key);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

bool store_contains(PyObject *store, PyObject *key) {
    int r = PySequence_Contains(store, key);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object store_getitem(PyObject *store, PyObject *key) {
    PyObject *r = PyObject_GetItem(store, key);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void store_setitem(PyObject *store, PyObject *key, PyObject *value) {
    if (PyObject_SetItem(store, key, value) < 0) throw nb::python_error();
}

void store_delitem(PyObject *store, PyObject *key) {
    if (PyObject_DelItem(store, key) < 0) throw nb::python_error();
}

static nb::object listed(PyObject *store, PyObject *method) {
    nb::object view = nb::steal(PyObject_CallMethodNoArgs(store, method));
    if (!view) throw nb::python_error();
    PyObject *l = PySequence_List(view.ptr());
    if (!l) throw nb::python_error();
    return nb::steal(l);
}

nb::object store_items(PyObject *store) { return listed(store, names.items); }
nb::object store_keys(PyObject *store) { return listed(store, names.keys); }

StoreTransaction::StoreTransaction(PyObject *store) {
    if (PyDict_CheckExact(store)) return;
    PyObject *factory = nullptr;
    if (pysem::compat::optional_attr(store, names.transaction, &factory) < 0) throw nb::python_error();
    if (!factory) return;
    nb::object f = nb::steal(factory);
    manager_ = nb::steal(PyObject_CallNoArgs(factory));
    if (!manager_) throw nb::python_error();
    nb::object entered = nb::steal(PyObject_CallMethod(manager_.ptr(), "__enter__", nullptr));
    if (!entered) throw nb::python_error();
}

void StoreTransaction::commit() {
    if (!manager_) return;
    nb::object m = std::move(manager_);
    nb::object r = nb::steal(PyObject_CallMethod(m.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!r) throw nb::python_error();
}

void StoreTransaction::abort(nb::python_error &error) {
    if (!manager_) throw;
    nb::object m = std::move(manager_);
    nb::handle value = error.value();
    nb::object tb = nb::steal(PyException_GetTraceback(value.ptr()));
    nb::object r = nb::steal(PyObject_CallMethod(m.ptr(), "__exit__", "OOO", (PyObject *) Py_TYPE(value.ptr()),
                                                 value.ptr(), tb ? tb.ptr() : Py_None));
    if (!r) {
        // The rollback failed as well: raise that, with the original as context.
        PyObject *rollback_error = PyErr_GetRaisedException();
        PyException_SetContext(rollback_error, Py_NewRef(value.ptr()));
        PyErr_SetRaisedException(rollback_error);
        throw nb::python_error();
    }
    throw;
}

}  // namespace ordermgr
