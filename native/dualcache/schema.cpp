#include "schema.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <unordered_map>
#include <vector>

#include <nanobind/nanobind.h>

#include "file_naming.h"
#include "format_upgrade.h"
#include "sealed.h"
#include "format.h"
#include "store_error.h"
#include "wal_check.h"

namespace dualcache {
namespace nb = nanobind;

static const char *const kCreateSchema =
    "CREATE TABLE meta(k TEXT PRIMARY KEY, v) WITHOUT ROWID;"
    "CREATE TABLE shapes(id INTEGER PRIMARY KEY, shape BLOB NOT NULL);"
    "CREATE TABLE maps(id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, format INTEGER NOT NULL,"
    " sum INTEGER NOT NULL);";

std::string map_table_name(int format, const char *kind, int64_t map) {
    std::string k = kind;
    if (format < 2) return map ? k + "_" + std::to_string(map) : k;
    std::string m = "map" + std::to_string(map) + "_";
    if (format < 3 || k == "items") return m + k;
    return m + (k == "entries" ? "stamped_entries" : "gone_entries");
}

static std::string stamp_trigger_name(int64_t map) { return map_table_name(3, "gone", map) + "_stamp"; }

// The trigger that stamps each removed entry's id above every stamp of the
// map, the removed row's own included (it may have held the highest); its
// statement as the file's schema keeps it.
static std::string stamp_trigger_sql(int64_t map) {
    std::string e = map_table_name(3, "entries", map), g = map_table_name(3, "gone", map);
    return "CREATE TRIGGER " + stamp_trigger_name(map) + " AFTER DELETE ON " + e + " BEGIN INSERT INTO " + g +
           "(entry, seq) VALUES (old.id, max(old.seq, coalesce((SELECT max(seq) FROM " + e + " WHERE seq > 0), 0), coalesce((SELECT"
           " max(seq) FROM " + g + "), 0)) + 1) ON CONFLICT(entry) DO UPDATE SET seq = excluded.seq; END";
}

// A map's change stamps (format 3), beside its entries table: the stamps'
// index (updated rows only), and the removed entries' ids with the trigger.
static std::string change_stamps_sql(int64_t map) {
    std::string m = "map" + std::to_string(map), e = map_table_name(3, "entries", map),
                g = map_table_name(3, "gone", map);
    return "CREATE INDEX " + m + "_entries_seq ON " + e + "(seq) WHERE seq > 0;"
           "CREATE TABLE " + g + "(entry INTEGER PRIMARY KEY, seq INTEGER NOT NULL);"
           "CREATE INDEX " + g + "_seq ON " + g + "(seq);" +
           stamp_trigger_sql(map) + ";";
}

std::string map_tables_sql(int64_t id) {
    std::string m = "map" + std::to_string(id), e = map_table_name(format::kFileVersion, "entries", id),
                i = map_table_name(format::kFileVersion, "items", id);
    return "CREATE TABLE " + e + "(id INTEGER PRIMARY KEY AUTOINCREMENT, version INTEGER NOT NULL,"
           " key BLOB NOT NULL, value BLOB NOT NULL, seq INTEGER NOT NULL DEFAULT 0);"
           "CREATE TABLE " + i + "(entry INTEGER NOT NULL, ord INTEGER NOT NULL, ikey BLOB NOT NULL,"
           " value BLOB NOT NULL, PRIMARY KEY(entry, ord)) WITHOUT ROWID;"
           "CREATE UNIQUE INDEX " + m + "_entries_key ON " + e + "(key);"
           "CREATE UNIQUE INDEX " + i + "_key ON " + i + "(entry, ikey);" +
           change_stamps_sql(id);
}

std::string newer_format_message(int64_t version) {
    return "written in store format " + std::to_string(version) + ", newer than this version reads (" +
           std::to_string(format::kFileVersion) + ")";
}

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
    db.exec(map_tables_sql(0).c_str());
    char *meta = sqlite3_mprintf(
        "INSERT INTO meta(k, v) VALUES ('format', %d), ('name', %Q);"
        "PRAGMA application_id = %d; PRAGMA user_version = %d;",
        format::kFileVersion, store_name.c_str(), format::kApplicationId, format::kFileVersion);
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

// SQLite could not open or create a side file (-wal, -shm) the connection
// needs, or set the shared memory up.
static bool side_files_refused(int rc) {
    return (rc & 0xff) == SQLITE_CANTOPEN || (rc & 0xff) == SQLITE_READONLY;
}

// The side file was refused by the file system (permissions, read-only
// media; a reader finds no -shm it may not make), not for want of
// something another try may have (open files, memory): only the first is a
// place that can be read but not written.
static bool refused_by_file_system(SqliteDb &db) {
    int e = sqlite3_system_errno(db.handle());
    return e == 0 || e == EACCES || e == EPERM || e == EROFS || e == ENOENT;
}

static int first_read(SqliteDb &db) {
    int64_t n;
    return db.try_query_int("SELECT count(*) FROM sqlite_master", n);
}

// The directory holding the file cannot be written by this process.
static bool directory_read_only(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS);
}

// A file that can be read but not written where it lies is read through a
// read-only connection: a writable file in a directory that cannot be
// written (SQLite cannot make the side files a writer needs) as any
// read-only file, and a read-only connection whose WAL reader cannot make
// the shared-memory file (read-only media) reads the file as immutable,
// which is sound only when no log holds pages that the file lacks.
static void open_for_reading(SqliteDb &db) {
    int rc = first_read(db);
    // (Otherwise the read that follows reports what failed.)
    if (!side_files_refused(rc) || !refused_by_file_system(db)) return;
    if (!db.read_only()) {
        if (!directory_read_only(db.path())) return;
        db.reopen_read_only(false);
        if (!side_files_refused(rc = first_read(db)) || !refused_by_file_system(db)) return;
    }
    if (file_size(db.path() + "-wal") > 0)
        raise_store_error(db.path(),
                          "cannot read the store: it is read-only and its write-ahead log (-wal) cannot be read "
                          "without a -shm file, which cannot be created here; copy the files to a writable place",
                          rc);
    db.reopen_read_only(true);
}

// The id of the named map whose table (of format `format`) `table` is, or
// 0 when it is no map's table or the default map's.
static int64_t map_of_table(const std::string &table, int64_t format) {
    size_t at = table.find_first_of("0123456789");
    if (at == std::string::npos || table[at] == '0') return 0;
    size_t end = table.find_first_not_of("0123456789", at);
    std::string digits = table.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (digits.size() > 18) return 0;
    int64_t id = std::stoll(digits);
    for (const char *kind : {"entries", "items", "gone"})
        if (map_table_name((int) format, kind, id) == table) return id;
    return 0;
}

// A store file whose tables were dropped is damaged: name what is missing
// instead of failing later on a statement (or an upgrade) with SQLite's "no
// such table". A named map's tables are named after its row in `maps` (see
// map_table_name).
static void check_tables(SqliteDb &db, int64_t version) {
    std::vector<std::string> tables;
    std::unordered_map<std::string, std::string> triggers;  // name -> statement
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
        each("SELECT name, sql FROM sqlite_master WHERE type = 'trigger'", [&](sqlite3_stmt *q) {
            const char *sql = (const char *) sqlite3_column_text(q, 1);
            triggers[(const char *) sqlite3_column_text(q, 0)] = sql ? sql : "";
        });
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
    bool v1 = version < 2;
    auto table_of = [&](int64_t id, const char *t) { return map_table_name((int) version, t, id); };
    std::vector<std::string> missing;
    for (const char *t : v1 ? std::vector<const char *>{"meta", "tags"} : std::vector<const char *>{"meta", "shapes", "maps"})
        if (!has(t)) missing.push_back(std::string(t) + " table");
    std::vector<const char *> per_map{"entries", "items"};
    if (version >= 3) per_map.push_back("gone");
    auto label = [](const char *t) { return std::string(t) == "gone" ? std::string("removed entries") : std::string(t); };
    // Format 3: a removal the trigger does not stamp as it should would go
    // unseen by the other connections.
    auto stamped = [&](int64_t id) {
        auto at = triggers.find(stamp_trigger_name(id));
        return version < 3 || (at != triggers.end() && at->second == stamp_trigger_sql(id));
    };
    const char *unstamped = "trigger that stamps removed entries";
    for (const char *t : per_map)
        if (!has(table_of(0, t))) missing.push_back(label(t) + " table");
    if (!stamped(0)) missing.emplace_back(unstamped);
    for (auto &[id, name] : maps) {
        if (id == 0) continue;
        std::string of_map;
        auto add = [&](const std::string &what) {
            if (of_map.empty()) {
                nb::object n = nb::steal(PyUnicode_DecodeUTF8(name.data(), (Py_ssize_t) name.size(), "surrogatepass"));
                if (!n) throw nb::python_error();
                of_map = std::string(" of the map ") + nb::str(nb::repr(n)).c_str();
            }
            missing.push_back(what + of_map);
        };
        for (const char *t : per_map)
            if (!has(table_of(id, t))) add(label(t) + " table");
        if (!stamped(id)) add(unstamped);
    }
    // A named map's tables without its row in `maps`: the map would read as
    // empty, and making it again would collide with them.
    std::vector<std::string> orphans;
    for (const std::string &t : tables)
        if (int64_t id = map_of_table(t, version);
            id > 0 && std::none_of(maps.begin(), maps.end(), [&](auto &m) { return m.first == id; }))
            orphans.push_back(t);
    if (missing.empty() && orphans.empty()) return;
    auto listed = [](const std::vector<std::string> &names, const char *between) {
        std::string s;
        for (size_t i = 0; i < names.size(); ++i)
            s += (i == 0 ? "" : i + 1 == names.size() ? " and " + std::string(between) : ", " + std::string(between)) +
                 names[i];
        return s;
    };
    std::string what;
    if (!missing.empty()) what = "no " + listed(missing, "no ");
    if (!orphans.empty())
        what += (what.empty() ? "" : "; it has ") + std::string(orphans.size() > 1 ? "the tables " : "the table ") +
                listed(orphans, "") + " of a map that has no row in the maps table";
    raise_store_error(db.path(), "damaged store: the file has " + what + " (it was left as it is)", SQLITE_CORRUPT);
}

void prepare_store(SqliteDb &db, const std::string &store_name) {
    // Before SQLite's first read, whose recovery would silently drop the
    // log's frames from a damaged one on.
    check_wal(db.path());
    open_for_reading(db);
    // Read-only checks first: nothing is written to a file that is not ours.
    Identity id = identity(db);
    if (id.app_id != format::kApplicationId) {
        if (id.app_id != 0 || id.tables != 0) not_a_store(db, "an SQLite database of another program");
        if (db.read_only()) raise_store_error(db.path(), "the file is empty and read-only, so it cannot become a store");
        initialise_in_place(db, store_name);
    }

    // The tables of the format the header names, before any is read.
    if (int64_t h = read_int(db, "PRAGMA user_version"); h >= format::kOldestVersion && h <= format::kFileVersion)
        check_tables(db, h);

    // The format is recorded twice, in the meta table and in the header.
    int64_t version = 0;
    int rc = db.try_query_int("SELECT v FROM meta WHERE k = 'format'", version);
    if (rc != SQLITE_OK) read_failed(db, rc);
    int64_t header = read_int(db, "PRAGMA user_version");
    if (version < format::kOldestVersion) not_a_store(db, "no format version recorded");
    if (std::max(version, header) > format::kFileVersion) raise_store_error(db.path(), newer_format_message(std::max(version, header)));
    if (header != version)
        not_a_store(db, "the file is damaged: its header says store format " + std::to_string(header) +
                            " and its meta table " + std::to_string(version));
    db.set_format((int) version);

    // A database file shorter than its pages, with no log that holds them,
    // was cut off.
    int64_t n = read_int(db, "PRAGMA page_count"), page_size = db.query_int("PRAGMA page_size");
    int64_t wal = file_size(db.path() + "-wal");
    if (wal <= 0 && file_size(db.path()) < n * page_size) not_a_store(db, "the file is truncated");

    if (!db.read_only()) {
        std::string mode = db.query_text("PRAGMA journal_mode=WAL");
        if (mode != "wal") raise_store_error(db.path(), "cannot use the WAL journal (journal mode is " + mode + ")");
    }
    db.exec("PRAGMA synchronous=FULL");
    db.exec("PRAGMA cache_size=-16384");
    // A savepoint (each write inside batch() of an operation that runs its own
    // transaction(), as OrderMgr.add_trade does) keeps the page images it may
    // have to restore; in memory, not in a temporary file.
    db.exec("PRAGMA temp_store=MEMORY");
}


// --- upgrading a file of an older format ---------------------------------------

namespace {

// A statement of the upgrade, finalised on every path.
class Statement {
public:
    Statement(SqliteDb &db, const std::string &sql) : db_(db) {
        int rc = sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &s_, nullptr);
        if (rc != SQLITE_OK) db.fail(rc, "upgrading the store");
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement &bind(int i, int64_t v) {
        check(sqlite3_bind_int64(s_, i, v));
        return *this;
    }
    Statement &bind(int i, const std::string &blob) {
        check(sqlite3_bind_blob64(s_, i, blob.data(), blob.size(), SQLITE_TRANSIENT));
        return *this;
    }
    bool step() {
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        sqlite3_reset(s_);
        if (rc != SQLITE_DONE) db_.fail(rc, "upgrading the store");
        return false;
    }
    void run() {
        while (step()) {
        }
    }
    int64_t int64(int col) { return sqlite3_column_int64(s_, col); }
    std::string blob(int col) {
        const char *p = (const char *) sqlite3_column_blob(s_, col);
        return std::string(p ? p : "", (size_t) sqlite3_column_bytes(s_, col));
    }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) db_.fail(rc, "upgrading the store");
    }
    SqliteDb &db_;
    sqlite3_stmt *s_ = nullptr;
};

bool has_table(SqliteDb &db, const std::string &name) {
    Statement q(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = CAST(?1 AS TEXT)");
    q.bind(1, name);
    q.step();
    bool found = q.int64(0) != 0;
    while (q.step()) {
    }
    return found;
}

// Every row of one map, rewritten in place (ids and order numbers stay).
void rewrite_rows(SqliteDb &db, FormatUpgrade &up, int64_t map, const std::string &entries, const std::string &items) {
    std::vector<int64_t> ids;
    {
        Statement q(db, "SELECT id FROM " + entries + " ORDER BY id");
        while (q.step()) ids.push_back(q.int64(0));
    }
    Statement entry(db, "SELECT key, value FROM " + entries + " WHERE id = ?1");
    Statement rows(db, "SELECT ord, ikey, value FROM " + items + " WHERE entry = ?1 ORDER BY ord");
    Statement put_item(db, "UPDATE " + items + " SET ikey = ?3, value = ?4 WHERE entry = ?1 AND ord = ?2");
    Statement put_entry(db, "UPDATE " + entries + " SET key = ?2, value = ?3 WHERE id = ?1");
    struct Item {
        int64_t ord;
        std::string key, value;
    };
    for (int64_t id : ids) {
        entry.bind(1, id);
        if (!entry.step()) continue;
        std::string key = entry.blob(0), value = entry.blob(1);
        while (entry.step()) {
        }
        uint64_t count = 0;
        uint32_t sum = 0;
        if (FormatUpgrade::is_itemized(value)) {
            std::vector<Item> old;
            rows.bind(1, id);
            while (rows.step()) old.push_back(Item{rows.int64(0), rows.blob(1), rows.blob(2)});
            for (Item &it : old) {
                std::string k, v;
                sum ^= up.item(map, it.ord, it.key, it.value, k, v);
                ++count;
                put_item.bind(1, id).bind(2, it.ord).bind(3, k).bind(4, v).run();
            }
        }
        put_entry.bind(1, id).bind(2, up.key(key, map)).bind(3, up.value(value, map, count, sum)).run();
    }
}

// A unique index, unless the rows already break it (a damaged file keeps
// its duplicates; reading reports them).
void unique_index(SqliteDb &db, const std::string &sql) {
    int rc = sqlite3_exec(db.handle(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_CONSTRAINT) db.fail(rc, "upgrading the store");
}

// Format 1's rows, rewritten in format 2's tables.
void upgrade_rows(SqliteDb &db) {
    std::unordered_map<int64_t, std::string> tags;
    {
        Statement q(db, "SELECT id, tag FROM tags");
        while (q.step()) tags[q.int64(0)] = q.blob(1);
    }
    FormatUpgrade up(std::move(tags));

    // The maps table in its current form, which an older release cannot
    // add a map to.
    std::vector<int64_t> maps{0};
    const char *table = "(id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE, format INTEGER NOT NULL, sum INTEGER NOT NULL)";
    if (has_table(db, "maps")) {
        db.exec((std::string("CREATE TABLE maps_upgraded") + table).c_str());
        {
            Statement q(db, "SELECT id, name FROM maps ORDER BY id");
            Statement put(db, "INSERT INTO maps_upgraded(id, name, format, sum) VALUES (?1, ?2, 2, ?3)");
            while (q.step()) {
                int64_t id = q.int64(0);
                std::string name = q.blob(1);
                maps.push_back(id);
                put.bind(1, id).bind(2, name).bind(3, (int64_t) sealed::map_name(id, name)).run();
            }
        }
        db.exec("DROP TABLE maps; ALTER TABLE maps_upgraded RENAME TO maps;");
    } else {
        db.exec((std::string("CREATE TABLE maps") + table).c_str());
    }

    for (int64_t id : maps) {
        std::string old_e = map_table_name(1, "entries", id), old_i = map_table_name(1, "items", id);
        std::string e = map_table_name(2, "entries", id), i = map_table_name(2, "items", id);
        if (!has_table(db, old_e)) {  // a map row without its tables: give it empty ones
            db.exec(map_tables_sql(id).c_str());
            continue;
        }
        std::string sql = "DROP INDEX IF EXISTS " + old_e + "_key; DROP INDEX IF EXISTS " + old_i +
                          "_key; ALTER TABLE " + old_e + " RENAME TO " + e + "; ALTER TABLE " + old_i +
                          " RENAME TO " + i + ";";
        db.exec(sql.c_str());
        rewrite_rows(db, up, id, e, i);
        unique_index(db, "CREATE UNIQUE INDEX " + e + "_key ON " + e + "(key)");
        unique_index(db, "CREATE UNIQUE INDEX " + i + "_key ON " + i + "(entry, ikey)");
    }

    db.exec("CREATE TABLE shapes(id INTEGER PRIMARY KEY, shape BLOB NOT NULL); DROP TABLE tags;");
    {
        Statement put(db, "INSERT INTO shapes(id, shape) VALUES (?1, ?2)");
        for (auto &[id, bytes] : up.shapes()) put.bind(1, id).bind(2, bytes).run();
    }
}

// Format 2's tables get format 3's change stamps: every entry row stamped
// 0 (written before any stamp), nothing removed yet. No row is rewritten.
void add_change_stamps(SqliteDb &db) {
    std::vector<int64_t> maps{0};
    {
        Statement q(db, "SELECT id FROM maps WHERE id <> 0 ORDER BY id");
        while (q.step()) maps.push_back(q.int64(0));
    }
    for (int64_t id : maps) {
        std::string e = map_table_name(2, "entries", id), stamped = map_table_name(3, "entries", id);
        if (!has_table(db, e)) continue;  // (made in format 3 by the rows' upgrade)
        db.exec(("ALTER TABLE " + e + " RENAME TO " + stamped + "; ALTER TABLE " + stamped +
                 " ADD COLUMN seq INTEGER NOT NULL DEFAULT 0;" + change_stamps_sql(id)).c_str());
    }
}

}  // namespace

void upgrade_file(SqliteDb &db) {
    if (db.format() < 2) upgrade_rows(db);
    add_change_stamps(db);
    std::string done = "UPDATE meta SET v = " + std::to_string(format::kFileVersion) +
                       " WHERE k = 'format'; PRAGMA user_version = " + std::to_string(format::kFileVersion);
    db.exec(done.c_str());
}

}  // namespace dualcache
