#include "in_use.h"

#include <nanobind/nanobind.h>

#include <iterator>

namespace dualcache {

static const char *const messages[] = {
    "DualCache is in use by another operation (re-entered from a codec, a key's __eq__/__hash__, or another "
    "thread)",
    "DualCache has a transaction block open in another thread (a DualCache object is for one thread at a time)",
    "DualCache.close() called while an operation on it runs",
    "DualCache.destroy() called while an operation on it runs",
};
constexpr size_t kinds = std::size(messages);
static_assert(kinds == (size_t) InUse::Destroy + 1, "a message for each kind");

// The messages as str objects of their own (not interned), made once and
// kept for the process: the error's args hold the very object.
static PyObject *made[kinds] = {};

void raise_in_use(InUse why) {
    size_t i = (size_t) why;
    if (!made[i]) made[i] = PyUnicode_FromString(messages[i]);
    if (made[i]) PyErr_SetObject(PyExc_RuntimeError, made[i]);
    throw nanobind::python_error();
}

bool is_in_use_error(PyObject *exc) {
    if (!exc || Py_TYPE(exc) != (PyTypeObject *) PyExc_RuntimeError) return false;
    PyObject *args = PyException_GetArgs(exc);
    bool ours = false;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1)
        for (size_t i = 0; i < kinds && !ours; ++i) ours = made[i] && PyTuple_GET_ITEM(args, 0) == made[i];
    Py_XDECREF(args);
    return ours;
}

}  // namespace dualcache
