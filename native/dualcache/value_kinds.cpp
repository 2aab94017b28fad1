#include "value_kinds.h"

#include <nanobind/nanobind.h>

#include "datetime_codec.h"
#include "py_import.h"

namespace dualcache {
namespace nb = nanobind;

static PyTypeObject *decimal = nullptr;   // kept for the process
static PyTypeObject *fraction = nullptr;  // kept for the process

void value_kinds_init() {
    datetime_init();
    decimal = (PyTypeObject *) import_attr("decimal", "Decimal");
    fraction = (PyTypeObject *) import_attr("fractions", "Fraction");
}

PyTypeObject *decimal_type() { return decimal; }
PyTypeObject *fraction_type() { return fraction; }

bool is_builtin_kind(PyTypeObject *t) {
    return t == Py_TYPE(Py_None) || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyUnicode_Type || t == &PyBytes_Type || t == &PyTuple_Type || t == &PyList_Type ||
           t == &PyDict_Type || t == &PySet_Type || t == &PyFrozenSet_Type || t == decimal || t == fraction ||
           is_exact_datetime_kind(t);
}

static bool safe(PyObject *o, int depth) {
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || o == Py_None || t == &PyBool_Type ||
        t == &PyBytes_Type || t == decimal || t == fraction || is_exact_datetime_kind(t))
        return true;
    if (depth == 0) return false;
    if (t == &PyTuple_Type) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n > 16) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!safe(PyTuple_GET_ITEM(o, i), depth - 1)) return false;
        return true;
    }
    // Frozensets and anything else: compared by content instead.
    return false;
}

bool is_identity_safe(PyObject *o) { return safe(o, 3); }

bool same_immutable_fields(PyObject *fields, PyObject *like, Py_ssize_t skip) {
    Py_ssize_t n = PyTuple_GET_SIZE(fields);
    if (n != PyTuple_GET_SIZE(like)) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (i != skip && !same_immutable_kind(PyTuple_GET_ITEM(fields, i), PyTuple_GET_ITEM(like, i))) return false;
    return true;
}

}  // namespace dualcache
