#include "pysem/fraction_arithmetic.h"

#include <cstring>

namespace pysem {
namespace {

PyTypeObject *fraction = nullptr;  // kept for the process
PyObject *gcd = nullptr;           // kept for the process
bool unchanged = false;

// The namespaces Fraction's addition reads at call time, and which of their
// names it reads (null: any change counts).
struct Watched {
    const char *module;
    const char *names[4];
    PyObject *dict = nullptr;  // borrowed: the module holds it
};
Watched watched[] = {
    {"fractions", {}},
    {"math", {"gcd"}},
    {"numbers", {"Rational"}},
    {"builtins", {"int", "isinstance", "super", "type"}},
};

void changed() { unchanged = false; }

bool relevant(const Watched &w, PyObject *key) {
    if (!w.names[0] || !key || !PyUnicode_Check(key)) return true;
    for (const char *name : w.names)
        if (name && PyUnicode_CompareWithASCIIString(key, name) == 0) return true;
    return false;
}

int on_namespace_event(PyDict_WatchEvent, PyObject *dict, PyObject *key, PyObject *) {
    for (const Watched &w : watched)
        if (w.dict == dict && relevant(w, key)) changed();
    return 0;
}

int on_type_modified(PyTypeObject *) {
    changed();
    return 0;
}

bool watch_all() {
    PyObject *fractions = PyImport_ImportModule("fractions");
    if (!fractions) return false;
    fraction = (PyTypeObject *) PyObject_GetAttrString(fractions, "Fraction");
    Py_DECREF(fractions);
    if (!fraction || !PyType_Check(fraction)) return false;
    PyObject *math = PyImport_ImportModule("math");
    if (!math) return false;
    gcd = PyObject_GetAttrString(math, "gcd");
    Py_DECREF(math);
    if (!gcd || !PyCFunction_Check(gcd)) return false;

    // The interpreter reports a change to a type only while it has a
    // version tag, so one is asked for.
    int types = PyType_AddWatcher(on_type_modified);
    if (types < 0 || PyType_Watch(types, (PyObject *) fraction) < 0 ||
        !PyUnstable_Type_AssignVersionTag(fraction))
        return false;
    int dicts = PyDict_AddWatcher(on_namespace_event);
    if (dicts < 0) return false;
    for (Watched &w : watched) {
        PyObject *module = PyImport_ImportModule(w.module);
        if (!module) return false;
        w.dict = PyModule_GetDict(module);  // borrowed; the module stays imported
        Py_DECREF(module);
        if (PyDict_Watch(dicts, w.dict) < 0) return false;
    }
    return true;
}

}  // namespace

void watch_fraction_arithmetic() noexcept {
    if (fraction) return;
    PyObject *exc = PyErr_GetRaisedException();
    unchanged = watch_all();
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

PyTypeObject *unchanged_fraction_type() { return unchanged ? fraction : nullptr; }

PyObject *stdlib_gcd() { return gcd; }

}  // namespace pysem
