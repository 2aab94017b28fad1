#include "pysem/fraction_arithmetic.h"

#include <cstring>

#include "pysem/compat.h"
#include "pysem/ref.h"

namespace pysem {
namespace {

PyTypeObject *fraction = nullptr;  // kept for the process
PyObject *gcd = nullptr;           // kept for the process
bool unchanged = false;
Py_ssize_t numerator_offset = 0, denominator_offset = 0;

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

PyObject *module_dict(const char *name) {
    for (const Watched &w : watched)
        if (std::strcmp(w.module, name) == 0) return w.dict;
    return nullptr;
}

// A C function of `module` named `name`.
bool builtin_of(PyObject *f, PyObject *module, const char *name) {
    return f && PyCFunction_Check(f) && PyCFunction_GET_SELF(f) == module &&
           std::strcmp(((PyCFunctionObject *) f)->m_ml->ml_name, name) == 0;
}

// The offset of one of the class's own object slots.
bool slot_offset(PyObject *dict, const char *name, Py_ssize_t &offset) {
    PyObject *d = PyDict_GetItemString(dict, name);
    if (!d || !Py_IS_TYPE(d, &PyMemberDescr_Type)) return false;
    PyMemberDef *m = ((PyMemberDescrObject *) d)->d_member;
    if (m->type != Py_T_OBJECT_EX || ((PyMemberDescrObject *) d)->d_common.d_type != fraction) return false;
    offset = m->offset;
    return true;
}

// A Python function of the fractions module (a static or class method's
// function unwrapped); its closure's functions must be `own` (the class's
// _add) when it has one.
bool module_function(PyObject *f, PyObject *globals, PyObject *own = nullptr) {
    if (!f) return false;
    if (Py_IS_TYPE(f, &PyStaticMethod_Type) || Py_IS_TYPE(f, &PyClassMethod_Type)) {
        PyObject *inner = PyObject_GetAttrString(f, "__func__");
        if (!inner) return false;
        bool ok = module_function(inner, globals, own);
        Py_DECREF(inner);
        return ok;
    }
    if (!PyFunction_Check(f) || PyFunction_GET_GLOBALS(f) != globals) return false;
    PyObject *closure = PyFunction_GET_CLOSURE(f);
    if (!closure) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
        PyObject *v = PyCell_GET(PyTuple_GET_ITEM(closure, i));
        if (v && PyFunction_Check(v) && v != own) return false;
    }
    return true;
}

// Whether what Fraction's addition reads is, right now, the standard
// library's own: a program may have changed it before this module was
// imported, which no watcher saw.
bool standard_now() {
    PyObject *globals = module_dict("fractions"), *builtins = module_dict("builtins");
    PyObject *math = PyImport_ImportModule("math"), *numbers = PyImport_ImportModule("numbers");
    PyObject *builtins_module = PyImport_ImportModule("builtins");
    Ref getattribute = steal(PyUnicode_FromString("__getattribute__")), getattr = steal(PyUnicode_FromString("__getattr__"));
    bool ok = math && numbers && builtins_module;
    if (ok) {
        PyObject *cls = fraction->tp_dict;
        PyObject *add = PyDict_GetItemString(cls, "_add");
        PyObject *rational = PyDict_GetItemString(PyModule_GetDict(numbers), "Rational");
        ok = PyDict_GetItemString(globals, "Fraction") == (PyObject *) fraction &&
             PyDict_GetItemString(globals, "math") == math && PyDict_GetItemString(globals, "numbers") == numbers &&
             builtin_of(gcd, math, "gcd") &&
             module_function(add, globals) && module_function(PyDict_GetItemString(cls, "__add__"), globals, add) &&
             module_function(PyDict_GetItemString(cls, "__radd__"), globals, add) &&
             module_function(PyDict_GetItemString(cls, "__new__"), globals) &&
             module_function(PyDict_GetItemString(cls, "_from_coprime_ints"), globals) &&
             getattribute.ptr() && getattr.ptr() &&
             compat::type_lookup(fraction, getattribute.ptr()) ==
                 compat::type_lookup(&PyBaseObject_Type, getattribute.ptr()) &&
             !compat::type_lookup(fraction, getattr.ptr()) &&
             slot_offset(cls, "_numerator", numerator_offset) && slot_offset(cls, "_denominator", denominator_offset) &&
             PyDict_GetItemString(builtins, "int") == (PyObject *) &PyLong_Type &&
             PyDict_GetItemString(builtins, "type") == (PyObject *) &PyType_Type &&
             PyDict_GetItemString(builtins, "super") == (PyObject *) &PySuper_Type &&
             builtin_of(PyDict_GetItemString(builtins, "isinstance"), builtins_module, "isinstance") && rational &&
             PyType_IsSubtype(fraction, (PyTypeObject *) rational) &&
             PyObject_IsSubclass((PyObject *) &PyLong_Type, rational) == 1;
    }
    Py_XDECREF(math);
    Py_XDECREF(numbers);
    Py_XDECREF(builtins_module);
    return ok;
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
    if (!gcd) return false;

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
    return standard_now();
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

bool fraction_slots(PyObject *x, PyObject **numerator, PyObject **denominator) {
    *numerator = *(PyObject **) ((char *) x + numerator_offset);
    *denominator = *(PyObject **) ((char *) x + denominator_offset);
    return *numerator && *denominator;
}

}  // namespace pysem
