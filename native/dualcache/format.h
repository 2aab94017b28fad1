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
//   RECORD   tag id (row of the store's tag table), field count, fields
//   ITEMIZED the top-level head of a record whose mapping field lives in
//            the item table: as RECORD, the mapping's place holding ITEMS
//
// flags: bit 0 = fold, bits 1-3 = tz kind (0 naive, 1 UTC, 2 fixed offset,
// 3 zoneinfo key). Fixed offset: svarint days, seconds, microseconds, then
// 0 or 1 and a name. Zoneinfo: the key.
#pragma once
#include <cstdint>

namespace dualcache::format {

constexpr int32_t kApplicationId = 0x7a646331;  // "zdc1"
constexpr int kVersion = 1;
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
};

enum TzKind : uint8_t { TZ_NONE = 0, TZ_UTC = 1, TZ_FIXED = 2, TZ_ZONEINFO = 3 };

}  // namespace dualcache::format
