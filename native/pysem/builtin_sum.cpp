#include "pysem/builtin_sum.h"

#include <climits>
#include <cmath>

namespace pysem {

bool ObjectSum::add(PyObject *item) {
    if (PyFloat_CheckExact(item)) return sum_.add(false, 0, PyFloat_AS_DOUBLE(item));
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    return !overflow && sum_.add(true, v, 0.0);
}

nb::object host_sum(PyObject *list) {
    ObjectSum sum;
    Py_ssize_t n = PyList_GET_SIZE(list);
    bool native = true;
    for (Py_ssize_t i = 0; i < n && native; ++i) native = sum.add(PyList_GET_ITEM(list, i));
    if (native) return sum.result();
    PyObject *builtins = PyEval_GetBuiltins();
    PyObject *fn = PyDict_GetItemString(builtins, "sum");
    if (!fn) throw nb::python_error();
    PyObject *r = PyObject_CallOneArg(fn, list);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

void BuiltinSum::add(PyObject *item) {
    if (!items_) {
        items_ = nb::steal(PyList_New(0));
        if (!items_) throw nb::python_error();
    }
    if (PyList_Append(items_.ptr(), item) < 0) throw nb::python_error();
    if (native_) native_ = native_sum_.add(item);
}

nb::object BuiltinSum::result() {
    if (native_) return native_sum_.result();
    return host_sum(items_.ptr());
}

}  // namespace pysem
