// Owned references and Python errors in native code.
//
// A Ref owns one reference (or none) and releases it when it goes out of
// scope. An Error is thrown once a Python error is set (as the C API leaves
// it): it travels up through native frames, releasing what they hold, to the
// boundary where the interpreter called in (slot_call.h), which returns the
// failure value with the error still set. Nothing between the throw and that
// boundary calls into the interpreter except to release references.
#pragma once
#include <Python.h>

#include <utility>

namespace pysem {

struct Error {};

// Throws for the Python error already set.
[[noreturn]] inline void raise() { throw Error(); }
// Sets `type(message)` and throws it.
[[noreturn]] inline void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw Error();
}

class Ref {
public:
    Ref() = default;
    Ref(const Ref &o) : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    // The new value is in place before the old one is released (its
    // finaliser may look at whatever held it).
    Ref &operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    PyObject *ptr() const { return p_; }
    // Hands the reference over to the caller.
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() { Py_CLEAR(p_); }
    explicit operator bool() const { return p_ != nullptr; }
    bool is_none() const { return p_ == Py_None; }

    friend Ref steal(PyObject *p);

private:
    PyObject *p_ = nullptr;
};

// Takes over a new reference (or null).
inline Ref steal(PyObject *p) {
    Ref r;
    r.p_ = p;
    return r;
}
// A new reference to a borrowed object (or null).
inline Ref borrow(PyObject *p) { return steal(Py_XNewRef(p)); }
// The result of a C API call that returns a new reference: raises the
// error it set when it returned null.
inline Ref check(PyObject *p) {
    if (!p) throw Error();
    return steal(p);
}
inline Ref none() { return borrow(Py_None); }
inline Ref new_list() { return check(PyList_New(0)); }
inline Ref boolean(bool b) { return borrow(b ? Py_True : Py_False); }

}  // namespace pysem
