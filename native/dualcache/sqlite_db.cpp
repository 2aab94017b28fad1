#include "sqlite_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "corrupt_value.h"
#include "file_naming.h"
#include "format.h"
#include "schema.h"
#include "sealed.h"
#include "store_error.h"

namespace dualcache {

// {E} and {I} stand for the map's entries and items tables (see
// map_table()), {G} for its removed entries (format 3); {T} for the record
// shapes table and its column.
static const char *const kSql[] = {
    /* Begin */ "BEGIN",
    /* BeginImmediate */ "BEGIN IMMEDIATE",
    /* Commit */ "COMMIT",
    /* Rollback */ "ROLLBACK",
    /* DataVersion */ "PRAGMA data_version",
    /* ScanEntries */ "SELECT id, version, key FROM {E} ORDER BY id",
    /* LoadEntry */ "SELECT version, value FROM {E} WHERE id = ?1",
    /* InsertEntry */ "INSERT INTO {E}(version, key, value) VALUES (1, ?1, ?2)",
    /* UpdateEntry */ "UPDATE {E} SET version = ?2, value = ?3 WHERE id = ?1",
    /* DeleteEntry */ "DELETE FROM {E} WHERE id = ?1",
    /* DeleteAllEntries */ "DELETE FROM {E}",
    /* LoadItems */ "SELECT ord, ikey, value FROM {I} WHERE entry = ?1 ORDER BY ord",
    /* LoadItemsFrom */ "SELECT ord, ikey, value FROM {I} WHERE entry = ?1 AND ord >= ?2 ORDER BY ord",
    // The entries half of LoadAll: see MergedScan and kLoadAllItems.
    /* LoadAll */ "SELECT id, version, value FROM {E} ORDER BY id",
    /* InsertItem */ "INSERT INTO {I}(entry, ord, ikey, value) VALUES (?1, ?2, ?3, ?4)",
    /* UpdateItem */ "UPDATE {I} SET ikey = ?3, value = ?4 WHERE entry = ?1 AND ord = ?2",
    /* DeleteItem */ "DELETE FROM {I} WHERE entry = ?1 AND ord = ?2",
    /* DeleteItemsOf */ "DELETE FROM {I} WHERE entry = ?1",
    /* DeleteAllItems */ "DELETE FROM {I}",
    /* LoadTags */ "SELECT id, {T}",
    /* InsertTag */ "INSERT INTO shapes(id, shape) VALUES (?1, ?2)",
    // Nested levels share one name: each refers to the innermost.
    /* Savepoint */ "SAVEPOINT level",
    /* Release */ "RELEASE level",
    /* RollbackTo */ "ROLLBACK TO level",
    /* FindMap */ "SELECT id, name, sum FROM maps",  // format 1: see sql_text()
    /* InsertMap */ "INSERT INTO maps(id, name, format, sum) VALUES (?1, ?2, 2, ?3)",
};
static_assert(sizeof kSql / sizeof *kSql == (size_t) Sql::Count_);
// Format 3's stamps. An inserted entry is not stamped (0, outside the
// stamps' index): it is found by its id, above every id of an earlier
// look. An entry's first update in a transaction stamps it (kStampingUpdate);
// its later updates there leave the stamp, and the stamps' index, alone.
// The statements: the highest stamp of a map and its highest entry id; what
// changed since a look that saw stamp ?1 and id ?2, as ScanEntries gives it
// (see Db::scan_from): a first row with id 0, then (id, version, key), or
// (id, -1, '') for an entry removed since.
static const char *const kStampSql[] = {
    "SELECT max(coalesce((SELECT max(seq) FROM {E} WHERE seq > 0), 0), coalesce((SELECT max(seq) FROM {G}), 0)),"
    " coalesce((SELECT max(id) FROM {E}), 0)",
    "SELECT id, version, key FROM (SELECT 0 AS id, 0 AS version, x'' AS key"
    " UNION SELECT id, version, key FROM {E} WHERE seq > ?1 AND seq > 0"
    " UNION SELECT id, version, key FROM {E} WHERE id > ?2"
    " UNION SELECT entry, -1, x'' FROM {G} WHERE seq > ?1) ORDER BY id",
};
// UpdateEntry that also stamps the entry (?4).
static const char *const kStampingUpdate = "UPDATE {E} SET version = ?2, value = ?3, seq = ?4 WHERE id = ?1";
// The items half of LoadAll (the items' key is (entry, ord): no sort).
static const char *const kLoadAllItems = "SELECT entry, ord, ikey, value FROM {I} ORDER BY entry, ord";

// A step of one of the two scans: SQLITE_OK once it has a row or ended.
static int settled(int rc) { return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc; }

int MergedScan::advance() {
    int rc;
    if (!started_) {
        started_ = true;
        if ((rc = step_entries()) || (rc = step_items())) return rc;
    } else if (on_entry_) {
        if ((rc = step_entries())) return rc;
    } else if ((rc = step_items())) {
        return rc;
    }
    if (!entry_ && !item_) return SQLITE_DONE;
    // An entry's row comes before its items' rows.
    on_entry_ = entry_ && (!item_ || entry_id_ <= item_id_);
    return SQLITE_ROW;
}

bool MergedScan::step() {
    int rc = advance();
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    db_.fail(rc);
}

// Each scan's ids (and an item's order number) are read once per row.
int MergedScan::step_entries() {
    int rc = entries_.step_rc();
    entry_ = rc == SQLITE_ROW;
    if (entry_) entry_id_ = entries_.int64(0);
    return settled(rc);
}

int MergedScan::step_items() {
    int rc = items_.step_rc();
    item_ = rc == SQLITE_ROW;
    if (item_) {
        item_id_ = items_.int64(0);
        item_ord_ = items_.int64(1);
    }
    return settled(rc);
}

// LoadAll's columns: entry id, kind (0 the entry, 1 an item), item order
// number, entry version, item key, value.
int64_t MergedScan::int64(int col) const {
    if (on_entry_) return col == 0 ? entry_id_ : col == 1 ? 0 : col == 2 ? INT64_MIN : entries_.int64(1);
    return col == 0 ? item_id_ : col == 1 ? 1 : col == 2 ? item_ord_ : 0;
}

std::string_view MergedScan::blob(int col) const {
    if (on_entry_) return col == 5 ? entries_.blob(2) : std::string_view();
    return col == 4 ? items_.blob(2) : col == 5 ? items_.blob(3) : std::string_view();
}

void SqliteCursor::bind_int(int i, int64_t v) {
    int rc = sqlite3_bind_int64(s_, i, v);
    if (rc != SQLITE_OK) db_.fail(rc);
}

void SqliteCursor::bind_blob(int i, std::string_view blob) {
    int rc = sqlite3_bind_blob64(s_, i, blob.data() ? blob.data() : "", blob.size(), SQLITE_STATIC);
    if (rc != SQLITE_OK) db_.fail(rc);
}

void SqliteCursor::bind_text(int i, std::string_view text) {
    int rc = sqlite3_bind_text64(s_, i, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
    if (rc != SQLITE_OK) db_.fail(rc);
}

// The update of `entry` stamps it unless this transaction did already.
void SqliteCursor::choose(int64_t entry) {
    sqlite3_stmt *want = db_.stamped(stamps_map_, entry) ? plain_ : stamping_;
    if (want != s_) {
        // (A statement chosen for another id is left unbound.)
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
        s_ = want;
    }
    entry_ = entry;
}

bool SqliteCursor::step() {
    if (s_ == stamping_) return step_stamping();
    int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) db_.fail(rc);
    return false;
}

// An entry's first update in the transaction, with its stamp (no rows).
bool SqliteCursor::step_stamping() {
    int rc = sqlite3_bind_int64(s_, 4, db_.write_stamp(stamps_map_));
    if (rc == SQLITE_OK) {
        db_.claim_stamp(stamps_map_, entry_);
        rc = sqlite3_step(s_);
        // An update that found no entry stamped nothing.
        if (rc != SQLITE_DONE || sqlite3_changes(db_.handle()) == 0) db_.unclaim_stamp(stamps_map_, entry_);
    }
    if (rc != SQLITE_DONE) db_.fail(rc);
    return false;
}

// One-off statements, finalised on every path.
namespace {
struct OneOff {
    sqlite3_stmt *s = nullptr;
    ~OneOff() { sqlite3_finalize(s); }
};
}  // namespace

static FileId file_id(const struct stat &st) { return FileId{st.st_dev, st.st_ino}; }

// The file at `path` and the side files there, checked without following
// links.
static FileId check_files(const std::string &path) {
    struct stat st;
    if (!check_own_file(path, path, st)) raise_store_error(path, "cannot open: the store file does not exist");
    FileId id = file_id(st);
    struct stat side;
    for (const char *const *s = side_file_suffixes(); *s; ++s) check_own_file(path + *s, path, side);
    return id;
}

SqliteDb::SqliteDb(std::string path) : Db(std::move(path)) {
    id_ = check_files(path_);
    open(SQLITE_OPEN_READWRITE, path_);
    read_only_ = sqlite3_db_readonly(db_, "main") == 1;
}

void SqliteDb::open(int flags, const std::string &name) {
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        raise_store_error(path_, "cannot open: " + msg, rc);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, format::kBusyTimeoutMs);
    sqlite3_commit_hook(db_, &SqliteDb::transaction_ended, this);
    sqlite3_rollback_hook(db_, &SqliteDb::rollback_ended, this);
    // The file opened must be the one checked: nothing swapped in between.
    struct stat st;
    if (lstat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || file_id(st) != id_) {
        close();
        raise_store_error(path_, "cannot open: the store file was replaced while it was being opened");
    }
}

// The URI that opens `path` as an immutable file ('%', '?' and '#'
// escaped).
static std::string immutable_uri(const std::string &path) {
    std::string uri = path[0] == '/' ? "file://" : "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            static const char hex[] = "0123456789ABCDEF";
            uri += {'%', hex[(unsigned char) c >> 4], hex[c & 15]};
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

void SqliteDb::reopen_read_only(bool immutable) {
    close();
    if (immutable)
        open(SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, immutable_uri(path_));
    else
        open(SQLITE_OPEN_READONLY, path_);
    read_only_ = true;
}

bool SqliteDb::replaced() const {
    struct stat st;
    return lstat(path_.c_str(), &st) == 0 && !(S_ISREG(st.st_mode) && file_id(st) == id_);
}

void SqliteDb::check_in_place() const {
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && file_id(st) == id_ && st.st_nlink > 0) return;
    raise_store_error(path_, "the store file is no longer at its path (it was removed or replaced while the store "
                             "was open); nothing was written");
}

SqliteDb::~SqliteDb() { close(); }

void SqliteDb::close() {
    quiesce();
    if (!db_) return;
    for (auto &s : stmts_) s.reset();
    map_stmts_.clear();
    stamps_.clear();
    scan_.reset();
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

void SqliteDb::destroy() {
    close();
    std::string failed;
    std::string files[] = {path_, path_ + "-wal", path_ + "-shm", path_ + "-journal"};
    for (const std::string &f : files)
        if (unlink(f.c_str()) != 0 && errno != ENOENT) failed += (failed.empty() ? "" : "; ") + f + ": " + std::strerror(errno);
    if (!failed.empty()) raise_store_error(path_, "cannot remove the store files: " + failed);
}

int64_t SqliteDb::data_version() {
    quiesce();
    int64_t v;
    {
        Run q = run(Sql::DataVersion);
        q.step();
        v = q.int64(0);
    }
    // Another connection's commit may have upgraded the file.
    if (format_ < format::kFileVersion && v != seen_version_) {
        seen_version_ = v;
        int64_t now = query_int("PRAGMA user_version");
        if (now > format::kFileVersion) raise_store_error(path_, newer_format_message(now));
        if (now > format_) switch_format((int) now);
    }
    last_version_ = v;
    if (write_begun_) {
        // Under the lock of a write transaction: no other connection
        // committed since the last one's when the version is the same.
        write_begun_ = false;
        hints_hold_ = v == write_version_ && format_ >= 3;
        if (!hints_hold_)
            for (auto &[map, known] : stamps_) known.hint.reset();
        write_version_ = v;
    }
    return v;
}

void SqliteDb::switch_format(int format) {
    format_ = format;
    for (auto &s : stmts_) s.reset();
    map_stmts_.clear();
    // Nothing of the stamps is known.
    stamps_.clear();
    write_version_ = -1;
    write_begun_ = hints_hold_ = false;
    from_map_ = -1;
    has_maps_ = false;
}

void SqliteDb::upgrade() {
    upgraded_from_ = format_;
    upgrade_file(*this);
    switch_format(format::kFileVersion);
}

void SqliteDb::upgrade_undone() { switch_format(upgraded_from_); }

// --- change stamps (format 3) ------------------------------------------------------

SqliteCursor &SqliteDb::stamp_cursor(int slot, int64_t map) {
    std::unique_ptr<SqliteCursor> &c = stamps_[map].stmts[(size_t) slot];
    if (!c) c = std::make_unique<SqliteCursor>(*this, prepare(with_tables(kStampSql[slot], map), SQLITE_PREPARE_PERSISTENT));
    return *c;
}

SqliteDb::ScanMark SqliteDb::highest_stamp(int64_t map) {
    Run q(stamp_cursor(kHighestStamp, map));
    if (!q.step()) return ScanMark{};
    return ScanMark{last_version_, q.int64(0), q.int64(1)};
}

int64_t SqliteDb::write_stamp(int64_t map) {
    MapStamps &known = stamps_[map];
    known.written = true;
    if (!known.stamp) known.stamp = (hints_hold_ && known.hint ? *known.hint : highest_stamp(map).stamp) + 1;
    return known.stamp;
}

void SqliteDb::begin_writes() {
    for (auto &[map, known] : stamps_) {
        if (known.removed)
            known.hint.reset();
        else if (known.stamp)
            known.hint = std::max(known.hint.value_or(0), known.stamp);
        known.written = known.removed = false;
        known.stamp = 0;
        // (A set grown by a large batch is given back rather than kept.)
        if (known.stamped.bucket_count() > 1024)
            known.stamped = {};
        else
            known.stamped.clear();
    }
    hints_hold_ = false;
}

// Any end of a transaction (also one this class did not begin).
int SqliteDb::transaction_ended(void *self) {
    static_cast<SqliteDb *>(self)->hints_hold_ = false;
    return 0;
}

void SqliteDb::rollback_ended(void *self) { transaction_ended(self); }

void SqliteDb::scan_from(int64_t map, int64_t view) {
    from_map_ = -1;
    if (format_ < 3 || map < 0) return;
    auto at = stamps_.find(map);
    if (at == stamps_.end() || !at->second.mark || at->second.mark->version != view) return;
    from_map_ = map;
    from_ = *at->second.mark;
}

Run SqliteDb::scan_entries(int64_t map) {
    bool changed_only = from_map_ == map;
    ScanMark since = from_;
    from_map_ = -1;
    // The mark is read first, so in the snapshot the scan reads. A write
    // transaction that wrote into this map already holds stamps and ids
    // that its rollback would take back (and an id may then be taken
    // again): no mark then.
    MapStamps &known = stamps_[map];
    if (sqlite3_txn_state(db_, nullptr) == SQLITE_TXN_WRITE && known.written)
        known.mark.reset();
    else
        known.mark = highest_stamp(map);
    if (!changed_only) return Run(cursor(Sql::ScanEntries, map));
    SqliteCursor &c = stamp_cursor(kStampedSince, map);
    c.bind(1, since.stamp);
    c.bind(2, since.last_id);
    return Run(c);
}

void SqliteDb::check_scanned(int64_t map, int64_t rows) {
    // Counted through the key index: a row the table lost (or the index)
    // shows as a difference.
    std::string sql = "SELECT count(*) FROM " + map_table("entries", map);
    int64_t counted = query_int(sql.c_str());
    if (counted != rows)
        throw CorruptValue{"the file is damaged: the entries table holds " + std::to_string(rows) +
                           " rows and its key index " + std::to_string(counted)};
}

void SqliteDb::add_stats(nb::dict &d) const {
    d["wal_frames"] = wal_frames_;
    int64_t page_size = 0;
    quiesce();
    if (db_) {
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(db_, "PRAGMA page_size", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            page_size = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
    }
    d["page_size"] = page_size;
}

void SqliteDb::watch_wal() { sqlite3_wal_hook(db_, &SqliteDb::wal_hook, this); }

int SqliteDb::wal_hook(void *self, sqlite3 *db, const char *name, int pages) {
    SqliteDb *s = (SqliteDb *) self;
    s->wal_frames_ += pages > s->last_wal_pages_ ? pages - s->last_wal_pages_ : pages;
    s->last_wal_pages_ = pages;
    // What SQLite's default hook does: checkpoint once the log is long.
    if (pages >= 1000) sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return SQLITE_OK;
}

void SqliteDb::error_text(int rc, const char *context, std::string &message, int &code) const {
    message = context ? std::string(context) + ": " : std::string();
    code = rc;
    if (db_) {
        int ext = sqlite3_extended_errcode(db_);
        if (ext != SQLITE_OK && (ext & 0xff) == (rc & 0xff)) code = ext;
        message += (rc & 0xff) == (sqlite3_errcode(db_) & 0xff) ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    } else {
        message += sqlite3_errstr(rc);
    }
}

void SqliteDb::fail(int rc, const char *context) const {
    std::string msg;
    int code;
    error_text(rc, context, msg, code);
    raise_error(code, msg);
}

void SqliteDb::raise_error(int code, const std::string &message) const { raise_store_error(path_, message, code); }

std::string SqliteDb::map_table(const char *kind, int64_t map) const { return map_table_name(format_, kind, map); }

// A statement's text with map `map`'s table names.
std::string SqliteDb::with_tables(std::string sql, int64_t map) const {
    auto put = [&](const char *mark, const std::string &text) {
        for (size_t at = sql.find(mark); at != std::string::npos; at = sql.find(mark, at + text.size()))
            sql.replace(at, 3, text);
    };
    put("{E}", map_table("entries", map));
    put("{I}", map_table("items", map));
    put("{G}", map_table("gone", map));
    put("{T}", format_ >= 2 ? "shape FROM shapes" : "tag FROM tags");
    return sql;
}

// A statement's text for map `map`.
std::string SqliteDb::sql_text(Sql which, int64_t map) const {
    if (which == Sql::FindMap && format_ < 2) return "SELECT id FROM maps WHERE name = ?1";
    return with_tables(kSql[(size_t) which], map);
}

sqlite3_stmt *SqliteDb::prepare(const std::string &sql, unsigned flags) {
    quiesce();
    if (!db_) raise_store_error(path_, "store is closed");
    sqlite3_stmt *s = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), -1, flags, &s, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    return s;
}

MergedScan &SqliteDb::merged_scan(int64_t map) {
    scan_.reset();
    sqlite3_stmt *entries = prepare(sql_text(Sql::LoadAll, map), 0);
    sqlite3_stmt *items;
    try {
        items = prepare(with_tables(kLoadAllItems, map), 0);
    } catch (...) {
        sqlite3_finalize(entries);
        throw;
    }
    scan_ = std::make_unique<MergedScan>(*this, entries, items);
    return *scan_;
}

SqliteCursor &SqliteDb::cursor(Sql which, int64_t map) {
    quiesce();
    if (!db_) raise_store_error(path_, "store is closed");
    Statements &set = map && per_map(which) ? map_stmts_[map] : stmts_;
    std::unique_ptr<SqliteCursor> &c = set[(size_t) which];
    if (!c) {
        auto made = std::make_unique<SqliteCursor>(*this, prepare(sql_text(which, per_map(which) ? map : 0),
                                                                  SQLITE_PREPARE_PERSISTENT));
        if (format_ >= 3 && which == Sql::UpdateEntry)
            made->stamps(map, prepare(with_tables(kStampingUpdate, map), SQLITE_PREPARE_PERSISTENT));
        c = std::move(made);
    }
    return *c;
}

Run SqliteDb::run(Sql which, int64_t map) {
    quiesce();
    if (which == Sql::LoadAll) return Run(merged_scan(map));
    if (format_ >= 3) switch (which) {
        case Sql::BeginImmediate:
            begin_writes();
            break;
        case Sql::RollbackTo:
            for (auto &[id, known] : stamps_) known.stamped.clear();
            break;
        case Sql::ScanEntries:
            return scan_entries(map);
        case Sql::DeleteEntry:
        case Sql::DeleteAllEntries:
            // The trigger stamps a removal above every stamp.
            stamps_[map].removed = true;
            [[fallthrough]];
        case Sql::InsertEntry:
            stamps_[map].written = true;
            break;
        default:
            break;
        }
    return Run(cursor(which, map));
}

std::unique_ptr<PrefetchScan> SqliteDb::prefetch_all(int64_t map, bool sealed) {
    quiesce();
    return std::make_unique<PrefetchScan>(*this, merged_scan(map), map, sealed);
}

// --- named maps -----------------------------------------------------------------
//
// A named map keeps its entries and items in tables of its own, made like
// the default map's and named after its row in the maps table: the default
// map's tables are those of a store made before there were named maps, so
// such a file needs nothing new until a named map is first written.

bool SqliteDb::has_maps_table() {
    // A file of format 2 has it from the start (opening checked that it is
    // there): a damaged schema row must not make its named maps read empty.
    if (format_ >= 2) return true;
    if (!has_maps_)
        has_maps_ = query_int("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND CAST(name AS TEXT) = 'maps'") != 0;
    return has_maps_;
}

// A row of the maps table, checked against its checksum (format 2 on): a
// damaged name or id must not make a map read empty, or another map's rows.
static void check_map_row(int64_t id, std::string_view name, int64_t sum) {
    if ((uint32_t) sum != sealed::map_name(id, name) || sum < 0 || sum > 0xffffffffLL)
        throw CorruptValue{"the maps table row " + std::to_string(id) +
                           ": checksum mismatch (the stored bytes are not those written)"};
}

int64_t SqliteDb::find_map(std::string_view name) {
    if (!has_maps_table()) return 0;
    Run q = run(Sql::FindMap);
    if (format_ < 2) {
        q.bind(1, name);
        return q.step() ? q.int64(0) : 0;
    }
    int64_t found = 0;  // every row is read, and checked
    while (q.step()) {
        check_map_row(q.int64(0), q.blob(1), q.int64(2));
        if (q.blob(1) == name) found = q.int64(0);
    }
    return found;
}

int64_t SqliteDb::create_map(std::string_view name) {
    try {
        if (int64_t id = find_map(name)) return id;
        // The id is chosen here: the row's checksum names it.
        int64_t id = query_int("SELECT coalesce(max(id), 0) + 1 FROM maps");
        run(Sql::InsertMap).bind(1, id).bind(2, name).bind(3, (int64_t) sealed::map_name(id, name)).done();
        exec(map_tables_sql(id).c_str());
        return id;
    } catch (...) {
        has_maps_ = false;  // the transaction that made the table is rolled back
        throw;
    }
}

void SqliteDb::drop_map(int64_t id) {
    map_stmts_.erase(id);
    stamps_.erase(id);
    for (Sql s : {Sql::FindMap, Sql::InsertMap}) stmts_[(size_t) s].reset();
    has_maps_ = false;  // the rollback may have removed the table itself
}

std::vector<std::string> SqliteDb::nonempty_maps() {
    bool own = !in_transaction();
    if (own) exec("BEGIN");
    std::vector<std::string> names;
    try {
        std::string first = "SELECT EXISTS (SELECT 1 FROM " + map_table("entries", 0) + ")";
        if (query_int(first.c_str())) names.emplace_back();
        if (has_maps_table()) {
            std::vector<std::pair<int64_t, std::string>> maps;
            {
                OneOff q;
                bool checked = format_ >= 2;
                int rc = sqlite3_prepare_v2(db_, checked ? "SELECT id, name, sum FROM maps" : "SELECT id, name FROM maps",
                                            -1, &q.s, nullptr);
                if (rc != SQLITE_OK) fail(rc);
                while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
                    const char *name = (const char *) sqlite3_column_blob(q.s, 1);
                    maps.emplace_back(sqlite3_column_int64(q.s, 0),
                                      std::string(name ? name : "", (size_t) sqlite3_column_bytes(q.s, 1)));
                    if (checked) check_map_row(maps.back().first, maps.back().second, sqlite3_column_int64(q.s, 2));
                }
                if (rc != SQLITE_DONE) fail(rc);
            }
            for (auto &[id, name] : maps) {
                std::string sql = "SELECT EXISTS (SELECT 1 FROM " + map_table("entries", id) + ")";
                if (query_int(sql.c_str())) names.push_back(std::move(name));
            }
        }
    } catch (...) {
        if (own) rollback_quietly();
        throw;
    }
    if (own) exec("COMMIT");
    return names;
}

void SqliteDb::run_blocking(Sql which) {
    if (which == Sql::BeginImmediate) begin_writes();
    SqliteCursor &c = cursor(which, 0);
    Run q(c);
    int rc;
    {
        nb::gil_scoped_release unlocked;
        rc = c.step_rc();
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail(rc);
    // The data version read next is read under the write lock.
    if (which == Sql::BeginImmediate) write_begun_ = true;
}

void SqliteDb::exec(const char *sql) {
    quiesce();
    char *err = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        raise_store_error(path_, msg, sqlite3_extended_errcode(db_));
    }
}

int64_t SqliteDb::query_int(const char *sql) {
    quiesce();
    OneOff q;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &q.s, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    rc = sqlite3_step(q.s);
    if (rc == SQLITE_ROW) return sqlite3_column_int64(q.s, 0);
    if (rc == SQLITE_DONE) return 0;
    fail(rc);
}

int SqliteDb::try_query_int(const char *sql, int64_t &out) {
    quiesce();
    OneOff q;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &q.s, nullptr);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(q.s);
    out = rc == SQLITE_ROW ? sqlite3_column_int64(q.s, 0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::string SqliteDb::query_text(const char *sql) {
    quiesce();
    OneOff q;
    int rc = sqlite3_prepare_v2(db_, sql, -1, &q.s, nullptr);
    if (rc != SQLITE_OK) fail(rc);
    rc = sqlite3_step(q.s);
    if (rc == SQLITE_ROW) {
        const unsigned char *t = sqlite3_column_text(q.s, 0);
        return t ? std::string((const char *) t, (size_t) sqlite3_column_bytes(q.s, 0)) : std::string();
    }
    if (rc == SQLITE_DONE) return std::string();
    fail(rc);
}

}  // namespace dualcache
