// The database behind a DualCache and every map it holds: one connection to
// an SQLite file or a store on a PostgreSQL server, the write transaction
// with its levels, the record tags, and the DualCache objects of its maps.
//
// A Python object of its own (zelph.dualcache._Connection) owns it. Every
// map's DualCache holds that object; it holds the DualCache objects of the
// named maps while the database is open, so that map(name) gives back the
// same object (with its memory level) each time. The default map's object is
// the one the caller constructed and is not held: dropping a store that
// never reached a named map closes the connection at once, as it always did.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database.h"
#include "item_state.h"
#include "tag_table.h"

namespace dualcache {
namespace nb = nanobind;

class Store;

class Connection {
public:
    // Opens the database that cacheName and cachePrefix name.
    Connection(nb::handle cacheName, nb::handle cachePrefix);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    Db &db() { return *db_; }
    TagTable &tags() { return *tags_; }
    const std::string &path() const { return path_; }
    nb::handle name() const { return name_; }
    nb::handle prefix() const { return prefix_; }
    // The prefix as repr shows it: for a server, its address and the name
    // prefix (nothing else of the URI).
    nb::object shown_prefix() const { return prefix_text(shown_prefix_, "backslashreplace"); }
    // The prefix as given, for a server without its password.
    nb::object given_prefix() const { return prefix_text(given_prefix_, "surrogatepass"); }

    // --- the maps -------------------------------------------------------------
    // The DualCache of the map called `name` (a str); `self` is this
    // connection's Python object.
    nb::object map(nb::handle self, nb::handle name);
    // Every map's Store registers while it lives.
    void attach(Store *s) { stores_.push_back(s); }
    void detach(Store *s);
    // The sorted names of the maps holding at least one entry.
    nb::object map_names();

    // --- one operation at a time ------------------------------------------------
    // An operation on any map of the database starts (raises when the
    // database is closed, an operation on it already runs, or another
    // thread has a transaction open: see check_thread, unless `caller` may
    // be any thread) and ends.
    enum class Caller { Owner, AnyThread };
    void enter(Caller caller = Caller::Owner);
    void leave() {
        busy_ = false;
        if (narrow_ && !op_on_hinted_) widen();
    }
    // The operation now running reads or writes entry `id` of map `map`.
    // Only the entry the open transaction was begun for (see begin_level)
    // keeps it narrow; so does an operation that only begins or ends a
    // level. Any other entry, or an operation that names none, widens the
    // transaction: the engine then checks it as a whole.
    void on_entry(int64_t map, int64_t id) {
        if (!narrow_) return;
        if (map == narrow_map_ && id == narrow_entry_) op_on_hinted_ = true;
        else widen();
    }
    void on_level() { op_on_hinted_ = true; }
    bool busy() const { return busy_; }
    void check_usable() const;
    // While a transaction is open, only the thread that began it may use the
    // database (its operations would join the transaction, and its reads
    // see what the transaction wrote): RuntimeError from any other thread,
    // before anything changes.
    void check_thread() const;
    void check_writable() const;
    bool is_open() const { return state_ == State::Open && !inherited(); }
    bool read_only() const { return db_ && db_->read_only(); }

    // --- transactions ----------------------------------------------------------
    // An entry as it was before a write that only appended items to it.
    struct WriteBefore {
        int64_t version;
        const ItemState *state;  // the state the write appended to (identity only)
        ItemStateBefore items;
    };
    // An entry written in a level: its map, row id, and whether the level
    // added the row (whose id a rollback gives back: SQLite may use it
    // again); for the one write of a transaction that only appended items,
    // the entry as it was (a rollback then puts its item state back); for
    // an entry the level removed, its key and live value (a rollback offers
    // the value to the next read of the entry: Store::rejoin).
    struct Touch {
        Store *map;
        int64_t id;
        bool added;
        std::shared_ptr<const WriteBefore> before;
        nb::object removed_key, removed;
    };
    // One level of the open transaction: the transaction itself, a
    // savepoint of transaction() or of a composite operation, or a single
    // write outside transaction() (implicit).
    struct Level {
        bool implicit;
        bool wrote = false;   // a write operation ran in it
        bool failed = false;  // a write failed after touching the database
        std::vector<Store *> wrote_maps;                  // the maps it wrote to
        std::vector<Touch> touched;                        // entries written in it
        std::vector<std::pair<Store *, int64_t>> created;  // named maps it created, with their ids
        std::vector<nb::object> undos;                     // on_rollback() callables, oldest first
        bool upgraded = false;                             // it rewrote the store in the current format
    };
    bool in_transaction() const { return !levels_.empty(); }
    size_t depth() const { return levels_.size(); }
    Level &top() { return levels_.back(); }
    // The data version read when the write lock was taken (valid while a
    // transaction is open).
    int64_t locked_version() const { return locked_version_; }
    // The engine's data version; notices an upgrade another connection
    // committed.
    int64_t data_version();

    // The store is in an older format: its first write upgrades it.
    bool needs_upgrade() const;
    // Rewrites the store in the current format inside the open write
    // transaction (undone with it).
    void upgrade();

    // `hint`: the entry an outermost level is about to rewrite, if known.
    void begin_level(const WriteHint *hint = nullptr);
    void end_level(bool ok);
    // The write lock for one write operation: an implicit level outside
    // transaction(); inside, the open level (refused when a write of the
    // transaction failed).
    void begin_write();
    // A write of map `s` ran SQL; wrote its entry `id` (a new row when
    // `added`); created the map as `id`.
    void wrote(Store &s);
    void touched(Store &s, int64_t id, bool added, std::shared_ptr<const WriteBefore> before = nullptr) {
        levels_.back().touched.push_back(Touch{&s, id, added, std::move(before), {}, {}});
    }
    void removed(Store &s, int64_t id, nb::handle key, nb::handle live) {
        levels_.back().touched.push_back(
            Touch{&s, id, false, nullptr, nb::borrow(key), live ? nb::borrow(live) : nb::object()});
    }
    // Whether a write now is the first of the transaction (a rollback of
    // a transaction that wrote more forgets what it wrote).
    bool first_write() const {
        for (const Level &lv : levels_)
            if (!lv.touched.empty()) return false;
        return !levels_.empty();
    }
    void created(Store &s, int64_t id) { levels_.back().created.emplace_back(&s, id); }
    // A write operation of map `s` left by an exception.
    void write_failed(Store &s, bool implicit, bool sql, int64_t entry_id);
    void commit_outermost();
    void rollback_outermost();
    // Registers `undo` (a callable without arguments) with the innermost
    // open level: called if that level rolls back (after the memory level
    // forgot what it wrote; newest first across levels), handed to the
    // enclosing level when the level ends normally, dropped when the
    // outermost commits. RuntimeError outside a transaction.
    void on_rollback(nb::handle undo);
    // Test hook: fails as SQLite would, after the statements ran.
    void injected_failure();
    void fail_writes(long long after) { fail_after_ = after < 0 ? -1 : after; }
    // From how many keys a map's index is brought up to date from what
    // others changed (where the engine logs it) rather than read again in
    // full: below it a full read costs the server no more.
    long long log_from() const { return log_from_; }
    void set_log_from(long long keys) { log_from_ = keys < 0 ? 0 : keys; }

    void close();
    void destroy();
    // Whether the store that cacheName and cachePrefix name is there
    // (creating and writing nothing).
    static bool exists(nb::handle cacheName, nb::handle cachePrefix);

    // Counters for _stats().
    void count_written(int64_t rows, int64_t bytes) {
        rows_written_ += rows;
        bytes_written_ += bytes;
    }
    void count_compared(int64_t items) { items_compared_ += items; }
    void add_stats(nb::dict &d) const;

    int traverse(visitproc visit, void *arg);
    void gc_clear();

private:
    enum class State { Open, Closed, Destroyed };
    bool inherited() const;
    void open_sqlite(nb::handle cacheName, nb::handle cachePrefix);
    void begin_outermost(const WriteHint *hint = nullptr);
    void check_not_failed() const;
    // Undoes a level in memory: forgets the entries it wrote, marks the
    // maps it wrote stale, and the maps it created as never written.
    void undo(const Level &lv);
    // Calls a level's on_rollback() callables, newest first. Their errors
    // are reported as unraisable: the rollback goes on.
    static void run_undos(std::vector<nb::object> &undos) noexcept;
    // Ends every level without a commit (close, destroy): the memory level
    // is dropped by the caller; the callables run.
    void discard_levels();
    // Every map's memory level, after the database was closed or its
    // contents became unknown.
    void for_each_store(void (Store::*what)());
    // The rows are in another format than before: drops what was kept of
    // the old one.
    void format_changed();

    std::string path_;
    nb::object name_, prefix_;
    std::string shown_prefix_, given_prefix_;  // for a server (empty for a file)
    nb::object prefix_text(const std::string &server_form, const char *errors) const;
    std::unique_ptr<Db> db_;
    std::unique_ptr<TagTable> tags_;
    int seen_format_ = 0;  // the rows' format as the memory levels know it
    State state_ = State::Open;
    bool busy_ = false;  // inside an operation (no re-entry, no use from a second thread)
    // The open transaction has touched only the hinted entry so far (of
    // map narrow_map_, row narrow_entry_); the running operation did.
    bool narrow_ = false, op_on_hinted_ = false;
    int64_t narrow_map_ = 0, narrow_entry_ = 0;
    void widen();
    std::vector<Level> levels_;
    unsigned long owner_ = 0;  // the thread that began the open transaction (while levels_ is not empty)
    int64_t locked_version_ = 0;
    long long log_from_ = 256;
    int64_t tags_added_before_ = 0;  // the tag rows added before the open transaction
    uint64_t fork_generation_;  // when opened
    long long fail_after_ = -1;
    std::vector<Store *> stores_;  // the maps' Stores alive now
    nb::object named_;             // dict: name -> DualCache of the maps this holds

    int64_t commits_ = 0, rows_written_ = 0, bytes_written_ = 0, items_compared_ = 0;
};

// The Connection inside a _Connection object.
Connection &connection_of(nb::handle self);

void bind_connection(nb::module_ &m);

}  // namespace dualcache
