// Methods and properties of the native classes, as plain CPython
// declarations.
//
// A method is one `Method` value: its name, its documentation starting with
// its text signature ("name($self, key, stopPct=0.1)\n--\n\n..."), the kind
// (instance, static or class method) and its body. The body gets `self` (the
// instance, the class for a class method, null for a static one) and the
// arguments bound to the parameters in order, null where one was left out
// (the body supplies the default the signature shows). The argument binding
// (parameter names, which are required, the host's messages for a bad call)
// is read from that same signature when the class is made, so what
// inspect.signature shows and what the call accepts cannot disagree.
//
//     constexpr pysem::Method add_trade = {"add_trade", "add_trade($self, key, trade)\n--\n\n...", body};
//     PyMethodDef methods[] = {pysem::method_def<add_trade>(), {}};
#pragma once
#include <Python.h>

#include <string>
#include <vector>

#include "pysem/args.h"
#include "pysem/ref.h"
#include "pysem/slot_call.h"

namespace pysem {

struct Method {
    // Instance: a method descriptor, which rejects a `self` of another type
    // with the host's TypeError. Function: bound like a Python function, so
    // any object is taken as `self` (and the body reads what it needs from
    // it the generic way); made by the record engine from Decl::functions.
    enum Kind { Instance = 0, Static = METH_STATIC, Class = METH_CLASS, Function = 0x40000000 };
    const char *name;
    const char *doc;
    Ref (*body)(PyObject *self, PyObject *const *args);
    Kind kind = Instance;
};

constexpr int kMaxParams = 8;

// The binding of one method's arguments, read from its text signature.
struct MethodBinding {
    std::string qualname;
    std::vector<std::string> names;
    std::vector<const char *> params;
    PyObject *interned[kMaxParams] = {};
    ArgSpec spec{};
    bool varargs = false;  // (*args): any positional arguments, no keywords
    // A Method::Function binds `self` as its first parameter, as a function does.
    std::vector<const char *> function_params;
    PyObject *function_interned[kMaxParams + 1] = {};
    ArgSpec function_spec{};
};

// Reads the text signature of `m` for methods of the class `owner`; raises
// SystemError for a signature this module cannot bind.
void bind_signature(const Method &m, const char *owner, MethodBinding &out);

// Binds a call; false with the host's TypeError set on a bad one.
bool bind_call(MethodBinding &b, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

template <const Method &M>
inline MethodBinding binding_of;

template <const Method &M>
PyObject *call_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[kMaxParams];
    if (!bind_call(binding_of<M>, args, nargs, kwnames, a)) return nullptr;
    return slot_call<PyObject *>(nullptr, [&] { return M.body(self, a).release(); });
}

// A function-like method: called through the class or bound by an
// instance, it gets `self` as its first argument.
template <const Method &M>
PyObject *call_function(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[kMaxParams + 1];
    if (!bind_args(binding_of<M>.function_spec, args, (size_t) nargs, kwnames, a)) return nullptr;
    return slot_call<PyObject *>(nullptr, [&] { return M.body(a[0], a + 1).release(); });
}

// The method's PyMethodDef entry; the binding is read from its signature now.
template <const Method &M>
PyMethodDef method_def(const char *owner) {
    bind_signature(M, owner, binding_of<M>);
    if (M.kind == Method::Function)
        return {M.name, (PyCFunction) (void (*)(void)) call_function<M>, METH_FASTCALL | METH_KEYWORDS, M.doc};
    return {M.name, (PyCFunction) (void (*)(void)) call_method<M>, METH_FASTCALL | METH_KEYWORDS | M.kind, M.doc};
}

// A read-only derived figure as a getset getter.
template <Ref (*Figure)(PyObject *)>
PyObject *figure_getter(PyObject *self, void *) {
    return slot_call<PyObject *>(nullptr, [&] { return Figure(self).release(); });
}

}  // namespace pysem
