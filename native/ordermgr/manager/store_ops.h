// The order manager's view of its store: mapping operations with a fast path
// for an exact dict, and the store's write transaction when it has one.
#pragma once
#include <Python.h>
#include <exception>
#include <new>

#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// store.get(key): the stored value or None. New reference.
Ref store_get(PyObject *store, PyObject *key);
bool store_contains(PyObject *store, PyObject *key);
// store.get(key), and whether `key in store` where one question tells both:
// an exact dict, or the persistent store itself (its get with a default of
// our own). `present` is -1 for any other mapping: the caller asks
// store_contains when it needs to. New reference.
Ref store_lookup(PyObject *store, PyObject *key, int &present);
Ref store_getitem(PyObject *store, PyObject *key);
void store_setitem(PyObject *store, PyObject *key, PyObject *value);
void store_delitem(PyObject *store, PyObject *key);
// list(store.items()) as a list of (key, value) tuples.
Ref store_items(PyObject *store);
// Whether store.items() gives what store[key] gives for each of its keys: an
// exact dict, or the persistent store itself (which reads them in one pass).
bool store_items_are_its_values(PyObject *store);
Ref store_keys(PyObject *store);

// Runs `body` as `with store.transaction(): body()` for stores that offer a
// transaction (the persistent store does; a plain mapping put in its place
// does not, and then `body` simply runs). An error raised by `body` is handed
// to the transaction's __exit__ (which rolls back) and then propagates.
//
// With `key` (the one key the body reads and rewrites), the persistent store
// may commit without taking its lock first; it then refuses the commit when
// another writer came between (see write_conflict), having stored nothing.
class StoreTransaction {
public:
    explicit StoreTransaction(PyObject *store, PyObject *key = nullptr);
    void commit();
    // Rolls back for the Python error that is set, then raises it.
    [[noreturn]] void abort();
    StoreTransaction(const StoreTransaction &) = delete;
    StoreTransaction &operator=(const StoreTransaction &) = delete;

private:
    Ref manager_;
};

// The error set is the store's refusal of a keyed transaction that another
// writer overtook: cleared, and true (the caller runs its body again, after
// putting back what the first run changed); else left set.
bool take_write_conflict();

template <typename Body>
void in_transaction(PyObject *store, Body &&body, PyObject *key = nullptr) {
    StoreTransaction txn(store, key);
    try {
        body();
    } catch (Error &) {
        txn.abort();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        txn.abort();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        txn.abort();
    }
    txn.commit();
}

}  // namespace ordermgr
