// Rows of format 1 rewritten in the current format, byte for byte what the
// current format writes for the same values, without decoding them (no
// class needs to be registered): record tags become shapes (named after
// the fields of the class registered under the tag now when their number is
// the record's, by position otherwise), each ITEMS marker gets the number of
// its record's item rows and the XOR of their checksums, and every value
// its checksum. A value the old format could not read either is carried
// over sealed as damaged: it stays unreadable, the rest is upgraded.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bytes.h"

namespace dualcache {

class FormatUpgrade {
public:
    // `tags`: the old tag table, id -> tag.
    explicit FormatUpgrade(std::unordered_map<int64_t, std::string> tags) : tags_(std::move(tags)) {}

    // The rows of map `map` (0: the default map).
    std::string key(std::string_view old, int64_t map);
    // An item row at `ord`: its new key and value (sealed); the checksum.
    uint32_t item(int64_t map, int64_t ord, std::string_view old_key, std::string_view old_value, std::string &key,
                  std::string &value);
    // Whether an entry's value is the head of a record kept item by item
    // (its items are rewritten first, for value()'s summary).
    static bool is_itemized(std::string_view old);
    std::string value(std::string_view old, int64_t map, uint64_t items, uint32_t items_xor);
    // The shapes the rewritten rows refer to: id and stored bytes.
    std::vector<std::pair<int64_t, std::string>> shapes() const;

private:
    void any(ByteReader &r, ByteWriter &w, int depth, uint64_t items, uint32_t items_xor);
    int64_t shape_for(int64_t tag_id, uint64_t fields);

    std::unordered_map<int64_t, std::string> tags_;
    std::map<std::pair<int64_t, bool>, int64_t> ids_;  // (old tag id, named) -> shape id
    std::vector<std::pair<int64_t, std::string>> shapes_;
};

}  // namespace dualcache
