// The connection of a store to the database that holds it, whichever engine
// that is (an SQLite file, or a PostgreSQL server): the store's named
// statements, transactions and savepoints, and the cheap check whether
// another connection committed. Every failure becomes a StoreError naming
// the store.
//
// One database holds several named maps, each with its own entries and
// items; they share the connection, the write lock, the transaction and the
// record tags. A map is addressed by its id: 0 is the default map, which
// every database has; a named map gets its id when its first write creates
// it, and has none (it reads empty) before.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dualcache {
namespace nb = nanobind;

// The statements of the store. Each engine has its own text for each.
enum class Sql {
    Begin,           // a read-only snapshot
    BeginImmediate,  // a write transaction holding the store's write lock
    Commit,
    Rollback,
    DataVersion,
    ScanEntries,
    LoadEntry,
    InsertEntry,
    UpdateEntry,
    DeleteEntry,
    DeleteAllEntries,
    LoadItems,
    // The item rows of entry ?1 from order number ?2 on.
    LoadItemsFrom,
    // Every entry and its items, in the store's order: per entry a row
    // (id, 0, -, version, -, value), then its item rows (entry, 1, ord, -,
    // ikey, value) in their order.
    LoadAll,
    InsertItem,
    UpdateItem,
    DeleteItem,
    DeleteItemsOf,
    DeleteAllItems,
    LoadTags,
    InsertTag,
    Savepoint,
    Release,
    RollbackTo,
    FindMap,     // the id of a named map
    InsertMap,   // registers a named map (its tables are the engine's business)
    Count_
};

// The statements that act on one map's entries and items: run with the
// map's id. All others act on the database as a whole.
constexpr bool per_map(Sql s) {
    switch (s) {
    case Sql::ScanEntries:
    case Sql::LoadEntry:
    case Sql::InsertEntry:
    case Sql::UpdateEntry:
    case Sql::DeleteEntry:
    case Sql::DeleteAllEntries:
    case Sql::LoadItems:
    case Sql::LoadItemsFrom:
    case Sql::LoadAll:
    case Sql::InsertItem:
    case Sql::UpdateItem:
    case Sql::DeleteItem:
    case Sql::DeleteItemsOf:
    case Sql::DeleteAllItems:
        return true;
    default:
        return false;
    }
}

// What the caller of a write transaction is about to read and rewrite: one
// entry of one map (map 0: the default map), as its memory level knows it.
// An engine may use it to bring that entry along with the lock, or to skip
// the lock's own round trip when nobody else wrote since.
struct WriteHint {
    int64_t map = 0;
    int64_t entry = 0;     // the entry's row id (0: the key is not stored yet)
    int64_t version = -1;  // the stored version its live value shows (-1: none in memory)
    int64_t view = 0;      // the data version the map's key index was read at
    bool current = false;  // the index was read at `view` and the entry is in memory
    bool index_current = false;  // the index was read at `view`
    // Its item rows below this order number are known (0: none): bringing
    // the entry along, the engine may bring only the checksums of those
    // (see known_item_checksums).
    int64_t items_from = 0;
    // The engine's change count as of which those rows are known to be the
    // stored ones (0: not known; see loaded_changes).
    int64_t items_known_at = 0;
    // A key not stored yet: the highest row id of the map's entries (a new
    // entry's id must exceed it to come last in the store's order).
    int64_t last_id = 0;
};

// One statement of an engine, prepared once per connection.
class Cursor {
public:
    virtual void bind(int i, int64_t v) = 0;
    virtual void bind_blob(int i, std::string_view blob) = 0;  // must outlive the run
    virtual void bind_text(int i, std::string_view text) = 0;  // must outlive the run
    // true while a row is available; raises on error.
    virtual bool step() = 0;
    virtual int64_t int64(int col) const = 0;
    virtual std::string_view blob(int col) const = 0;
    virtual std::string_view text(int col) const = 0;
    // Forgets the bindings and the rows of the last run.
    virtual void reset() noexcept = 0;

protected:
    ~Cursor() = default;
};

// A statement in use: bind, step, and reset on scope exit, so that bound
// buffers never outlive the run.
class Run {
public:
    explicit Run(Cursor &c) : c_(c) {}
    ~Run() { c_.reset(); }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    Run &bind(int i, int64_t v) {
        c_.bind(i, v);
        return *this;
    }
    Run &bind(int i, std::string_view blob) {
        c_.bind_blob(i, blob);
        return *this;
    }
    Run &bind_text(int i, std::string_view text) {
        c_.bind_text(i, text);
        return *this;
    }
    bool step() { return c_.step(); }
    // Runs a statement that returns no rows.
    void done() {
        while (step()) {
        }
    }
    int64_t int64(int col) const { return c_.int64(col); }
    std::string_view blob(int col) const { return c_.blob(col); }
    std::string_view text(int col) const { return c_.text(col); }

private:
    Cursor &c_;
};

class Db {
public:
    virtual ~Db() = default;
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // What errors and DualCache.path name: the file, or the server and store
    // name (never a password).
    const std::string &path() const { return path_; }

    // Statement `which`, on map `map` when it acts on one (0: the default map).
    virtual Run run(Sql which, int64_t map = 0) = 0;
    // Runs a statement that returns no rows, without the GIL while it waits
    // (for another writer's lock, a sync to disk, the server).
    virtual void run_blocking(Sql which) = 0;
    // Tells the next BeginImmediate which entry the transaction is about to
    // rewrite (null: none known). Only a hint: the transaction may still
    // read and write anything.
    virtual void expect_write(const WriteHint *) {}
    // Tells the next data_version() outside a transaction that the default
    // map's key index was read at data version `view` (`index_current`):
    // the engine may bring the entries changed since along, for the
    // ScanEntries that follows (see Store::rebuild_index); and, when
    // `entry` names one (reads_ahead), the entry about to be read, for the
    // LoadEntry that follows.
    virtual void expect_scan(const WriteHint &) {}
    virtual bool reads_ahead() const { return false; }
    // Tells the engine that the next ScanEntries of `map` is for a key
    // index read at data version `view` and kept up to date since: it may
    // give what changed since instead of every entry (a first row with id
    // 0, then (id, version or -1 when gone, key); see Store::update_index).
    virtual void scan_from(int64_t, int64_t) {}
    // The open transaction touched something else than the hinted entry:
    // it has to be checked as a whole.
    virtual void widen() {}
    // For entry `id` of map `map` as the LoadEntry in use is reading it:
    // true when the engine brought its item rows from order number `from`
    // on only, with `crcs` the checksums of the rows below it in their
    // order (4 bytes each, little-endian, as the rows end in), or with
    // `intact` set instead: the engine knows that no transaction since the
    // hint's items_known_at rewrote or removed any of those rows. A
    // LoadItems of the entry that binds `from` as its second parameter
    // then gives the rows from `from` on alone; without it, every row as
    // always.
    virtual bool known_item_checksums(int64_t, int64_t, int64_t, std::string_view &, bool &) { return false; }
    // The change count as of which the LoadEntry in use for entry `id` of
    // map `map` read it (0: not known).
    virtual int64_t loaded_changes(int64_t, int64_t) const { return 0; }
    // In a write transaction, a change count no later than the one its
    // commit makes, such that what it writes is on disk as of its commit
    // (0: not known).
    virtual int64_t changes_before_commit() const { return 0; }
    // The next statement is a LoadEntry of entry `id` of map `map` outside
    // a transaction, whose item rows below order number `from` this
    // connection knows as of change count `known_at`: the engine may bring
    // only the rows from `from` on (see known_item_checksums).
    virtual void load_from(int64_t, int64_t, int64_t, int64_t) {}
    // The id of the row the last InsertEntry or InsertTag added.
    virtual int64_t last_insert_id() = 0;
    virtual bool in_transaction() const = 0;
    // A transaction is open and all its reads see one snapshot, which no
    // other connection's commit changes (an SQLite transaction). A
    // server's transaction may read each statement anew.
    virtual bool reads_one_snapshot() const { return false; }
    // Rolls back an open transaction, ignoring errors (a lost connection has
    // rolled it back already).
    virtual void rollback_quietly() noexcept = 0;
    // A number that changes whenever another connection commits a change to
    // the store (and not when this one does).
    virtual int64_t data_version() = 0;
    // true once after a commit whose outcome is unknown (the connection was
    // lost after the commit was sent): the caller must forget what it holds.
    virtual bool take_outcome_unknown() { return false; }
    // true once when the connection was opened again to a server that
    // started since (a crash, a failover): what other connections showed
    // may not have survived, so the caller must forget what it holds.
    virtual bool take_server_restarted() { return false; }

    // Finalises every statement and closes the connection.
    virtual void close() = 0;
    // Forgets the connection without touching it (a copy inherited by fork()).
    virtual void abandon() = 0;
    virtual bool is_open() const = 0;
    // Closes the connection and removes the store with everything it holds.
    virtual void destroy() = 0;
    // The connection can only read (an SQLite file or file system that
    // cannot be written, a server role that may only read); why, for the
    // error a write raises.
    virtual bool read_only() const { return false; }
    virtual const char *read_only_reason() const { return "its file or file system cannot be written"; }
    // Whether the store was there when opened (a store on a server is
    // created by its first write; a file is created when opened).
    virtual bool exists() const { return true; }
    // StoreError unless the store is still where it was opened (an SQLite
    // file removed or replaced meanwhile): a commit now would be lost.
    virtual void check_in_place() const {}
    // The path now names something else than the store opened (an SQLite
    // file replaced by another): destroy() must not remove it.
    virtual bool replaced() const { return false; }
    // The id of the named map `name` (UTF-8), or 0 while it has none (it
    // was never written). Reads only.
    virtual int64_t find_map(std::string_view name) = 0;
    // Creates the named map inside the open write transaction (the caller
    // holds the write lock and found no id); its id.
    virtual int64_t create_map(std::string_view name) = 0;
    // Forgets what is kept for map `id`, whose creation was rolled back.
    virtual void drop_map(int64_t id) = 0;
    // The names (UTF-8) of the maps that hold at least one entry, "" for
    // the default map, in no particular order; in one snapshot.
    virtual std::vector<std::string> nonempty_maps() = 0;
    // Engine counters for DualCache._stats().
    virtual void add_stats(nb::dict &d) const = 0;

    // The format the database's rows are in (format.h). A store of an older
    // format is read as it is; its first write upgrades it. The engine
    // follows an upgrade another connection committed when it sees it (at
    // data_version(), or when taking the write lock).
    int format() const { return format_; }
    // The format a write leaves the database in (an older one is upgraded).
    virtual int current_format() const = 0;
    // Rewrites every row of every map into the current format, inside the
    // open write transaction (the caller holds the write lock).
    virtual void upgrade() = 0;
    // The transaction that upgraded was rolled back: what the engine keeps
    // goes back to the older format.
    virtual void upgrade_undone() = 0;
    // After a scan of map `map`'s entries that found `rows` rows, in the
    // same snapshot: raises CorruptValue when the engine can tell that rows
    // are missing (an SQLite file whose table and key index disagree).
    virtual void check_scanned(int64_t, int64_t) {}
    // Entries read on from the item rows they knew without the checksums of
    // those rows, the engine or the head vouching that nothing since
    // rewrote or removed any of them (see read_past_known).
    void count_items_known_intact() { ++items_known_intact_; }
    int64_t items_known_intact() const { return items_known_intact_; }

protected:
    explicit Db(std::string path) : path_(std::move(path)) {}
    std::string path_;
    int format_ = 0;  // set once the store is opened

private:
    int64_t items_known_intact_ = 0;
};

}  // namespace dualcache
