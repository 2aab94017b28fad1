// A SQLite connection with its prepared statements kept for the life of the
// connection. Every failure becomes a StoreError naming the file.
#pragma once
#include <sqlite3.h>

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "database.h"
#include "format.h"
#include "prefetch_scan.h"

namespace dualcache {

class SqliteDb;

// One prepared statement of the connection.
class SqliteCursor final : public Cursor {
public:
    SqliteCursor(SqliteDb &db, sqlite3_stmt *s) : db_(db), s_(s), plain_(s) {}
    ~SqliteCursor() {
        sqlite3_finalize(plain_);
        sqlite3_finalize(stamping_);
    }

    void bind(int i, int64_t v) override {
        if (i == 1 && stamping_) choose(v);
        bind_int(i, v);
    }
    void bind_blob(int i, std::string_view blob) override;  // SQLITE_STATIC
    void bind_text(int i, std::string_view text) override;
    bool step() override;
    int64_t int64(int col) const override { return sqlite3_column_int64(s_, col); }
    std::string_view blob(int col) const override {
        const void *p = sqlite3_column_blob(s_, col);
        return {(const char *) p, (size_t) sqlite3_column_bytes(s_, col)};
    }
    std::string_view text(int col) const override {
        const unsigned char *p = sqlite3_column_text(s_, col);
        return {(const char *) p, (size_t) sqlite3_column_bytes(s_, col)};
    }
    void reset() noexcept override {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
        s_ = plain_;
    }
    // sqlite3_step's result code, nothing raised (for steps run without the GIL).
    int step_rc() { return sqlite3_step(s_); }
    // The statement updates an entry of map `map` (format 3). `stamping`
    // (owned from here on) is the same update that also sets the entry's
    // stamp (?4): it runs instead at the entry's first update in a write
    // transaction, and is chosen when the entry's id (?1, bound first) is.
    void stamps(int64_t map, sqlite3_stmt *stamping) {
        stamps_map_ = map;
        stamping_ = stamping;
    }

private:
    void bind_int(int i, int64_t v);
    void choose(int64_t entry);
    bool step_stamping();

    SqliteDb &db_;
    sqlite3_stmt *s_;  // the statement bound and run now: plain_ or stamping_
    sqlite3_stmt *plain_;
    sqlite3_stmt *stamping_ = nullptr;
    int64_t entry_ = 0;  // the entry stamping_ is bound for
    int64_t stamps_map_ = -1;
};

// LoadAll on SQLite: the entries and the items tables each scanned in their
// order and merged into LoadAll's rows (two plain scans cost less than one
// compound statement that merges them).
class MergedScan final : public Cursor {
public:
    MergedScan(SqliteDb &db, sqlite3_stmt *entries, sqlite3_stmt *items)
        : db_(db), entries_(db, entries), items_(db, items) {}

    void bind(int, int64_t) override {}
    void bind_blob(int, std::string_view) override {}
    void bind_text(int, std::string_view) override {}
    bool step() override;
    // step() without raising (for a thread without the GIL): SQLITE_ROW,
    // SQLITE_DONE or SQLite's error code.
    int advance();
    int64_t int64(int col) const override;
    std::string_view blob(int col) const override;
    std::string_view text(int col) const override { return blob(col); }
    void reset() noexcept override {
        entries_.reset();
        items_.reset();
        started_ = false;
    }

private:
    int step_entries();
    int step_items();

    SqliteDb &db_;
    SqliteCursor entries_, items_;
    int64_t entry_id_ = 0, item_id_ = 0, item_ord_ = 0;  // of the current rows
    bool started_ = false;
    bool entry_ = false, item_ = false;  // each scan has a row
    bool on_entry_ = false;              // the current row is the entry scan's
};

// Which file a path named when it was opened.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &) const = default;
};

class SqliteDb final : public Db {
public:
    // Opens an existing file for reading and writing, or for reading only
    // when the file or its file system cannot be written. Never follows a
    // symbolic link: the file (and any side file already there) must be a
    // regular file owned by this user, else StoreError saying why.
    explicit SqliteDb(std::string path);
    ~SqliteDb() override;

    sqlite3 *handle() const { return db_; }

    Run run(Sql which, int64_t map = 0) override;
    // LoadAll read ahead on a worker thread (see PrefetchScan); `sealed`:
    // the rows carry checksums (the worker checks them). Until it is
    // destroyed, any other use of the connection first stops the worker.
    std::unique_ptr<PrefetchScan> prefetch_all(int64_t map, bool sealed);
    void run_blocking(Sql which) override;
    int64_t last_insert_id() override { return sqlite3_last_insert_rowid(db_); }
    bool in_transaction() const override { return db_ && !sqlite3_get_autocommit(db_); }
    bool reads_one_snapshot() const override { return in_transaction(); }
    void rollback_quietly() noexcept override {
        if (in_transaction()) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    int64_t data_version() override;
    int current_format() const override { return format::kFileVersion; }
    // Format 3: the next ScanEntries of `map` may give the entries stamped
    // since this connection's last scan of it, when that scan was read at
    // data version `view` (see Db::scan_from).
    void scan_from(int64_t map, int64_t view) override;
    void close() override;
    // Forgets the connection without touching it (a copy inherited by fork()).
    void abandon() override { db_ = nullptr; }
    bool is_open() const override { return db_ != nullptr; }
    void destroy() override;
    void add_stats(nb::dict &d) const override;
    int64_t find_map(std::string_view name) override;
    int64_t create_map(std::string_view name) override;
    void drop_map(int64_t id) override;
    std::vector<std::string> nonempty_maps() override;
    void upgrade() override;
    void upgrade_undone() override;
    void check_scanned(int64_t map, int64_t rows) override;

    // The rows' format, as the file records it (set once it is checked).
    void set_format(int format) { format_ = format; }
    // The name of a map's entries or items table (`kind`) in the rows' format.
    std::string map_table(const char *kind, int64_t map) const;

    void exec(const char *sql);
    // First column of the first row of a one-off statement (0 when no row).
    int64_t query_int(const char *sql);
    std::string query_text(const char *sql);
    // query_int without raising: the SQLite result code.
    int try_query_int(const char *sql, int64_t &out);
    std::string errmsg() const { return db_ ? sqlite3_errmsg(db_) : std::string(); }
    // Counts the log frames written (for _stats) and checkpoints a long log.
    void watch_wal();
    // The open write transaction stamped entry `id` of map `map` (its
    // updates there then leave the stamp alone); it stamps it now; that
    // failed.
    bool stamped(int64_t map, int64_t id) const {
        auto at = stamps_.find(map);
        return at != stamps_.end() && at->second.stamped.count(id);
    }
    void claim_stamp(int64_t map, int64_t id) { stamps_[map].stamped.insert(id); }
    void unclaim_stamp(int64_t map, int64_t id) { stamps_[map].stamped.erase(id); }
    // The stamp of the open write transaction's updates in map `map`: one
    // above every stamp of the map, taken at its first update.
    int64_t write_stamp(int64_t map);

    // The connection can only read (the file or its file system is
    // read-only).
    bool read_only() const override { return read_only_; }
    // Reopens the connection read-only: for a file in a directory that
    // cannot be written, where SQLite cannot make the side files a writer
    // needs; `immutable` for a file on read-only media that has no
    // write-ahead log, where SQLite cannot make the shared-memory file a
    // WAL reader needs either.
    void reopen_read_only(bool immutable);
    // StoreError unless the path still names the file that was opened (it
    // was removed, or replaced by another file): a write committed now
    // would go to a file nobody will find again.
    void check_in_place() const override;
    // The path names a file other than the one opened (it was replaced).
    bool replaced() const override;

    // Raises StoreError "<path>: <context>: <SQLite message>".
    [[noreturn]] void fail(int rc, const char *context = nullptr) const;
    // What fail() raises, without raising: its message and code (for a
    // thread without the GIL, raised later by raise_error).
    void error_text(int rc, const char *context, std::string &message, int &code) const;
    [[noreturn]] void raise_error(int code, const std::string &message) const;

private:
    friend class PrefetchScan;
    // The worker reading ahead, if any, is stopped: the connection is this
    // thread's alone.
    void quiesce() const noexcept {
        if (prefetch_) prefetch_->stop();
    }
    using Statements = std::array<std::unique_ptr<SqliteCursor>, (size_t) Sql::Count_>;
    SqliteCursor &cursor(Sql which, int64_t map);
    MergedScan &merged_scan(int64_t map);
    std::string sql_text(Sql which, int64_t map) const;
    std::string with_tables(std::string sql, int64_t map) const;
    sqlite3_stmt *prepare(const std::string &sql, unsigned flags);
    // The rows are in `format` from now on: the statements are made anew.
    void switch_format(int format);
    bool has_maps_table();
    // Per map: the data version the caller's key index holds as of a look
    // at the map's entries, and the highest stamp and entry id it saw.
    struct ScanMark {
        int64_t version = 0, stamp = 0, last_id = 0;
    };
    // Format 3's change stamps: the highest stamp and id of map `map`, in
    // the snapshot in use; the scan of what changed since a look.
    ScanMark highest_stamp(int64_t map);
    Run scan_entries(int64_t map);
    SqliteCursor &stamp_cursor(int slot, int64_t map);
    // A write transaction begins: it wrote nothing yet (what the last one
    // wrote goes into each map's hint).
    void begin_writes();
    static int transaction_ended(void *self);
    static void rollback_ended(void *self);
    static constexpr int kHighestStamp = 0, kStampedSince = 1;
    static int wal_hook(void *self, sqlite3 *db, const char *name, int pages);
    void open(int flags, const std::string &name);

    sqlite3 *db_ = nullptr;
    FileId id_;
    bool read_only_ = false;
    Statements stmts_{};  // the database's and the default map's
    std::unordered_map<int64_t, Statements> map_stmts_;  // a named map's, by its id
    std::unique_ptr<MergedScan> scan_;  // the last LoadAll's (made for each)
    PrefetchScan *prefetch_ = nullptr;  // the LoadAll reading ahead on a worker, if any
    bool has_maps_ = false;  // the maps table was seen (it is never dropped)
    int64_t wal_frames_ = 0, last_wal_pages_ = 0;
    int64_t seen_version_ = -1;  // the data version at which the format was last checked
    int upgraded_from_ = format::kOldestVersion;  // the format before this connection's upgrade
    int64_t last_version_ = -1;  // what data_version() returned last

    int64_t from_map_ = -1;  // what scan_from() asked for the next scan
    ScanMark from_;
    // What this connection knows of one map's change stamps.
    struct MapStamps {
        std::optional<ScanMark> mark;  // the last scan of the map's entries
        // The open write transaction (reset when one begins): it wrote into
        // the map; the stamp of its updates there (0 until the first); the
        // entries it stamped (forgotten when a savepoint is rolled back:
        // they are stamped again when written again); it removed entries
        // (the trigger stamped those).
        bool written = false;
        int64_t stamp = 0;
        std::unordered_set<int64_t> stamped;
        bool removed = false;
        // A number no stamp of the map is above, as of the data version
        // read under the lock of this connection's last write transaction
        // (write_version_) and what this connection wrote since: when no
        // other connection has committed since (the data version under the
        // next write transaction's lock is the same), that transaction's
        // stamp is one above it without asking the file. Removals are not
        // counted (the trigger's stamps may be higher): such a map's hint
        // is dropped. A number too high only leaves a gap between stamps.
        std::optional<int64_t> hint;
        // The statements of the stamps (see kStampSql).
        std::array<std::unique_ptr<SqliteCursor>, 2> stmts;
    };
    // By map id; all of it goes with a change of format.
    std::unordered_map<int64_t, MapStamps> stamps_;
    int64_t write_version_ = -1;
    bool write_begun_ = false;  // the data version under its lock is still to be read
    bool hints_hold_ = false;   // for the open write transaction (until it ends)
};

}  // namespace dualcache
