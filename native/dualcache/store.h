// DualCache: a persistent mapping over one SQLite database file or one store
// on a PostgreSQL server, with a memory level that keeps the live object of
// every key read or assigned. A database holds several named maps; each
// DualCache is one of them (see connection.h for what they share).
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
#include <unordered_map>
#include <vector>

#include "connection.h"
#include "decoder.h"
#include "encoder.h"
#include "entry_index.h"
#include "database.h"

namespace dualcache {
namespace nb = nanobind;

class Store {
public:
    // Opens the database that cacheName and cachePrefix name; this is its
    // default map.
    Store(nb::handle cacheName, nb::handle cachePrefix);
    // The map `name` (an exact str; "" for the default map) of the database
    // that `connection` (a _Connection object) holds.
    Store(nb::handle connection, nb::handle name, std::string name_utf8);
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
    // if the key is still there (no change check between steps, but for
    // an entry whose row was not found: see read_listed).
    nb::object keys_snapshot();
    bool value_for_iteration(PyObject *key, nb::object &value);
    // Loads every entry not in memory yet in one read of the whole map,
    // when that is cheaper than loading them one at a time (iteration over
    // values or items calls it before the first value; reading keys one by
    // one in the store's order does too, after a run of them). An entry
    // that cannot be loaded so is left for its own load, which raises what
    // it finds.
    void load_all();
    bool still_present(PyObject *key);

    // The maps of the database.
    nb::object map(nb::handle name) { return conn_->map(conn_obj_, name); }
    nb::object map_names() { return conn_->map_names(); }
    nb::handle map_name() const { return map_name_; }
    bool is_default_map() const { return map_utf8_.empty(); }
    const std::string &map_utf8() const { return map_utf8_; }

    // transaction(): enter and leave one level (of the whole database).
    // `key`: the one key the block is about to read and rewrite (or null),
    // so that the lock can bring its entry along, or be skipped when
    // nobody else wrote since (a conflict is then StoreError with sqlstate
    // 40001 at the end of the block, and the caller redoes it).
    void begin_transaction(PyObject *key = nullptr);
    void end_transaction(bool ok);
    size_t transaction_depth() const { return conn_->depth(); }
    // Registers an undo with the innermost open level (see Connection).
    void on_rollback(nb::handle undo) {
        conn_->check_usable();
        conn_->on_rollback(undo);
    }

    void close();
    void destroy();
    bool is_open() const { return conn_->is_open(); }
    // Opened from a file or file system that cannot be written: reads work,
    // every write raises StoreError.
    bool read_only() const { return conn_->read_only(); }

    // Test hooks. The write operation (assignment, deletion, clear) that
    // follows `after` successful ones fails as a failing SQLite write would.
    void fail_writes(long long after) { conn_->fail_writes(after); }
    void log_from(long long keys) { conn_->set_log_from(keys); }
    nb::dict stats() const;

    const std::string &path() const { return conn_->path(); }
    nb::handle name() const { return conn_->name(); }
    nb::handle prefix() const { return conn_->prefix(); }
    nb::object shown_prefix() const { return conn_->shown_prefix(); }
    nb::object given_prefix() const { return conn_->given_prefix(); }

    // What the database asks of its maps' memory levels. A write to entry
    // `id` was rolled back: its value is forgotten, and a row the write
    // added leaves the index at once (its id may come back for another
    // key, committed by someone else before this map next reloads).
    void forget_entry(int64_t id, bool added) {
        Entry *e = index_.by_id(id);
        if (!e) return;
        if (added) {
            rolled_back_.erase(id);
            index_.remove(*e);
        } else {
            keep_rolled_back(e->id, e->key, e->live);
            e->forget();
        }
    }
    // The transaction whose one write to entry `id` only appended items
    // was rolled back: its item state goes back to `before`, which still
    // describes the stored rows, and its live value (which the write may
    // have changed) is kept only to be extended by a later read.
    void restore_entry(int64_t id, const Connection::WriteBefore &before);
    // A write of entry `id` (`key`) was rolled back: its live value (if
    // any), which a caller may hold (and may have put back as it was), is
    // kept for the next read of the entry.
    void keep_rolled_back(int64_t id, nb::handle key, nb::handle live) {
        if (live) rolled_back_.insert_or_assign(id, Kept{nb::borrow(key), nb::borrow(live)});
    }
    void mark_stale() { stale_ = true; }
    // Whether another connection committed is unknown: reload everything.
    void forget_all() {
        index_.forget_all();
        stale_ = true;
    }
    // The rows changed format: what is known of item rows no longer holds.
    void forget_item_states() { index_.forget_item_states(); }
    // The transaction that created this map's tables was rolled back.
    void uncreate() {
        rolled_back_.clear();
        map_id_ = kAbsent;
        stale_ = true;
    }
    // The database was closed or destroyed.
    void drop_index() {
        index_.clear();
        rolled_back_.clear();
    }

    int traverse(visitproc visit, void *arg);
    void gc_clear();

private:
    static constexpr int64_t kAbsent = -1;  // a named map that was never written
    class OpGuard;
    class WriteOp;
    class Scope;

    bool exists() const { return map_id_ != kAbsent; }
    // Brings the key index up to date: outside a transaction when another
    // connection committed since, inside when the lock's snapshot is newer
    // than what the index shows. `read`: the key about to be read, whose
    // entry the engine may bring along.
    void sync(PyObject *read = nullptr);
    void rebuild_index();
    bool load(Entry &e);

    // The value kept for `e` by keep_rolled_back, rather than `fresh` (an
    // itemized record just read from disk, `st` its item state), when it is
    // the same: a record of the same class and key whose fields, and every
    // item's key and fields, are of the same types, immutable (so neither
    // shared nor subclassed) and encoded alike. `st` is then rebuilt around
    // its items. Either way the kept value goes. Runs no code of the
    // caller's but what hashing and encoding such values runs.
    nb::object rejoin(const Entry &e, nb::object fresh, std::unique_ptr<ItemState> &st);
    // Drops what rolled_back_ keeps of entries no longer in the index.
    void drop_kept_of_removed();
    bool extend_outdated(Entry &e, Decoder &dec, const Decoder::Head &h, std::string &stored, size_t &decoded);
    // Reads every entry not in memory in one pass (one read transaction),
    // unless only a few are missing.
    void load_missing();
    size_t scan_all();
    nb::object value_of(Entry &e);
    nb::object lookup(PyObject *key);
    // The value of `e`, the entry the key index lists for `key`; null when
    // another connection removed the key meanwhile. CorruptValue when the
    // entry's row is there to a scan but not to a search by its id.
    nb::object read_listed(PyObject *key, Entry *e);
    // Gives a named map its tables at its first write.
    void create();
    // What begin_transaction(key) tells the engine; false when nothing is known.
    bool write_hint(PyObject *key, WriteHint &hint);

    // Brings the key index up to date from the rows of what changed since
    // it was read (see rebuild_index); false when they do not fit it (it
    // is then read again in full). Nothing changes when it raises.
    bool update_index(Run &q, Decoder &dec);
    // The index is current and large enough to be brought up to date from
    // what changed (see Connection::log_from).
    bool index_logged() const { return !stale_ && (long long) index_.size() >= conn_->log_from(); }

    void set_locked(PyObject *key, PyObject *value);
    template <typename F>
    nb::object keyed_transaction(PyObject *key, F &&body);
    bool del_locked(PyObject *key);

    nb::object conn_obj_;  // the _Connection (declared first: released last)
    Connection *conn_;
    nb::object map_name_;
    std::string map_utf8_;
    int64_t map_id_ = 0;  // the engine's id of the map (0: the default map)
    EntryIndex index_;
    // Live values of entries whose write was rolled back, by entry id,
    // until their next read (see rejoin).
    struct Kept {
        nb::object key, value;
    };
    std::unordered_map<int64_t, Kept> rolled_back_;
    bool stale_ = false;  // the key index must be reloaded before use
    int64_t data_version_ = 0;

    // Counters for tests and benchmarks.
    int64_t loads_ = 0, rebuilds_ = 0, updates_ = 0;
    int64_t incremental_loads_ = 0;  // loads that decoded only the items added since
    int64_t extended_ = 0;           // of those, the ones that extended the live value in place
    int64_t bulk_loads_ = 0;         // reads of the whole map (load_missing)
    // Single loads in a row of entries in the store's order, the last one's id.
    static constexpr size_t kInOrderRun = 32;
    size_t in_order_ = 0;
    int64_t last_loaded_ = 0;
    int64_t items_decoded_ = 0;
};

}  // namespace dualcache
