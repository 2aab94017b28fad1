// A store on a server written in an older format: rewritten in the current
// one by its first write, and followed by the other connections that have it
// open.
//
// The upgrade moves the store to a new row of the stores table (the same
// name, the current format) and deletes the old one, all in the write
// transaction: a process of an older release that still has the store open
// then finds its row gone at its next operation ("destroyed by another
// connection") instead of writing the old format into the new rows, and a
// process of this release follows the store to its new row.
#include <cstring>
#include <unordered_map>

#include "format.h"
#include "format_upgrade.h"
#include "pg_db.h"
#include "store_error.h"

namespace dualcache {

namespace {

constexpr Oid kInt8 = 20, kBytea = 17, kInt8Array = 1016, kByteaArray = 1001;
constexpr size_t kChunk = 5000;  // rows per statement

void put32(std::string &out, uint32_t v) {
    for (int b = 3; b >= 0; --b) out.push_back((char) (v >> (8 * b)));
}

std::string int8_bytes(int64_t v) {
    std::string out;
    for (int b = 7; b >= 0; --b) out.push_back((char) ((uint64_t) v >> (8 * b)));
    return out;
}

int64_t int8_of(const char *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | (unsigned char) p[i];
    return (int64_t) v;
}

// A one-dimensional array in the server's binary form, from its elements'
// binary forms.
std::string array_of(Oid element, const std::vector<std::string> &items) {
    std::string out;
    put32(out, 1);  // dimensions
    put32(out, 0);  // no nulls
    put32(out, element);
    put32(out, (uint32_t) items.size());
    put32(out, 1);  // lower bound
    for (const std::string &v : items) {
        put32(out, (uint32_t) v.size());
        out += v;
    }
    return out;
}

// The stores-table name prefix of a store's named maps (as pg_db.cpp makes it).
std::string map_prefix(int64_t store) { return "decode('ff', 'hex') || int8send(" + std::to_string(store) + "::bigint)"; }

}  // namespace

PGresult *PgDb::with_params(const std::string &sql, const std::vector<std::pair<Oid, std::string>> &params) {
    std::vector<Oid> types;
    std::vector<const char *> values;
    std::vector<int> lengths;
    for (auto &[type, bytes] : params) {
        types.push_back(type);
        values.push_back(bytes.data());
        lengths.push_back((int) bytes.size());
    }
    usable(Sql::Count_);
    // After what is queued: the upgrade belongs to the open level.
    return exchange(-1, sql.c_str(), values.data(), lengths.data(), (int) params.size(), false, nullptr, 0, 1,
                    "upgrading the store", types.data(), true);
}

bool PgDb::follow_upgrade() {
    std::string select = "SELECT id, format FROM " + table("dualcache_stores") + " WHERE name = $1";
    PGresult *r = one_off(select, &address_.name, false, "cannot open the store");
    bool found = pq_.PQntuples(r) == 1;
    int64_t id = found ? std::strtoll(pq_.PQgetvalue(r, 0, 0), nullptr, 10) : 0;
    long fmt = found ? std::strtol(pq_.PQgetvalue(r, 0, 1), nullptr, 10) : 0;
    pq_.PQclear(r);
    if (!found || id == store_id_ || fmt <= format_) return false;
    if (fmt > format::kVersion)
        raise_store_error(path_, "written in store format " + std::to_string(fmt) + ", newer than this version reads (" +
                                     std::to_string(format::kVersion) + ")");
    store_id_ = id;
    format_ = (int) fmt;
    own_commits_ = 0;
    forget_prepared();
    return true;
}

void PgDb::upgrade() {
    const int64_t old = store_id_;
    const std::string k = std::to_string(old);
    const std::string stores = table("dualcache_stores"), tags = table("dualcache_tags"),
                      entries = table("dualcache_entries"), items = table("dualcache_items");
    auto run = [&](const std::string &sql, const std::vector<std::pair<Oid, std::string>> &params = {}) {
        return with_params(sql, params);
    };

    std::unordered_map<int64_t, std::string> old_tags;
    PGresult *r = run("SELECT id, tag FROM " + tags + " WHERE store = " + k);
    for (int i = 0, n = pq_.PQntuples(r); i < n; ++i)
        old_tags[int8_of(pq_.PQgetvalue(r, i, 0))] = std::string(pq_.PQgetvalue(r, i, 1), (size_t) pq_.PQgetlength(r, i, 1));
    pq_.PQclear(r);
    FormatUpgrade up(std::move(old_tags));

    // The store's new row, then its maps' rows renamed after it.
    pq_.PQclear(run("UPDATE " + stores + " SET name = decode('fe', 'hex') || int8send(id) WHERE id = " + k));
    r = run("INSERT INTO " + stores + "(name, format, changes) SELECT $1, " + std::to_string(format::kVersion) +
                ", changes FROM " + stores + " WHERE id = " + k + " RETURNING id",
            {{kBytea, address_.name}});
    if (pq_.PQntuples(r) != 1) {
        pq_.PQclear(r);
        raise("the store was removed while it was being upgraded (SQLSTATE 02000)", "02000");
    }
    const int64_t moved = int8_of(pq_.PQgetvalue(r, 0, 0));
    pq_.PQclear(r);
    std::vector<int64_t> maps{old};
    r = run("UPDATE " + stores + " SET name = " + map_prefix(moved) + " || substring(name from 10), format = " +
            std::to_string(format::kVersion) + " WHERE substring(name from 1 for 9) = " + map_prefix(old) +
            " RETURNING id");
    for (int i = 0, n = pq_.PQntuples(r); i < n; ++i) maps.push_back(int8_of(pq_.PQgetvalue(r, i, 0)));
    pq_.PQclear(r);

    for (int64_t map : maps) {
        const std::string m = std::to_string(map), to = std::to_string(map == old ? moved : map);
        const int64_t own = map == old ? 0 : map;  // the id the rows' checksums name (0: the default map)
        // The items of each itemized entry first: its head records their number and checksums.
        struct Sum {
            uint64_t count = 0;
            uint32_t xor_crc = 0;
        };
        std::unordered_map<int64_t, Sum> sums;
        std::vector<std::string> e, o, ik, iv;
        auto flush_items = [&] {
            if (e.empty()) return;
            pq_.PQclear(run("UPDATE " + items + " i SET store = " + to + ", ikey = u.k, value = u.v FROM unnest($1::int8[], "
                            "$2::int8[], $3::bytea[], $4::bytea[]) AS u(entry, ord, k, v) WHERE i.store = " + m +
                            " AND i.entry = u.entry AND i.ord = u.ord",
                            {{kInt8Array, array_of(kInt8, e)}, {kInt8Array, array_of(kInt8, o)},
                             {kByteaArray, array_of(kBytea, ik)}, {kByteaArray, array_of(kBytea, iv)}}));
            e.clear(), o.clear(), ik.clear(), iv.clear();
        };
        r = run("SELECT i.entry, i.ord, i.ikey, i.value FROM " + items + " i JOIN " + entries +
                " e ON e.store = i.store AND e.id = i.entry WHERE i.store = " + m +
                " AND substring(e.value from 1 for 1) = '\\x13'::bytea ORDER BY i.entry, i.ord");
        for (int i = 0, n = pq_.PQntuples(r); i < n; ++i) {
            int64_t entry = int8_of(pq_.PQgetvalue(r, i, 0)), ord = int8_of(pq_.PQgetvalue(r, i, 1));
            std::string key, value;
            uint32_t crc = up.item(own, ord, std::string_view(pq_.PQgetvalue(r, i, 2), (size_t) pq_.PQgetlength(r, i, 2)),
                                   std::string_view(pq_.PQgetvalue(r, i, 3), (size_t) pq_.PQgetlength(r, i, 3)), key,
                                   value);
            Sum &s = sums[entry];
            ++s.count;
            s.xor_crc ^= crc;
            e.push_back(int8_bytes(entry));
            o.push_back(int8_bytes(ord));
            ik.push_back(std::move(key));
            iv.push_back(std::move(value));
            if (e.size() == kChunk) flush_items();
        }
        pq_.PQclear(r);
        flush_items();
        // Rows no record refers to move with the store as they are.
        if (map == old) pq_.PQclear(run("UPDATE " + items + " SET store = " + to + " WHERE store = " + m));

        std::vector<std::string> id, key, value;
        auto flush_entries = [&] {
            if (id.empty()) return;
            pq_.PQclear(run("UPDATE " + entries + " e SET store = " + to + ", key = u.k, value = u.v FROM unnest("
                            "$1::int8[], $2::bytea[], $3::bytea[]) AS u(id, k, v) WHERE e.store = " + m +
                            " AND e.id = u.id",
                            {{kInt8Array, array_of(kInt8, id)}, {kByteaArray, array_of(kBytea, key)},
                             {kByteaArray, array_of(kBytea, value)}}));
            id.clear(), key.clear(), value.clear();
        };
        r = run("SELECT id, key, value FROM " + entries + " WHERE store = " + m + " ORDER BY id");
        for (int i = 0, n = pq_.PQntuples(r); i < n; ++i) {
            int64_t entry = int8_of(pq_.PQgetvalue(r, i, 0));
            std::string_view old_value(pq_.PQgetvalue(r, i, 2), (size_t) pq_.PQgetlength(r, i, 2));
            Sum s = FormatUpgrade::is_itemized(old_value) ? sums[entry] : Sum{};
            id.push_back(int8_bytes(entry));
            key.push_back(up.key(std::string_view(pq_.PQgetvalue(r, i, 1), (size_t) pq_.PQgetlength(r, i, 1)), own));
            value.push_back(up.value(old_value, own, s.count, s.xor_crc));
            if (id.size() == kChunk) flush_entries();
        }
        pq_.PQclear(r);
        flush_entries();
    }

    std::vector<std::string> shape_ids, shapes;
    for (auto &[sid, bytes] : up.shapes()) {
        shape_ids.push_back(int8_bytes(sid));
        shapes.push_back(bytes);
    }
    pq_.PQclear(run("DELETE FROM " + tags + " WHERE store = " + k));
    if (!shapes.empty())
        pq_.PQclear(run("INSERT INTO " + tags + "(store, id, tag) SELECT " + std::to_string(moved) +
                            ", u.id, u.t FROM unnest($1::int8[], $2::bytea[]) AS u(id, t)",
                        {{kInt8Array, array_of(kInt8, shape_ids)}, {kByteaArray, array_of(kBytea, shapes)}}));
    pq_.PQclear(run("DELETE FROM " + stores + " WHERE id = " + k));

    upgraded_from_ = old;
    prepared_before_ = stmts_.prepared;
    session_before_ = reconnects_;
    store_id_ = moved;
    format_ = format::kVersion;
    forget_prepared();
}

void PgDb::upgrade_undone() {
    if (!upgraded_from_) return;
    store_id_ = upgraded_from_;
    upgraded_from_ = 0;
    format_ = format::kOldestVersion;
    forget_prepared();
    // The old row's statements are still on the server, unless the
    // connection was made again since.
    if (conn_ && session_before_ == reconnects_) stmts_.prepared = prepared_before_;
}

}  // namespace dualcache
