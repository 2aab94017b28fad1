// DualCache: a persistent mapping over one SQLite database file or one store
// on a PostgreSQL server, with a memory level that keeps the live object of
// every key read or assigned.
//
// Every assignment, deletion and clear() is one committed transaction,
// unless it runs inside transaction(), which holds the write lock for
// several operations (nested levels are savepoints). Each operation first
// checks cheaply whether another connection committed; if so the key index
// is reloaded and entries whose stored version changed are dropped from the
// memory level.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoder.h"
#include "encoder.h"
#include "entry_index.h"
#include "database.h"
#include "tag_table.h"

namespace dualcache {
namespace nb = nanobind;

class Store {
public:
    Store(nb::handle cacheName, nb::handle cachePrefix);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Mapping operations.
    nb::object getitem(PyObject *key);
    nb::object get(PyObject *key, PyObject *dflt);
    bool contains(PyObject *key);
    Py_ssize_t length();
    void setitem(PyObject *key, PyObject *value);
    void delitem(PyObject *key);
    void clear();
    nb::object pop(PyObject *key, PyObject *dflt);  // dflt may be null
    nb::object popitem();
    nb::object setdefault(PyObject *key, PyObject *dflt);
    void update(PyObject *other, PyObject *kwargs);  // either may be null

    // Iteration: the keys in order at the start, then per key its value
    // if the key is still there (no change check between steps).
    nb::object keys_snapshot();
    bool value_for_iteration(PyObject *key, nb::object &value);
    bool still_present(PyObject *key);

    // transaction(): enter and leave one level.
    void begin_transaction();
    void end_transaction(bool ok);
    size_t transaction_depth() const { return levels_.size(); }

    void close();
    void destroy();
    bool is_open() const { return state_ == State::Open && !inherited(); }
    // Opened from a file or file system that cannot be written: reads work,
    // every write raises StoreError.
    bool read_only() const { return db_ && db_->read_only(); }

    // Test hooks. The write operation (assignment, deletion, clear) that
    // follows `after` successful ones fails as a failing SQLite write would.
    void fail_writes(long long after) { fail_after_ = after < 0 ? -1 : after; }
    nb::dict stats() const;

    const std::string &path() const { return path_; }
    nb::handle name() const { return name_; }
    nb::handle prefix() const { return prefix_; }
    // The prefix as repr shows it: a server address without its password.
    nb::object shown_prefix() const;

    int traverse(visitproc visit, void *arg);
    void gc_clear();

private:
    enum class State { Open, Closed, Destroyed };
    struct Level {
        bool implicit;               // a single write operation outside transaction()
        bool wrote = false;          // a write operation ran in it
        bool failed = false;         // a write failed after touching the database
        std::vector<int64_t> touched;  // entries written in it
    };
    class OpGuard;
    class WriteOp;
    class Scope;

    void check_usable() const;
    void check_writable() const;
    bool inherited() const;
    void sync();
    void sync_locked();
    int64_t data_version();
    void rebuild_index();
    bool load(Entry &e);
    nb::object value_of(Entry &e);
    nb::object lookup(PyObject *key);

    void begin_outermost();
    void check_not_failed() const;
    void begin_write();
    void write_failed(bool implicit, bool sql, int64_t entry_id);
    void commit_outermost();
    void injected_failure();
    void rollback_outermost();
    void begin_level();
    void end_level(bool ok);
    void forget_touched(const Level &lv);
    void open_sqlite(nb::handle cacheName, nb::handle cachePrefix);
    void set_locked(PyObject *key, PyObject *value);
    template <typename F>
    nb::object keyed_transaction(PyObject *key, F &&body);
    bool del_locked(PyObject *key);

    std::string path_;
    nb::object name_, prefix_;
    std::string shown_prefix_;  // for a server: the prefix without password
    std::unique_ptr<Db> db_;
    std::unique_ptr<TagTable> tags_;
    EntryIndex index_;
    State state_ = State::Open;
    bool busy_ = false;       // inside an operation (no re-entry, no use from a second thread)
    bool stale_ = false;      // the key index must be reloaded before use
    int64_t data_version_ = 0;
    std::vector<Level> levels_;
    uint64_t fork_generation_;  // when opened
    long long fail_after_ = -1;

    // Counters for tests and benchmarks.
    int64_t commits_ = 0, loads_ = 0, rebuilds_ = 0, rows_written_ = 0, bytes_written_ = 0, items_compared_ = 0;
};

}  // namespace dualcache
