#include "pg_db.h"

#include <poll.h>

#include <cctype>
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
// A link that stops answering is given up after about 11 s: probes after
// 5 s of silence, every 2 s, and no more than 10 s of unacknowledged data
// (unless the URI says otherwise). The server is told the same, so that a
// trader whose link is gone does not keep the store's lock.
constexpr const char *kKeepalives[][2] = {{"keepalives", "1"},
                                          {"keepalives_idle", "5"},
                                          {"keepalives_interval", "2"},
                                          {"keepalives_count", "3"},
                                          {"tcp_user_timeout", "10000"}};
// Queued statements sent early, without waiting, past these.
constexpr size_t kSendEarlyStatements = 512;
constexpr size_t kSendEarlyBytes = 1 << 20;
constexpr int64_t kMaxIdBlock = 1024;

constexpr Oid kInt8 = 20, kBytea = 17;

// The stores-table name of the store's map named $1, and what all its
// maps' names start with.
#define MAP_ROW_PREFIX "decode('ff', 'hex') || int8send({K}::bigint)"
#define MAP_ROW_NAME MAP_ROW_PREFIX " || $1"

// The change log: the store's row keeps, for each of its last 16 change
// counts, the count and the ids of up to seven entries that transaction
// wrote (8 numbers a count, at slot count % 16 of `change_log`; an id of
// -1: it wrote more, or what it wrote is not known). A connection that
// last looked at count $1 then reads only those entries again, not every
// entry, when the log covers every count since: the counts since are at
// most 16, and each one's slot holds its own count (a writer that keeps no
// log, of an older release, leaves an older count there) and no -1. ($2 =
// 0: the caller needs every entry.) Whether it covers them can only go
// from yes to no as counts are added. (A ledger's fill writes the fill,
// the position, the instrument and at times a lot chunk, a book or a round
// trip.) An entry whose item rows the transaction rewrote or removed (not
// only added to) is logged as -id: a reader that knows its older rows
// then checks them again (see kLoadIfChanged).
#define LOG_SLOT(count) "change_log[(" count ") % 16 * 8 + 1:(" count ") % 16 * 8 + 8]"
// Of count n's slot (in a query over counts n): its ids; whether it does
// not say what count n wrote.
#define LOG_IDS_OF_N "change_log[n % 16 * 8 + 2:n % 16 * 8 + 8]"
#define LOG_UNKNOWN_N "(change_log[n % 16 * 8 + 1] IS DISTINCT FROM n OR change_log[n % 16 * 8 + 2] = -1)"
#define LOG_COVERS                                                                                        \
    "($2 <> 0 AND changes - $1 BETWEEN 1 AND 16 AND NOT EXISTS (SELECT 1 FROM generate_series($1 + 1, changes) n" \
    " WHERE " LOG_UNKNOWN_N "))"
#define LOG_IDS "$1, $2, $3, $4, $5, $6, $7"
#define LOG_IDS_AFTER_ONE "$2, $3, $4, $5, $6, $7, $8"
#define KINT8_7 kInt8, kInt8, kInt8, kInt8, kInt8, kInt8, kInt8
// The item rows of entry `e` as `i`: those from order number `from` on
// (an SQL condition on `ord`, or empty). Asked for in order inside the
// subquery, so that they come by the primary key's range even where the
// table has no statistics yet: the item key's index otherwise ties with it
// on cost, and is then read whole to find a few rows.
#define ITEMS_OF_E(from)                                                                            \
    "LEFT JOIN LATERAL (SELECT ord, ikey, value FROM {S}.dualcache_items WHERE store = e.store AND" \
    " entry = e.id" from " ORDER BY ord) i ON true"
// The checksums of entry $2's item rows below order number $4 (of map $1),
// in order: read by the primary key's range, already in order, and joined
// as they come (an order the server might not keep would only make the
// caller read the entry again, as for a changed row: see read_past_known).
#define LOAD_CHECKSUMS                                                                             \
    "SELECT string_agg(c, ''::bytea) FROM (SELECT substring(value from octet_length(value) - 3) c" \
    " FROM {S}.dualcache_items WHERE store = $1 AND entry = $2 AND ord < $4 ORDER BY ord) k"
static_assert(PgDb::kLogIds == 7, "LOG_SLOT's width and LOG_IDS");

struct Statement {
    // {S}: the schema, {K}: the store's id (the map's, for a statement on one
    // map), {Q}: the entries' id sequence
    const char *sql;
    int params;
    Oid types[PgCursor::kMaxParams];
    bool control;     // transaction control, run by the connection itself
    // Its text where the stores' table has the change log (see kCountCommit).
    const char *logged_sql = nullptr;
};

const char *text_of(const Statement &s, bool ring) { return ring && s.logged_sql ? s.logged_sql : s.sql; }

const Statement kStatements[] = {
    // Loads need no snapshot of their own here (see LoadEntry): no statement.
    /* Begin */ {"", 0, {}, true},
    /* BeginImmediate */ {"BEGIN", 0, {}, true},
    /* Commit */ {"COMMIT", 0, {}, true},
    /* Rollback */ {"ROLLBACK", 0, {}, true},
    /* DataVersion */ {"SELECT changes FROM {S}.dualcache_stores WHERE id = {K}", 0, {}, false},
    /* ScanEntries */ {"SELECT id, version, key FROM {S}.dualcache_entries WHERE store = {K} ORDER BY id", 0, {}, false},
    // An entry and its items in one statement (one snapshot, one round
    // trip): LoadItems of the same entry reads the rows this returned.
    // With the change log, the columns of kLoadIfChanged after them: the
    // change count the rows were read at last.
    /* LoadEntry */
    {"SELECT e.version, e.value, i.ord, i.ikey, i.value FROM {S}.dualcache_entries e " ITEMS_OF_E("")
     " WHERE e.store = {K} AND e.id = $1 ORDER BY i.ord",
     1, {kInt8}, false,
     "SELECT e.version, e.value, i.ord, i.ikey, i.value, NULL::bytea, 0::int8, (SELECT changes FROM"
     " {S}.dualcache_stores WHERE id = {P}) FROM {S}.dualcache_entries e " ITEMS_OF_E("")
     " WHERE e.store = {K} AND e.id = $1 ORDER BY i.ord"},
    // The id ($3) is taken from the sequence beforehand, so that the insert
    // needs no answer.
    /* InsertEntry */
    {"INSERT INTO {S}.dualcache_entries(store, id, version, key, value) VALUES ({K}, $3, 1, $1, $2)", 3,
     {kBytea, kBytea, kInt8}, false},
    /* UpdateEntry */
    {"UPDATE {S}.dualcache_entries SET version = $2, value = $3 WHERE store = {K} AND id = $1", 3,
     {kInt8, kInt8, kBytea}, false},
    /* DeleteEntry */ {"DELETE FROM {S}.dualcache_entries WHERE store = {K} AND id = $1", 1, {kInt8}, false},
    /* DeleteAllEntries */ {"DELETE FROM {S}.dualcache_entries WHERE store = {K}", 0, {}, false},
    /* LoadItems */
    {"SELECT ord, ikey, value FROM {S}.dualcache_items WHERE store = {K} AND entry = $1 ORDER BY ord", 1, {kInt8},
     false},
    /* LoadItemsFrom */
    {"SELECT ord, ikey, value FROM {S}.dualcache_items WHERE store = {K} AND entry = $1 AND ord >= $2 ORDER BY ord",
     2, {kInt8, kInt8}, false},
    /* LoadAll */
    {"SELECT id, 0::int8, (-9223372036854775807 - 1)::int8, version, ''::bytea, value FROM {S}.dualcache_entries"
     " WHERE store = {K} UNION ALL SELECT entry, 1::int8, ord, 0::int8, ikey, value FROM {S}.dualcache_items"
     " WHERE store = {K} ORDER BY 1, 3",
     0, {}, false},
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
    // A record shape's id is chosen by the writer (it is part of the shape's checksum).
    /* InsertTag */ {"INSERT INTO {S}.dualcache_tags(store, id, tag) VALUES ({K}, $1, $2)", 2, {kInt8, kBytea}, false},
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

// The connection's own statements, after the store's.
enum Own : int {
    kLock = (int) Sql::Count_,
    kScanIfChanged,
    kTakeIds,
    kCountCommit,
    kCountIfUnchanged,
    kLoadIfChanged,
    kLockStore,
    kEntryAt,
    kRecentIfChanged,
    kLogWrites,
    kCountCommitAsync,
    kFlushMark,
    kStatementCount
};
const Statement kOwnStatements[] = {
    // The store's lock, its change count, the id of a first new entry, and
    // one kept for a later transaction's new entry (see spare_id_).
    /* kLock */
    {"SELECT changes, nextval({Q}::regclass), nextval({Q}::regclass) FROM {S}.dualcache_stores WHERE id = {K}"
     " FOR UPDATE",
     0, {}, false},
    // Right after the lock (a snapshot of its own, taken once the lock is
    // held): the map's entries, when the store's change count ({P}: the
    // store's row) is no longer $1. (With the change log: unless what
    // changed comes instead, see kRecentIfChanged.) Prepared with each
    // map's statements.
    /* kScanIfChanged */
    {"SELECT id, version, key FROM {S}.dualcache_entries WHERE store = {K} AND"
     " (SELECT changes FROM {S}.dualcache_stores WHERE id = {P}) <> $1 ORDER BY id",
     2, {kInt8, kInt8}, false,
     "SELECT id, version, key FROM {S}.dualcache_entries WHERE store = {K} AND"
     " (SELECT changes <> $1 AND NOT " LOG_COVERS " FROM {S}.dualcache_stores WHERE id = {P}) ORDER BY id"},
    /* kTakeIds */ {"SELECT nextval({Q}::regclass) FROM generate_series(1, $1)", 1, {kInt8}, false},
    // The change count's update, and its slot of the change log: $1 to $7
    // are the entries written (see touched_ids).
    /* kCountCommit */
    {"UPDATE {S}.dualcache_stores SET changes = changes + 1 WHERE id = {K}", 7, {KINT8_7}, false,
     "UPDATE {S}.dualcache_stores SET changes = changes + 1, " LOG_SLOT("changes + 1")
     " = ARRAY[changes + 1, " LOG_IDS "] WHERE id = {K}"},
    // The lock and the change count's update of a transaction that read
    // nothing under it: fails with a division by zero (SQLSTATE 22012),
    // which aborts the transaction, unless the change count was still $1
    // (the update waits for the lock and then looks at the row as its
    // holder left it) and the store is still there.
    // ($2 to $8: as kCountCommit's $1 to $7.)
    /* kCountIfUnchanged */
    {"WITH counted AS (UPDATE {S}.dualcache_stores SET changes = changes + 1 WHERE id = {K} AND changes = $1"
     " RETURNING 1) SELECT 1 / (SELECT count(*) FROM counted)::int",
     8, {kInt8, KINT8_7}, false,
     "WITH counted AS (UPDATE {S}.dualcache_stores SET changes = changes + 1, " LOG_SLOT("changes + 1")
     " = ARRAY[changes + 1, " LOG_IDS_AFTER_ONE "] WHERE id = {K} AND changes = $1"
     " RETURNING 1) SELECT 1 / (SELECT count(*) FROM counted)::int"},
    // Right after the lock: entry $2 of map $1 as LoadEntry reads it, when
    // its version is no longer $3.
    /* kLoadIfChanged */
    // With $4 > 0, only the item rows from order number $4 on, and the
    // checksums of those below it in one value (each row's last 4 bytes),
    // computed once. With the change log, no checksums when the rows below
    // $4 are still those the caller knew at change count $5 (> 0): the log
    // covers every count since, and none of them rewrote or removed an
    // item of the entry (see touch); then 1 in the column after, and the
    // change count the rows were read at in the last.
    {"SELECT e.version, e.value, i.ord, i.ikey, i.value, CASE WHEN $4 > 0 THEN (" LOAD_CHECKSUMS ") END,"
     " 0::int8, 0::int8 FROM {S}.dualcache_entries e " ITEMS_OF_E(" AND ord >= $4")
     " WHERE e.store = $1 AND e.id = $2 AND e.version <> $3 ORDER BY i.ord",
     5, {kInt8, kInt8, kInt8, kInt8, kInt8}, false,
     "WITH s AS (SELECT changes, $4 > 0 AND $5 > 0 AND changes - $5 BETWEEN 0 AND 16 AND NOT EXISTS (SELECT 1"
     " FROM generate_series($5 + 1, changes) n WHERE " LOG_UNKNOWN_N " OR -$2 = ANY (" LOG_IDS_OF_N ")) AS intact"
     " FROM {S}.dualcache_stores WHERE id = {P})"
     " SELECT e.version, e.value, i.ord, i.ikey, i.value, CASE WHEN $4 > 0 AND NOT s.intact THEN ("
     LOAD_CHECKSUMS ") END, s.intact::int::int8, s.changes FROM s, {S}.dualcache_entries e "
     ITEMS_OF_E(" AND ord >= $4") " WHERE e.store = $1 AND e.id = $2 AND e.version <> $3 ORDER BY i.ord"},
    // The lock of a transaction that read and rewrote one entry alone (see
    // kEntryAt): fails with a division by zero (SQLSTATE 22012), which
    // aborts the transaction, unless the store is still there.
    /* kLockStore */
    {"WITH held AS (SELECT 1 FROM {S}.dualcache_stores WHERE id = {K} FOR UPDATE)"
     " SELECT 1 / (SELECT count(*) FROM held)::int",
     0, {}, false},
    // Right after kLockStore (a snapshot of its own, taken once the lock is
    // held: every writer holds it while it writes): fails the same way
    // unless entry $2 of map $1 is still at version $3. Others may have
    // written other entries since this connection last looked.
    /* kEntryAt */
    {"SELECT 1 / (SELECT count(*) FROM {S}.dualcache_entries WHERE store = $1 AND id = $2 AND version = $3)::int",
     3, {kInt8, kInt8, kInt8}, false},
    // Right after kScanIfChanged, with the same parameters: when the change
    // log covers the counts since $1, a row (0, 0, '') and then, in id
    // order, each entry written since as (id, version, key), or (id, -1,
    // '') when it is gone (an id of another map's entry is gone from this
    // one). No rows otherwise (nor without the log). Per map, as
    // kScanIfChanged.
    /* kRecentIfChanged */
    {"SELECT 0::int8, 0::int8, ''::bytea WHERE $1 IS NULL AND $2 IS NULL", 2, {kInt8, kInt8}, false,
     "WITH s AS (SELECT changes, change_log FROM {S}.dualcache_stores WHERE id = {P} AND " LOG_COVERS ")"
     " SELECT 0::int8, 0::int8, ''::bytea FROM s UNION ALL"
     " SELECT d.id, coalesce(e.version, -1), coalesce(e.key, ''::bytea) FROM (SELECT DISTINCT abs(x) AS id FROM s,"
     " generate_series($1 + 1, s.changes) n, unnest(" LOG_IDS_OF_N ") x WHERE x <> 0) d"
     " LEFT JOIN {S}.dualcache_entries e ON e.store = {K} AND e.id = d.id ORDER BY 1"},
    // The change log's slot of the count this transaction's lock made,
    // written again: $1 to $7 as kCountCommit's.
    /* kLogWrites */
    {"SELECT 1", 7, {KINT8_7}, false,
     "UPDATE {S}.dualcache_stores SET " LOG_SLOT("changes") " = ARRAY[changes, " LOG_IDS "] WHERE id = {K}"},
    // kCountCommit of a transaction whose commit need not wait for the sync
    // to disk (its caller waits for kFlushMark's instead): the same update,
    // which also sets that for the transaction (a store gone meanwhile sets
    // nothing, and the commit waits as any other).
    /* kCountCommitAsync */
    {"UPDATE {S}.dualcache_stores SET changes = changes + 1 WHERE id = {K}"
     " RETURNING set_config('synchronous_commit', 'off', true)",
     7, {KINT8_7}, false,
     "UPDATE {S}.dualcache_stores SET changes = changes + 1, " LOG_SLOT("changes + 1")
     " = ARRAY[changes + 1, " LOG_IDS "] WHERE id = {K} RETURNING set_config('synchronous_commit', 'off', true)"},
    // A record committed synchronously in a transaction of its own: it is on
    // disk only once every commit before it is. Prepared only where the
    // role may run it (can_wait_for_flush_).
    /* kFlushMark */ {"SELECT pg_logical_emit_message(true, 'dualcache', '')", 0, {}, false},
};
static_assert(sizeof kOwnStatements / sizeof *kOwnStatements == kStatementCount - kLock);

const Statement &statement(int i) { return i < kLock ? kStatements[i] : kOwnStatements[i - kLock]; }

// The statements prepared for each map (with the map's id as {K}).
bool of_map(int i) {
    return i < kLock ? per_map((Sql) i) && !kStatements[i].control : i == kScanIfChanged || i == kRecentIfChanged;
}

// The name of statement `i` as prepared for map `map`, or for the database
// and its default map (map 0) of the store's row `store`. Named after the
// row the statement's text names (a named map's, or the store's, which an
// upgrade moves): a statement made before a move is never taken for one
// made after it.
std::string statement_name(int i, int64_t map, int64_t store) {
    std::string name = "dualcache_" + std::to_string(i);
    name += map && of_map(i) ? "_m" + std::to_string(map) : "_s" + std::to_string(store);
    return name;
}

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

std::string fill(const char *sql, const std::string &schema, int64_t store, uint32_t sequence, int64_t parent = 0) {
    std::string out;
    for (const char *p = sql; *p; ++p) {
        if (p[0] == '{' && p[1] && p[2] == '}') {
            out += p[1] == 'S'   ? schema
                   : p[1] == 'Q' ? std::to_string(sequence)
                   : p[1] == 'P' ? std::to_string(parent)
                                 : std::to_string(store);
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

void put_big_endian(char *p, int64_t v) {
    uint64_t u = (uint64_t) v;
    for (int b = 7; b >= 0; --b, u >>= 8) p[b] = (char) (u & 0xff);
}

// kLoadIfChanged's parameters: entry `id` of the map whose row is `map`,
// unless at `version`, its item rows from `from` on, known as of change
// count `known_at`.
struct LoadParams {
    char bytes[5][8];
    const char *values[5];
    int lengths[5] = {8, 8, 8, 8, 8};
    LoadParams(int64_t map, int64_t id, int64_t version, int64_t from, int64_t known_at) {
        const int64_t v[] = {map, id, version, from, known_at};
        for (int i = 0; i < 5; ++i) {
            put_big_endian(bytes[i], v[i]);
            values[i] = bytes[i];
        }
    }
    LoadParams(const LoadParams &) = delete;  // (values point into bytes)
};

std::string trimmed(const char *s) {
    std::string t = s ? s : "";
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}

bool all_digits(const char *s) {
    if (!s || !*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// Whether the server options a connection passes (libpq's `options`: words
// split at unescaped whitespace, each -c name=value, -cname=value or
// --name=value) set the setting `name` (lower case, words joined by _).
bool sets_setting(const std::string &options, std::string_view name) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < options.size(); ++i) {
        char c = options[i];
        if (c == '\\' && i + 1 < options.size()) {
            words.back() += options[++i];
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            if (!words.back().empty()) words.emplace_back();
        } else {
            words.back() += c;
        }
    }
    for (size_t i = 0; i < words.size(); ++i) {
        std::string_view w = words[i], assignment;
        if (w == "-c" && i + 1 < words.size())
            assignment = words[i + 1];
        else if (w.substr(0, 2) == "--" || (w.substr(0, 2) == "-c" && w.size() > 2))
            assignment = w.substr(2);
        else
            continue;
        std::string named(assignment.substr(0, assignment.find('=')));
        for (char &ch : named) ch = ch == '-' ? '_' : (char) std::tolower((unsigned char) ch);
        if (named == name && assignment.find('=') != std::string_view::npos) return true;
    }
    return false;
}

bool failed_status(ExecStatusType st) {
    return st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && st != PGRES_EMPTY_QUERY &&
           st != PGRES_PIPELINE_ABORTED && st != PGRES_PIPELINE_SYNC;
}

}  // namespace

// --- cursor -----------------------------------------------------------------

void PgCursor::bind(int i, int64_t v) {
    if (i == 1) first_int_ = v;
    put_big_endian(ints_[i - 1], v);
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
            const PgCursor *entry = db_.loaded_entry(map_, first_int_);
            // Items that came from an order number on serve only a read
            // that asks for them so (see known_item_checksums).
            if (entry && entry->items_from_ && !(values_[1] && big_endian(ints_[1]) == entry->items_from_))
                entry = nullptr;
            if (entry) {
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
        if (which_ == Sql::LoadEntry) items_from_ = db_.take_handed_from();
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
    items_from_ = 0;
    values_[1] = nullptr;  // (a second parameter is optional for LoadItems)
    ran_ = false;
    row_ = -1;
    rows_ = 0;
}

// --- connection -----------------------------------------------------------

PgDb::PgDb(const PgAddress &address)
    : Db(address.shown_uri + "/" + address.name), pq_(pg::api(address.shown_uri.c_str())), address_(address) {
    pipeline_ = pq_.PQenterPipelineMode && pq_.PQexitPipelineMode && pq_.PQpipelineSync;
    connect();
    look_up_store();
    if (!absent_) prepare_all();
}

PgDb::~PgDb() { close(); }

std::unique_ptr<Db> open_pg_store(const PgAddress &address) { return std::make_unique<PgDb>(address); }

void PgDb::on_notice(void *arg, const PGresult *r) {
    // The store writes no log: notices are dropped. But a server that ends
    // the session (a shutdown or restart, pg_terminate_backend, a timeout)
    // tells an idle connection why first, and libpq hands that here.
    auto *db = static_cast<PgDb *>(arg);
    const pg::Api &pq = db->pq_;
    const char *severity = pq.PQresultErrorField(r, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (!severity) severity = pq.PQresultErrorField(r, PG_DIAG_SEVERITY);  // (servers before 9.6)
    const char *state = pq.PQresultErrorField(r, PG_DIAG_SQLSTATE);
    bool ends = (severity && (!std::strcmp(severity, "FATAL") || !std::strcmp(severity, "PANIC"))) ||
                (state && !std::strncmp(state, "57P", 3));  // (a crash of another backend is a WARNING)
    if (!ends || !db->ended_.empty()) return;
    db->ended_ = trimmed(pq.PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY));
    if (db->ended_.empty()) db->ended_ = "the server ended the session";
}

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
    std::vector<const char *> keys{"connect_timeout"}, vals{timeout.c_str()};
    for (const auto &kv : kKeepalives) {
        keys.push_back(kv[0]);
        vals.push_back(kv[1]);
    }
    keys.insert(keys.end(), {"application_name", "dbname", nullptr});
    vals.insert(vals.end(), {"zelph.dualcache", address_.uri.c_str(), nullptr});
    PGconn *c;
    {
        nb::gil_scoped_release unlocked;
        c = pq_.PQconnectdbParams(keys.data(), vals.data(), 1);
    }
    if (!c || pq_.PQstatus(c) != CONNECTION_OK) {
        std::string why = c ? trimmed(pq_.PQerrorMessage(c)) : "out of memory";
        if (c) pq_.PQfinish(c);
        raise("cannot connect to the server: " + why + " (SQLSTATE 08001)", "08001");
    }
    ended_.clear();
    pq_.PQsetNoticeReceiver(c, &PgDb::on_notice, this);
    if (pq_.PQsetnonblocking(c, 1) != 0) {
        std::string why = trimmed(pq_.PQerrorMessage(c));
        pq_.PQfinish(c);
        raise("cannot connect to the server: " + why + " (SQLSTATE 08001)", "08001");
    }
    conn_ = c;
    closed_ = false;
    rollback_owed_ = false;
    stmts_.prepared = false;
    for (auto &[id, m] : map_stmts_) m.prepared = false;
    end_transaction_state();
    lost_in_tx_ = false;
    in_pipeline_ = false;
    in_flight_ = 0;

    // The settings the URI's options (-c name=value) leave to the store, and
    // the server's ends of the keepalives, as this end has them.
    std::string options, setting[5];
    if (PQconninfoOption *info = pq_.PQconninfo(c)) {
        for (PQconninfoOption *o = info; o->keyword; ++o) {
            if (!o->val) continue;
            if (!std::strcmp(o->keyword, "options")) options = o->val;
            for (size_t k = 0; k < 5; ++k)
                if (!std::strcmp(o->keyword, kKeepalives[k][0])) setting[k] = o->val;
        }
        pq_.PQconninfoFree(info);
    }
    std::string setup = "SET synchronous_commit = on; SET client_min_messages = warning; ";
    if (!sets_setting(options, "lock_timeout"))
        setup += "SET lock_timeout = " + std::to_string(kLockTimeoutMs) + "; ";
    if (setting[0] != "0") {
        const char *server[] = {nullptr, "tcp_keepalives_idle", "tcp_keepalives_interval", "tcp_keepalives_count",
                                "tcp_user_timeout"};
        for (size_t k = 1; k < 5; ++k)
            if (all_digits(setting[k].c_str()) && !sets_setting(options, server[k]))
                setup += std::string("SET ") + server[k] + " = " + setting[k] + "; ";
    }
    setup += "SELECT current_schema(), pg_postmaster_start_time()::text, coalesce(has_function_privilege("
             "to_regprocedure('pg_logical_emit_message(boolean, text, text)'), 'EXECUTE'), false)";
    PGresult *r = simple(setup, Sql::Count_);
    bool one = pq_.PQntuples(r) == 1;
    std::string schema = one && !pq_.PQgetisnull(r, 0, 0) ? pq_.PQgetvalue(r, 0, 0) : "";
    std::string started = one && !pq_.PQgetisnull(r, 0, 1) ? pq_.PQgetvalue(r, 0, 1) : "";
    can_wait_for_flush_ = one && !std::strcmp(pq_.PQgetvalue(r, 0, 2), "t");
    pq_.PQclear(r);
    if (!server_started_.empty() && started != server_started_) {
        server_restarted_ = true;
        spare_id_ = 0;  // a crash may hand out again what was taken last
    }
    server_started_ = started;
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
// its first write transaction adds the row (and the tables, when the schema
// has none), so a rollback takes the row back.

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

std::string PgDb::has_log() const {
    return "EXISTS (SELECT 1 FROM pg_catalog.pg_attribute WHERE attrelid = to_regclass(" +
           literal(table("dualcache_stores")) + ") AND attname = 'change_log' AND NOT attisdropped)";
}

void PgDb::look_up_store() {
    store_id_ = 0;
    format_ = format::kVersion;  // a store this release makes is in its format from its first row
    if (!tables_) {  // (tables found once stay: looking again for the row costs one round trip)
        PGresult *r = one_off(tables_query(), nullptr, false, "cannot open the store");
        std::string have = pq_.PQgetvalue(r, 0, 0);
        bool may_create = *pq_.PQgetvalue(r, 0, 1) == 't';
        pq_.PQclear(r);
        if (have.empty()) {
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
    }
    PGresult *r;
    // The store's row (if any), the entries' id sequence, and whether this
    // role may write every table and take ids from the sequences writes
    // take them from (nextval needs USAGE or UPDATE): the entries', and the
    // stores' (a map, a store made or upgraded is a row of its own). A
    // grant of the tables alone is not enough to write.
    std::string can_write = "has_table_privilege(" + literal(table("dualcache_stores")) + ", 'INSERT, UPDATE, DELETE')";
    for (const char *t : {"dualcache_tags", "dualcache_entries", "dualcache_items"})
        can_write += " AND has_table_privilege(" + literal(table(t)) + ", 'INSERT, UPDATE, DELETE')";
    for (const char *t : {"dualcache_stores", "dualcache_entries"})
        can_write += " AND coalesce(has_sequence_privilege(pg_get_serial_sequence(" + literal(table(t)) +
                     ", 'id'), 'USAGE, UPDATE'), false)";
    r = one_off("SELECT s.id, s.format, pg_get_serial_sequence(quote_ident(current_schema()) || "
                "'.dualcache_entries', 'id')::regclass::oid, " + can_write + ", " + has_log() +
                    " FROM (SELECT 1) AS one LEFT JOIN " +
                    table("dualcache_stores") + " AS s ON s.name = $1",
                &address_.name, false, "cannot open the store");
    absent_ = pq_.PQgetisnull(r, 0, 0);
    bool sequence = !pq_.PQgetisnull(r, 0, 2);
    id_sequence_ = (uint32_t) std::strtoul(pq_.PQgetvalue(r, 0, 2), nullptr, 10);
    read_only_ = *pq_.PQgetvalue(r, 0, 3) != 't';
    ring_ = *pq_.PQgetvalue(r, 0, 4) == 't';
    long fmt = absent_ ? format::kVersion : std::strtol(pq_.PQgetvalue(r, 0, 1), nullptr, 10);
    if (!absent_) store_id_ = std::strtoll(pq_.PQgetvalue(r, 0, 0), nullptr, 10);
    pq_.PQclear(r);
    if (fmt > format::kVersion)
        raise_store_error(path_, "written in store format " + std::to_string(fmt) +
                                     ", newer than this version reads (" + std::to_string(format::kVersion) + ")");
    if (!sequence) raise("the table dualcache_entries has no id sequence (SQLSTATE 42P01)", "42P01");
    format_ = (int) fmt;
    forget_prepared();
}

void PgDb::add_log() {
    // Tables of an earlier release get the change log's column from their
    // owner, once this connection's first write committed (opening, and a
    // write that fails, change nothing); for anyone else, or while another
    // connection is using the table (a brief wait at most), they stay as
    // they are, and writers read every entry when another committed, as
    // before. The statements are prepared again, with the log. Nothing of
    // it fails the write: a connection lost here is found by the next one.
    log_tried_ = true;
    PGresult *r;
    try {
        r = simple("DO $$ BEGIN PERFORM set_config('lock_timeout', '100ms', true); ALTER TABLE " +
                             table("dualcache_stores") +
                             " ADD COLUMN IF NOT EXISTS change_log bigint[]; EXCEPTION WHEN OTHERS THEN NULL; END $$; "
                             "DEALLOCATE ALL; SELECT " + has_log(),
                         Sql::Count_);
    } catch (nb::python_error &) {
        PyErr_Clear();
        r = nullptr;
    }
    if (r) {
        ring_ = *pq_.PQgetvalue(r, 0, 0) == 't';
        pq_.PQclear(r);
    }
    stmts_.prepared = false;  // (deallocated, or whether they were is not known)
    for (auto &[id, m] : map_stmts_) m.prepared = false;
}

// Queued before the lock of a store not there yet, so that its first write
// costs the round trips of any other. When the schema has no tables, they are
// made first in a transaction of their own (one round trip more, once per
// schema): made inside the write's transaction, they would be invisible to
// every other connection until it ends, and the first write of another
// store of the schema (the tool's ledger beside its positions, in one
// process) would wait for that forever. One creator of the tables at a time;
// one that finds them made meanwhile runs no DDL (an index made again would
// wait for the tables' writers).
void PgDb::queue_creation() {
    auto queue_text = [&](std::string sql, bool named = false) {
        texts_.push_back(std::move(sql));
        const char *v[] = {address_.name.data()};
        const int l[] = {(int) address_.name.size()};
        enqueue(-1, texts_.back().c_str(), v, l, named ? 1 : 0);
    };
    std::string stores = table("dualcache_stores"), tags = table("dualcache_tags"),
                entries = table("dualcache_entries"), items = table("dualcache_items");
    if (!tables_) {
        PGresult *r = simple("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + "); " +
                                 tables_query(),
                             Sql::Count_);
        bool made = std::string(pq_.PQgetvalue(r, 0, 0)) == kAllTables;
        pq_.PQclear(r);
        if (!made) {
            queue_text("CREATE TABLE IF NOT EXISTS " + stores +
                       "(id bigserial PRIMARY KEY, name bytea NOT NULL UNIQUE, format integer NOT NULL,"
                       " changes bigint NOT NULL DEFAULT 0, change_log bigint[])");
            queue_text("CREATE TABLE IF NOT EXISTS " + tags +
                       "(store bigint NOT NULL, id bigserial, tag bytea NOT NULL, PRIMARY KEY (store, id),"
                       " UNIQUE (store, tag))");
            queue_text("CREATE TABLE IF NOT EXISTS " + entries +
                       "(store bigint NOT NULL, id bigserial, version bigint NOT NULL, key bytea NOT NULL,"
                       " value bytea NOT NULL, PRIMARY KEY (store, id))");
            queue_text("CREATE TABLE IF NOT EXISTS " + items +
                       "(store bigint NOT NULL, entry bigint NOT NULL, ord bigint NOT NULL, ikey bytea NOT NULL,"
                       " value bytea NOT NULL, PRIMARY KEY (store, entry, ord))");
            // One entry per key, one item per item key (by digest: keys of any size).
            queue_text("CREATE UNIQUE INDEX IF NOT EXISTS dualcache_entries_key ON " + entries + "(store, md5(key))");
            queue_text("CREATE UNIQUE INDEX IF NOT EXISTS dualcache_items_key ON " + items +
                       "(store, entry, md5(ikey))");
            queue_text("REVOKE ALL ON " + stores + ", " + tags + ", " + entries + ", " + items + " FROM PUBLIC");
        }
        queue_text("COMMIT");
    }
    queue_text("BEGIN");
    queue_text("INSERT INTO " + stores + "(name, format) VALUES ($1, " + std::to_string(format::kVersion) +
                   ") ON CONFLICT (name) DO NOTHING",
               true);
    // The lock, the change count and a first entry id, as kLock gives them;
    // then the row's id and format, the sequence, and whether this
    // transaction added the row (another connection may have meanwhile).
    std::string sequence = "pg_get_serial_sequence(" + literal(entries) + ", 'id')";
    queue_text("SELECT changes, nextval(" + sequence + "), id, format::int8, " + sequence +
                   "::regclass::oid::int8, xmin::text::int8 = txid_current() % 4294967296, " + has_log() + " FROM " +
                   stores + " WHERE name = $1 FOR UPDATE",
               true);
    // The entries: none, unless another connection made the store.
    texts_.push_back("SELECT id, version, key FROM " + entries + " WHERE store = (SELECT id FROM " + stores +
                     " WHERE name = $1) ORDER BY id");
}

void PgDb::created(PGresult *r) {
    locked_changes_ = big_endian(pq_.PQgetvalue(r, 0, 0));
    ids_.push_back(big_endian(pq_.PQgetvalue(r, 0, 1)));
    store_id_ = big_endian(pq_.PQgetvalue(r, 0, 2));
    format_ = (int) big_endian(pq_.PQgetvalue(r, 0, 3));
    id_sequence_ = (uint32_t) big_endian(pq_.PQgetvalue(r, 0, 4));
    creating_ = *pq_.PQgetvalue(r, 0, 5) != 0;
    ring_ = *pq_.PQgetvalue(r, 0, 6) != 0;
    tables_ = true;  // committed before the write's transaction began
    absent_ = false;
    forget_prepared();
    // The store's statements, prepared in the pipeline of its first writes.
    static const char *const kTypeNames[] = {"int8", "bytea"};
    for (int i = 0; i < kStatementCount; ++i) {
        const Statement &st = statement(i);
        if (!prepares(i)) continue;
        std::string sql = "PREPARE " + names_[(size_t) i];
        for (int p = 0; p < st.params; ++p)
            sql += std::string(p ? ", " : "(") + kTypeNames[st.types[p] == kBytea] + (p + 1 == st.params ? ")" : "");
        texts_.push_back(sql + " AS " + fill(text_of(st, ring_), schema_, store_id_, id_sequence_, store_id_));
        enqueue(-1, texts_.back().c_str(), nullptr, nullptr, 0);
    }
    stmts_.prepared = true;
    unsettled_ = true;
}

void PgDb::settle() {
    if (!unsettled_ || tx_) return;
    unsettled_ = false;
    // The transaction that prepared the store's statements ended without a
    // commit: whether the server has them is not known. None of them, then;
    // prepared again when used.
    if (conn_ && pq_.PQstatus(conn_) == CONNECTION_OK) pq_.PQclear(simple("DEALLOCATE ALL", Sql::Count_));
    stmts_.prepared = false;
    for (auto &[id, m] : map_stmts_) m.prepared = false;
    if (creating_) {
        // It added the store's row: the store is not there again.
        creating_ = false;
        absent_ = true;
        store_id_ = 0;
        format_ = format::kVersion;
        own_commits_ = seen_changes_ = 0;
        prev_view_ = -1;
    }
}

bool PgDb::reads_nothing_yet(Sql which) {
    settle();
    if (!absent_) return false;
    switch (which) {
    case Sql::DataVersion:
    case Sql::ScanEntries:
    case Sql::LoadEntry:
    case Sql::LoadItems:
    case Sql::LoadItemsFrom:
    case Sql::LoadAll:
    case Sql::LoadTags:
    case Sql::FindMap:
        return true;
    default:
        return false;
    }
}

void PgDb::prepare(const std::vector<int> &stmts, int64_t map) {
    ++round_trips_;
    Outcome o;
    bool ok = send_queue(o);  // what is queued goes first
    for (size_t k = 0; ok && k < stmts.size(); ++k) {
        const Statement &s = statement(stmts[k]);
        std::string sql = fill(text_of(s, ring_), schema_, map ? map : store_id_, id_sequence_, store_id_);
        const std::string name = map ? statement_name(stmts[k], map, store_id_) : names_[(size_t) stmts[k]];
        if (!pq_.PQsendPrepare(conn_, name.c_str(), sql.c_str(), s.params, s.types)) {
            o.lost = true;
            o.why = trimmed(pq_.PQerrorMessage(conn_));
            break;
        }
        if (in_pipeline_) {
            ++in_flight_;
            continue;
        }
        Outcome one;
        await(one, false);
        if (one.answer) pq_.PQclear(one.answer);
        if (one.lost) {
            o.lost = true;
            o.why = one.why;
        }
        if (one.error && !o.error) o.error = one.error;
        else if (one.error) pq_.PQclear(one.error);
        ok = !one.lost && !one.error;
    }
    if (in_pipeline_ && !o.lost) sync_pipeline(o);
    check(o, "cannot prepare a statement");
    if (o.answer) pq_.PQclear(o.answer);
    if (o.prior) pq_.PQclear(o.prior);
    (map ? map_stmts_[map] : stmts_).prepared = true;
}

void PgDb::forget_prepared() {
    // Their names carry the store's row: those of a new row are made anew
    // (a named map's statements name the map's own row, which stays).
    names_.clear();
    for (int i = 0; i < kStatementCount; ++i) names_.push_back(statement_name(i, 0, store_id_));
    stmts_.prepared = false;
}

bool PgDb::prepares(int i) const { return !statement(i).control && (i != kFlushMark || can_wait_for_flush_); }

// Every statement of the database and its default map, in one round trip.
void PgDb::prepare_all() {
    std::vector<int> all;
    for (int i = 0; i < kStatementCount; ++i)
        if (prepares(i)) all.push_back(i);
    prepare(all, 0);
}

void PgDb::close() {
    for (auto &c : stmts_.cursors)
        if (c) c->reset();
    map_stmts_.clear();
    if (conn_) pq_.PQfinish(conn_);
    conn_ = nullptr;
    closed_ = true;
    in_pipeline_ = false;
    in_flight_ = 0;
    end_transaction_state();
    lost_in_tx_ = false;
}

void PgDb::destroy() {
    settle();
    if (absent_) return close();  // nothing of it on the server
    if (closed_ || !conn_) connect();
    std::string k = std::to_string(store_id_);
    // The store's row and those of its named maps.
    std::string rows = "SELECT id FROM " + table("dualcache_stores") + " WHERE id = " + k +
                       " OR substring(name from 1 for 9) = " + fill(MAP_ROW_PREFIX, schema_, store_id_, 0);
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
    d["statements"] = statements_;
    d["reconnects"] = reconnects_;
    d["optimistic_commits"] = optimistic_commits_;
    d["conflicts"] = conflicts_;
    d["prefetches"] = prefetches_;
    d["prereads"] = prereads_;
    d["entry_guarded_commits"] = entry_guarded_commits_;
    d["partial_scans"] = partial_scans_;
}

// --- the state of a transaction ---------------------------------------------

void PgDb::clear_queue() {
    queue_.clear();
    arena_.clear();
    last_update_.clear();
}

void PgDb::end_transaction_state() {
    // The kept id, taken for a new entry that never went out, stays kept.
    if (restock_ && !optimistic_sent_ && !ids_.empty() && !spare_id_) spare_id_ = ids_.front();
    forget_scan();
    clear_queue();
    levels_.clear();
    ids_.clear();
    next_id_ = 0;
    id_block_ = 0;
    texts_.clear();
    tx_ = broken_ = wrote_ = locked_ = optimistic_ = optimistic_sent_ = preread_ = foreign_write_ = false;
    guard_version_ = -1;
    locked_spare_ = 0;
    restock_ = false;
    touched_n_ = 0;
}

void PgDb::lost(const std::string &why, const char *sqlstate) {
    rollback_owed_ = false;
    if (conn_) pq_.PQfinish(conn_);
    conn_ = nullptr;
    in_pipeline_ = false;
    in_flight_ = 0;
    if (tx_) lost_in_tx_ = true;
    end_transaction_state();
    raise("the connection to the server was lost: " + why + " (SQLSTATE " + sqlstate + ")", sqlstate);
}

// Ready to send `which`: open, and connected again after a loss (outside a
// transaction only: one lost with the connection cannot be continued).
void PgDb::usable(Sql which) {
    if (closed_) raise_store_error(path_, "store is closed");
    if (conn_ && pq_.PQstatus(conn_) == CONNECTION_OK) {
        // The store's row moved (an upgrade, made or followed): its
        // statements under their new names.
        if (!stmts_.prepared && store_id_ && !(tx_ && broken_)) prepare_all();
        return;
    }
    if (conn_) {
        pq_.PQfinish(conn_);
        conn_ = nullptr;
        if (tx_) lost_in_tx_ = true;
        end_transaction_state();
    }
    if (lost_in_tx_ && which != Sql::Rollback)
        raise("the connection to the server was lost; the server rolled the open transaction back (SQLSTATE 08006)",
              "08006");
    lost_in_tx_ = false;
    connect();
    if (store_id_ && !stmts_.prepared) prepare_all();  // (connecting may have made them)
    ++reconnects_;
}

void PgDb::rollback_quietly() noexcept {
    lost_in_tx_ = reading_ = false;
    // An optimistic one not sent has nothing to end; a refused one ends
    // with the next exchange.
    bool open = tx_ && !(optimistic_ && !optimistic_sent_) && !rollback_owed_;
    end_transaction_state();
    if (!open || !conn_ || pq_.PQstatus(conn_) != CONNECTION_OK) return;
    ++round_trips_;
    Outcome o;
    bool ok = true;
    if (in_pipeline_) {
        // Statements sent early may still be on their way: a sync ends them
        // (after a failure, a ROLLBACK before it would be skipped too).
        ok = pq_.PQpipelineSync(conn_);
        if (ok) {
            await(o, true);
            leave_pipeline(o);
        }
    }
    ok = ok && !o.lost && pq_.PQsendQuery(conn_, "ROLLBACK");
    if (ok) await(o, false);
    if (o.answer) pq_.PQclear(o.answer);
    if (o.error) pq_.PQclear(o.error);
    if (o.prior) pq_.PQclear(o.prior);
    if ((!ok || o.lost) && conn_) {
        pq_.PQfinish(conn_);
        conn_ = nullptr;
        in_pipeline_ = false;
        in_flight_ = 0;
    }
}

int64_t PgDb::data_version() {
    bool ahead = std::exchange(scan_ahead_, false);  // (for this call only)
    const WriteHint read = std::exchange(read_hint_, WriteHint{});
    settle();
    if (absent_ && !tx_) {
        // Made by another connection since?
        look_up_store();
        if (absent_) {
            prev_view_ = -1;
            return seen_changes_ = 0;
        }
    }
    if (optimistic_ && !preread_) return seen_changes_;  // checked when the lock is taken
    if (locked_ || preread_) {
        see(locked_changes_ - own_commits_);
        return seen_changes_;
    }
    // Entries read along with an earlier count are older than this one.
    if (!tx_) forget_scan();
    int64_t changes = 0;
    bool found;
    if (ahead && !tx_) usable(Sql::DataVersion);  // (connected again first, when the link was lost)
    // (Every entry, and an entry in memory about to be read, come along only
    // while others write: they did before the last look too. A quiet
    // store's reads stay a statement or two lighter.)
    bool scan_too = logged_scan() || moved_at_last_look_;
    bool entry_too = read.entry && (moved_at_last_look_ || unknown_entry(read));
    if (ahead && !tx_ && pipeline_ && stmts_.prepared && format_ == format::kVersion && queue_.empty() &&
        (scan_too || entry_too)) {
        found = data_version_with_scan(changes, entry_too ? &read : nullptr, scan_too);
    } else {
        Run q = run(Sql::DataVersion);
        found = q.step();
        if (found) changes = q.int64(0);
    }
    if (!found) {
        if (format_ < format::kVersion && follow_upgrade()) return data_version();
        raise("the store was destroyed by another connection (SQLSTATE 02000)", "02000");
    }
    moved_at_last_look_ = looked_ && changes - own_commits_ != seen_changes_;
    looked_ = true;
    see(changes - own_commits_);
    return seen_changes_;
}

void PgDb::see(int64_t view) {
    if (view == seen_changes_) return;
    // Whatever was read at the view before is current as of this count.
    prev_view_ = seen_changes_;
    prev_from_ = seen_changes_ + own_commits_ - log_lag_;
    log_lag_ = 0;
    seen_changes_ = view;
}

void PgDb::scan_from(int64_t map, int64_t view) {
    scan_map_ = map;
    scan_view_ = view;
}

PGresult *PgDb::scan_changes(int64_t map) {
    bool armed = scan_map_ == map;
    scan_map_ = -1;
    if (!armed || !ring_ || !pipeline_ || format_ != format::kVersion) return nullptr;
    if (scan_view_ != prev_view_) return nullptr;
    char p[16];
    put_big_endian(p, prev_from_);
    put_big_endian(p + 8, 1);
    const char *v[] = {p, p + 8};
    PGresult *r = read_changes(v, map, nullptr);
    if (r && pq_.PQntuples(r) > 0) return r;
    if (r) pq_.PQclear(r);  // (nothing changed since, by that count: read as always)
    return nullptr;
}

// --- the queue ----------------------------------------------------------------

bool PgDb::data_version_with_scan(int64_t &changes, const WriteHint *read, bool scan_too) {
    int64_t expected = seen_changes_ + own_commits_;
    enqueue((int) Sql::DataVersion, nullptr, nullptr, nullptr, 0);
    PGresult *count = nullptr, *scan = nullptr, *entry = nullptr;
    if (read) {
        entry = read_along(*read, expected, scan_partial_, scan_too, unknown_entry(*read), scan, count);
    } else {
        char p[16];
        scan_params(expected, scan_partial_, p);
        const char *v[] = {p, p + 8};
        scan = read_changes(v, 0, &count);
    }
    bool found = count && pq_.PQntuples(count) == 1;
    if (found) changes = big_endian(pq_.PQgetvalue(count, 0, 0));
    if (count) pq_.PQclear(count);
    if (!found) {
        if (scan) pq_.PQclear(scan);
        if (entry) pq_.PQclear(entry);
        return false;
    }
    // Each read after the count: never older than it. (The entries read
    // again after this round trip would be newer than the entry.)
    if (entry && changes != expected && !scan_too) {
        pq_.PQclear(entry);
        entry = nullptr;
    }
    keep_changes(scan, entry, changes != expected, read ? *read : WriteHint{});
    scanned_outside_ = scanned_ != nullptr;
    return true;
}

void PgDb::forget_scan() {
    scanned_outside_ = false;
    if (scanned_) pq_.PQclear(scanned_);
    scanned_ = nullptr;
    if (prefetched_) pq_.PQclear(prefetched_);
    prefetched_ = nullptr;
}

size_t PgDb::level_start() const {
    // The innermost level's statements, or the transaction's when its levels
    // (if any) reached the server.
    return !levels_.empty() && !levels_.back().sent ? levels_.back().mark : 0;
}

void PgDb::enqueue(int stmt, const char *text, const char *const *values, const int *lengths, int n,
                   int64_t map) {
    if (stmt >= 0 && stmt != kLock) forget_scan();  // a write: the entries read under the lock are out of date
    Queued q{stmt, map, text, arena_.size(), n, {}, 0, kNone, false};
    for (int i = 0; i < n; ++i) {
        q.lengths[i] = lengths[i];
        arena_.append(values[i], (size_t) lengths[i]);
    }
    queue_.push_back(q);
    ++statements_;
    if (queue_.size() >= kSendEarlyStatements || arena_.size() >= kSendEarlyBytes) send_early();
}

// An UpdateEntry replaces what an earlier one of the same entry in the same
// level wrote: the earlier one need not travel.
void PgDb::queue_update(int64_t id, const char *const *values, const int *lengths, int64_t map) {
    size_t before = kNone;
    if (auto it = last_update_.find(id); it != last_update_.end()) {
        before = it->second;
        if (before >= level_start()) {
            queue_[before].dead = true;
            before = queue_[before].before;
        }
    }
    size_t at = queue_.size();
    enqueue((int) Sql::UpdateEntry, nullptr, values, lengths, 3, map);
    if (queue_.size() == at + 1) {  // still queued (not sent early)
        queue_[at].entry = id;
        queue_[at].before = before;
        last_update_[id] = at;
    }
}

void PgDb::drop_queued_from(size_t mark) {
    if (mark >= queue_.size()) return;
    for (size_t i = queue_.size(); i-- > mark;) {
        const Queued &q = queue_[i];
        if (q.stmt != (int) Sql::UpdateEntry || q.dead || !q.entry) continue;
        if (q.before == kNone) last_update_.erase(q.entry);
        else last_update_[q.entry] = q.before;
    }
    arena_.resize(queue_[mark].at);
    queue_.resize(mark);
}

void PgDb::release_level() {
    Level lv = levels_.back();
    levels_.pop_back();
    if (lv.sent) {
        enqueue(-1, "RELEASE SAVEPOINT level", nullptr, nullptr, 0);
        return;
    }
    // Its statements join the enclosing level's: an entry rewritten in both
    // needs only the last write.
    size_t start = level_start();
    for (size_t i = lv.mark; i < queue_.size(); ++i) {
        Queued &q = queue_[i];
        if (q.stmt != (int) Sql::UpdateEntry || q.dead || q.before == kNone || q.before < start) continue;
        queue_[q.before].dead = true;
        q.before = queue_[q.before].before;
    }
}

void PgDb::rollback_level() {
    Level &lv = levels_.back();
    if (!lv.sent) {
        drop_queued_from(lv.mark);
        return;
    }
    // The writes queued are this level's or those of levels inside it, all
    // undone by the rollback: only the inner levels' own ends still travel.
    std::vector<Queued> ends;
    for (const Queued &q : queue_)
        if (q.stmt < 0) ends.push_back(Queued{q.stmt, 0, q.text, 0, 0, {}, 0, kNone, false});
    clear_queue();
    queue_ = std::move(ends);
    enqueue(-1, "ROLLBACK TO SAVEPOINT level", nullptr, nullptr, 0);
}

bool PgDb::send(int stmt, const char *text, const char *const *values, const int *lengths, int n, Outcome &o,
                int64_t map, int result_format, const Oid *types) {
    static const int formats[PgCursor::kMaxParams] = {1, 1, 1, 1, 1, 1, 1, 1};
    static const Oid byteas[PgCursor::kMaxParams] = {kBytea, kBytea, kBytea, kBytea, kBytea, kBytea, kBytea, kBytea};
    int ok;
    if (stmt < 0)
        ok = pq_.PQsendQueryParams(conn_, text, n, types ? types : byteas, values, lengths, formats, result_format);
    else if (map && of_map(stmt))
        ok = pq_.PQsendQueryPrepared(conn_, statement_name(stmt, map, store_id_).c_str(), n, values, lengths, formats,
                                     1);
    else
        ok = pq_.PQsendQueryPrepared(conn_, names_[(size_t) stmt].c_str(), n, values, lengths, formats, 1);
    if (!ok) {
        o.lost = true;
        o.why = trimmed(pq_.PQerrorMessage(conn_));
        return false;
    }
    o.handed = true;
    if (in_pipeline_) {
        ++in_flight_;
        return true;
    }
    // Without pipeline mode: one statement at a time, stopping at a failure.
    Outcome one;
    await(one, false);
    if (one.lost) {
        o.lost = true;
        o.why = one.why;
        if (one.answer) pq_.PQclear(one.answer);
        if (one.error) pq_.PQclear(one.error);
        return false;
    }
    if (one.error) {
        if (!o.error) o.error = one.error;
        else pq_.PQclear(one.error);
        if (one.answer) pq_.PQclear(one.answer);
        return false;
    }
    if (o.prior) pq_.PQclear(o.prior);
    o.prior = o.answer;
    o.answer = one.answer;
    return true;
}

bool PgDb::send_queue(Outcome &o, bool every_level) {
    if (pipeline_ && !in_pipeline_) {
        if (!pq_.PQenterPipelineMode(conn_)) {
            o.lost = true;
            o.why = trimmed(pq_.PQerrorMessage(conn_));
            return false;
        }
        in_pipeline_ = true;
    }
    size_t n = queue_.size(), level = 0;
    bool ok = true;
    if (optimistic_ && n) optimistic_sent_ = true;
    if (rollback_owed_) {
        rollback_owed_ = false;
        ok = send(-1, "ROLLBACK", nullptr, nullptr, 0, o);
    }
    const char *values[PgCursor::kMaxParams];
    for (size_t i = 0; ok && i <= n; ++i) {
        // A level with statements queued reaches the server: its SAVEPOINT
        // goes first. One still empty stays on this side, unless a write
        // of it follows.
        for (; ok && level < levels_.size() && (i < n || every_level); ++level) {
            Level &lv = levels_[level];
            if (lv.sent) continue;
            if (lv.mark > i) break;
            ok = send(-1, "SAVEPOINT level", nullptr, nullptr, 0, o);
            lv.sent = true;
        }
        if (!ok || i == n) break;
        const Queued &q = queue_[i];
        if (q.dead) continue;
        size_t at = q.at;
        for (int p = 0; p < q.params; ++p) {
            values[p] = arena_.data() + at;
            at += (size_t) q.lengths[p];
        }
        ok = send(q.stmt, q.text, values, q.lengths, q.params, o, q.map);
    }
    for (Level &lv : levels_)
        if (!lv.sent) lv.mark = 0;
    clear_queue();
    return ok;
}

void PgDb::send_early() {
    if (!pipeline_) return;  // sent at the next exchange
    Outcome o;
    bool ok = send_queue(o);
    if (ok && pq_.PQflush(conn_) < 0) {
        ok = false;
        o.why = trimmed(pq_.PQerrorMessage(conn_));
    }
    if (ok && !pq_.PQconsumeInput(conn_)) {
        ok = false;
        o.why = trimmed(pq_.PQerrorMessage(conn_));
    }
    // Take in the answers that arrived, keeping only the first failure.
    int nulls = 0;
    while (ok && in_flight_ > 0 && !pq_.PQisBusy(conn_)) {
        PGresult *r = pq_.PQgetResult(conn_);
        if (!r) {
            if (++nulls > 1) break;
            continue;
        }
        nulls = 0;
        take(o, r, true);
    }
    if (o.answer) pq_.PQclear(o.answer);
    if (o.prior) pq_.PQclear(o.prior);
    o.answer = o.prior = nullptr;
    if (!ok) {
        if (o.error) pq_.PQclear(o.error);
        lost(o.why, "08006");
    }
    if (o.error) {
        // The server aborted the transaction: go no further.
        broken_ = true;
        PGresult *e = o.error;
        o.error = nullptr;
        fail_statement(e, "statement failed");
    }
}

// --- exchanges ------------------------------------------------------------------

void PgDb::take(Outcome &o, PGresult *r, bool pipeline) noexcept {
    ExecStatusType st = pq_.PQresultStatus(r);
    if (pipeline) {
        --in_flight_;
        if (failed_status(st) && !o.error) {
            o.error = r;
        } else if ((in_flight_ <= 1 || (in_flight_ == 2 && o.keep_earlier) || (in_flight_ == 3 && o.keep_earliest)) &&
                   !failed_status(st) && st != PGRES_PIPELINE_ABORTED) {
            // The last statement sent is the one asked about (and the one
            // to three before it kept too).
            PGresult *&slot = in_flight_ == 0   ? o.answer
                              : in_flight_ == 1 ? o.prior
                              : in_flight_ == 2 ? o.earlier
                                                : o.earliest;
            if (slot) pq_.PQclear(slot);
            slot = r;
        } else {
            pq_.PQclear(r);
        }
        return;
    }
    // One command string: the last result, or the first error.
    if (o.error) {
        pq_.PQclear(r);
    } else if (failed_status(st)) {
        o.error = r;
    } else {
        if (o.answer) pq_.PQclear(o.answer);
        o.answer = r;
    }
}

void PgDb::await(Outcome &o, bool until_sync) noexcept {
    if (!conn_) {
        o.lost = true;
        o.why = "no connection";
        return;
    }
    nb::gil_scoped_release unlocked;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    bool flushed = false;
    for (;;) {
        if (!flushed) {
            int f = pq_.PQflush(conn_);
            if (f < 0) {
                o.lost = true;
                o.why = trimmed(pq_.PQerrorMessage(conn_));
                break;
            }
            flushed = f == 0;
        }
        if (!pq_.PQconsumeInput(conn_)) {
            o.lost = true;
            o.why = trimmed(pq_.PQerrorMessage(conn_));
            break;
        }
        bool finished = false;
        int nulls = 0;
        while (!pq_.PQisBusy(conn_)) {
            PGresult *r = pq_.PQgetResult(conn_);
            if (!r) {
                if (!until_sync) {
                    finished = true;
                    break;
                }
                if (++nulls > 1) break;  // nothing more until input arrives
                continue;
            }
            nulls = 0;
            if (until_sync && pq_.PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
                pq_.PQclear(r);
                finished = true;
                break;
            }
            take(o, r, until_sync);
        }
        if (finished) break;
        if (pq_.PQstatus(conn_) != CONNECTION_OK) {
            o.lost = true;
            o.why = trimmed(pq_.PQerrorMessage(conn_));
            break;
        }
        long left = (long) std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            o.lost = true;
            o.why = "no answer within " + std::to_string(kReplyTimeoutMs / 1000) + " s";
            break;
        }
        pollfd pfd{pq_.PQsocket(conn_), (short) (POLLIN | (flushed ? 0 : POLLOUT)), 0};
        int n = poll(&pfd, 1, (int) left);
        if (n < 0 && errno != EINTR) {
            o.lost = true;
            o.why = std::strerror(errno);
            break;
        }
        // A server that is still answering gets its full time again.
        if (n > 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    }
    if (!o.lost && pq_.PQstatus(conn_) != CONNECTION_OK) {
        o.lost = true;
        o.why = trimmed(o.error ? pq_.PQresultErrorMessage(o.error) : pq_.PQerrorMessage(conn_));
    }
}

void PgDb::leave_pipeline(Outcome &o) noexcept {
    if (!in_pipeline_ || o.lost) return;
    in_flight_ = 0;
    if (pq_.PQexitPipelineMode(conn_)) {
        in_pipeline_ = false;
    } else {
        o.lost = true;
        o.why = trimmed(pq_.PQerrorMessage(conn_));
    }
}

void PgDb::check(Outcome &o, const char *context) {
    if ((o.lost || o.error) && o.prior) {
        pq_.PQclear(o.prior);
        o.prior = nullptr;
    }
    if ((o.lost || o.error) && o.earliest) {
        pq_.PQclear(o.earliest);
        o.earliest = nullptr;
    }
    if ((o.lost || o.error) && o.earlier) {
        pq_.PQclear(o.earlier);
        o.earlier = nullptr;
    }
    if (o.lost) {
        if (o.answer) pq_.PQclear(o.answer);
        if (o.error) pq_.PQclear(o.error);
        o.answer = o.error = nullptr;
        lost(o.why, "08006");
    }
    if (o.error) {
        if (o.answer) pq_.PQclear(o.answer);
        o.answer = nullptr;
        if (tx_) broken_ = true;
        PGresult *e = o.error;
        o.error = nullptr;
        fail_statement(e, context);
    }
}

void PgDb::fail_statement(PGresult *r, const char *context) {
    const char *state = r ? pq_.PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    if (optimistic_ && state && std::strcmp(state, "22012") == 0) {
        // The check after the optimistic lock: another connection committed
        // since this one last read. The server aborted the transaction.
        pq_.PQclear(r);
        broken_ = true;
        others_quiet_ = false;
        refused_ = true;
        ++conflicts_;
        if (!in_pipeline_) rollback_owed_ = true;  // (everything sent was answered)
        raise("another connection wrote to the store since this one last read it; nothing of this "
              "transaction was stored (SQLSTATE 40001)",
              "40001");
    }
    fail_result(r, context);
}

void PgDb::sync_pipeline(Outcome &o) {
    if (!pq_.PQpipelineSync(conn_)) {
        o.lost = true;
        o.why = trimmed(pq_.PQerrorMessage(conn_));
        return;
    }
    await(o, true);
    leave_pipeline(o);
}

void PgDb::outcome_unknown(Outcome &o, const std::string &message) {
    for (PGresult *r : {o.answer, o.error, o.prior, o.earlier, o.earliest})
        if (r) pq_.PQclear(r);
    outcome_unknown_ = true;
    end_transaction_state();
    raise(message + " (SQLSTATE 08007)", "08007");
}

PGresult *PgDb::exchange(int stmt, const char *text, const char *const *values, const int *lengths, int n,
                         bool commit, PGresult **prior, int64_t map, int result_format, const char *context,
                         const Oid *types, bool writes_text, PGresult **earlier, bool flush_after_commit,
                         PGresult **earliest) {
    ++round_trips_;
    ++statements_;
    Outcome o;
    o.keep_earlier = earlier != nullptr;
    o.keep_earliest = earliest != nullptr;
    // A connection that is known to be gone has sent nothing of this; nor
    // has one whose session the server ended while it was idle: it said so
    // before closing the connection, and that came in ahead of the close,
    // which would only be seen once this was sent (see on_notice). What has
    // come in is looked at without waiting for more.
    if (!pq_.PQconsumeInput(conn_)) lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    pq_.PQisBusy(conn_);  // (hands a message that came while idle to on_notice)
    if (!ended_.empty()) lost(ended_, "08006");
    // A write asked for here (a new tag or map) belongs to the innermost
    // level: every level reaches the server before it.
    bool ok = send_queue(o, stmt < 0 ? writes_text : stmt < kLock && writes((Sql) stmt));
    // The statements sent early, and these: nothing is answered until this
    // statement's answer arrives (the error of an earlier one wins).
    o.handed = false;
    if (ok && !o.error) ok = send(stmt, text, values, lengths, n, o, map, result_format, types);
    // (With the flush after it, the COMMIT itself was queued before: it may
    // have gone out even when this statement did not.)
    bool commit_sent = commit && (o.handed || flush_after_commit);
    if (in_pipeline_ && !o.lost) sync_pipeline(o);
    if (o.lost && commit_sent && wrote_) {
        // COMMIT may have reached the server: whether it stored the
        // transaction is unknown.
        lost_in_tx_ = false;
        if (conn_) pq_.PQfinish(conn_);
        conn_ = nullptr;
        in_pipeline_ = false;
        in_flight_ = 0;
        outcome_unknown(o, "the connection to the server was lost after the commit was sent: whether the "
                           "transaction was stored is unknown (" + o.why + ")");
    }
    if (commit && flush_after_commit && o.error && o.prior && std::strcmp(pq_.PQcmdStatus(o.prior), "COMMIT") == 0) {
        // Committed, but the record that waits for the sync failed: whether
        // the transaction reached the disk is unknown.
        outcome_unknown(o, "the server committed the transaction but did not confirm that it reached the disk: "
                           "whether it was stored is unknown (" + trimmed(pq_.PQresultErrorMessage(o.error)) + ")");
    }
    check(o, context ? context : commit ? "commit failed" : "statement failed");
    if (prior) *prior = o.prior;
    else if (o.prior) pq_.PQclear(o.prior);
    if (earlier) *earlier = o.earlier;
    else if (o.earlier) pq_.PQclear(o.earlier);
    if (earliest) *earliest = o.earliest;
    else if (o.earliest) pq_.PQclear(o.earliest);
    return o.answer;
}

int64_t PgDb::take_id() {
    if (next_id_ == ids_.size()) {
        // Taken inside the transaction that holds the store's lock, so ids
        // keep the order in which the store's entries were added.
        id_block_ = std::min(kMaxIdBlock, std::max<int64_t>(16, id_block_ * 2));
        char count[8];
        put_big_endian(count, id_block_);
        const char *values[] = {count};
        int lengths[] = {8};
        PGresult *r = exchange(kTakeIds, nullptr, values, lengths, 1);
        int rows = pq_.PQntuples(r);
        ids_.clear();
        next_id_ = 0;
        for (int i = 0; i < rows; ++i) ids_.push_back(big_endian(pq_.PQgetvalue(r, i, 0)));
        pq_.PQclear(r);
        if (ids_.empty()) raise("the entries' id sequence gave no id (SQLSTATE XX000)", "XX000");
    }
    return ids_[next_id_++];
}

PGresult *PgDb::simple(const std::string &sql, Sql which) {
    usable(which);
    ++round_trips_;
    Outcome o;
    leave_pipeline(o);  // idle here: nothing is in flight outside a transaction
    if (o.lost) lost(o.why, "08006");
    const std::string &text = rollback_owed_ ? "ROLLBACK; " + sql : sql;
    rollback_owed_ = false;
    if (!pq_.PQsendQuery(conn_, text.c_str())) lost(trimmed(pq_.PQerrorMessage(conn_)), "08006");
    await(o, false);
    check(o, "statement failed");
    return o.answer;
}

// --- statements -----------------------------------------------------------------

PGresult *PgDb::execute(Sql which, int64_t map, const char *const *values, const int *lengths) {
    LoadFrom load_from = std::exchange(load_from_, LoadFrom{});  // (for this statement only)
    if (reads_nothing_yet(which)) return nullptr;  // a store not there yet has no rows
    const Statement &s = kStatements[(size_t) which];
    int n = s.params;
    switch (which) {
    case Sql::Begin:
        reading_ = true;
        return nullptr;  // every read is one statement: no snapshot needed
    case Sql::Rollback:
        rollback_quietly();
        return nullptr;
    case Sql::Savepoint:
    case Sql::Release:
    case Sql::RollbackTo:
        // The levels of a block that reads (a read-only store's) have
        // nothing on the server to mark: no statement. (After a lost
        // connection, tx_ is false too, but reading_ is not: usable() below
        // reports the loss.)
        if (reading_ && !tx_) return nullptr;
        break;
    case Sql::BeginImmediate: {
        bool hinted = hinted_;  // (for this transaction only)
        WriteHint hint = hint_;
        hinted_ = false;
        usable(which);
        // Open from here on: when the lock fails (a lock timeout), the
        // aborted block must still be rolled back.
        end_transaction_state();
        tx_ = true;
        reading_ = false;
        if (absent_) {
            queue_creation();
            const char *v[] = {address_.name.data()};
            const int l[] = {(int) address_.name.size()};
            PGresult *r = nullptr;
            PGresult *scan = exchange(-1, texts_.back().c_str(), v, l, 1, false, &r);
            bool found = r && pq_.PQntuples(r) == 1;
            int64_t expected = seen_changes_ + own_commits_;
            if (found) created(r);
            if (r) pq_.PQclear(r);
            if (found && locked_changes_ != expected) scanned_ = scan;
            else pq_.PQclear(scan);
            if (!found) {
                rollback_quietly();
                raise("the store was removed while it was being created (SQLSTATE 02000)", "02000");
            }
            if (format_ > format::kVersion) {
                rollback_quietly();
                raise_store_error(path_, "written in store format " + std::to_string(format_) +
                                             ", newer than this version reads (" +
                                             std::to_string(format::kVersion) + ")");
            }
            locked_ = true;
            return nullptr;
        }
        // The lock, and in the same round trip the entries when another
        // connection changed them since this one last looked (the key index
        // is then read again: see ScanEntries), and the entry about to be
        // rewritten when it changed; or, when nobody else wrote, no round
        // trip at all until the transaction needs one.
        int64_t expected = seen_changes_ + own_commits_;
        // (A store of an older format is rewritten by its first write, in
        // a row of its own: under a lock taken first.)
        bool current_format = pipeline_ && stmts_.prepared && format_ == format::kVersion;
        // A new key takes the id kept from an earlier lock, when that id
        // still comes after every entry of the map: the check of the change
        // count then vouches that none came since (ids are taken under the
        // lock, so a new entry's id exceeds every id stored before it).
        bool new_key = hinted && hint.entry == 0;
        // The default map's index was read at the count this connection last
        // saw: what changed since can bring it up to date.
        bool partial = hinted ? hint.map == 0 && hint.index_current && hint.view == seen_changes_
                              : scan_map_ == 0 && scan_view_ == seen_changes_;
        scan_map_ = -1;
        if (hinted && hint.current && hint.view == seen_changes_ && others_quiet_ && current_format &&
            (!new_key || spare_id_ > hint.last_id)) {
            begin_optimistic(expected);
            if (new_key) {
                ids_.push_back(std::exchange(spare_id_, 0));
                restock_ = true;
            }
            return nullptr;
        }
        if (new_key) hinted = false;  // nothing to read ahead of it
        // Someone else wrote since: what changed is read first, without the
        // lock, and the lock goes out with the writes. Not right after a
        // refusal: the call redone then must not meet another.
        if (hinted && current_format && !refused_ && !rollback_owed_) {
            if (!begin_preread(hint, expected, partial))
                raise("the store was destroyed by another connection (SQLSTATE 02000)", "02000");
            return nullptr;
        }
        refused_ = false;
        PGresult *r = nullptr, *scan = nullptr;
        PGresult *entry = begin_locked(hinted && pipeline_ ? &hint : nullptr, expected, partial, r, scan);
        bool found = r && pq_.PQntuples(r) == 1;
        if (found) {
            locked_changes_ = big_endian(pq_.PQgetvalue(r, 0, 0));
            ids_.push_back(big_endian(pq_.PQgetvalue(r, 0, 1)));
            locked_spare_ = big_endian(pq_.PQgetvalue(r, 0, 2));
        }
        if (r) pq_.PQclear(r);
        others_quiet_ = found && locked_changes_ == expected;
        if (found) {
            keep_changes(scan, entry, locked_changes_ != expected, hint);
        } else {
            if (scan) pq_.PQclear(scan);
            if (entry) pq_.PQclear(entry);
            rollback_quietly();
            if (format_ < format::kVersion && follow_upgrade()) return execute(which, map, values, lengths);
            raise("the store was destroyed by another connection (SQLSTATE 02000)", "02000");
        }
        locked_ = true;
        return nullptr;
    }
    case Sql::Commit: {
        reading_ = false;
        if (!tx_ && !lost_in_tx_) return nullptr;  // after a Begin that needed no statement
        if (creating_ && tx_ && !wrote_ && !broken_) {
            // A block that only read a store not there yet: it stays not there.
            rollback_quietly();
            return nullptr;
        }
        if (optimistic_ && !optimistic_sent_ && !wrote_) {
            // Nothing of it reached the server.
            end_transaction_state();
            return nullptr;
        }
        usable(which);
        if (broken_) {
            rollback_quietly();
            raise("the server rolled the transaction back: a statement in it failed (SQLSTATE 25P02)", "25P02");
        }
        bool wrote = wrote_, optimistic = optimistic_, preread = preread_;
        bool entry_only = guard_entry_only();
        // (An optimistic lock counted already.)
        bool counted_here = wrote && (!optimistic || entry_only);
        char touched[8 * kLogIds];
        touched_ids(touched);
        const char *tv[kLogIds];
        int tl[kLogIds];
        for (int i = 0; i < kLogIds; ++i) tv[i] = touched + 8 * i, tl[i] = 8;
        // (See below.)
        bool flush_after_commit = counted_here && pipeline_ && can_wait_for_flush_;
        if (counted_here) {
            enqueue(flush_after_commit ? kCountCommitAsync : kCountCommit, nullptr, tv, tl, kLogIds);
        } else if (optimistic && !optimistic_sent_ && queue_.size() > 1 && queue_[1].stmt == kCountIfUnchanged) {
            // Its slot of the change log, now that the writes are known.
            std::memcpy(&arena_[queue_[1].at + 8], touched, sizeof touched);
        } else if (optimistic && wrote && ring_ && touched_n_ >= 0) {
            // It went out before they were (a read needed a round trip): the
            // slot is written again under the lock it took.
            enqueue(kLogWrites, nullptr, tv, tl, kLogIds);
        }
        // No id kept, or it went to a new entry: one is taken under this
        // lock, answered just before the commit's.
        bool restock = !spare_id_ && wrote && optimistic && !counted_here;
        if (restock) {
            char one[8];
            put_big_endian(one, 1);
            const char *cv[] = {one};
            const int cl[] = {8};
            enqueue(kTakeIds, nullptr, cv, cl, 1);
        }
        int64_t spare = locked_spare_;
        PGresult *r, *taken = nullptr;
        if (flush_after_commit) {
            // Others wait for this lock (it was taken first, or the lock
            // went out with the writes because others wrote meanwhile): it
            // is released before the sync to disk, so that their commits
            // can share syncs, and the answer waits for the sync: a record
            // of its own, committed synchronously in the same pipeline,
            // reaches the disk only once this commit is there. Other
            // connections may see the writes before they are on disk;
            // after a crash they forget what they hold (see
            // take_server_restarted). The count's update made the commit
            // one that does not wait.
            enqueue(-1, "COMMIT", nullptr, nullptr, 0);
            PGresult *flushed = exchange(kFlushMark, nullptr, nullptr, nullptr, 0, true, &r, 0, 1, nullptr, nullptr,
                                         false, nullptr, true);
            if (flushed) pq_.PQclear(flushed);
        } else {
            r = exchange(-1, "COMMIT", nullptr, nullptr, 0, true, restock ? &taken : nullptr);
        }
        end_transaction_state();
        bool committed = r && std::strcmp(pq_.PQcmdStatus(r), "COMMIT") == 0;
        if (r) pq_.PQclear(r);
        if (taken) {
            if (committed && pq_.PQntuples(taken) == 1) spare = big_endian(pq_.PQgetvalue(taken, 0, 0));
            pq_.PQclear(taken);
        }
        if (!committed) raise("the server rolled the transaction back (SQLSTATE 40000)", "40000");
        // Only an id whose taking is on disk is kept: after a crash the
        // sequence may hand out again what an unfinished transaction took.
        if (spare) spare_id_ = spare;
        creating_ = unsettled_ = false;
        if (wrote || optimistic) ++own_commits_;
        if (optimistic && !preread) ++optimistic_commits_;
        if (entry_only) {
            ++entry_guarded_commits_;
            // Others may have committed unseen before it: what changed is
            // read from the count before it on.
            ++log_lag_;
        }
        if (!ring_ && wrote && !log_tried_) add_log();
        return nullptr;
    }
    default:
        break;
    }

    usable(which);
    if (tx_ && broken_)
        raise("an earlier statement of this transaction failed; the server rolled it back (SQLSTATE 25P02)",
              "25P02");
    if (!per_map(which)) map = 0;
    if (map && !statements(which, map).prepared) {
        // A named map's statements, the first time it is used here.
        std::vector<int> mine;
        for (int i = 0; i < kStatementCount; ++i)
            if (of_map(i)) mine.push_back(i);
        prepare(mine, map);
    }
    if (which == Sql::LoadEntry && prefetched_ && map == prefetched_map_ && big_endian(values[0]) == prefetched_id_ &&
        nothing_written()) {
        // Read with the lock, nothing written since.
        PGresult *r = prefetched_;
        prefetched_ = nullptr;
        handed_from_ = prefetched_from_;
        return r;
    }
    if (which == Sql::LoadEntry && load_from.id && load_from.map == map && load_from.id == big_endian(values[0]) &&
        load_from.from > 0 && !tx_ && pipeline_ && stmts_.prepared && format_ == format::kVersion) {
        // Item rows this connection knows: only those past them, as the
        // lock's round trip brings an entry (a version no entry has).
        LoadParams p(map ? map : store_id_, load_from.id, -1, load_from.from, load_from.known_at);
        PGresult *r = exchange(kLoadIfChanged, nullptr, p.values, p.lengths, 5);
        handed_from_ = load_from.from;
        return r;
    }
    if (which == Sql::ScanEntries && !map && scanned_ && (locked_ || preread_ || scanned_outside_) &&
        nothing_written()) {
        // Read under the lock (or with the change count) with nothing
        // written since: still the entries.
        PGresult *r = scanned_;
        scanned_ = nullptr;
        scanned_outside_ = false;
        scan_map_ = -1;
        return r;
    }
    if (which == Sql::ScanEntries && (!tx_ || nothing_written()))
        if (PGresult *r = scan_changes(map)) return r;
    switch (which) {
    case Sql::Savepoint:
        if (!tx_) break;
        levels_.push_back(Level{false, queue_.size()});
        return nullptr;
    case Sql::Release:
        if (!tx_ || levels_.empty()) break;
        release_level();
        return nullptr;
    case Sql::RollbackTo:
        if (!tx_ || levels_.empty()) break;
        rollback_level();
        return nullptr;
    case Sql::InsertEntry: {
        if (!tx_) break;
        wrote_ = true;
        note_write(which, map, values);
        char id[8];
        last_id_ = take_id();
        touch(last_id_, false);
        put_big_endian(id, last_id_);
        const char *v[] = {values[0], values[1], id};
        const int l[] = {lengths[0], lengths[1], 8};
        enqueue((int) which, nullptr, v, l, 3, map);
        return nullptr;
    }
    case Sql::UpdateEntry:
        if (!tx_) break;
        wrote_ = true;
        note_write(which, map, values);
        queue_update(big_endian(values[0]), values, lengths, map);
        return nullptr;
    case Sql::InsertMap:
        break;  // its id comes back with the answer
    default:
        if (writes(which) && tx_) {
            wrote_ = true;
            note_write(which, map, values);
            enqueue((int) which, nullptr, values, lengths, n, map);
            return nullptr;
        }
        break;
    }
    if (s.control) {
        PGresult *r = exchange(-1, s.sql);
        pq_.PQclear(r);
        return nullptr;
    }
    if (writes(which)) wrote_ = true;
    PGresult *r;
    if (which == Sql::InsertEntry) {
        // Outside a transaction (the store never does this): an id of its own.
        char one[8];
        put_big_endian(one, 1);
        const char *cv[] = {one};
        const int cl[] = {8};
        PGresult *ids = exchange(kTakeIds, nullptr, cv, cl, 1);
        last_id_ = big_endian(pq_.PQgetvalue(ids, 0, 0));
        pq_.PQclear(ids);
        char own[8];
        put_big_endian(own, last_id_);
        const char *v[] = {values[0], values[1], own};
        const int l[] = {lengths[0], lengths[1], 8};
        r = exchange((int) which, nullptr, v, l, 3, false, nullptr, map);
    } else {
        r = exchange((int) which, nullptr, values, lengths, n, false, nullptr, map);
    }
    return r;
}

bool PgDb::begin_preread(const WriteHint &hint, int64_t expected, bool partial) {
    // Each statement reads in a snapshot of its own, in this order: what
    // the entries show is never older than the count it is taken for.
    enqueue((int) Sql::DataVersion, nullptr, nullptr, nullptr, 0);
    PGresult *count = nullptr, *scan = nullptr;
    PGresult *entry = load_if_changed(hint, expected, partial, scan, count);
    bool found = count && pq_.PQntuples(count) == 1;
    int64_t changes = found ? big_endian(pq_.PQgetvalue(count, 0, 0)) : 0;
    if (count) pq_.PQclear(count);
    if (!found) {
        if (scan) pq_.PQclear(scan);
        if (entry) pq_.PQclear(entry);
        end_transaction_state();
        return false;
    }
    ++prereads_;
    others_quiet_ = changes == expected;
    begin_optimistic(changes);
    // The check of the entry alone, sent instead of the count's when the
    // transaction turns out to have touched nothing else (guard_entry_only;
    // the version goes in then).
    char m[8], id[8], version[8] = {};
    put_big_endian(m, hint.map ? hint.map : store_id_);
    put_big_endian(id, hint.entry);
    const char *ev[] = {m, id, version};
    const int el[] = {8, 8, 8};
    enqueue(kEntryAt, nullptr, ev, el, 3);
    queue_.back().dead = true;
    preread_ = true;
    tx_hint_ = hint;
    keep_changes(scan, entry, changes != expected, hint);
    return true;
}

void PgDb::touch(int64_t id, bool rewrote_items) {
    if (touched_n_ < 0) return;
    int64_t logged = rewrote_items ? -id : id;
    for (int i = 0; i < touched_n_; ++i) {
        if (touched_[i] == id || touched_[i] == -id) {
            if (rewrote_items) touched_[i] = logged;
            return;
        }
    }
    if (touched_n_ == kLogIds) touched_n_ = -1;
    else touched_[touched_n_++] = logged;
}

void PgDb::touched_ids(char out[8 * kLogIds]) const {
    for (int i = 0; i < kLogIds; ++i)
        put_big_endian(out + 8 * i, touched_n_ < 0 ? (i ? 0 : -1) : i < touched_n_ ? touched_[i] : 0);
}

// The writes of one entry or its items, which their first parameter names.
static bool writes_entry(Sql s) {
    switch (s) {
    case Sql::UpdateEntry:
    case Sql::DeleteEntry:
    case Sql::InsertItem:
    case Sql::UpdateItem:
    case Sql::DeleteItem:
    case Sql::DeleteItemsOf:
        return true;
    default:
        return false;
    }
}

void PgDb::note_write(Sql which, int64_t map, const char *const *values) {
    bool one = writes_entry(which);
    if (one)
        touch(big_endian(values[0]),
              which == Sql::UpdateItem || which == Sql::DeleteItem || which == Sql::DeleteItemsOf);
    else if (which != Sql::InsertEntry && which != Sql::InsertTag) touched_n_ = -1;  // (InsertEntry's id: see execute)
    if (!preread_ || foreign_write_) return;
    if (one && map == tx_hint_.map && big_endian(values[0]) == tx_hint_.entry) {
        // The store writes version n + 1 over the version n it read.
        if (which == Sql::UpdateEntry && guard_version_ < 0) guard_version_ = big_endian(values[1]) - 1;
        return;
    }
    foreign_write_ = true;
}

bool PgDb::guard_entry_only() {
    if (!preread_ || optimistic_sent_ || !narrow_ || foreign_write_ || guard_version_ < 0 || !levels_.empty() ||
        queue_.size() < kPrereadQueued || queue_[1].stmt != kCountIfUnchanged || queue_[2].stmt != kEntryAt)
        return false;
    Queued &lock = queue_[1];
    lock.stmt = kLockStore;
    lock.params = 0;
    Queued &at = queue_[2];
    put_big_endian(&arena_[at.at + 16], guard_version_);
    at.dead = false;
    return true;
}

void PgDb::begin_optimistic(int64_t expected) {
    enqueue(-1, "BEGIN", nullptr, nullptr, 0);
    // The log's slot says "not known" unless the commit fills it in (it
    // may go out before the writes are known).
    char seen[8], touched[8 * kLogIds] = {};
    put_big_endian(seen, expected);
    put_big_endian(touched, -1);
    const char *v[1 + kLogIds] = {seen};
    int l[1 + kLogIds] = {8};
    for (int i = 0; i < kLogIds; ++i) v[1 + i] = touched + 8 * i, l[1 + i] = 8;
    enqueue(kCountIfUnchanged, nullptr, v, l, 1 + kLogIds);
    optimistic_ = true;
    locked_changes_ = expected;  // once the check passed
}

PGresult *PgDb::begin_locked(const WriteHint *hint, int64_t expected, bool partial, PGresult *&lock,
                              PGresult *&scan) {
    enqueue(-1, "BEGIN", nullptr, nullptr, 0);
    enqueue(kLock, nullptr, nullptr, nullptr, 0);
    if (!hint) {
        char p[16];
        scan_params(expected, partial, p);
        const char *v[] = {p, p + 8};
        const int l[] = {8, 8};
        scan = ring_ ? read_changes(v, 0, &lock) : exchange(kScanIfChanged, nullptr, v, l, 2, false, &lock);
        return nullptr;
    }
    return load_if_changed(*hint, expected, partial, scan, lock);
}

void PgDb::scan_params(int64_t expected, bool partial, char out[16]) {
    partial = partial && ring_;
    put_big_endian(out, partial ? expected - log_lag_ : expected);
    put_big_endian(out + 8, partial ? 1 : 0);
}

PGresult *PgDb::read_changes(const char *const *params, int64_t map, PGresult **before) {
    const int l[] = {8, 8};
    if (!big_endian(params[1])) return exchange(kScanIfChanged, nullptr, params, l, 2, false, before, map);
    enqueue(kScanIfChanged, nullptr, params, l, 2, map);
    PGresult *all = nullptr;
    PGresult *recent =
        exchange(kRecentIfChanged, nullptr, params, l, 2, false, &all, map, 1, nullptr, nullptr, false, before);
    return scan_result(all, recent);
}

PGresult *PgDb::scan_result(PGresult *all, PGresult *recent) {
    if (recent && pq_.PQntuples(recent) > 0) {
        if (all) pq_.PQclear(all);
        ++partial_scans_;
        return recent;
    }
    if (recent) pq_.PQclear(recent);
    return all;
}

PGresult *PgDb::read_along(const WriteHint &hint, int64_t expected, bool partial, bool scan_too, bool whole,
                           PGresult *&scan, PGresult *&first) {
    char sp[16];
    scan_params(expected, partial, sp);
    const char *sv[] = {sp, sp + 8};
    const int sl[] = {8, 8};
    if (scan_too) enqueue(kScanIfChanged, nullptr, sv, sl, 2);
    // (Asked for every entry, kRecentIfChanged answers nothing.)
    bool recent = scan_too && big_endian(sp + 8) != 0;
    if (recent) enqueue(kRecentIfChanged, nullptr, sv, sl, 2);
    LoadParams p(hint.map ? hint.map : store_id_, hint.entry, hint.version, hint.items_from > 0 ? hint.items_from : 0,
                 hint.items_from > 0 ? hint.items_known_at : 0);
    // (LoadEntry is the map's statement; its one parameter is the entry's id.)
    int stmt = whole ? (int) Sql::LoadEntry : kLoadIfChanged;
    int64_t map = whole ? hint.map : 0;
    const char *const *v = whole ? p.values + 1 : p.values;
    const int *l = p.lengths;
    int n = whole ? 1 : 5;
    if (!scan_too) return exchange(stmt, nullptr, v, l, n, false, &first, map);
    if (!recent) return exchange(stmt, nullptr, v, l, n, false, &scan, map, 1, nullptr, nullptr, false, &first);
    PGresult *all = nullptr, *changed = nullptr;
    PGresult *entry = exchange(stmt, nullptr, v, l, n, false, &changed, map, 1, nullptr, nullptr, false, &all,
                               false, &first);
    scan = scan_result(all, changed);
    return entry;
}

void PgDb::keep_changes(PGresult *scan, PGresult *entry, bool changed, const WriteHint &hint) {
    if (changed) scanned_ = scan;
    else if (scan) pq_.PQclear(scan);
    if (entry && pq_.PQntuples(entry) > 0) {
        prefetched_ = entry;
        prefetched_map_ = hint.map;
        prefetched_id_ = hint.entry;
        prefetched_from_ = hint.items_from > 0 ? hint.items_from : 0;
        ++prefetches_;
    } else if (entry) {
        pq_.PQclear(entry);
    }
}

bool PgDb::known_item_checksums(int64_t map, int64_t id, int64_t from, std::string_view &crcs, bool &intact) {
    const PgCursor *entry = loaded_entry(map, id);
    if (!entry || !entry->items_from_ || entry->items_from_ != from || pq_.PQntuples(entry->res_) < 1) return false;
    intact = big_endian(pq_.PQgetvalue(entry->res_, 0, 6)) != 0;
    crcs = pq_.PQgetisnull(entry->res_, 0, 5)
               ? std::string_view()
               : std::string_view(pq_.PQgetvalue(entry->res_, 0, 5), (size_t) pq_.PQgetlength(entry->res_, 0, 5));
    return true;
}

int64_t PgDb::loaded_changes(int64_t map, int64_t id) const {
    const PgCursor *entry = loaded_entry(map, id);
    if (!entry || pq_.PQntuples(entry->res_) < 1 || pq_.PQnfields(entry->res_) < 8) return 0;
    return big_endian(pq_.PQgetvalue(entry->res_, 0, 7));
}

int64_t PgDb::changes_before_commit() const {
    return ring_ && tx_ && (locked_ || optimistic_ || preread_) ? locked_changes_ : 0;
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
    usable(Sql::Count_);
    const char *values[] = {param ? param->data() : ""};
    int lengths[] = {param ? (int) param->size() : 0};
    return exchange(-1, sql.c_str(), values, lengths, param ? 1 : 0, false, nullptr, 0, binary ? 1 : 0, context);
}

std::vector<std::string> PgDb::nonempty_maps() {
    settle();
    if (absent_) return {};
    std::string entries = table("dualcache_entries");
    std::string sql = "SELECT ''::bytea WHERE EXISTS (SELECT 1 FROM " + entries + " WHERE store = " +
                      std::to_string(store_id_) + ") UNION ALL SELECT substring(s.name from 10) FROM " +
                      table("dualcache_stores") + " s WHERE substring(s.name from 1 for 9) = " +
                      fill(MAP_ROW_PREFIX, schema_, store_id_, 0) + " AND EXISTS (SELECT 1 FROM " + entries +
                      " e WHERE e.store = s.id)";
    // One statement: one snapshot, also outside a transaction.
    PGresult *r = one_off(sql, nullptr, true, "cannot list the maps");
    std::vector<std::string> names;
    for (int i = 0, n = pq_.PQntuples(r); i < n; ++i)
        names.emplace_back(pq_.PQgetvalue(r, i, 0), (size_t) pq_.PQgetlength(r, i, 0));
    pq_.PQclear(r);
    return names;
}

std::vector<std::string> PgDb::names_beginning_with_own() {
    if (!tables_) return {};
    const std::string n = std::to_string(address_.name.size());
    // Not a map's row, nor the row an upgrade set aside (0xfe, the id):
    // with an empty prefix, they would begin with it too.
    std::string sql = "SELECT substring(name from " + n + " + 1) FROM " + table("dualcache_stores") +
                      " WHERE substring(name from 1 for " + n + ") = $1 AND substring(name from 1 for 1) NOT IN "
                      "(decode('fe', 'hex'), decode('ff', 'hex')) ORDER BY 1";
    PGresult *r = one_off(sql, &address_.name, true, "cannot list the stores");
    std::vector<std::string> names;
    for (int i = 0, rows = pq_.PQntuples(r); i < rows; ++i)
        names.emplace_back(pq_.PQgetvalue(r, i, 0), (size_t) pq_.PQgetlength(r, i, 0));
    pq_.PQclear(r);
    return names;
}

std::vector<std::string> pg_store_names(const PgAddress &address) {
    PgDb db(address);
    return db.names_beginning_with_own();
}

void PgDb::run_blocking(Sql which) { run(which).done(); }

}  // namespace dualcache
