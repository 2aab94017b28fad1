// A SQLite connection with its prepared statements kept for the life of the
// connection. Every failure becomes a StoreError naming the file.
#pragma once
#include <sqlite3.h>

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace dualcache {

class Db;

// A prepared statement in use: bind, step, and reset on scope exit, so that
// bound buffers (SQLITE_STATIC) never outlive the run.
class Run {
public:
    Run(Db &db, sqlite3_stmt *s) : db_(db), s_(s) {}
    ~Run() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    Run &bind(int i, int64_t v);
    Run &bind(int i, std::string_view blob);  // as a blob; must outlive the run
    Run &bind_text(int i, std::string_view text);
    // true while a row is available; raises on error.
    bool step();
    // sqlite3_step's result code, nothing raised (for steps run without the GIL).
    int step_rc() { return sqlite3_step(s_); }
    // Runs a statement that returns no rows.
    void done() {
        while (step()) {
        }
    }

    int64_t int64(int col) const { return sqlite3_column_int64(s_, col); }
    std::string_view blob(int col) const {
        const void *p = sqlite3_column_blob(s_, col);
        return {(const char *) p, (size_t) sqlite3_column_bytes(s_, col)};
    }
    std::string_view text(int col) const {
        const unsigned char *p = sqlite3_column_text(s_, col);
        return {(const char *) p, (size_t) sqlite3_column_bytes(s_, col)};
    }

private:
    Db &db_;
    sqlite3_stmt *s_;
};

// The statements of the store, prepared on first use.
enum class Sql {
    Begin,
    BeginImmediate,
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
    Count_
};

// Which file a path named when it was opened.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &) const = default;
};

class Db {
public:
    // Opens an existing file for reading and writing, or for reading only
    // when the file or its file system cannot be written. Never follows a
    // symbolic link: the file (and any side file already there) must be a
    // regular file owned by this user, else StoreError saying why.
    explicit Db(std::string path);
    ~Db();
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    const std::string &path() const { return path_; }
    sqlite3 *handle() const { return db_; }

    Run run(Sql which);
    void exec(const char *sql);
    // First column of the first row of a one-off statement (0 when no row).
    int64_t query_int(const char *sql);
    std::string query_text(const char *sql);
    // query_int without raising: the SQLite result code.
    int try_query_int(const char *sql, int64_t &out);
    std::string errmsg() const { return db_ ? sqlite3_errmsg(db_) : std::string(); }
    bool in_transaction() const { return db_ && !sqlite3_get_autocommit(db_); }

    // The connection can only read (the file or its file system is
    // read-only).
    bool read_only() const { return read_only_; }
    // Reopens a read-only connection as immutable: for a file on read-only
    // media that has no write-ahead log, where SQLite cannot make the
    // shared-memory file a WAL reader needs.
    void reopen_immutable();
    // StoreError unless the path still names the file that was opened (it
    // was removed, or replaced by another file): a write committed now
    // would go to a file nobody will find again.
    void check_in_place() const;
    // The path names a file other than the one opened (it was replaced).
    bool replaced() const;

    // Raises StoreError "<path>: <context>: <SQLite message>".
    [[noreturn]] void fail(int rc, const char *context = nullptr) const;

    // Finalises every statement and closes the connection.
    void close();
    // Forgets the connection without touching it (a copy inherited by fork()).
    void abandon() { db_ = nullptr; }
    bool is_open() const { return db_ != nullptr; }

private:
    void open(int flags, const std::string &name);

    std::string path_;
    sqlite3 *db_ = nullptr;
    FileId id_;
    bool read_only_ = false;
    std::array<sqlite3_stmt *, (size_t) Sql::Count_> stmts_{};
};

}  // namespace dualcache
