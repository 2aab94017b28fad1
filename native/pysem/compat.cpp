#include "pysem/compat.h"

#include <cstdint>

namespace pysem::compat {
namespace {

// Kept answers of own_type_lookup, direct-mapped by (type, name). An entry
// holds while `epoch` is the one it was made in; any change to a watched
// type starts a new epoch.
struct Kept {
    PyTypeObject *type = nullptr;
    PyObject *name = nullptr;
    PyObject *found = nullptr;  // borrowed from the type's dict, valid until the type changes
    uint64_t epoch = 0;
};
constexpr size_t kKept = 64;
Kept kept[kKept];
uint64_t epoch = 1;
int watcher = -1;  // the type watcher's id once added; -2 when none could be had

int on_type_modified(PyTypeObject *) {
    ++epoch;
    return 0;
}

// Whether the interpreter will report the next change to `type` (or to one
// of its bases) to on_type_modified. It does so only while the type holds a
// valid version tag, so one is asked for.
bool reports_changes(PyTypeObject *type) {
    if (watcher == -1) {
        watcher = PyType_AddWatcher(on_type_modified);
        if (watcher < 0) {
            PyErr_Clear();
            watcher = -2;
        }
    }
    if (watcher < 0) return false;
    if (PyType_Watch(watcher, (PyObject *) type) < 0) {
        PyErr_Clear();
        return false;
    }
    return PyUnstable_Type_AssignVersionTag(type) != 0;
}

}  // namespace

PyObject *own_type_lookup(PyTypeObject *type, PyObject *name) {
    Kept &k = kept[(((uintptr_t) type >> 4) ^ ((uintptr_t) name >> 4)) % kKept];
    if (k.type == type && k.name == name && k.epoch == epoch) return k.found;
    PyObject *found = type_lookup(type, name);
    if (reports_changes(type)) k = {type, name, found, epoch};
    return found;
}

}  // namespace pysem::compat
