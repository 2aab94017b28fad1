// The boundary with the store (zelph.dualcache): the record codecs the
// module hands it, and a trade book's change record said in the words of the
// store's change feed. Each model type hands its codec here while it is
// registered; the module initialisation passes them all to the store once
// the classes exist.
#pragma once
#include <Python.h>

#include "dualcache/record_codec.h"

namespace ordermgr {

void export_record_codec(PyTypeObject *cls, zelph_record_codec *codec);
// Registers every exported class with zelph.dualcache.register(cls, tag, codec=capsule).
void register_codecs_with_store(PyObject *store_module);

// The codec's items_changed for a Position's trade book: its change record
// (book_changes.h) since the store's mark, as the store's change feed. A
// book the store built that has no record yet gets one when it can
// (KeptBook::start_changes).
Py_ssize_t book_items_changed(PyObject *mapping, const zelph_items_mark *since, zelph_items_mark *now,
                              PyObject **keys, PyObject **values, int *kinds, Py_ssize_t max);

// The codec's items_append for a Position's trade book: the book's own
// append (its kept figures extended, the trade listed in its change record).
int book_items_append(PyObject *mapping, PyObject *key, PyObject *trade);

}  // namespace ordermgr
