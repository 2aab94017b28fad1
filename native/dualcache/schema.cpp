#include "schema.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <nanobind/nanobind.h>

#include "file_naming.h"
#include "format.h"
#include "store_error.h"

namespace dualcache {
namespace nb = nanobind;

static const char *const kCreateSchema =
    "CREATE TABLE meta(k TEXT PRIMARY KEY, v) WITHOUT ROWID;"
    "CREATE TABLE tags(id INTEGER PRIMARY KEY, tag TEXT NOT NULL UNIQUE);"
    "CREATE TABLE entries(id INTEGER PRIMARY KEY AUTOINCREMENT, version INTEGER NOT NULL, key BLOB NOT NULL,"
    " value BLOB NOT NULL);"
    "CREATE TABLE items(entry INTEGER NOT NULL, ord INTEGER NOT NULL, ikey BLOB NOT NULL,"
    " value BLOB NOT NULL, PRIMARY KEY(entry, ord)) WITHOUT ROWID;"
    "CREATE UNIQUE INDEX entries_key ON entries(key);"
    "CREATE UNIQUE INDEX items_key ON items(entry, ikey);";

// One key per entry, one item key per record: stores made before these
// indexes existed get them when first opened for writing.
static const char *const kUniqueIndexes[][2] = {
    {"entries_key", "CREATE UNIQUE INDEX IF NOT EXISTS entries_key ON entries(key)"},
    {"items_key", "CREATE UNIQUE INDEX IF NOT EXISTS items_key ON items(entry, ikey)"},
};

static int64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t) st.st_size : -1;
}

[[noreturn]] static void not_a_store(SqliteDb &db, const std::string &why, int rc = 0) {
    raise_store_error(db.path(), "not a DualCache store: " + why, rc);
}

// SQLite's answers that mean the file's content is not a store, as opposed
// to failing to read it (I/O errors, a full disk, a lock, no memory), which
// say nothing about the file.
static bool is_format_error(int rc) {
    switch (rc & 0xff) {
    case SQLITE_ERROR:  // no such table
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_EMPTY:
    case SQLITE_SCHEMA:
        return true;
    default:
        return false;
    }
}

[[noreturn]] static void read_failed(SqliteDb &db, int rc) {
    if (is_format_error(rc)) not_a_store(db, db.errmsg(), rc);
    raise_store_error(db.path(), "cannot read the store (the file was left as it is): " + db.errmsg(), rc);
}

static int64_t read_int(SqliteDb &db, const char *sql) {
    int64_t n = 0;
    int rc = db.try_query_int(sql, n);
    if (rc != SQLITE_OK) read_failed(db, rc);
    return n;
}

// The application id and the number of schema objects, read in one
// snapshot.
struct Identity {
    int64_t app_id, tables;
};
static Identity identity(SqliteDb &db) {
    bool own = !db.in_transaction();
    if (own) db.exec("BEGIN");
    Identity id{};
    try {
        id.app_id = read_int(db, "PRAGMA application_id");
        id.tables = read_int(db, "SELECT count(*) FROM sqlite_master");
    } catch (...) {
        if (own) sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (own) db.exec("COMMIT");
    return id;
}

static void create_schema(SqliteDb &db, const std::string &store_name) {
    db.exec(kCreateSchema);
    char *meta = sqlite3_mprintf(
        "INSERT INTO meta(k, v) VALUES ('format', %d), ('name', %Q);"
        "PRAGMA application_id = %d; PRAGMA user_version = %d;",
        format::kVersion, store_name.c_str(), format::kApplicationId, format::kVersion);
    std::string sql = meta ? meta : "";
    sqlite3_free(meta);
    db.exec(sql.c_str());
}

void create_store_file(const std::string &path, const std::string &directory, const std::string &store_name) {
    // Anything at the path, a dangling link included, is checked when opened.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) return;
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "/.dualcache-new-%ld-%08lx", (long) getpid(), (unsigned long) random());
    std::string tmp = directory + suffix;
    if (!create_private_file(tmp, path)) raise_store_error(path, "temporary file " + tmp + " exists");
    try {
        SqliteDb db(tmp);
        db.query_text("PRAGMA journal_mode=WAL");
        db.exec("BEGIN IMMEDIATE");
        create_schema(db, store_name);
        db.exec("COMMIT");
        db.close();  // the last connection folds the log into the file
        if (link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
            // A file system without hard links: an empty file that the
            // first opener makes a store in place.
            create_private_file(path, path);
        }
    } catch (...) {
        for (const char *side : {"", "-wal", "-shm"}) unlink((tmp + side).c_str());
        throw;
    }
    for (const char *side : {"", "-wal", "-shm"}) unlink((tmp + side).c_str());
}

// An empty file (or an SQLite database with nothing in it) becomes a store.
// Decided under the write lock, so that exactly one process creates the
// schema; changing the journal mode can meet a lock that SQLite does not
// wait for, so this is retried for as long as the busy timeout.
static void initialise_in_place(SqliteDb &db, const std::string &store_name) {
    for (int waited = 0;; waited += 10) {
        try {
            db.query_text("PRAGMA journal_mode=WAL");
            db.exec("BEGIN IMMEDIATE");
            break;
        } catch (nb::python_error &e) {
            if ((sqlite3_errcode(db.handle()) & 0xff) != SQLITE_BUSY || waited >= format::kBusyTimeoutMs) throw;
            usleep(10000);
        }
    }
    try {
        Identity id = identity(db);
        if (id.app_id == 0 && id.tables == 0)
            create_schema(db, store_name);
        else if (id.app_id != format::kApplicationId)
            not_a_store(db, "an SQLite database of another program");
        db.exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

// A read-only connection to a file whose WAL reader cannot make the
// shared-memory file (read-only media) reads it as immutable, which is
// sound only when no log holds pages that the file lacks.
static void open_for_reading(SqliteDb &db) {
    int64_t n;
    int rc = db.try_query_int("SELECT count(*) FROM sqlite_master", n);
    // SQLite cannot open the shared-memory file, or cannot set it up.
    if ((rc & 0xff) != SQLITE_CANTOPEN && (rc & 0xff) != SQLITE_READONLY) return;
    if (file_size(db.path() + "-wal") > 0)
        raise_store_error(db.path(),
                          "cannot read the store: it is read-only and its write-ahead log (-wal) cannot be read "
                          "without a -shm file, which cannot be created here; copy the files to a writable place",
                          rc);
    db.reopen_immutable();
}

static bool has_index(SqliteDb &db, const char *name) {
    char *sql = sqlite3_mprintf("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = %Q", name);
    int64_t n = 0;
    int rc = db.try_query_int(sql, n);
    sqlite3_free(sql);
    if (rc != SQLITE_OK) read_failed(db, rc);
    return n != 0;
}

// Checked first without the write lock, so that opening a current store
// writes nothing; IF NOT EXISTS for another process adding it meanwhile. A
// file already holding duplicates keeps them (reading it reports them).
static void add_unique_indexes(SqliteDb &db) {
    for (auto &[name, sql] : kUniqueIndexes) {
        if (has_index(db, name)) continue;
        db.exec("BEGIN IMMEDIATE");
        int rc = sqlite3_exec(db.handle(), sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            db.exec("COMMIT");
            continue;
        }
        sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        if ((rc & 0xff) != SQLITE_CONSTRAINT) db.fail(rc, "adding a unique index");
    }
}

// A store file whose tables were dropped is damaged: name what is missing
// instead of failing later on a statement (or adding an index) with SQLite's
// "no such table". A named map's tables are named after its row in `maps`.
static void check_tables(SqliteDb &db) {
    std::vector<std::string> tables;
    bool own = !db.in_transaction();
    if (own) db.exec("BEGIN");
    std::vector<std::pair<int64_t, std::string>> maps;
    try {
        // Each row of `sql` to `row`; read_failed() when SQLite cannot read it.
        auto each = [&](const char *sql, auto &&row) {
            sqlite3_stmt *q = nullptr;
            int rc = sqlite3_prepare_v2(db.handle(), sql, -1, &q, nullptr);
            if (rc == SQLITE_OK)
                while ((rc = sqlite3_step(q)) == SQLITE_ROW) row(q);
            sqlite3_finalize(q);
            if (rc != SQLITE_DONE) read_failed(db, rc);
        };
        each("SELECT name FROM sqlite_master WHERE type = 'table'",
             [&](sqlite3_stmt *q) { tables.emplace_back((const char *) sqlite3_column_text(q, 0)); });
        if (std::find(tables.begin(), tables.end(), "maps") != tables.end())
            each("SELECT id, name FROM maps", [&](sqlite3_stmt *q) {
                const char *name = (const char *) sqlite3_column_blob(q, 1);
                maps.emplace_back(sqlite3_column_int64(q, 0),
                                  std::string(name ? name : "", (size_t) sqlite3_column_bytes(q, 1)));
            });
    } catch (...) {
        if (own) sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (own) db.exec("COMMIT");
    auto has = [&](const std::string &t) { return std::find(tables.begin(), tables.end(), t) != tables.end(); };
    std::vector<std::string> missing;
    for (const char *t : {"meta", "tags", "entries", "items"})
        if (!has(t)) missing.emplace_back(t);
    for (auto &[id, name] : maps)
        for (const char *t : {"entries", "items"})
            if (!has(std::string(t) + "_" + std::to_string(id))) {
                nb::object n = nb::steal(PyUnicode_DecodeUTF8(name.data(), (Py_ssize_t) name.size(), "surrogatepass"));
                if (!n) throw nb::python_error();
                missing.push_back(std::string(t) + " table of the map " + nb::str(nb::repr(n)).c_str());
            }
    if (missing.empty()) return;
    std::string what;
    for (size_t i = 0; i < missing.size(); ++i) {
        what += i == 0 ? "" : i + 1 == missing.size() ? " and no " : ", no ";
        what += missing[i];
        if (missing[i].find(' ') == std::string::npos) what += " table";
    }
    raise_store_error(db.path(), "damaged store: the file has no " + what + " (it was left as it is)",
                      SQLITE_CORRUPT);
}

void prepare_store(SqliteDb &db, const std::string &store_name) {
    if (db.read_only()) open_for_reading(db);
    // Read-only checks first: nothing is written to a file that is not ours.
    Identity id = identity(db);
    if (id.app_id != format::kApplicationId) {
        if (id.app_id != 0 || id.tables != 0) not_a_store(db, "an SQLite database of another program");
        if (db.read_only()) raise_store_error(db.path(), "the file is empty and read-only, so it cannot become a store");
        initialise_in_place(db, store_name);
    }

    check_tables(db);
    int64_t version = 0;
    int rc = db.try_query_int("SELECT v FROM meta WHERE k = 'format'", version);
    if (rc != SQLITE_OK) read_failed(db, rc);
    if (version < 1) not_a_store(db, "no format version recorded");
    if (version > format::kVersion)
        raise_store_error(db.path(), "written in store format " + std::to_string(version) +
                                         ", newer than this version reads (" + std::to_string(format::kVersion) + ")");

    // A database file shorter than its pages, with no log that holds them,
    // was cut off.
    int64_t n = read_int(db, "PRAGMA page_count"), page_size = db.query_int("PRAGMA page_size");
    int64_t wal = file_size(db.path() + "-wal");
    if (wal <= 0 && file_size(db.path()) < n * page_size) not_a_store(db, "the file is truncated");

    if (!db.read_only()) {
        std::string mode = db.query_text("PRAGMA journal_mode=WAL");
        if (mode != "wal") raise_store_error(db.path(), "cannot use the WAL journal (journal mode is " + mode + ")");
        add_unique_indexes(db);
    }
    db.exec("PRAGMA synchronous=FULL");
    db.exec("PRAGMA cache_size=-16384");
}

}  // namespace dualcache
