#include "pysem/args.h"

#include <string>
#include <vector>

namespace pysem {

static void intern_names(ArgSpec &sig) {
    if (sig.interned[0]) return;
    for (int i = 0; i < sig.count; ++i) sig.interned[i] = PyUnicode_InternFromString(sig.params[i]);
}

static int find_param(ArgSpec &sig, PyObject *name) {
    for (int i = 0; i < sig.count; ++i)
        if (sig.interned[i] == name) return i;
    for (int i = 0; i < sig.count; ++i) {
        int r = PyUnicode_Compare(sig.interned[i], name);
        if (r == 0) return i;
        if (r == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

static void missing_error(ArgSpec &sig, PyObject **out) {
    std::string names;
    int missing = 0, total = 0;
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) ++total;
    for (int i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        ++missing;
        if (missing > 1) names += total == 2 ? " and " : (missing == total ? ", and " : ", ");
        names += '\'';
        names += sig.params[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", sig.qualname, total,
                 total == 1 ? "" : "s", names.c_str());
}

bool bind_args(ArgSpec &sig, PyObject *const *args, size_t nargsf, PyObject *kwnames, PyObject **out) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common call: positional arguments only, every required one given.
    if (!kwnames && nargs >= sig.required && nargs <= sig.count) {
        int i = 0;
        for (; i < nargs; ++i) out[i] = args[i];
        for (; i < sig.count; ++i) out[i] = nullptr;
        return true;
    }
    intern_names(sig);
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.count) {
        int self = sig.counts_self ? 1 : 0;
        Py_ssize_t given = nargs + self;
        const char *verb = given == 1 ? "was" : "were";
        if (sig.required == sig.count)
            PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", sig.qualname,
                         sig.count + self, sig.count + self == 1 ? "" : "s", given, verb);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given",
                         sig.qualname, sig.required + self, sig.count + self, given, verb);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *name = PyTuple_GET_ITEM(kwnames, k);
            int i = find_param(sig, name);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname, name);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname,
                             sig.params[i]);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) {
            missing_error(sig, out);
            return false;
        }
    return true;
}

void bind_args(ArgSpec &sig, PyObject *args, PyObject *kwargs, PyObject **out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject *> all(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) throw Error();
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            PyTuple_SET_ITEM(kwnames.ptr(), i++, Py_NewRef(k));
            all.push_back(v);
        }
    }
    if (!bind_args(sig, all.data(), (size_t) nargs, kwnames.ptr(), out)) throw Error();
}

}  // namespace pysem
