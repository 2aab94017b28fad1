// Small helpers shared by the module's record types and services.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <string>

namespace pysem {
namespace nb = nanobind;

// Py_ReprEnter/Py_ReprLeave as a scope: `active()` is false when `self` is
// already being represented further up the stack.
class ReprGuard {
public:
    explicit ReprGuard(PyObject *self) : self_(self) {
        int r = Py_ReprEnter(self);
        if (r < 0) throw nb::python_error();
        entered_ = (r == 0);
    }
    ~ReprGuard() {
        if (entered_) Py_ReprLeave(self_);
    }
    bool active() const { return entered_; }
    ReprGuard(const ReprGuard &) = delete;
    ReprGuard &operator=(const ReprGuard &) = delete;

private:
    PyObject *self_;
    bool entered_ = false;
};

inline nb::object not_implemented() { return nb::borrow(Py_NotImplemented); }

// getattr(obj, name) with an interned name; raises on failure.
inline nb::object getattr(PyObject *obj, PyObject *name) {
    PyObject *r = PyObject_GetAttr(obj, name);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Sets `type(message)` and throws it as a Python error, so that it keeps its
// type through every native caller (getset getters, vectorcalls, methods).
[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// An interned str kept for the life of the process.
PyObject *intern(const char *s);

}  // namespace pysem
