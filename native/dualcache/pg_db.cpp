#include "pg_db.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "format.h"
#include "store_error.h"

namespace dualcache {

namespace {

constexpr int kConnectTimeoutS = 10;     // unless the URI sets connect_timeout
constexpr int kLockTimeoutMs = format::kBusyTimeoutMs;
constexpr int kReplyTimeoutMs = 60000;   // a server silent for longer counts as lost
constexpr int64_t kSchemaLockKey = 0x7a646331;

constexpr Oid kInt8 = 20, kBytea = 17;

// The stores-table name of the store's map named $1, and what all its
// maps' names start with.
#define MAP_ROW_PREFIX "decode('ff', 'hex') || int8send({K}::bigint)"
#define MAP_ROW_NAME MAP_ROW_PREFIX " || $1"

struct Statement {
    const char *sql;  // {S}: the schema, {K}: the store's id (the map's, for a statement on one map)
    int params;
    Oid types[4];
    bool simple;      // sent as a plain query (transaction control)
};

const Statement kStatements[] = {
    // Loads need no snapshot of their own here (see LoadEntry): no statement.
    /* Begin */ {"", 0, {}, true},
    /* BeginImmediate */ {"BEGIN; SELECT changes FROM {S}.dualcache_stores WHERE id = {K} FOR UPDATE", 0, {}, true},
    /* Commit */ {"COMMIT", 0, {}, true},
    /* Rollback */ {"ROLLBACK", 0, {}, true},
    /* DataVersion */ {"SELECT changes FROM {S}.dualcache_stores WHERE id = {K}", 0, {}, false},
    /* ScanEntries */ {"SELECT id, version, key FROM {S}.dualcache_entries WHERE store = {K} ORDER BY id", 0, {}, false},
    // An entry and its items in one statement (one snapshot, one round
    // trip): LoadItems of the same entry reads the rows this returned.
    /* LoadEntry */
    {"SELECT e.version, e.value, i.ord, i.ikey, i.value FROM {S}.dualcache_entries e LEFT JOIN {S}.dualcache_items i"
     " ON i.store = e.store AND i.entry = e.id WHERE e.store = {K} AND e.id = $1 ORDER BY i.ord",
     1, {kInt8}, false},
    /* InsertEntry */
    {"INSERT INTO {S}.dualcache_entries(store, version, key, value) VALUES ({K}, 1, $1, $2) RETURNING id", 2,
     {kBytea, kBytea}, false},
    /* UpdateEntry */
    {"UPDATE {S}.dualcache_entries SET version = $2, value = $3 WHERE store = {K} AND id = $1", 3,
     {kInt8, kInt8, kBytea}, false},
    /* DeleteEntry */ {"DELETE FROM {S}.dualcache_entries WHERE store = {K} AND id = $1", 1, {kInt8}, false},
    /* DeleteAllEntries */ {"DELETE FROM {S}.dualcache_entries WHERE store = {K}", 0, {}, false},
    /* LoadItems */
    {"SELECT ord, ikey, value FROM {S}.dualcache_items WHERE store = {K} AND entry = $1 ORDER BY ord", 1, {kInt8},
     false},
    /* InsertItem */
    {"INSERT INTO {S}.dualcache_items(store, entry, ord, ikey, value) VALUES ({K}, $1, $2, $3, $4)", 4,
     {kInt8, kInt8, kBytea, kBytea}, false},
    /* UpdateItem */
    {"UPDATE {S}.dualcache_items SET ikey = $3, value = $4 WHERE store = {K} AND entry = $1 AND ord = $2", 4,
     {kInt8, kInt8, kBytea, kBytea}, false},
    /* DeleteItem */
    {"DELETE FROM {S}.dualcache_items WHERE store = {K} AND entry = $1 AND ord = $2", 2, {kInt8, kInt8}, false},
    /* DeleteItemsOf */ {"DELETE FROM {S}.dualcache_items WHERE store = {K} AND entry = $1", 1, {kInt8}, false},
    /* DeleteAllItems */ {"DELETE FROM {S}.dualcache_items WHERE store = {K}", 0, {}, false},
    /* LoadTags */ {"SELECT id, tag FROM {S}.dualcache_tags WHERE store = {K}", 0, {}, false},
    /* InsertTag */ {"INSERT INTO {S}.dualcache_tags(store, tag) VALUES ({K}, $1) RETURNING id", 1, {kBytea}, false},
    // Nested levels share one name: each refers to the innermost.
    /* Savepoint */ {"SAVEPOINT level", 0, {}, true},
    /* Release */ {"RELEASE SAVEPOINT level", 0, {}, true},
    /* RollbackTo */ {"ROLLBACK TO SAVEPOINT level", 0, {}, true},
    /* FindMap */
    {"SELECT id FROM {S}.dualcache_stores WHERE name = " MAP_ROW_NAME, 1, {kBytea}, false},
    /* InsertMap */
    {"INSERT INTO {S}.dualcache_stores(name, format) VALUES (" MAP_ROW_NAME ", $2) RETURNING id", 2,
     {kBytea, kInt8}, false},
};
static_assert(sizeof kStatements / sizeof *kStatements == (size_t) Sql::Count_);

bool writes(Sql s) {
    switch (s) {
    case Sql::InsertEntry:
    case Sql::UpdateEntry:
    case Sql::DeleteEntry:
    case Sql::DeleteAllEntries:
    case Sql::InsertItem:
    case Sql::UpdateItem:
    case Sql::DeleteItem:
    case Sql::DeleteItemsOf:
    case Sql::DeleteAllItems:
    case Sql::InsertTag:
    case Sql::InsertMap:
        return true;
    default:
        return false;
    }
}

std::string fill(const char *sql, const std::string &schema, int64_t store) {
    std::string out;
    for (const char *p = sql; *p; ++p) {
        if (p[0] == '{' && p[1] && p[2] == '}') {
            out += p[1] == 'S' ? schema : std::to_string(store);
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

int64_t big_endian(const char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | (unsigned char) p[i];
    return (int64_t) v;
}

void quiet(void *, const char *) {}  // the store writes no log

std::string trimmed(const char *s) {
    std::string t = s ? s : "";
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}

}  // namespace

// --- cursor -----------------------------------------------------------------

void PgCursor::bind(int i, int64_t v) {
    if (i == 1) first_int_ = v;
    uint64_t u = (uint64_t) v;
    for (int b = 7; b >= 0; --b, u >>= 8) ints_[i - 1][b] = (char) (u & 0xff);
    values_[i - 1] = ints_[i - 1];
    lengths_[i - 1] = 8;
}

void PgCursor::bind_blob(int i, std::string_view blob) {
    values_[i - 1] = blob.data() ? blob.data() : "";
    lengths_[i - 1] = (int) blob.size();
}

bool PgCursor::step() {
    if (!ran_) {
        ran_ = true;
        row_ = 0;
        if (which_ == Sql::LoadItems) {
            if (const PgCursor *entry = db_.loaded_entry(map_, first_int_)) {
                // The items came with the entry: the columns after its own.
                res_ = entry->res_;
                borrowed_ = true;
                offset_ = 2;
                rows_ = db_.pq().PQntuples(res_);
                if (rows_ == 1 && db_.pq().PQgetisnull(res_, 0, 2)) rows_ = 0;
                return row_ < rows_;
            }
        }
        res_ = db_.execute(which_, map_, values_, lengths_);
        rows_ = res_ ? db_.pq().PQntuples(res_) : 0;
    } else {
        ++row_;
    }
    return row_ < rows_;
}

int64_t PgCursor::int64(int col) const { return big_endian(db_.pq().PQgetvalue(res_, row_, col + offset_)); }

std::string_view PgCursor::blob(int col) const {
    return {db_.pq().PQgetvalue(res_, row_, col + offset_), (size_t) db_.pq().PQgetlength(res_, row_, col + offset_)};
}

void PgCursor::reset() noexcept {
    if (res_ && !borrowed_) db_.pq().PQclear(res_);
    res_ = nullptr;
    borrowed_ = false;
    offset_ = 0;
    ran_ = false;
    row_ = -1;
    rows_ = 0;
}

// --- connection -----------------------------------------------------------

PgDb::PgDb(const PgAddress &address)
    : Db(address.shown_uri + "/" + address.name), pq_(pg::api(address.shown_uri.c_str())), address_(address) {
    connect();
    look_up_store();
}

PgDb::~PgDb() { close(); }

std::unique_ptr<Db> open_pg_store(const PgAddress &address) { return std::make_unique<PgDb>(address); }

void PgDb::raise(const std::string &message, const char *sqlstate) {
    set_store_error(path_, without_password(message, address_.password));
    if (sqlstate && PyErr_Occurred()) {
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *code = PyUnicode_FromString(sqlstate);
        if (code) PyObject_SetAttrString(exc, "sqlstate", code);
        Py_XDECREF(code);
        PyErr_SetRaisedException(exc);
    }
    throw nb::python_error();
}

void PgDb::fail_result(PGresult *r, const char *context) {
    std::string state = trimmed(r ? pq_.PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr);
    std::string msg = trimmed(r ? pq_.PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
    if (msg.empty()) msg = trimmed(r ? pq_.PQresultErrorMessage(r) : pq_.PQerrorMessage(conn_));
    if (r) pq_.PQclear(r);
    if (state.empty()) state = "XX000";
    raise(std::string(context) + ": " + msg + " (SQLSTATE " + state + ")", state.c_str());
}

void PgDb::connect() {
    std::string timeout = std::to_string(kConnectTimeoutS);
    // Later keywords override earlier ones: what the URI says wins.
    const char *keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char *vals[] = {timeout.c_str(), "zelph.dualcache", address_.uri.c_str(), nullptr};
    PGconn *c;
    {
        nb::gil_scoped_release unlocked;
        c = pq_.PQconnectdbParams(keys, vals, 1);
    }
    if (!c || pq_.PQstatus(c) != CONNECTION_OK) {
        std::string why = c ? trimmed(pq_.PQerrorMessage(c)) : "out of memory";
        if (c) pq_.PQfinish(c);
        raise("cannot connect to the server: " + why + " (SQLSTATE 08001)", "08001");
    }
    pq_.PQsetNoticeProcessor(c, &quiet, nullptr);
    conn_ = c;
    closed_ = false;
    tx_ = wrote_ = locked_ = lost_in_tx_ = false;
    pending_.clear();
    stmts_.prepared.fill(false);
    for (auto &[id, m] : map_stmts_) m.prepared.fill(false);
    // A lock_timeout given in the URI's options wins.
    std::string setup = "SET synchronous_commit = on; SET client_min_messages = warning; ";
    if (address_.uri.find("lock_timeout") == std::string::npos)
        setup += "SET lock_timeout = " + std::to_string(kLockTimeoutMs) + "; ";
    setup += "SELECT current_schema()";
    PGresult *r = simple(setup, Sql::Count_);
    std::string schema = pq_.PQntuples(r) == 1 && !pq_.PQgetisnull(r, 0, 0) ? pq_.PQgetvalue(r, 0, 0) : "";
    pq_.PQclear(r);
    if (schema.empty()) raise("no schema on the search_path to hold the store's tables (SQLSTATE 3F000)", "3F000");
    if (schema_.empty()) {
        char *q = pq_.PQescapeIdentifier(conn_, schema.data(), schema.size());
        if (!q) raise("cannot quote the schema name (SQLSTATE 22021)", "22021");
        schema_ = q;
        pq_.PQfreemem(q);
    }
}

std::string PgDb::table(const char *name) const { return schema_ + "." + name; }

// --- finding and creating the store -----------------------------------------
//
// Opening writes nothing, so that a role that may only read can open any
// store: it looks for the tables and the store's row, and tells whether
// this role may write them. A store that is not there yet reads as empty;
// its first write transaction creates the tables (when the schema has none)
// and the row, so a rollback takes them back.

static const char *const kTables[] = {"dualcache_stores", "dualcache_tags", "dualcache_entries", "dualcache_items"};

// A string as an SQL literal (any bytes but NUL).
static std::string literal(const std::string &s) {
    std::string out = "E'";
    for (char c : s) {
        if (c == '\'' || c == '\\') out += c;
        out += c;
    }
    return out + "'";
}

// Which of the tables the schema has (their names, sorted, joined by ","),
// and whether this role may create tables there.
static std::string tables_query() {
    std::string sql = "SELECT coalesce(string_agg(tablename, ',' ORDER BY tablename), ''), "
                      "has_schema_privilege(current_schema(), 'CREATE') FROM pg_catalog.pg_tables "
                      "WHERE schemaname = current_schema() AND tablename IN (";
    for (const char *t : kTables) sql += std::string(t == kTables[0] ? "'" : ", '") + t + "'";
    return sql + ")";
}
static const char kAllTables[] = "dualcache_entries,dualcache_items,dualcache_stores,dualcache_tags";

void PgDb::look_up_store() {
    PGresult *r = one_off(tables_query(), nullptr, false, "cannot open the store");
    std::string have = pq_.PQgetvalue(r, 0, 0);
    bool may_create = *pq_.PQgetvalue(r, 0, 1) == 't';
    pq_.PQclear(r);
    if (have.empty()) {
        tables_ = false;
        absent_ = true;
        read_only_ = !may_create;
        return;
    }
    std::string missing;
    for (const char *t : kTables)
        if ((',' + have + ',').find(std::string(",") + t + ",") == std::string::npos)
            missing += (missing.empty() ? "" : " and ") + std::string(t);
    if (!missing.empty())
        raise("the schema " + schema_ + " has the store's tables but no " + missing +
                  (missing.find(" and ") == std::string::npos ? " table" : " tables") +
                  "; it was left as it is (SQLSTATE 42P01)",
              "42P01");
    tables_ = true;
    // The store's row (if any) and whether this role may write every table.
    std::string can_write = "has_table_privilege(" + literal(table("dualcache_stores")) + ", 'INSERT, UPDATE, DELETE')";
    for (const char *t : {"dualcache_tags", "dualcache_entries", "dualcache_items"})
        can_write += " AND has_table_privilege(" + literal(table(t)) + ", 'INSERT, UPDATE, DELETE')";
    r = one_off("SELECT s.id, s.format, " + can_write + " FROM (SELECT 1) AS one LEFT JOIN " +
                    table("dualcache_stores") + " AS s ON s.name = $1",
                &address_.name, false, "cannot open the store");
    absent_ = pq_.PQgetisnull(r, 0, 0);
    read_only_ = *pq_.PQgetvalue(r, 0, 2) != 't';
    long fmt = absent_ ? 0 : std::strtol(pq_.PQgetvalue(r, 0, 1), nullptr, 10);
    if (!absent_) store_id_ = std::strtoll(pq_.PQgetvalue(r, 0, 0), nullptr, 10);
    pq_.PQclear(r);
    if (fmt > format::kVersion)
        raise_store_error(path_, "written in store format " + std::to_string(fmt) +
                                     ", newer than this version reads (" + std::to_string(format::kVersion) + ")");
}

// The first write transaction of a store not there yet: BEGIN, its row,
// and the lock on that row, in one round trip. When the schema had no tables
// at open, they are made first in a transaction of their own, in the same
// round trip but one: made inside the write's transaction, they would be
// invisible to every other connection until it ends, and the first write of
// another store of the schema (the tool's ledger beside its positions, in
// one process) would wait for that forever. (A block that only reads, of a
// role that may write, so leaves the tables made: the lock it takes is on
// the row.)
std::string PgDb::begin_creating_sql() {
    std::string name;
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : address_.name) name += {hex[c >> 4], hex[c & 15]};
    std::string row = "E'\\\\x" + name + "'::bytea";
    std::string stores = table("dualcache_stores"), tags = table("dualcache_tags"),
                entries = table("dualcache_entries"), items = table("dualcache_items");
    std::string sql;
    if (!tables_) {
        // One creator of the tables at a time. One that finds them made
        // meanwhile runs no DDL: an index made again would wait for the
        // writers of the tables.
        PGresult *r = simple("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + "); " +
                                 tables_query(),
                             Sql::Count_);
        bool made = std::string(pq_.PQgetvalue(r, 0, 0)) == kAllTables;
        pq_.PQclear(r);
        if (!made) {
            sql += "CREATE TABLE IF NOT EXISTS " + stores +
                   "(id bigserial PRIMARY KEY, name bytea NOT NULL UNIQUE, format integer NOT NULL,"
                   " changes bigint NOT NULL DEFAULT 0);";
            sql += "CREATE TABLE IF NOT EXISTS " + tags +
                   "(store bigint NOT NULL, id bigserial, tag bytea NOT NULL, PRIMARY KEY (store, id),"
                   " UNIQUE (store, tag));";
            sql += "CREATE TABLE IF NOT EXISTS " + entries +
                   "(store bigint NOT NULL, id bigserial, version bigint NOT NULL, key bytea NOT NULL,"
                   " value bytea NOT NULL, PRIMARY KEY (store, id));";
            sql += "CREATE TABLE IF NOT EXISTS " + items +
                   "(store bigint NOT NULL, entry bigint NOT NULL, ord bigint NOT NULL, ikey bytea NOT NULL,"
                   " value bytea NOT NULL, PRIMARY KEY (store, entry, ord));";
            // One entry per key, one item per item key (by digest: keys of any size).
            sql += "CREATE UNIQUE INDEX IF NOT EXISTS dualcache_entries_key ON " + entries + "(store, md5(key));";
            sql += "CREATE UNIQUE INDEX IF NOT EXISTS dualcache_items_key ON " + items + "(store, entry, md5(ikey));";
            sql += "REVOKE ALL ON " + stores + ", " + tags + ", " + entries + ", " + items + " FROM PUBLIC;";
        }
        sql += "COMMIT;";
    }
    sql += "BEGIN; INSERT INTO " + stores + "(name, format) VALUES (" + row + ", " + std::to_string(format::kVersion) +
           ") ON CONFLICT (name) DO NOTHING;";
    return sql + "SELECT changes, id FROM " + stores + " WHERE name = " + row + " FOR UPDATE";
}

void PgDb::created(PGresult *r) {
    store_id_ = std::strtoll(pq_.PQgetvalue(r, 0, 1), nullptr, 10);
    tables_ = true;  // committed before the write's transaction began
    absent_ = false;
    creating_ = true;
    only_created_ = true;
    wrote_ = true;  // the commit counts a change: other connections look again
}

void PgDb::settle() {
    if (!creating_ || tx_) return;
    // The transaction that created the store did not commit: it is not
    // there, and the statements prepared for its row are void.
    creating_ = false;
    absent_ = true;
    store_id_ = 0;
    for (auto &c : stmts_.cursors)
        if (c) c->reset();
    stmts_.prepared.fill(false);
    map_stmts_.clear();
    if (conn_ && pq_.PQstatus(conn_) == CONNECTION_OK) pq_.PQclear(simple("DEALLOCATE ALL", Sql::Count_));
}

bool PgDb::reads_nothing_yet(Sql which) {
    settle();
    if (!absent_) return false;
    switch (which) {
    case Sql::ScanEntries:
    case Sql::LoadEntry:
    case Sql::LoadItems:
    case Sql::LoadTags:
    case Sql::FindMap:
        return true;
    default:
        return false;
    }
}

void PgDb::close() {
    for (auto &c : stmts_.cursors)
        if (c) c->reset();
    map_stmts_.clear();
    if (conn_) pq_.PQfinish(conn_);
    conn_ = nullptr;
    closed_ = true;
    tx_ = wrote_ = locked_ = lost_in_tx_ = false;
}

void PgDb::destroy() {
    settle();
    if (absent_) return close();  // nothing of it on the server
    if (closed_ || !conn_) connect();
    std::string k = std::to_string(store_id_);
    // The store's row and those of its named maps.
    std::string rows = "SELECT id FROM " + table("dualcache_stores") + " WHERE id = " + k +
                       " OR substring(name from 1 for 9) = " + fill(MAP_ROW_PREFIX, schema_, store_id_);
    std::string sql = "BEGIN; SELECT 1 FROM " + table("dualcache_stores") + " WHERE id = " + k + " FOR UPDATE;" +
                      "DELETE FROM " + table("dualcache_items") + " WHERE store IN (" + rows + ");" +
                      "DELETE FROM " + table("dualcache_entries") + " WHERE store IN (" + rows + ");" +
                      "DELETE FROM " + table("dualcache_tags") + " WHERE store = " + k + ";" + "DELETE FROM " +
                      table("dualcache_stores") + " WHERE id IN (" + rows + "); COMMIT";
    try {
        tx_ = true;
        pq_.PQclear(simple(sql, Sql::Count_));
        tx_ = false;
    } catch (...) {
        rollback_quietly();
        close();
        throw;
    }
    close();
}

void PgDb::add_stats(nb::dict &d) const {
    d["wal_frames"] = 0;
    d["page_size"] = 0;
    d["round_trips"] = round_trips_;
    d["reconnects"] = reconnects_;
}

// --- talking to the server ----------------------------------------------------

void PgDb::lost(const std::string &why, const char *sqlstate) {
    pending_.clear();
    if (conn_) pq_.PQfinish(conn_);
    conn_ = nullptr;
    if (tx_) lost_in_tx_ = true;
    tx_ = wrote_ = locked_ = false;
    raise("the connection to the server was lost: " + why + " (SQLSTATE " + sqlstate + ")", sqlstate);
}

// Ready to send `which`: open, and connected again after a loss (outside a
// transaction only: one lost with the connection cannot be continued).
void PgDb::usable(Sql which) {
    if (closed_) raise_store_error(path_, "store is closed");
    if (conn_ && pq_.PQstatus(conn_) == CONNECTION_OK) return;
    if (conn_) {
        pq_.PQfinish(conn_);
        conn_ = nullptr;
        if (tx_) lost_in_tx_ = true;
        tx_ = false;
    }
    if (lost_in_tx_ && which != Sql::Rollback)
        raise("the connection to the server was lost; the server rolled the open transaction back (SQLSTATE 08006)",
              "08006");
    lost_in_tx_ = false;
    connect();
    ++reconnects_;
}

PgDb::Reply PgDb::wait_reply() {
    Reply rep;
    nb::gil_scoped_release unlocked;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (;;) {
        if (!pq_.PQconsumeInput(conn_)) {
            rep.lost = true;
            rep.lost_why = trimmed(pq_.PQerrorMessage(conn_));
            break;
        }
        bool finished = false;
        while (!pq_.PQisBusy(conn_)) {
            PGresult *r = pq_.PQgetResult(conn_);
            if (!r) {
                finished = true;
                break;
            }
            auto failed = [&](PGresult *x) {
                ExecStatusType st = pq_.PQresultStatus(x);
                return st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && st != PGRES_EMPTY_QUERY;
            };
            if (!rep.last) {
                rep.last = r;
            } else if (failed(rep.last)) {  // keep the first error
                pq_.PQclear(r);
            } else {
                pq_.PQclear(rep.last);
                rep.last = r;
            }
        }
        if (finished) break;
        long left = (long) std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            rep.lost = true;
            rep.lost_why = "no answer within " + std::to_string(kReplyTimeoutMs / 1000) + " s";
            break;
        }
        pollfd pfd{pq_.PQsocket(conn_), POLLIN, 0};
        int n = poll(&pfd, 1, (int) left);
        if (n < 0 && errno != EINTR) {
            rep.lost = true;
            rep.lost_why = std::strerror(errno);
            break;
        }
    }
    if (!rep.lost && pq_.PQstatus(conn_) != CONNECTION_OK) {
        rep.lost = true;
        rep.lost_why = trimmed(rep.last ? pq_.PQresultErrorMessage(rep.last) : pq_.PQerrorMessage(conn_));
    }
    return rep;
}

PgDb::Reply PgDb::answer() {
    Reply rep = wait_reply();
    if (rep.lost) {
        if (rep.last) pq_.PQclear(rep.last);
        lost(rep.lost_why, "08006");
    }
    return rep;
}

PGresult *PgDb::simple(const std::string &sql, Sql which) {
    usable(which);
    ++round_trips_;
    if (!pq_.PQsendQuery(conn_, sql.c_str())) lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    Reply rep = answer();
    ExecStatusType st = pq_.PQresultStatus(rep.last);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) fail_result(rep.last, "statement failed");
    return rep.last;
}

static std::string statement_name(Sql which, int64_t map) {
    std::string name = "dualcache_" + std::to_string((int) which);
    if (map && per_map(which)) name += "_" + std::to_string(map);
    return name;
}

void PgDb::prepare(Sql which, int64_t map) {
    const Statement &s = kStatements[(size_t) which];
    std::string sql = fill(s.sql, schema_, map && per_map(which) ? map : store_id_);
    std::string name = statement_name(which, map);
    ++round_trips_;
    if (!pq_.PQsendPrepare(conn_, name.c_str(), sql.c_str(), s.params, s.types))
        lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    Reply rep = answer();
    if (pq_.PQresultStatus(rep.last) != PGRES_COMMAND_OK) fail_result(rep.last, "cannot prepare a statement");
    pq_.PQclear(rep.last);
    statements(which, map).prepared[(size_t) which] = true;
}

PGresult *PgDb::execute(Sql which, int64_t map, const char *const *values, const int *lengths) {
    if (reads_nothing_yet(which)) return nullptr;  // a store not there yet has no rows
    const Statement &s = kStatements[(size_t) which];
    if (s.simple) {
        if (which == Sql::Rollback) {
            rollback_quietly();
            return nullptr;
        }
        if (which == Sql::Begin) return nullptr;
        if (which == Sql::Savepoint && tx_ && !lost_in_tx_) {
            pending_.push_back("SAVEPOINT level");
            return nullptr;
        }
        if (which == Sql::Release && tx_ && !lost_in_tx_) {
            if (!pending_.empty() && pending_.back() == "SAVEPOINT level")
                pending_.pop_back();  // the level ran nothing
            else
                pending_.push_back("RELEASE SAVEPOINT level");
            return nullptr;
        }
        if (which == Sql::RollbackTo && tx_ && !lost_in_tx_ && !pending_.empty() &&
            pending_.back() == "SAVEPOINT level")
            return nullptr;  // the level ran nothing; its Release drops it
        if (which == Sql::Commit) {
            pending_.clear();  // COMMIT releases every savepoint
            if (!tx_ && !lost_in_tx_) return nullptr;  // after a Begin that needed no statement
            if (creating_ && only_created_ && tx_) {
                // A block that only read a store not there yet: it stays not there.
                rollback_quietly();
                return nullptr;
            }
            usable(which);
            if (pq_.PQtransactionStatus(conn_) == PQTRANS_INERROR) {
                rollback_quietly();
                raise("the server rolled the transaction back: a statement in it failed (SQLSTATE 25P02)", "25P02");
            }
            std::string sql = wrote_ ? "UPDATE " + table("dualcache_stores") + " SET changes = changes + 1 WHERE id = " +
                                           std::to_string(store_id_) + "; COMMIT"
                                     : std::string("COMMIT");
            ++round_trips_;
            bool wrote = wrote_;
            if (!pq_.PQsendQuery(conn_, sql.c_str())) lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
            Reply rep = wait_reply();
            if (rep.lost) {
                if (rep.last) pq_.PQclear(rep.last);
                if (wrote) {
                    outcome_unknown_ = true;
                    lost_in_tx_ = false;
                    if (conn_) pq_.PQfinish(conn_);
                    conn_ = nullptr;
                    tx_ = wrote_ = locked_ = false;
                    raise("the connection to the server was lost after the commit was sent: whether the "
                          "transaction was stored is unknown (" + rep.lost_why + ") (SQLSTATE 08007)",
                          "08007");
                }
                lost(rep.lost_why, "08006");
            }
            tx_ = wrote_ = locked_ = false;
            ExecStatusType st = pq_.PQresultStatus(rep.last);
            if (st != PGRES_COMMAND_OK) fail_result(rep.last, "commit failed");
            bool committed = std::strcmp(pq_.PQcmdStatus(rep.last), "COMMIT") == 0;
            pq_.PQclear(rep.last);
            if (!committed)
                raise("the server rolled the transaction back (SQLSTATE 40000)", "40000");
            creating_ = false;
            if (wrote) ++own_commits_;
            return nullptr;
        }
        std::string sql = fill(s.sql, schema_, store_id_);
        if (which == Sql::RollbackTo) sql = take_pending() + sql;
        if (which == Sql::BeginImmediate) {
            usable(which);
            // Open from here on: when the lock query after BEGIN fails (a
            // lock timeout), the aborted block must still be rolled back.
            tx_ = true;
            wrote_ = false;
            if (absent_) sql = begin_creating_sql();
        }
        PGresult *r = simple(sql, which);
        if (which == Sql::BeginImmediate) {
            bool found = pq_.PQntuples(r) == 1;
            if (found && absent_) created(r);
            locked_changes_ = found ? std::strtoll(pq_.PQgetvalue(r, 0, 0), nullptr, 10) : 0;
            pq_.PQclear(r);
            if (!found) {
                rollback_quietly();
                raise("the store was destroyed by another connection (SQLSTATE 02000)", "02000");
            }
            locked_ = true;
            return nullptr;
        }
        pq_.PQclear(r);
        return nullptr;
    }

    usable(which);
    if (!statements(which, map).prepared[(size_t) which]) prepare(which, map);
    if (writes(which)) wrote_ = true, only_created_ = false;
    int formats[4] = {1, 1, 1, 1};
    std::string name = statement_name(which, map);
    std::string before = pending_.empty() ? std::string() : take_pending();
    bool pipeline = !before.empty() && pq_.PQenterPipelineMode && pq_.PQenterPipelineMode(conn_) == 1;
    if (!before.empty() && !pipeline) pq_.PQclear(simple(before, which));  // an older libpq: one more round trip
    ++round_trips_;
    if (pipeline) {
        // The held-back savepoint commands and the statement, one round trip.
        for (size_t at = 0, end; at < before.size(); at = end + 2) {
            end = before.find("; ", at);
            if (end == std::string::npos) end = before.size();
            std::string one = before.substr(at, end - at);
            if (!pq_.PQsendQueryParams(conn_, one.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0))
                lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
        }
    }
    if (!pq_.PQsendQueryPrepared(conn_, name.c_str(), s.params, values, lengths, formats, 1))
        lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    if (pipeline && !pq_.PQpipelineSync(conn_)) lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    Reply rep = pipeline ? wait_pipeline() : wait_reply();
    if (rep.lost) {
        if (rep.last) pq_.PQclear(rep.last);
        lost(rep.lost_why, "08006");
    }
    ExecStatusType st = pq_.PQresultStatus(rep.last);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) fail_result(rep.last, "statement failed");
    if ((which == Sql::InsertEntry || which == Sql::InsertTag) && pq_.PQntuples(rep.last) == 1)
        last_id_ = big_endian(pq_.PQgetvalue(rep.last, 0, 0));
    return rep.last;
}

const PgCursor *PgDb::loaded_entry(int64_t map, int64_t id) const {
    const Statements *set = &stmts_;
    if (map) {
        auto it = map_stmts_.find(map);
        if (it == map_stmts_.end()) return nullptr;
        set = &it->second;
    }
    const PgCursor *c = set->cursors[(size_t) Sql::LoadEntry].get();
    return c && c->holds(id) ? c : nullptr;
}

std::string PgDb::take_pending() {
    std::string sql;
    for (const std::string &p : pending_) sql += p + "; ";
    pending_.clear();
    return sql;
}

PgDb::Reply PgDb::wait_pipeline() {
    Reply rep;
    {
        nb::gil_scoped_release unlocked;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
        bool synced = false;
        while (!synced) {
            if (!pq_.PQconsumeInput(conn_)) {
                rep.lost = true;
                rep.lost_why = trimmed(pq_.PQerrorMessage(conn_));
                break;
            }
            while (!synced && !pq_.PQisBusy(conn_)) {
                PGresult *r = pq_.PQgetResult(conn_);
                if (!r) continue;  // the end of one statement's results
                ExecStatusType st = pq_.PQresultStatus(r);
                if (st == PGRES_PIPELINE_SYNC) {
                    pq_.PQclear(r);
                    synced = true;
                } else if (st == PGRES_PIPELINE_ABORTED ||
                           (rep.last && pq_.PQresultStatus(rep.last) == PGRES_FATAL_ERROR)) {
                    pq_.PQclear(r);  // after the first error
                } else {
                    if (rep.last) pq_.PQclear(rep.last);
                    rep.last = r;
                }
            }
            if (synced) break;
            long left = (long) std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0 || pq_.PQstatus(conn_) != CONNECTION_OK) {
                rep.lost = true;
                rep.lost_why = left <= 0 ? "no answer within " + std::to_string(kReplyTimeoutMs / 1000) + " s"
                                         : trimmed(pq_.PQerrorMessage(conn_));
                break;
            }
            pollfd pfd{pq_.PQsocket(conn_), POLLIN, 0};
            if (poll(&pfd, 1, (int) left) < 0 && errno != EINTR) {
                rep.lost = true;
                rep.lost_why = std::strerror(errno);
                break;
            }
        }
    }
    if (!rep.lost && !pq_.PQexitPipelineMode(conn_)) {
        rep.lost = true;
        rep.lost_why = trimmed(pq_.PQerrorMessage(conn_));
    }
    return rep;
}

Run PgDb::run(Sql which, int64_t map) {
    if (closed_) raise_store_error(path_, "store is closed");
    if (!per_map(which)) map = 0;
    std::unique_ptr<PgCursor> &c = statements(which, map).cursors[(size_t) which];
    if (!c) c = std::make_unique<PgCursor>(*this, which, map);
    return Run(*c);
}

// --- named maps -----------------------------------------------------------------

int64_t PgDb::find_map(std::string_view name) {
    Run q = run(Sql::FindMap);
    q.bind(1, name);
    return q.step() ? q.int64(0) : 0;
}

int64_t PgDb::create_map(std::string_view name) {
    // The caller holds the store's lock: no other writer makes it meanwhile.
    Run q = run(Sql::InsertMap);
    q.bind(1, name).bind(2, (int64_t) format::kVersion);
    if (!q.step()) raise("the map's row was not added (SQLSTATE 02000)", "02000");
    return q.int64(0);
}

void PgDb::drop_map(int64_t id) {
    auto it = map_stmts_.find(id);
    if (it == map_stmts_.end()) return;
    for (auto &c : it->second.cursors)
        if (c) c->reset();
    map_stmts_.erase(it);  // the server's statements name an id never given again
}

PGresult *PgDb::one_off(const std::string &sql, const std::string *param, bool binary, const char *context) {
    const char *values[] = {param ? param->data() : ""};
    int lengths[] = {param ? (int) param->size() : 0};
    int formats[] = {1};
    Oid types[] = {kBytea};
    usable(Sql::Count_);
    ++round_trips_;
    if (!pq_.PQsendQueryParams(conn_, sql.c_str(), param ? 1 : 0, types, values, lengths, formats, binary ? 1 : 0))
        lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    Reply rep = answer();
    ExecStatusType st = pq_.PQresultStatus(rep.last);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) fail_result(rep.last, context);
    return rep.last;
}

std::vector<std::string> PgDb::nonempty_maps() {
    settle();
    if (absent_) return {};
    std::string entries = table("dualcache_entries");
    std::string sql = "SELECT ''::bytea WHERE EXISTS (SELECT 1 FROM " + entries + " WHERE store = " +
                      std::to_string(store_id_) + ") UNION ALL SELECT substring(s.name from 10) FROM " +
                      table("dualcache_stores") + " s WHERE substring(s.name from 1 for 9) = " +
                      fill(MAP_ROW_PREFIX, schema_, store_id_) + " AND EXISTS (SELECT 1 FROM " + entries +
                      " e WHERE e.store = s.id)";
    // One statement: one snapshot, also outside a transaction.
    PGresult *r = one_off(sql, nullptr, true, "cannot list the maps");
    std::vector<std::string> names;
    for (int i = 0, n = pq_.PQntuples(r); i < n; ++i)
        names.emplace_back(pq_.PQgetvalue(r, i, 0), (size_t) pq_.PQgetlength(r, i, 0));
    pq_.PQclear(r);
    return names;
}

void PgDb::run_blocking(Sql which) { run(which).done(); }

void PgDb::rollback_quietly() noexcept {
    lost_in_tx_ = false;
    pending_.clear();
    if (tx_ && conn_ && pq_.PQstatus(conn_) == CONNECTION_OK) {
        ++round_trips_;
        if (pq_.PQsendQuery(conn_, "ROLLBACK")) {
            Reply rep = wait_reply();
            if (rep.last) pq_.PQclear(rep.last);
            if (rep.lost && conn_) {
                pq_.PQfinish(conn_);
                conn_ = nullptr;
            }
        }
    }
    tx_ = wrote_ = locked_ = false;
}

int64_t PgDb::data_version() {
    settle();
    if (absent_) {
        // Created by another connection since?
        look_up_store();
        if (absent_) return 0;
    }
    if (locked_) return locked_changes_ - own_commits_;
    Run q = run(Sql::DataVersion);
    if (!q.step()) raise("the store was destroyed by another connection (SQLSTATE 02000)", "02000");
    return q.int64(0) - own_commits_;
}

}  // namespace dualcache
