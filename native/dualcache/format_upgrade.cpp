#include "format_upgrade.h"

#include "format.h"
#include "registry.h"
#include "sealed.h"
#include "tag_table.h"

namespace dualcache {
using namespace format;

int64_t FormatUpgrade::shape_for(int64_t tag_id, uint64_t fields) {
    auto tag = tags_.find(tag_id);
    if (tag == tags_.end()) throw CorruptValue{"record refers to an unknown tag"};
    const RecordClass *rc = record_class_by_tag(tag->second);
    bool named = rc && rc->names && rc->names_utf8.size() == fields;
    auto [at, added] = ids_.emplace(std::make_pair(tag_id, named), (int64_t) ids_.size() + 1);
    if (added) {
        std::string bytes = encode_shape(tag->second, named ? &rc->names_utf8 : nullptr);
        sealed::shape(bytes, at->second);
        shapes_.emplace_back(at->second, std::move(bytes));
    }
    return at->second;
}

// Copies one value, rewriting what changed between the formats.
void FormatUpgrade::any(ByteReader &r, ByteWriter &w, int depth, uint64_t items, uint32_t items_xor) {
    if (depth > kMaxDepth) throw CorruptValue{"value nested too deeply"};
    auto copy = [&](size_t n) { w.raw(r.take(n), n); };
    auto sized = [&] {
        size_t n = r.length();
        w.varint(n);
        copy(n);
    };
    auto integer = [&] {
        uint8_t c = r.byte();
        w.byte(c);
        if (c == INT)
            w.svarint(r.svarint());
        else if (c == BIGINT)
            sized();
        else
            throw CorruptValue{"an integer expected"};
    };
    auto tz = [&] {
        uint8_t flags = r.byte();
        w.byte(flags);
        switch (flags >> 1) {
        case TZ_NONE:
        case TZ_UTC:
            return;
        case TZ_FIXED: {
            w.svarint(r.svarint());
            w.varint(r.varint());
            w.varint(r.varint());
            uint8_t has_name = r.byte();
            w.byte(has_name);
            if (has_name) sized();
            return;
        }
        case TZ_ZONEINFO:
            return sized();
        default:
            throw CorruptValue{"unknown time zone kind"};
        }
    };
    uint8_t code = r.byte();
    w.byte(code);
    switch (code) {
    case NONE:
    case FALSE_:
    case TRUE_:
        return;
    case INT:
        return w.svarint(r.svarint());
    case BIGINT:
    case STR:
    case BYTES:
    case DECIMAL:
        return sized();
    case FLOAT:
        return copy(8);
    case TUPLE:
    case LIST:
    case SET:
    case FROZENSET:
    case DICT: {
        size_t n = r.count();
        w.varint(n);
        for (size_t i = 0; i < (code == DICT ? 2 * n : n); ++i) any(r, w, depth + 1, 0, 0);
        return;
    }
    case DATETIME:
        w.varint(r.varint());
        copy(5);
        w.varint(r.varint());
        return tz();
    case DATE:
        w.varint(r.varint());
        return copy(2);
    case TIME:
        copy(3);
        w.varint(r.varint());
        return tz();
    case TIMEDELTA:
        w.svarint(r.svarint());
        w.varint(r.varint());
        w.varint(r.varint());
        return;
    case FRACTION:
        integer();
        return integer();
    case RECORD:
    case ITEMIZED: {
        if (code == ITEMIZED && depth > 0) throw CorruptValue{"an itemized record inside a value"};
        int64_t tag = (int64_t) r.varint();
        size_t n = r.count();
        w.varint((uint64_t) shape_for(tag, n));
        w.varint(n);
        bool marker = false;
        for (size_t i = 0; i < n; ++i) {
            if (code == ITEMIZED && r.remaining() && *r.peek() == ITEMS) {
                if (marker) throw CorruptValue{"two item markers in one record"};
                marker = true;
                w.byte(r.byte());
                w.varint(items);
                for (int b = 0; b < 4; ++b) w.byte((uint8_t) (items_xor >> (8 * b)));
            } else {
                any(r, w, depth + 1, 0, 0);
            }
        }
        if (code == ITEMIZED && !marker) throw CorruptValue{"an itemized record without its item marker"};
        return;
    }
    default:
        throw CorruptValue{"unknown type code"};
    }
}

std::string FormatUpgrade::key(std::string_view old, int64_t map) {
    try {
        ByteReader r(old.data(), old.size());
        ByteWriter w;
        any(r, w, 0, 0, 0);
        if (!r.at_end()) throw CorruptValue{"trailing bytes after the value"};
        sealed::key(w.out(), map);
        return std::move(w.out());
    } catch (const CorruptValue &) {
        std::string kept(old);
        sealed::damaged_key(kept, map);
        return kept;
    }
}

uint32_t FormatUpgrade::item(int64_t map, int64_t ord, std::string_view old_key, std::string_view old_value,
                             std::string &key, std::string &value) {
    try {
        ByteReader rk(old_key.data(), old_key.size()), rv(old_value.data(), old_value.size());
        ByteWriter wk, wv;
        any(rk, wk, 0, 0, 0);
        any(rv, wv, 0, 0, 0);
        if (!rk.at_end() || !rv.at_end()) throw CorruptValue{"trailing bytes after the value"};
        key = std::move(wk.out());
        value = std::move(wv.out());
        return sealed::item(value, map, ord, key);
    } catch (const CorruptValue &) {
        key.assign(old_key);
        value.assign(old_value);
        sealed::damaged_item(value, map, ord, key);
        return 0;
    }
}

bool FormatUpgrade::is_itemized(std::string_view old) { return !old.empty() && (uint8_t) old[0] == ITEMIZED; }

std::string FormatUpgrade::value(std::string_view old, int64_t map, uint64_t items, uint32_t items_xor) {
    try {
        ByteReader r(old.data(), old.size());
        ByteWriter w;
        any(r, w, 0, items, items_xor);
        if (!r.at_end()) throw CorruptValue{"trailing bytes after the value"};
        sealed::value(w.out(), map);
        return std::move(w.out());
    } catch (const CorruptValue &) {
        std::string kept(old);
        sealed::damaged_value(kept, map);
        return kept;
    }
}

std::vector<std::pair<int64_t, std::string>> FormatUpgrade::shapes() const { return shapes_; }

}  // namespace dualcache
