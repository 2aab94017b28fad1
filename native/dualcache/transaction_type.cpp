// transaction() / batch(): a context manager holding the store's write lock
// for the operations in its block. Nested blocks are savepoints: an exception
// rolls back only its own level, and the memory level forgets what that
// level wrote.
#include "bindings.h"
#include "pysem/fields.h"
#include "raise.h"
#include "store.h"

namespace dualcache {

using namespace nb::literals;

struct Transaction {
    nb::object store;
    size_t depth = 0;  // the store's depth once entered; 0 when not entered
    nb::object key;    // the one key the block rewrites, when the caller said so

    int visit(visitproc visit, void *arg) {
        Py_VISIT(store.ptr());
        Py_VISIT(key.ptr());
        return 0;
    }
    void clear() {
        nb::object old = std::move(store), k = std::move(key);
    }
};

static PyType_Slot transaction_slots[] = {{Py_tp_traverse, (void *) pysem::record_traverse<Transaction>},
                                          {Py_tp_clear, (void *) pysem::record_clear<Transaction>},
                                          {0, nullptr}};

static nb::object transaction(nb::handle self) {
    store_of(self);
    nb::object tx = nb::inst_alloc(nb::type<Transaction>());
    new (nb::inst_ptr<Transaction>(tx)) Transaction{nb::borrow(self), 0, nb::object()};
    nb::inst_mark_ready(tx);
    return tx;
}

// transaction() for a block that reads and rewrites the one entry of `key`
// (a read-modify-write such as a fill): on a server, when nobody else wrote
// since this connection last looked, the block commits in one round trip
// without a lock taken first; when someone did, what changed is read first
// and the lock goes out with the writes. Its end raises StoreError with
// sqlstate "40001", having stored nothing, when another connection
// committed in between: anything in the first case; in the second, a write
// of that entry (of anything, once the block touched more than its entry).
// The block is then to be run again (it takes the lock first).
static nb::object keyed_transaction(nb::handle self, nb::handle key) {
    nb::object tx = transaction(self);
    nb::inst_ptr<Transaction>(tx)->key = nb::borrow(key);
    return tx;
}

void bind_transaction(nb::module_ &m) {
    nb::class_<Transaction>(m, "_Transaction", nb::type_slots(transaction_slots),
                            "A block of store operations under one write lock (see DualCache.transaction).")
        .def("__enter__",
             [](Transaction &t) {
                 if (t.depth) raise(PyExc_RuntimeError, "this transaction block is already entered");
                 Store &s = store_of(t.store);
                 s.begin_transaction(t.key.ptr());
                 t.depth = s.transaction_depth();
                 return t.store;
             })
        .def(
            "__exit__",
            [](Transaction &t, nb::handle exc_type, nb::handle, nb::handle) {
                if (!t.depth) raise(PyExc_RuntimeError, "this transaction block was not entered");
                Store &s = store_of(t.store);
                if (s.is_open() && s.transaction_depth() != t.depth)
                    raise(PyExc_RuntimeError, "transaction blocks of a DualCache must nest");
                // close() inside the block rolled it back: the caller's own
                // exception goes on as it is (a normal exit still raises that
                // nothing was committed).
                if (!s.is_open() && !exc_type.is_none()) {
                    t.depth = 0;
                    return false;
                }
                const size_t depth = t.depth;
                try {
                    s.end_transaction(exc_type.is_none());
                } catch (...) {
                    // Refused before it ended anything: the block stays open, to
                    // be ended again.
                    if (!s.is_open() || s.transaction_depth() < depth) t.depth = 0;
                    throw;
                }
                t.depth = 0;
                return false;
            },
            "exc_type"_a.none(), "exc"_a.none(), "tb"_a.none());

    const char *doc =
        "A context manager that holds the store's write lock for the operations in its\n"
        "block, which commit together at a normal exit. On an exception everything the\n"
        "block wrote is rolled back and forgotten by the memory level (the next read\n"
        "loads from disk), and the exception propagates. Nested blocks join the outer\n"
        "transaction as savepoints. Reads inside see the latest committed state.";
    nb::handle cls = m.attr("DualCache");
    nb::object tx_fn = nb::cpp_function(&transaction, nb::is_method(), nb::scope(cls), nb::name("transaction"), doc);
    nb::setattr(cls, "transaction", tx_fn);
    nb::object batch_fn =
        nb::cpp_function(&transaction, nb::is_method(), nb::scope(cls), nb::name("batch"),
                         "The same as transaction(): group many writes (a back-fill) into one transaction.");
    nb::setattr(cls, "batch", batch_fn);
    nb::object keyed_fn = nb::cpp_function(&keyed_transaction, nb::is_method(), nb::scope(cls),
                                           nb::name("_write_transaction"), "key"_a,
                                           "transaction() around a read-modify-write of one key (internal).");
    nb::setattr(cls, "_write_transaction", keyed_fn);
}

}  // namespace dualcache
