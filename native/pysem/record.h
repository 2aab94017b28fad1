// Small helpers shared by the module's record types and services.
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <string>

namespace pysem {

// Py_ReprEnter/Py_ReprLeave as a scope: `active()` is false when `self` is
// already being represented further up the stack.
class ReprGuard {
public:
    explicit ReprGuard(PyObject *self) : self_(self) {
        int r = Py_ReprEnter(self);
        if (r < 0) throw Error();
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

// getattr(obj, name) with an interned name; raises on failure.
inline Ref getattr(PyObject *obj, PyObject *name) { return check(PyObject_GetAttr(obj, name)); }

// An interned str kept for the life of the process.
PyObject *intern(const char *s);

}  // namespace pysem
