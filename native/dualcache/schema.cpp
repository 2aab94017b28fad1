#include "schema.h"

#include <sys/stat.h>

#include "format.h"
#include "store_error.h"

namespace dualcache {

static const char *const kCreateSchema =
    "CREATE TABLE meta(k TEXT PRIMARY KEY, v) WITHOUT ROWID;"
    "CREATE TABLE tags(id INTEGER PRIMARY KEY, tag TEXT NOT NULL UNIQUE);"
    "CREATE TABLE entries(id INTEGER PRIMARY KEY, version INTEGER NOT NULL, key BLOB NOT NULL,"
    " value BLOB NOT NULL);"
    "CREATE TABLE items(entry INTEGER NOT NULL, ord INTEGER NOT NULL, ikey BLOB NOT NULL,"
    " value BLOB NOT NULL, PRIMARY KEY(entry, ord)) WITHOUT ROWID;";

static int64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t) st.st_size : -1;
}

[[noreturn]] static void not_a_store(Db &db, const std::string &why, int rc = 0) {
    raise_store_error(db.path(), "not a DualCache store: " + why, rc);
}

static int64_t read_int(Db &db, const char *sql) {
    int64_t n = 0;
    int rc = db.try_query_int(sql, n);
    if (rc != SQLITE_OK) not_a_store(db, db.errmsg(), rc);
    return n;
}

static int64_t application_id(Db &db) { return read_int(db, "PRAGMA application_id"); }
static int64_t table_count(Db &db) { return read_int(db, "SELECT count(*) FROM sqlite_master"); }

// An empty database (a file just created, by us or by another process
// opening the same store at the same moment) becomes a store. Decided under
// the write lock, so that exactly one process creates the schema and the
// others wait for it.
static void initialise(Db &db, const std::string &store_name) {
    db.query_text("PRAGMA journal_mode=WAL");
    db.exec("BEGIN IMMEDIATE");
    try {
        int64_t app_id = application_id(db);
        if (app_id == 0 && table_count(db) == 0) {
            db.exec(kCreateSchema);
            char *meta = sqlite3_mprintf(
                "INSERT INTO meta(k, v) VALUES ('format', %d), ('gen', 0), ('name', %Q);"
                "PRAGMA application_id = %d; PRAGMA user_version = %d;",
                format::kVersion, store_name.c_str(), format::kApplicationId, format::kVersion);
            std::string sql = meta ? meta : "";
            sqlite3_free(meta);
            db.exec(sql.c_str());
        } else if (app_id != format::kApplicationId) {
            not_a_store(db, "an SQLite database of another program");
        }
        db.exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void prepare_store(Db &db, const std::string &store_name) {
    // Read-only checks first: nothing is written to a file that is not ours.
    int64_t app_id = application_id(db);
    if (app_id != format::kApplicationId) {
        if (app_id != 0 || table_count(db) != 0) not_a_store(db, "an SQLite database of another program");
        initialise(db, store_name);
    }

    int64_t version = 0;
    int rc = db.try_query_int("SELECT v FROM meta WHERE k = 'format'", version);
    if (rc != SQLITE_OK) not_a_store(db, db.errmsg(), rc);
    if (version < 1) not_a_store(db, "no format version recorded");
    if (version > format::kVersion)
        raise_store_error(db.path(), "written in store format " + std::to_string(version) +
                                         ", newer than this version reads (" + std::to_string(format::kVersion) + ")");

    // A database file shorter than its pages, with no log that holds them,
    // was cut off.
    int64_t n = read_int(db, "PRAGMA page_count"), page_size = db.query_int("PRAGMA page_size");
    int64_t wal = file_size(db.path() + "-wal");
    if (wal <= 0 && file_size(db.path()) < n * page_size) not_a_store(db, "the file is truncated");

    std::string mode = db.query_text("PRAGMA journal_mode=WAL");
    if (mode != "wal") raise_store_error(db.path(), "cannot use the WAL journal (journal mode is " + mode + ")");
    db.exec("PRAGMA synchronous=FULL");
}

}  // namespace dualcache
