// The on-disk format of a store: file identity, schema version and the type
// codes of the stored value encoding.
//
// A stored value is one tagged item: a type code byte followed by its
// payload. Integers are LEB128 varints (zigzag when signed); strings are a
// byte length and UTF-8 (lone surrogates kept with "surrogatepass").
//
//   NONE FALSE TRUE                      no payload
//   INT      svarint                     int fitting in 64 bits
//   BIGINT   length, two's complement little-endian bytes
//   FLOAT    8 bytes, IEEE-754 bits little-endian (every bit kept)
//   STR BYTES                            length, bytes
//   TUPLE LIST SET FROZENSET             count, items
//   DICT     count, (key, value) pairs in iteration order
//   DATETIME year, month, day, hour, minute, second, microsecond, flags, tz
//   DATE     year, month, day
//   TIME     hour, minute, second, microsecond, flags, tz
//   TIMEDELTA svarint days, seconds, microseconds
//   DECIMAL  str form
//   FRACTION numerator, denominator (each an INT or BIGINT item), in
//            lowest terms with a positive denominator
//   RECORD   shape id (row of the store's shape table), field count, fields
//   ITEMIZED the top-level head of a record whose mapping field lives in
//            the item table: as RECORD, the mapping's place holding ITEMS
//   ITEMS    the number of the record's item rows, then the XOR of their
//            checksums (4 bytes, little-endian)
//   ITEMS_SINCE as ITEMS, then the entry's version as of which its item
//            rows were last rewritten or removed (varint; format 4)
//
// flags: bit 0 = fold, bits 1-3 = tz kind (0 naive, 1 UTC, 2 fixed offset,
// 3 zoneinfo key). Fixed offset: svarint days, seconds, microseconds, then
// 0 or 1 and a name. Zoneinfo: the key.
//
// A shape is a record class's tag with the names of its stored fields:
// length and UTF-8 of the tag, then k (varint) and k - 1 field names (each
// length and UTF-8); k = 0 marks records stored by position, with names
// unknown (what format 1 wrote, and classes registered without names). A
// class that gains or loses a field writes under a new shape; rows under
// the old one are read by name.
//
// Every stored value (entry keys and values, items, shapes) ends in a
// checksum: see sealed.h.
//
// Format 1 (read as it is, upgraded by the first write): no checksums, no
// item count in ITEMS, and a tag table (id, tag) in place of the shapes:
// records are stored by position. Its tables: tags, entries, items, and for
// named maps maps(id, name), entries_<id>, items_<id>. Format 2's: shapes,
// maps(id, name, format) always present, and map<id>_entries,
// map<id>_items for every map, the default map being map 0.
//
// An SQLite file of format 3 holds format 2's rows, and stamps each entry
// row with the transaction that updated it last (`seq`, indexed where not
// 0); the ids of removed entries are kept with the stamp of their removal
// (map<id>_gone_entries, filled by a trigger). A write transaction stamps
// what it updates with one number above every stamp of the map; what it
// inserts comes above every id before. So a connection that knows the
// highest stamp and id as of its last look reads only what changed since.
// A file of format 2 is read as it is (every key, as before); its first
// write adds the stamps (no row is rewritten). Format 2 releases refuse
// format 3 files, and fail on the renamed tables of a file upgraded under
// them: they would write without stamping (see map_table_name).
//
// An SQLite file of format 4 holds format 3's tables; its writes mark each
// itemized head with ITEMS_SINCE: the version of the entry's last write
// that rewrote or removed one of its item rows (or wrote them all anew).
// Writes that only append rows keep the number, so a connection that knows
// the rows as of a head with that same number knows that the rows below
// its last known order number are still those: it reads the rest alone.
// Heads written in format 3 stay as they are (their rows are compared one
// by one) until their next write. Format 3 releases refuse format 4 files.
#pragma once
#include <cstdint>

namespace dualcache::format {

constexpr int32_t kApplicationId = 0x7a646331;  // "zdc1"
constexpr int kVersion = 2;        // what this code writes
constexpr int kOldestVersion = 1;  // what it still reads (and upgrades)
constexpr int kFileVersion = 4;    // what it writes into an SQLite file
constexpr int kRowsSinceVersion = 4;  // the first whose heads may say since when their rows stand
constexpr const char *kSuffix = ".sqlite";
constexpr int kBusyTimeoutMs = 30000;
constexpr int kMaxDepth = 500;  // nesting limit of a decoded value

enum Code : uint8_t {
    NONE = 0,
    FALSE_ = 1,
    TRUE_ = 2,
    INT = 3,
    BIGINT = 4,
    FLOAT = 5,
    STR = 6,
    BYTES = 7,
    TUPLE = 8,
    LIST = 9,
    DICT = 10,
    SET = 11,
    FROZENSET = 12,
    DATETIME = 13,
    DATE = 14,
    TIME = 15,
    TIMEDELTA = 16,
    DECIMAL = 17,
    RECORD = 18,
    ITEMIZED = 19,
    ITEMS = 20,
    FRACTION = 21,
    ITEMS_SINCE = 22,
};

enum TzKind : uint8_t { TZ_NONE = 0, TZ_UTC = 1, TZ_FIXED = 2, TZ_ZONEINFO = 3 };

}  // namespace dualcache::format
