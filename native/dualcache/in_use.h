// The RuntimeError a DualCache raises when it is used while it cannot be:
// re-entered from a codec or a key's __eq__/__hash__ while an operation
// runs, used from another thread during one, or while another thread has a
// transaction block open. Its message is one of the str objects kept here,
// which marks it: a read that meets it in a codec or a key (whose errors
// otherwise report a damaged stored value) lets it pass as it is.
#pragma once
#include <Python.h>

namespace dualcache {

enum class InUse {
    Operation,    // an operation on the database runs
    OtherThread,  // another thread has a transaction block open
    Close,        // close() while an operation runs
    Destroy,      // destroy() while an operation runs
};

// Sets the RuntimeError for `why` and throws nanobind's python_error.
[[noreturn]] void raise_in_use(InUse why);

// Whether `exc` is an error raise_in_use set.
bool is_in_use_error(PyObject *exc);

}  // namespace dualcache
