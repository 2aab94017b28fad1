// A store on a PostgreSQL server, through libpq. All stores of a schema share
// four tables (stores, tags, entries, items), created owner-only by the first
// write in the schema first on the connection's search_path; a store is one
// row of the stores table (added by its first write) and its rows in the
// others. Opening writes nothing. Names travel as parameters
// only; the schema name is quoted as an identifier.
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
// Every wait for the server is bounded (connect_timeout, lock_timeout and a
// reply deadline) and runs without the GIL. A lost connection is opened
// again by the next operation outside a transaction.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "database.h"
#include "pg_address.h"
#include "pg_api.h"

namespace dualcache {

class PgDb;

// One prepared statement with its bound parameters and the rows of its run.
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

private:
    friend class PgDb;
    static constexpr int kMaxParams = 4;
    PgDb &db_;
    Sql which_;
    int64_t map_;
    const char *values_[kMaxParams] = {};
    int lengths_[kMaxParams] = {};
    char ints_[kMaxParams][8] = {};
    PGresult *res_ = nullptr;
    int row_ = -1, rows_ = 0, offset_ = 0;
    int64_t first_int_ = 0;
    bool ran_ = false, borrowed_ = false;
};

class PgDb final : public Db {
public:
    // Connects and finds the store; writes nothing (a store not there yet
    // reads as empty and is created by its first write transaction).
    explicit PgDb(const PgAddress &address);
    ~PgDb() override;

    Run run(Sql which, int64_t map = 0) override;
    void run_blocking(Sql which) override;
    int64_t last_insert_id() override { return last_id_; }
    bool in_transaction() const override { return tx_; }
    void rollback_quietly() noexcept override;
    int64_t data_version() override;
    bool take_outcome_unknown() override {
        bool u = outcome_unknown_;
        outcome_unknown_ = false;
        return u;
    }
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

    const pg::Api &pq() const { return pq_; }
    // The LoadEntry cursor of map `map` while it holds entry `id`'s rows,
    // else null.
    const PgCursor *loaded_entry(int64_t map, int64_t id) const;
    // Runs statement `which` on map `map` (binary parameters and results);
    // null for a statement that returns nothing.
    PGresult *execute(Sql which, int64_t map, const char *const *values, const int *lengths);

private:
    struct Reply {
        PGresult *last = nullptr;   // the last result (rows, or the first error)
        bool lost = false;          // no complete answer: the connection is gone
        std::string lost_why;
    };
    void connect();
    // Finds the tables and the store's row, and whether this role may write
    // them; writes nothing.
    void look_up_store();
    // The SQL that begins the first write transaction of a store not there
    // yet: makes the tables if the schema has none (committed on their
    // own), then begins, adds the store's row and locks it.
    std::string begin_creating_sql();
    // That transaction made the store: its row (changes, id) in `r`.
    void created(PGresult *r);
    // After the transaction that created the store ended without a commit:
    // the store is not there again.
    void settle();
    // `which` reads a store that is not there: no rows, nothing sent.
    bool reads_nothing_yet(Sql which);
    void usable(Sql which);
    Reply wait_reply();
    // wait_reply(), with a lost connection raised as a StoreError.
    Reply answer();
    // Reads a pipeline's results up to its sync point: the first error, or
    // the last result.
    Reply wait_pipeline();
    // The savepoint commands not sent yet, as one SQL text ("" when none).
    std::string take_pending();
    // Sends `sql` (one or more statements, no parameters) and waits; raises
    // on error. Returns the last result (text format), owned by the caller.
    PGresult *simple(const std::string &sql, Sql which);
    void lost(const std::string &why, const char *sqlstate);
    [[noreturn]] void fail_result(PGresult *r, const char *context);
    [[noreturn]] void raise(const std::string &message, const char *sqlstate);
    std::string table(const char *name) const;
    void prepare(Sql which, int64_t map);
    // A statement with no parameter or one bytea parameter, sent on its own
    // (binary results when `binary`); raises on error.
    PGresult *one_off(const std::string &sql, const std::string *param, bool binary, const char *context);

    // The prepared statements of the database and its default map, or of
    // one named map.
    struct Statements {
        std::array<std::unique_ptr<PgCursor>, (size_t) Sql::Count_> cursors{};
        std::array<bool, (size_t) Sql::Count_> prepared{};
    };
    Statements &statements(Sql which, int64_t map) { return map && per_map(which) ? map_stmts_[map] : stmts_; }

    const pg::Api &pq_;
    PgAddress address_;
    PGconn *conn_ = nullptr;
    std::string schema_;     // quoted identifier
    int64_t store_id_ = 0;
    bool tables_ = false;         // the schema has the four tables
    bool absent_ = false;         // the store has no row yet (it reads as empty)
    bool creating_ = false;       // the open transaction created the store's row
    bool only_created_ = false;   // ... and wrote nothing else: it commits nothing
    bool read_only_ = false;      // this role may not write the tables (or create them)
    Statements stmts_;
    std::unordered_map<int64_t, Statements> map_stmts_;  // by the map's id
    bool tx_ = false;           // a transaction is open (also when the server aborted it)
    bool lost_in_tx_ = false;   // the connection was lost with a transaction open
    bool wrote_ = false;        // the open transaction ran a write statement
    bool locked_ = false;       // the open transaction holds the store's row lock
    bool outcome_unknown_ = false;
    bool closed_ = false;
    int64_t locked_changes_ = 0;  // the store's change count read under the lock
    int64_t own_commits_ = 0;     // write transactions this connection committed
    int64_t last_id_ = 0;
    // SAVEPOINT and RELEASE commands held back to travel with the next
    // statement (a level that runs none costs no round trip; COMMIT and
    // ROLLBACK make pending ones moot).
    std::vector<std::string> pending_;
    int64_t round_trips_ = 0, reconnects_ = 0;
};

// Opens the store a PostgreSQL address names.
std::unique_ptr<Db> open_pg_store(const PgAddress &address);

}  // namespace dualcache
