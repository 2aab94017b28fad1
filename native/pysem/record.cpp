#include "pysem/record.h"

#include "pysem/format.h"

namespace pysem {

PyObject *intern(const char *s) {
    PyObject *r = PyUnicode_InternFromString(s);
    if (!r) throw nb::python_error();
    return r;  // deliberately kept alive for the process
}

nb::object record_repr(PyObject *self, std::initializer_list<FieldRef> fields) {
    return record_repr_n(self, fields.begin(), fields.size());
}

nb::object record_repr_n(PyObject *self, const FieldRef *fields, size_t n) {
    ReprGuard guard(self);
    if (!guard.active()) return nb::steal(PyUnicode_FromString("..."));
    std::string out;
    PyObject *qualname = PyType_GetQualName(Py_TYPE(self));
    if (!qualname) throw nb::python_error();
    nb::object qn = nb::steal(qualname);
    append_utf8(out, qualname);
    out += '(';
    for (size_t i = 0; i < n; ++i) {
        const FieldRef &f = fields[i];
        if (i) out += ", ";
        out += f.name;
        out += '=';
        append_repr(out, f.value);
    }
    out += ')';
    return utf8_to_str(out);
}

bool fields_equal(std::initializer_list<PyObject *> mine, std::initializer_list<PyObject *> theirs) {
    return fields_equal_n(mine.begin(), theirs.begin(), mine.size());
}

bool fields_equal_n(PyObject *const *mine, PyObject *const *theirs, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        int r = PyObject_RichCompareBool(mine[i], theirs[i], Py_EQ);
        if (r < 0) throw nb::python_error();
        if (!r) return false;
    }
    return true;
}

nb::object record_eq(PyObject *self, PyObject *other,
                     std::initializer_list<PyObject *> mine,
                     std::initializer_list<PyObject *> theirs) {
    if (Py_TYPE(self) != Py_TYPE(other)) return not_implemented();
    if (self == other) return nb::borrow(Py_True);
    return nb::borrow(fields_equal(mine, theirs) ? Py_True : Py_False);
}

nb::object record_repr_attrs(PyObject *self, std::initializer_list<const char *> names) {
    ReprGuard guard(self);
    if (!guard.active()) return nb::steal(PyUnicode_FromString("..."));
    std::string out;
    nb::object qn = nb::steal(PyType_GetQualName(Py_TYPE(self)));
    if (!qn) throw nb::python_error();
    append_utf8(out, qn.ptr());
    out += '(';
    bool first = true;
    for (const char *name : names) {
        if (!first) out += ", ";
        first = false;
        out += name;
        out += '=';
        nb::object v = nb::steal(PyObject_GetAttrString(self, name));
        if (!v) throw nb::python_error();
        append_repr(out, v.ptr());
    }
    out += ')';
    return utf8_to_str(out);
}

nb::object record_eq_attrs(PyObject *self, PyObject *other, std::initializer_list<const char *> names) {
    if (Py_TYPE(self) != Py_TYPE(other)) return not_implemented();
    if (self == other) return nb::borrow(Py_True);
    // Both tuples are built before comparing, as the generated method does.
    nb::object a = nb::steal(PyTuple_New((Py_ssize_t) names.size()));
    nb::object b = nb::steal(PyTuple_New((Py_ssize_t) names.size()));
    if (!a || !b) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *x = PyObject_GetAttrString(self, name);
        if (!x) throw nb::python_error();
        PyTuple_SET_ITEM(a.ptr(), i, x);
        PyObject *y = PyObject_GetAttrString(other, name);
        if (!y) throw nb::python_error();
        PyTuple_SET_ITEM(b.ptr(), i, y);
        ++i;
    }
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return nb::borrow(r ? Py_True : Py_False);
}

}  // namespace pysem
