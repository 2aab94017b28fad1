#include "sealed.h"

#include "corrupt_value.h"
#include "crc32c.h"

#include <cstring>

namespace dualcache::sealed {

namespace {

constexpr size_t kSize = 4;

// Writes `v` as 8 little-endian bytes at `p`.
unsigned char *put_int(unsigned char *p, int64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = (unsigned char) ((uint64_t) v >> (8 * i));
    return p + 8;
}

// The checksum of the context: a role and a number.
uint32_t begin(char role, int64_t number) {
    unsigned char b[9] = {(unsigned char) role};
    put_int(b + 1, number);
    return crc32c(0, b, sizeof b);
}

// An item's context: its map, its order number and its key (after its
// length), checksummed in one pass when the key is short.
uint32_t item_context(int64_t map, int64_t ord, std::string_view ikey) {
    unsigned char b[1 + 8 + 8 + 10 + 64] = {'I'};
    unsigned char *p = put_int(put_int(b + 1, map), ord);
    for (uint64_t v = ikey.size();; v >>= 7) {
        *p++ = (unsigned char) (v >= 0x80 ? (v & 0x7f) | 0x80 : v);
        if (v < 0x80) break;
    }
    if (ikey.size() <= 64) {
        std::memcpy(p, ikey.data(), ikey.size());
        return crc32c(0, b, (size_t) (p - b) + ikey.size());
    }
    return crc32c(crc32c(0, b, (size_t) (p - b)), ikey.data(), ikey.size());
}

uint32_t of(uint32_t context, const std::string &blob) { return crc32c(context, blob.data(), blob.size()); }

void append(std::string &blob, uint32_t crc) {
    for (int i = 0; i < 4; ++i) blob.push_back((char) (crc >> (8 * i)));
}

uint32_t stored(std::string_view blob) {
    return checksum_at((const unsigned char *) blob.data() + blob.size() - kSize);
}

std::string_view open(std::string_view blob, uint32_t context, uint32_t *crc_out = nullptr) {
    if (blob.size() < kSize + 1) throw CorruptValue{"checksum mismatch (the value is too short to hold one)"};
    std::string_view payload = blob.substr(0, blob.size() - kSize);
    uint32_t crc = crc32c(context, payload.data(), payload.size());
    if (crc != stored(blob)) throw CorruptValue{"checksum mismatch (the stored bytes are not those written)"};
    if (crc_out) *crc_out = crc;
    return payload;
}

}  // namespace

void key(std::string &blob, int64_t map) { append(blob, of(begin('K', map), blob)); }
void value(std::string &blob, int64_t map) { append(blob, of(begin('V', map), blob)); }
void shape(std::string &blob, int64_t id) { append(blob, of(begin('S', id), blob)); }

uint32_t item(std::string &value, int64_t map, int64_t ord, std::string_view ikey) {
    uint32_t crc = of(item_context(map, ord, ikey), value);
    append(value, crc);
    return crc;
}

uint32_t map_name(int64_t id, std::string_view name) { return crc32c(begin('M', id), name.data(), name.size()); }

bool stored_checksum(std::string_view value, uint32_t &crc) {
    if (value.size() < kSize + 1) return false;
    crc = stored(value);
    return true;
}

void damaged_key(std::string &blob, int64_t map) { append(blob, ~of(begin('K', map), blob)); }
void damaged_value(std::string &blob, int64_t map) { append(blob, ~of(begin('V', map), blob)); }
void damaged_item(std::string &value, int64_t map, int64_t ord, std::string_view ikey) {
    append(value, ~of(item_context(map, ord, ikey), value));
}

std::string_view open_key(std::string_view blob, int64_t map) { return open(blob, begin('K', map)); }
std::string_view open_value(std::string_view blob, int64_t map) { return open(blob, begin('V', map)); }
std::string_view open_shape(std::string_view blob, int64_t id) { return open(blob, begin('S', id)); }
std::string_view open_item(std::string_view value, int64_t map, int64_t ord, std::string_view ikey, uint32_t &crc) {
    return open(value, item_context(map, ord, ikey), &crc);
}

}  // namespace dualcache::sealed
