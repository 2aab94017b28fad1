#include "pysem/call_args.h"

#include <string>

namespace pysem {

[[noreturn]] static void type_error(const std::string &msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw nb::python_error();
}

static Py_ssize_t find_name(const Signature &sig, PyObject *name) {
    for (Py_ssize_t i = 0; i < sig.count; ++i)
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig.names[i]) == 0) return i;
    return -1;
}

void bind_args(const Signature &sig, PyObject *args, PyObject *kwargs, PyObject **out) {
    Py_ssize_t npos = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < npos ? PyTuple_GET_ITEM(args, i) : nullptr;

    std::string head = std::string(sig.qualname) + "()";
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            Py_ssize_t i = find_name(sig, k);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", head.c_str(), k);
                throw nb::python_error();
            }
            if (out[i]) type_error(head + " got multiple values for argument '" + sig.names[i] + "'");
            out[i] = v;
        }
    }

    if (npos > sig.count) {
        // Counts include self, as the host reports them for a method.
        std::string takes = sig.required == sig.count
                                ? std::to_string(sig.count + 1)
                                : "from " + std::to_string(sig.required + 1) + " to " + std::to_string(sig.count + 1);
        Py_ssize_t given = npos + 1;
        type_error(head + " takes " + takes + " positional argument" + (sig.count ? "s" : "") + " but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }

    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    if (missing) {
        std::string list;
        Py_ssize_t seen = 0;
        for (Py_ssize_t i = 0; i < sig.required; ++i) {
            if (out[i]) continue;
            if (seen) list += missing == 2 ? " and " : (seen == missing - 1 ? ", and " : ", ");
            list += std::string("'") + sig.names[i] + "'";
            ++seen;
        }
        type_error(head + " missing " + std::to_string(missing) + " required positional argument" +
                   (missing == 1 ? "" : "s") + ": " + list);
    }
}

}  // namespace pysem
