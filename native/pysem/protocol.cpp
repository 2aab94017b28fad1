#include "pysem/protocol.h"

#include "pysem/record.h"

namespace pysem::protocol {

PyObject *items_name() {
    static PyObject *const name = intern("items");
    return name;
}

void unpack_pair(PyObject *item, Ref &key, Ref &value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = borrow(PyTuple_GET_ITEM(item, 0));
        value = borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    Ref it = steal(PyObject_GetIter(item));
    if (!it) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        raise();
    }
    Ref got[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *x = PyIter_Next(it.ptr());
        if (!x) {
            if (PyErr_Occurred()) raise();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise();
        }
        got[i] = steal(x);
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        raise();
    }
    if (PyErr_Occurred()) raise();
    key = std::move(got[0]);
    value = std::move(got[1]);
}

Ref values_list(PyObject *mapping) {
    static PyObject *const values_name = intern("values");
    if (PyDict_CheckExact(mapping)) {
        PyObject *r = PyDict_Values(mapping);
        if (!r) raise();
        return steal(r);
    }
    Ref view = call_method0(mapping, values_name);
    PyObject *r = PySequence_List(view.ptr());
    if (!r) raise();
    return steal(r);
}

bool objects_differ(PyObject *a, PyObject *b) {
    if (PyBool_Check(a) && PyBool_Check(b)) return a != b;
    Ref r = steal(PyObject_RichCompare(a, b, Py_NE));
    if (!r) raise();
    return truth(r.ptr());
}

}  // namespace pysem::protocol
