#include "diagnostics/reads.h"

#include "model/position.h"
#include "pysem/record.h"

namespace ordermgr {

DiagNames dnames;

void init_diag_names() {
    if (dnames.DataValidator) return;
    using pysem::intern;
    dnames.get_portfolio_summary = intern("get_portfolio_summary");
    dnames.position_groups = intern("position_groups");
    dnames.validate_trade = intern("validate_trade");
    dnames.validate_position_consistency = intern("validate_position_consistency");
    dnames.DataValidator = intern("DataValidator");
    dnames.check_data = intern("_check_data_consistency");
    dnames.check_math = intern("_check_mathematical_consistency");
    dnames.strftime = intern("strftime");
    PyObject *kw = PyTuple_Pack(1, intern("stopPct"));
    if (!kw) raise();
    dnames.stopPct_kw = kw;  // kept for the life of the process
}

void unpack_pair(PyObject *item, nb::object &key, nb::object &value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = nb::borrow(PyTuple_GET_ITEM(item, 0));
        value = nb::borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(item));
    if (!it) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        raise();
    }
    nb::object got[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *x = PyIter_Next(it.ptr());
        if (!x) {
            if (PyErr_Occurred()) raise();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            raise();
        }
        got[i] = nb::steal(x);
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

nb::object values_list(PyObject *mapping) {
    if (PyDict_CheckExact(mapping)) {
        PyObject *r = PyDict_Values(mapping);
        if (!r) raise();
        return nb::steal(r);
    }
    nb::object view = call_method0(mapping, names.values);
    PyObject *r = PySequence_List(view.ptr());
    if (!r) raise();
    return nb::steal(r);
}

static bool is_exact_position(PyObject *p) { return is_exact(p, types.Position); }

nb::object position_is_long_object(PyObject *position) {
    if (is_exact_position(position)) return nb::borrow(position_is_long(position) ? Py_True : Py_False);
    return pysem::getattr(position, names.is_long);
}

nb::object position_empty_object(PyObject *position) {
    if (is_exact_position(position)) return nb::borrow(position_empty(position) ? Py_True : Py_False);
    return pysem::getattr(position, names.empty);
}

bool objects_differ(PyObject *a, PyObject *b) {
    if (PyBool_Check(a) && PyBool_Check(b)) return a != b;
    nb::object r = nb::steal(PyObject_RichCompare(a, b, Py_NE));
    if (!r) raise();
    return truth(r.ptr());
}

}  // namespace ordermgr
