// A store on a PostgreSQL server, through libpq. All stores of a schema share
// four tables (stores, tags, entries, items), created owner-only by the first
// write in the schema first on the connection's search_path; a store is one
// row of the stores table (added by its first write) and its rows in the
// others. Opening writes nothing. Names travel as parameters only; the schema
// name is quoted as an identifier.
//
// A named map of a store is a row of the stores table too, named after the
// store's row (a 0xff byte, the store's id as 8 bytes, the map's name: no
// store name, being UTF-8, starts with 0xff); its entries and items are
// the rows that carry its id. The store's row holds the lock, the change
// count and the record tags for all its maps.
//
// The write lock is a row lock on the store's row in the stores table, held
// from BEGIN to the end of the transaction, so writers on every host are
// serialised per store. That row also counts the store's committed write
// transactions: the cheap check whether anyone else committed.
//
// Statements travel in libpq's pipeline mode. A write transaction costs two
// round trips: BEGIN with the lock and the change count (and the id of a new
// entry, from the entries' sequence, and the key index when another
// connection committed meanwhile, and the entry the caller said it is about
// to rewrite when that changed too), then every write, the change count's
// update and COMMIT in one pipeline: the lock is held across one round trip.
//
// A write of one entry that this connection holds in memory, when the last
// lock it took found nobody else had written, costs one: nothing is sent
// at BEGIN, and the lock goes out with the writes, as an update of the
// change count that divides by zero unless the count is still the one this
// connection read (the server then rolls everything back). Such a conflict is
// SQLSTATE 40001; the caller redoes its call, and its redone transaction takes
// the lock first.
//
// A write of one entry when others wrote meanwhile (several writers on one
// store) reads first, without the lock, what changed (the change count, the
// entries, the entry); the lock then goes out with the writes, so that it is
// held for the server's part of one round trip. When the transaction read
// and wrote that entry alone (the store reports every operation on another
// entry or on the whole map), the lock checks that entry's version, not the
// change count: others may have written other entries in between. Else it
// checks the count, as above.
//
// The commit of a transaction that others may be waiting for (it took the
// lock first, or checked one entry) releases the lock before its sync to
// disk, so that their commits can share syncs; its answer still waits for
// the sync, through a record of its own committed synchronously in the same
// pipeline (a failure of that record leaves the outcome unknown). Others
// can read such a write before it is on disk: a connection opened again to
// a server that started since (a crash) forgets everything it held.
//
// Writes wait in a queue until a
// statement needs an answer (a read, the commit); a savepoint level whose
// writes are all still queued is kept on this side: releasing it keeps its
// writes, rolling it back drops them, and neither sends anything. Long
// queues go out early without waiting (non-blocking, so that a large
// pipeline cannot stall on full socket buffers); a failure among them
// fails the whole transaction.
//
// Every wait for the server is bounded (connect_timeout, lock_timeout, TCP
// keepalives and tcp_user_timeout on both ends, and a deadline on a silent
// server) and runs without the GIL. A lost connection is opened again by the
// next operation outside a transaction.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "database.h"
#include "format.h"
#include "pg_address.h"
#include "pg_api.h"

namespace dualcache {

class PgDb;

// One statement of the store with its bound parameters and the rows of its run.
class PgCursor final : public Cursor {
public:
    PgCursor(PgDb &db, Sql which, int64_t map) : db_(db), which_(which), map_(map) {}
    ~PgCursor() { reset(); }

    void bind(int i, int64_t v) override;
    void bind_blob(int i, std::string_view blob) override;
    void bind_text(int i, std::string_view text) override { bind_blob(i, text); }
    bool step() override;
    int64_t int64(int col) const override;
    std::string_view blob(int col) const override;
    std::string_view text(int col) const override { return blob(col); }
    void reset() noexcept override;
    // Holds the rows of a run for entry `id` (a LoadEntry in use).
    bool holds(int64_t id) const { return res_ && ran_ && first_int_ == id; }

    static constexpr int kMaxParams = 8;

private:
    friend class PgDb;
    PgDb &db_;
    Sql which_;
    int64_t map_;
    const char *values_[kMaxParams] = {};
    int lengths_[kMaxParams] = {};
    char ints_[kMaxParams][8] = {};
    PGresult *res_ = nullptr;
    int row_ = -1, rows_ = 0, offset_ = 0;
    int64_t first_int_ = 0;
    int64_t items_from_ = 0;  // a LoadEntry whose item rows start at this order number (0: all of them)
    bool ran_ = false, borrowed_ = false;
};

class PgDb final : public Db {
public:
    // Entries a slot of the change log names (see kCountCommit).
    static constexpr int kLogIds = 7;
    // Connects and finds the store; writes nothing (a store not there yet
    // reads as empty and is created by its first write transaction).
    explicit PgDb(const PgAddress &address);
    ~PgDb() override;

    Run run(Sql which, int64_t map = 0) override;
    void run_blocking(Sql which) override;
    int64_t last_insert_id() override { return last_id_; }
    // False once a statement of the open transaction failed: the server
    // aborted it, and no savepoint can bring it back. A read-only block
    // holds nothing on the server: its levels always roll back.
    bool in_transaction() const override { return tx_ ? !broken_ : reading_; }
    void rollback_quietly() noexcept override;
    int64_t data_version() override;
    int current_format() const override { return format::kVersion; }
    void expect_write(const WriteHint *hint) override {
        hint_ = hint ? *hint : WriteHint{};
        hinted_ = hint != nullptr;
        narrow_ = hinted_;
    }
    void widen() override { narrow_ = false; }
    void scan_from(int64_t map, int64_t view) override;
    bool reads_ahead() const override { return true; }
    void expect_scan(const WriteHint &view) override {
        // (An index not kept by the change log is read whole when the count moved.)
        scan_ahead_ = view.map == 0 && view.view == seen_changes_;
        scan_partial_ = view.index_current;
        read_hint_ = view;
    }
    bool take_outcome_unknown() override {
        bool u = outcome_unknown_;
        outcome_unknown_ = false;
        return u;
    }
    bool take_server_restarted() override { return std::exchange(server_restarted_, false); }
    void close() override;
    void abandon() override {
        conn_ = nullptr;
        closed_ = true;
    }
    bool is_open() const override { return !closed_; }
    void destroy() override;
    bool read_only() const override { return read_only_; }
    const char *read_only_reason() const override { return "this role may only read its tables"; }
    bool exists() const override { return !absent_; }
    void add_stats(nb::dict &d) const override;
    int64_t find_map(std::string_view name) override;
    int64_t create_map(std::string_view name) override;
    void drop_map(int64_t id) override;
    std::vector<std::string> nonempty_maps() override;
    // The names of the stores of this schema that begin with the name this
    // connection was opened for, without it, in byte order.
    std::vector<std::string> names_beginning_with_own();
    void upgrade() override;
    void upgrade_undone() override;

    const pg::Api &pq() const { return pq_; }
    // The LoadEntry cursor of map `map` while it holds entry `id`'s rows,
    // else null.
    const PgCursor *loaded_entry(int64_t map, int64_t id) const;
    bool known_item_checksums(int64_t map, int64_t id, int64_t from, std::string_view &crcs, bool &intact) override;
    int64_t loaded_changes(int64_t map, int64_t id) const override;
    int64_t changes_before_commit() const override;
    void load_from(int64_t map, int64_t id, int64_t from, int64_t known_at) override {
        load_from_ = LoadFrom{map, id, from, known_at};
    }
    // Where the item rows of the last LoadEntry start (0: all of them); once.
    int64_t take_handed_from() { return std::exchange(handed_from_, 0); }
    // Runs (or queues) statement `which` on map `map` with binary
    // parameters; the rows of a statement that returns some, else null.
    PGresult *execute(Sql which, int64_t map, const char *const *values, const int *lengths);

private:
    static constexpr size_t kNone = (size_t) -1;
    // A statement waiting for the next exchange with the server.
    struct Queued {
        int stmt;              // a prepared statement, or -1 for `text`
        int64_t map;           // the map it acts on (0: the default map, or none)
        const char *text;      // transaction control
        size_t at;             // where its parameters start in arena_
        int params;
        int lengths[PgCursor::kMaxParams];
        int64_t entry;         // UpdateEntry: the entry it rewrites
        size_t before;         // UpdateEntry: the previous live one of that entry in the queue
        bool dead;             // superseded by a later UpdateEntry of the same entry
    };
    // An open savepoint level. Unsent: nothing of it reached the server; its
    // statements are queue_[mark...].
    struct Level {
        bool sent;
        size_t mark;
    };
    // What an exchange brought back.
    struct Outcome {
        PGresult *answer = nullptr;  // the result asked for
        PGresult *prior = nullptr;   // the result of the statement before it
        PGresult *error = nullptr;   // the first statement that failed
        PGresult *earlier = nullptr; // the result before `prior`, when `keep_earlier`
        PGresult *earliest = nullptr; // and the one before that, when `keep_earliest`
        bool keep_earlier = false, keep_earliest = false;
        bool lost = false;           // no complete answer: the connection is gone
        bool handed = false;         // the last statement was handed to libpq
        std::string why;
    };

    void connect();
    // Finds the tables and the store's row, and whether this role may write
    // them; writes nothing.
    void look_up_store();
    // SQL: whether the stores' table has the change log's column.
    std::string has_log() const;
    // Adds that column to the tables of an earlier release where this role
    // may (it owns them), without waiting; sets ring_. Once a connection.
    void add_log();
    // The first write transaction of a store not there yet: makes the tables
    // if the schema has none (committed on their own), then queues BEGIN,
    // the store's row, its lock and its entries (another connection may have
    // made it meanwhile), to be sent with the exchange that takes the lock.
    void queue_creation();
    // That transaction found the store's row (`r`: the lock's answer).
    void created(PGresult *r);
    // After the transaction that created the store ended without a commit:
    // the store is not there again.
    void settle();
    // `which` reads a store that is not there: no rows, nothing sent.
    bool reads_nothing_yet(Sql which);
    // Prepares `stmts` for map `map` (0: the database and its default map),
    // in one round trip.
    void prepare(const std::vector<int> &stmts, int64_t map);
    void prepare_all();
    // Whether statement `i` is one of the store's prepared ones on this
    // connection (not transaction control, and usable by its role).
    bool prepares(int i) const;
    void usable(Sql which);

    // The queue.
    void enqueue(int stmt, const char *text, const char *const *values, const int *lengths, int n,
                 int64_t map = 0);
    void queue_update(int64_t id, const char *const *values, const int *lengths, int64_t map);
    size_t level_start() const;
    void drop_queued_from(size_t mark);
    void release_level();
    void rollback_level();
    void clear_queue();
    // Hands the queue to libpq, a SAVEPOINT before each level that becomes
    // sent (every open level, with `every_level`); false when libpq refuses
    // (a broken connection).
    bool send_queue(Outcome &o, bool every_level = false);
    // `types`: the parameters' types of a text statement (all bytea when null).
    bool send(int stmt, const char *text, const char *const *values, const int *lengths, int n, Outcome &o,
              int64_t map = 0, int result_format = 1, const Oid *types = nullptr);
    // Sends a long queue without waiting, and takes in what has arrived.
    void send_early();
    // Sends the queue, then the statement (stmt >= 0, or text), then a sync,
    // and waits for everything up to the sync. Returns the statement's
    // result (the caller owns it). `commit`: the statement is COMMIT.
    // `writes_text`: the text statement writes (it belongs to the innermost
    // level, which reaches the server before it).
    PGresult *exchange(int stmt, const char *text, const char *const *values = nullptr,
                       const int *lengths = nullptr, int n = 0, bool commit = false, PGresult **prior = nullptr,
                       int64_t map = 0, int result_format = 1, const char *context = nullptr,
                       const Oid *types = nullptr, bool writes_text = false, PGresult **earlier = nullptr,
                       bool flush_after_commit = false, PGresult **earliest = nullptr);
    // Waits until the sync (pipeline) or the end of the command, without the
    // GIL. Never raises.
    void await(Outcome &o, bool until_sync) noexcept;
    void take(Outcome &o, PGresult *r, bool pipeline) noexcept;
    void leave_pipeline(Outcome &o) noexcept;
    // Ends what was sent in pipeline mode with a sync and waits for it all
    // (the connection lost when libpq refuses the sync).
    void sync_pipeline(Outcome &o);
    // Raises what an exchange found wrong, if anything.
    void check(Outcome &o, const char *context);
    // Frees what an exchange brought and raises `message` as a commit whose
    // outcome is unknown (08007): the caller must forget what it holds.
    [[noreturn]] void outcome_unknown(Outcome &o, const std::string &message);
    // What BEGIN of a preread transaction queues: BEGIN, the counted lock,
    // the entry's check (see begin_preread).
    static constexpr size_t kPrereadQueued = 3;
    // Nothing was written since the transaction began (what its BEGIN
    // queued is all the queue holds).
    bool nothing_written() const { return queue_.size() == (preread_ ? kPrereadQueued : 0); }
    int64_t take_id();
    void forget_scan();
    // data_version() outside a transaction, with the default map's entries
    // changed since (see expect_scan) read in the same round trip unless
    // `read` names an entry to read along and not `scan_too`, and that
    // entry (prefetched_); false when the store's row is not found.
    bool data_version_with_scan(int64_t &changes, const WriteHint *read, bool scan_too);
    // The data version seen now is `view`.
    void see(int64_t view);
    // A ScanEntries of `map` armed by scan_from: the map's entries changed
    // since (a header row first), or every entry when the log does not
    // cover that; null when it was not armed, or when the index's data
    // version is not the one seen before this one.
    PGresult *scan_changes(int64_t map);
    // The first statement that failed: a conflict when it is the check of an
    // optimistic lock, else what it says.
    [[noreturn]] void fail_statement(PGresult *r, const char *context);
    // BEGIN and the lock with the checked update of the change count,
    // queued to go out with the first statement that needs an answer (or
    // the commit).
    void begin_optimistic(int64_t expected);
    // BEGIN, the lock, the entries when they changed and, with a hint, the
    // hinted entry when it changed (returned; null without one), in one
    // round trip.
    // `partial`: the default map's index is at `expected`, so the entries
    // may come as what changed since (see kRecentIfChanged).
    PGresult *begin_locked(const WriteHint *hint, int64_t expected, bool partial, PGresult *&lock, PGresult *&scan);
    // Without a lock, in one round trip: the change count, the entries
    // when they changed and the hinted entry when it changed; then BEGIN and
    // the lock are queued as begin_optimistic queues them, to be checked
    // against that count, or (see kEntryAt) against the hinted entry's
    // version alone. False when the store is not there.
    bool begin_preread(const WriteHint &hint, int64_t expected, bool partial);
    // Its parameters: the count to read from, and whether in part.
    void scan_params(int64_t expected, bool partial, char out[16]);
    // The entries' read as the store takes it (see kRecentIfChanged): what
    // changed when that was read, else every entry. Frees the other.
    PGresult *scan_result(PGresult *all, PGresult *recent);
    // Sends the queue, kScanIfChanged and kRecentIfChanged of `map` with
    // `params` (see scan_params; kScanIfChanged alone when they ask for
    // every entry), and returns the entries' read as scan_result takes it;
    // `before` gets the result of the statement queued before them.
    PGresult *read_changes(const char *const *params, int64_t map, PGresult **before);
    // Sends the queue, the entries' read at `expected` (all of them, or with
    // `partial`, what changed since when the change log covers it) and
    // kLoadIfChanged for the hinted entry: its rows when it changed. `scan`
    // gets the entries' read as scan_result takes it, `first` the result of
    // the statement queued before them.
    PGresult *load_if_changed(const WriteHint &hint, int64_t expected, bool partial, PGresult *&scan,
                              PGresult *&first) {
        return read_along(hint, expected, partial, true, false, scan, first);
    }
    // The same, without the entries' read unless `scan_too`, and with
    // LoadEntry in place of kLoadIfChanged when `whole` (an entry not in
    // memory at all: every row of it, from a statement cheap to plan).
    PGresult *read_along(const WriteHint &hint, int64_t expected, bool partial, bool scan_too, bool whole,
                         PGresult *&scan, PGresult *&first);
    // Whether the next data_version()'s scan asks only for what the change
    // log names (it then goes with every look: it costs the server little).
    bool logged_scan() const { return scan_partial_ && ring_; }
    // Whether the hinted entry is not in memory at all, nor any of its rows.
    static bool unknown_entry(const WriteHint &hint) {
        return hint.entry && hint.version < 0 && hint.items_from <= 0;
    }
    // Keeps what such a read brought for the transaction to use: the
    // entries when the change count had `changed`, the entry when it had.
    void keep_changes(PGresult *scan, PGresult *entry, bool changed, const WriteHint &hint);
    // At the commit of a preread transaction: its lock checks the hinted
    // entry's version instead of the change count, when the transaction
    // read and wrote that entry alone and nothing of it was sent yet.
    bool guard_entry_only();
    // Notes what a write statement of the open transaction touches.
    void note_write(Sql which, int64_t map, const char *const *values);
    // Notes that the open transaction wrote entry `id` (or its items), for
    // the change log its count update writes (see kCountCommit);
    // `rewrote_items`: it rewrote or removed item rows, not only added them.
    void touch(int64_t id, bool rewrote_items);
    // That log's ids: those written, or -1 when there were more.
    void touched_ids(char out[8 * kLogIds]) const;

    // Sends `sql` (one or more statements, no parameters) outside pipeline
    // mode and waits; raises on error. Returns the last result (text
    // format), owned by the caller.
    PGresult *simple(const std::string &sql, Sql which);
    [[noreturn]] void lost(const std::string &why, const char *sqlstate);
    [[noreturn]] void fail_result(PGresult *r, const char *context);
    [[noreturn]] void raise(const std::string &message, const char *sqlstate);
    static void on_notice(void *db, const PGresult *r);  // libpq's notice receiver
    std::string table(const char *name) const;
    void end_transaction_state();
    // A statement with no parameter or one bytea parameter, sent on its own
    // (after what is queued; binary results when `binary`); raises on error.
    PGresult *one_off(const std::string &sql, const std::string *param, bool binary, const char *context);

    // --- a store of an older format (pg_upgrade.cpp) ---
    // Binary parameters of the given types, binary results; raises on error.
    PGresult *with_params(const std::string &sql, const std::vector<std::pair<Oid, std::string>> &params);
    // The store's row was moved by another connection's upgrade: follows it
    // to its new row. False when the store is not found in a newer format.
    bool follow_upgrade();
    // The store's row changed: its statements are named and prepared again.
    void forget_prepared();

    // The statements of the database and its default map, or of one named
    // map: cursors, and whether the server has them prepared.
    struct Statements {
        std::array<std::unique_ptr<PgCursor>, (size_t) Sql::Count_> cursors{};
        bool prepared = false;
    };
    Statements &statements(Sql which, int64_t map) { return map && per_map(which) ? map_stmts_[map] : stmts_; }

    const pg::Api &pq_;
    PgAddress address_;
    PGconn *conn_ = nullptr;
    // Why the server ended the session, as it told this idle connection
    // before closing it (see on_notice); empty while it goes on.
    std::string ended_;
    std::string schema_;     // quoted identifier
    int64_t store_id_ = 0;
    bool tables_ = false;         // the schema has the four tables
    bool absent_ = false;         // the store has no row yet (it reads as empty)
    bool creating_ = false;       // the open transaction added the store's row
    bool read_only_ = false;      // this role may not write the tables (or create them)
    bool unsettled_ = false;      // the open transaction prepared the store's statements
    // Statements queued for a store's first write transaction, kept until
    // they are sent.
    std::deque<std::string> texts_;
    uint32_t id_sequence_ = 0;  // the entries' id sequence (an oid)
    bool pipeline_ = false;     // libpq has pipeline mode
    // The names the database's and default map's statements are prepared
    // under: they carry the store's row, which an upgrade moves.
    std::vector<std::string> names_;
    // The store's row before this connection's upgrade (while it may be
    // undone), and whether its statements were prepared in which session.
    int64_t upgraded_from_ = 0;
    bool prepared_before_ = false;
    int64_t session_before_ = -1;
    Statements stmts_;
    std::unordered_map<int64_t, Statements> map_stmts_;  // by the map's id
    bool tx_ = false;           // a transaction is open (also when the server aborted it)
    bool broken_ = false;       // a statement of the open transaction failed
    bool lost_in_tx_ = false;   // the connection was lost with a transaction open
    // A block opened by Begin (a read-only one) is open: it sends nothing,
    // each of its reads being a statement of its own.
    bool reading_ = false;
    bool wrote_ = false;        // the open transaction ran a write statement
    bool locked_ = false;       // the open transaction holds the store's row lock
    bool outcome_unknown_ = false;
    // When the server this connection reached last started, and whether it
    // started again since the one before (see take_server_restarted).
    std::string server_started_;
    bool server_restarted_ = false;
    // This role may write a WAL record of its own (pg_logical_emit_message):
    // a commit can then leave the sync to disk until after the lock is
    // released (see the Commit of a contended transaction).
    bool can_wait_for_flush_ = false;
    bool closed_ = false;
    int64_t locked_changes_ = 0;  // the store's change count read under the lock
    int64_t seen_changes_ = 0;    // the last data_version() told (others' changes)
    PGresult *scanned_ = nullptr; // the entries read with the lock, when they had changed
    // The entry the transaction said it would rewrite, read with the lock
    // when it had changed: its map and id.
    PGresult *prefetched_ = nullptr;
    int64_t prefetched_map_ = 0, prefetched_id_ = 0;
    int64_t prefetched_from_ = 0;  // its item rows start at this order number (0: all of them)
    int64_t handed_from_ = 0;      // the same, of the LoadEntry that took it last
    // What the next statement may bring of an entry it loads (load_from).
    struct LoadFrom {
        int64_t map = 0, id = 0, from = 0, known_at = 0;
    } load_from_;
    WriteHint hint_;
    bool hinted_ = false;
    // The open transaction sends its lock with its first exchange, checking
    // that the change count is the one this connection last read.
    bool optimistic_ = false;
    bool optimistic_sent_ = false;  // that exchange went out
    // The last lock this connection took found no other connection's
    // commits since its previous look: the next hinted write may skip the
    // lock's round trip.
    bool others_quiet_ = false;
    // The open transaction read the store without the lock first
    // (begin_preread), at change count locked_changes_.
    bool preread_ = false;
    // The last optimistic or preread transaction was refused: the next one
    // takes the lock first, so that a redone call does not meet another.
    bool refused_ = false;
    // Of the open transaction: the store saw it read only the hinted entry
    // (expect_write; widen() ends it); it wrote something else than that
    // entry and its items; the version its first write of it built on.
    bool narrow_ = false;
    bool foreign_write_ = false;
    int64_t guard_version_ = -1;
    WriteHint tx_hint_;
    // A refused optimistic transaction left the server's transaction block
    // aborted: its ROLLBACK goes first with whatever is sent next (no round
    // trip of its own).
    bool rollback_owed_ = false;
    int64_t own_commits_ = 0;     // write transactions this connection committed
    int64_t last_id_ = 0;

    std::vector<Queued> queue_;
    std::string arena_;           // the queued statements' parameters
    std::vector<Level> levels_;
    std::unordered_map<int64_t, size_t> last_update_;  // entry -> its live UpdateEntry in the queue
    bool in_pipeline_ = false;
    int64_t in_flight_ = 0;       // statements sent and not answered yet (pipeline mode)
    std::vector<int64_t> ids_;    // entry ids taken from the sequence in this transaction
    size_t next_id_ = 0;
    int64_t id_block_ = 0;
    // An entry id taken under the lock of a committed transaction and not
    // used (0: none): the first new entry of a later transaction takes it
    // without a lock of its own when nobody wrote since (restock_: the open
    // transaction did, and takes the next one). locked_spare_: the one the
    // open transaction's lock took, kept if it commits.
    int64_t spare_id_ = 0, locked_spare_ = 0;
    bool restock_ = false;
    // The stores' table has the change log (a column added by this
    // release: a table made before has none, and its readers read every
    // entry again when anything changed).
    bool ring_ = false;
    bool log_tried_ = false;
    // The entries the open transaction wrote (-1: more than the log holds).
    int64_t touched_[kLogIds] = {};
    int touched_n_ = 0;
    // Commits that checked one entry, not the change count, since the data
    // version seen last moved (see guard_entry_only): an index read at it
    // may miss what others committed before each, so the log is read from
    // that many counts earlier (see see()).
    int64_t log_lag_ = 0;
    // The next data_version() may read what changed along (expect_scan),
    // or every entry when not scan_partial_; scanned_ was read so, outside
    // a transaction.
    bool scan_ahead_ = false, scan_partial_ = false, scanned_outside_ = false;
    // The entry about to be read, if any (read_hint_.entry), which that
    // data_version() brings along unless it is in memory unchanged.
    WriteHint read_hint_;
    // Whether the last data_version() outside a transaction found that
    // others had written since the one before (looked_: there was one).
    bool moved_at_last_look_ = false, looked_ = false;
    // The data version seen before the one seen now (-1: none), and the
    // change count from which the log brings what changed since it
    // (see see()); the map whose next ScanEntries may come from the log,
    // and the data version its index was read at (scan_from).
    int64_t prev_view_ = -1, prev_from_ = 0;
    int64_t scan_map_ = -1, scan_view_ = 0;

    int64_t round_trips_ = 0, reconnects_ = 0, statements_ = 0;
    int64_t optimistic_commits_ = 0, conflicts_ = 0, prefetches_ = 0, prereads_ = 0, entry_guarded_commits_ = 0;
    int64_t partial_scans_ = 0;
};

// Opens the store a PostgreSQL address names.
std::unique_ptr<Db> open_pg_store(const PgAddress &address);

// The names of the stores on the server whose names begin with the address's
// name, without it, in byte order (none when the schema has no tables).
// Writes nothing.
std::vector<std::string> pg_store_names(const PgAddress &address);

}  // namespace dualcache
