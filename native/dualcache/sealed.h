// The checksum every stored value carries from store format 2 on: four bytes
// after the value, the CRC-32C (little-endian) of what the value is to the
// store followed by the value's own bytes. What it is to the store:
//
//   entry key      'K', the map's id (8 bytes, little-endian; 0 for the
//                  default map)
//   entry value    'V', the map's id
//   item           'I', the map's id, the item's order number (8 bytes),
//                  the item key's length (varint) and bytes; the checksum
//                  follows the item's value and covers its key as well
//   record shape   'S', the shape's id (8 bytes)
//   named map      'M', the map's id, its name (an SQLite file's maps
//                  table keeps it in a column of its own)
//
// so that a value read from another column, another map, another order
// number or another shape row does not pass for the one written there.
// Reading checks the checksum before anything is decoded: damaged bytes are
// a CorruptValue, never data.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace dualcache::sealed {

void key(std::string &blob, int64_t map);
void value(std::string &blob, int64_t map);
// Returns the item's checksum (the head of its record keeps their sum).
uint32_t item(std::string &value, int64_t map, int64_t ord, std::string_view ikey);
void shape(std::string &blob, int64_t id);
uint32_t map_name(int64_t id, std::string_view name);

// The value without its checksum, once the checksum matches.
std::string_view open_key(std::string_view blob, int64_t map);
std::string_view open_value(std::string_view blob, int64_t map);
std::string_view open_item(std::string_view value, int64_t map, int64_t ord, std::string_view ikey, uint32_t &crc);
std::string_view open_shape(std::string_view blob, int64_t id);

// A checksum as stored (four bytes at `p`, little-endian).
inline uint32_t checksum_at(const unsigned char *p) {
    return (uint32_t) p[0] | (uint32_t) p[1] << 8 | (uint32_t) p[2] << 16 | (uint32_t) p[3] << 24;
}

// The checksum a stored value ends in, unchecked (false when it is too short
// to hold one): comparing it with a known row's tells whether the row is
// still the one known.
bool stored_checksum(std::string_view value, uint32_t &crc);

// A value or item carried over from an older format that could not be read
// there either: sealed so that it never passes the check (it stays damaged).
void damaged_key(std::string &blob, int64_t map);
void damaged_value(std::string &blob, int64_t map);
void damaged_item(std::string &value, int64_t map, int64_t ord, std::string_view ikey);

}  // namespace dualcache::sealed
