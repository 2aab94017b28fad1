// The Python-facing types of zelph.dualcache.
#pragma once
#include <nanobind/nanobind.h>

namespace dualcache {
namespace nb = nanobind;

class Store;

// The Store inside a DualCache object; StoreError when it never opened.
Store &store_of(nb::handle self);

void bind_dualcache(nb::module_ &m);
void bind_transaction(nb::module_ &m);
void bind_iteration(nb::module_ &m);

// The view classes made at module initialisation (kept for the process).
void set_view_classes(PyObject *keys, PyObject *values, PyObject *items);

// A new iterator over a DualCache: 0 keys, 1 values, 2 items.
nb::object make_iterator(nb::handle store, int mode);

}  // namespace dualcache
