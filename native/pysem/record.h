// Building blocks for the module's record types: the dataclass-style text
// representation and equality, and small helpers around nanobind.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>
#include <initializer_list>
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

struct FieldRef {
    const char *name;
    PyObject *value;  // borrowed
};

// "QualName(a=repr(a), b=repr(b))", or "..." for a recursive call.
nb::object record_repr(PyObject *self, std::initializer_list<FieldRef> fields);
nb::object record_repr_n(PyObject *self, const FieldRef *fields, size_t n);

// Field-wise equality as a dataclass's generated __eq__: NotImplemented unless
// `other` is of exactly the same class, then the fields compared in order as
// a tuple comparison does (identity first, then ==).
nb::object record_eq(PyObject *self, PyObject *other,
                     std::initializer_list<PyObject *> mine,
                     std::initializer_list<PyObject *> theirs);
bool fields_equal(std::initializer_list<PyObject *> mine, std::initializer_list<PyObject *> theirs);
bool fields_equal_n(PyObject *const *mine, PyObject *const *theirs, size_t n);

// The same two for an instance of a subclass: every field is read by
// attribute access, so that a subclass's property override is what is shown
// and compared.
nb::object record_repr_attrs(PyObject *self, std::initializer_list<const char *> names);
nb::object record_eq_attrs(PyObject *self, PyObject *other, std::initializer_list<const char *> names);

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
