#include "manager/store_ops.h"

#include "model/module_ns.h"
#include "pysem/compat.h"
#include "pysem/record.h"

namespace ordermgr {

Ref store_get(PyObject *store, PyObject *key) {
    if (PyDict_CheckExact(store)) {
        PyObject *v = PyDict_GetItemWithError(store, key);
        if (!v && PyErr_Occurred()) throw Error();
        return borrow(v ? v : Py_None);
    }
    PyObject *r = PyObject_CallMethodOneArg(store, names().get, key);
    if (!r) throw Error();
    return steal(r);
}

bool store_contains(PyObject *store, PyObject *key) {
    int r = PySequence_Contains(store, key);
    if (r < 0) throw Error();
    return r != 0;
}

Ref store_lookup(PyObject *store, PyObject *key, int &present) {
    if (PyDict_CheckExact(store)) {
        PyObject *v = PyDict_GetItemWithError(store, key);
        if (!v && PyErr_Occurred()) throw Error();
        present = v != nullptr;
        return borrow(v ? v : Py_None);
    }
    if (Py_TYPE(store) == state().store_type) {
        PyObject *r = PyObject_CallMethodObjArgs(store, names().get, key, state().absent, nullptr);
        if (!r) throw Error();
        present = r != state().absent;
        if (!present) {
            Py_DECREF(r);
            return none();
        }
        return steal(r);
    }
    present = -1;
    return store_get(store, key);
}

// Whether store[key] calls dict's own subscript: a dict, or a dict subclass
// in which no class before dict along the MRO defines __getitem__. A
// subclass defined in Python reaches it through the generic slot, which
// looks __getitem__ up along the MRO (finding dict's own method) and calls
// it: calling dict's subscript directly is that call (a missing key still
// goes to the subclass's __missing__).
static bool subscript_is_dicts(PyObject *store) {
    if (!PyDict_Check(store)) return false;
    PyObject *mro = Py_TYPE(store)->tp_mro;
    if (!mro) return false;
    static PyObject *const getitem = pysem::intern("__getitem__");
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyTypeObject *base = (PyTypeObject *) PyTuple_GET_ITEM(mro, i);
        if (base == &PyDict_Type) return true;
        // A class defined in Python has its dict in tp_dict; anything else
        // takes the generic path.
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE) || !base->tp_dict) return false;
        if (PyDict_GetItemWithError(base->tp_dict, getitem)) return false;
        if (PyErr_Occurred()) throw Error();
    }
    return false;
}

Ref store_getitem(PyObject *store, PyObject *key) {
    PyObject *r = subscript_is_dicts(store) ? PyDict_Type.tp_as_mapping->mp_subscript(store, key)
                                            : PyObject_GetItem(store, key);
    if (!r) throw Error();
    return steal(r);
}

void store_setitem(PyObject *store, PyObject *key, PyObject *value) {
    if (PyObject_SetItem(store, key, value) < 0) throw Error();
}

void store_delitem(PyObject *store, PyObject *key) {
    if (PyObject_DelItem(store, key) < 0) throw Error();
}

static Ref listed(PyObject *store, PyObject *method) {
    Ref view = steal(PyObject_CallMethodNoArgs(store, method));
    if (!view) throw Error();
    PyObject *l = PySequence_List(view.ptr());
    if (!l) throw Error();
    return steal(l);
}

Ref store_items(PyObject *store) { return listed(store, names().items); }
bool store_items_are_its_values(PyObject *store) {
    return PyDict_CheckExact(store) || Py_TYPE(store) == state().store_type;
}
Ref store_keys(PyObject *store) { return listed(store, names().keys); }

StoreTransaction::StoreTransaction(PyObject *store, PyObject *key) {
    if (PyDict_CheckExact(store)) return;
    if (key && Py_TYPE(store) == state().store_type) {
        static PyObject *keyed = pysem::intern("_write_transaction");
        manager_ = steal(PyObject_CallMethodOneArg(store, keyed, key));
        if (!manager_) throw Error();
        Ref entered = steal(PyObject_CallMethod(manager_.ptr(), "__enter__", nullptr));
        if (!entered) throw Error();
        return;
    }
    PyObject *factory = nullptr;
    if (pysem::compat::optional_attr(store, names().transaction, &factory) < 0) throw Error();
    if (!factory) return;
    Ref f = steal(factory);
    manager_ = steal(PyObject_CallNoArgs(factory));
    if (!manager_) throw Error();
    Ref entered = steal(PyObject_CallMethod(manager_.ptr(), "__enter__", nullptr));
    if (!entered) throw Error();
}

bool take_write_conflict() {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) return false;
    static PyObject *sqlstate = pysem::intern("sqlstate");
    PyObject *code = nullptr;
    bool conflict = false;
    if (pysem::compat::optional_attr(exc, sqlstate, &code) < 0) {
        PyErr_Clear();
    } else if (code) {
        conflict = PyUnicode_Check(code) && PyUnicode_CompareWithASCIIString(code, "40001") == 0;
        Py_DECREF(code);
    }
    if (conflict) {
        Py_DECREF(exc);
        return true;
    }
    PyErr_SetRaisedException(exc);
    return false;
}

void StoreTransaction::commit() {
    if (!manager_) return;
    Ref m = std::move(manager_);
    Ref r = steal(PyObject_CallMethod(m.ptr(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!r) throw Error();
}

void StoreTransaction::abort() {
    if (!manager_) throw Error();
    Ref m = std::move(manager_);
    PyObject *exc = PyErr_GetRaisedException();
    Ref tb = steal(PyException_GetTraceback(exc));
    Ref r = steal(PyObject_CallMethod(m.ptr(), "__exit__", "OOO", (PyObject *) Py_TYPE(exc), exc,
                                      tb ? tb.ptr() : Py_None));
    if (!r) {
        // The rollback failed as well: raise that, with the original as context.
        PyObject *rollback_error = PyErr_GetRaisedException();
        PyException_SetContext(rollback_error, exc);
        PyErr_SetRaisedException(rollback_error);
        throw Error();
    }
    PyErr_SetRaisedException(exc);
    throw Error();
}

}  // namespace ordermgr
