#include "tag_table.h"

#include <algorithm>

#include "bytes.h"
#include "format.h"
#include "raise.h"
#include "sealed.h"

namespace dualcache {

std::string encode_shape(std::string_view tag, const std::vector<std::string> *names) {
    ByteWriter w;
    w.sized(tag.data(), tag.size());
    w.varint(names ? names->size() + 1 : 0);
    if (names)
        for (const std::string &n : *names) w.sized(n.data(), n.size());
    return std::move(w.out());
}

static Shape parse_shape(std::string_view bytes) {
    ByteReader r(bytes.data(), bytes.size());
    Shape s;
    size_t n = r.length();
    s.tag.assign((const char *) r.take(n), n);
    uint64_t k = r.varint();
    s.named = k > 0;
    if (s.named) {
        if (k - 1 > r.remaining()) throw CorruptValue{"more field names than bytes"};
        for (uint64_t i = 1; i < k; ++i) {
            size_t len = r.length();
            s.names.emplace_back((const char *) r.take(len), len);
        }
    }
    if (!r.at_end()) throw CorruptValue{"trailing bytes after the shape"};
    return s;
}

void TagTable::add_row(int64_t id, std::string_view stored) {
    Shape s;
    try {
        if (db_.format() < 2) {
            s.tag.assign(stored);  // a format-1 tag: records by position
        } else {
            std::string_view bytes = sealed::open_shape(stored, id);
            s = parse_shape(bytes);
            by_bytes_.emplace(std::string(bytes), id);
        }
    } catch (const CorruptValue &c) {
        s.damage = "the record shape row " + std::to_string(id) + ": " + c.what;
    }
    by_id_[id] = std::move(s);
    max_id_ = std::max(max_id_, id);
}

// Adds the rows not known yet. Rows are never changed or removed once
// committed (ids are not reused), so the shapes known stay as they are:
// a decoder may hold one while it reads a nested record of a new shape.
void TagTable::load() {
    Run q = db_.run(Sql::LoadTags);
    while (q.step())
        if (int64_t id = q.int64(0); !by_id_.count(id)) add_row(id, q.blob(1));
    loaded_ = true;
}

void TagTable::forget() {
    by_id_.clear();
    by_bytes_.clear();
    by_class_.clear();
    max_id_ = 0;
    loaded_ = false;
}

int64_t TagTable::id_for(const RecordClass &rc) {
    if (probing_ && db_.format() < format::kVersion) throw ShapeNotStored{};
    if (db_.format() < format::kVersion) raise(PyExc_RuntimeError, "records are written only into a store of the current format");
    if (auto known = by_class_.find(&rc); known != by_class_.end() && known->second.generation == rc.generation)
        return known->second.id;
    std::string bytes = encode_shape(rc.tag_utf8, rc.names ? &rc.names_utf8 : nullptr);
    if (probing_ && !loaded_) throw ShapeNotStored{};
    if (!loaded_) load();
    if (auto it = by_bytes_.find(bytes); it != by_bytes_.end()) {
        by_class_[&rc] = Known{rc.generation, it->second};
        return it->second;
    }
    if (probing_) throw ShapeNotStored{};
    // Another process may have added it since we looked.
    load();
    if (auto it = by_bytes_.find(bytes); it != by_bytes_.end()) {
        by_class_[&rc] = Known{rc.generation, it->second};
        return it->second;
    }
    int64_t id = max_id_ + 1;
    std::string stored = bytes;
    sealed::shape(stored, id);
    db_.run(Sql::InsertTag).bind(1, id).bind(2, std::string_view(stored)).done();
    ++rows_added_;
    add_row(id, stored);
    by_class_[&rc] = Known{rc.generation, id};
    return id;
}

std::string quoted_names(const std::vector<std::string> &names) {
    std::string list;
    for (const std::string &name : names) list += (list.empty() ? "'" : ", '") + name + "'";
    return list;
}

// How records of shape `s` become instances of its class as registered now.
static void plan(Shape &s, const RecordClass &rc) {
    s.rc = &rc;
    s.generation = rc.generation;
    s.source.clear();
    s.refused.clear();
    s.itemized = rc.itemized_field();
    if (s.named && !rc.names) {
        // The class's tuple has no names to match the stored ones with:
        // read by position, its fields could come back swapped.
        s.same = false;
        s.refused = "stored " + rc.tag_utf8 + " records hold their fields by name (" + quoted_names(s.names) +
                    "), but the class is registered without field names: register it with fields=... to read them";
        return;
    }
    // (A record stored by position is read by position: the class, or its
    // codec, checks the number of its fields.)
    s.same = !s.named || s.names == rc.names_utf8;
    if (s.same) return;
    const std::vector<std::string> &now = rc.names_utf8;
    for (const std::string &name : now) {
        auto at = std::find(s.names.begin(), s.names.end(), name);
        s.source.push_back(at == s.names.end() ? -1 : (int) (at - s.names.begin()));
    }
    for (const std::string &name : s.names)
        if (std::find(now.begin(), now.end(), name) == now.end()) {
            s.refused = "stored " + rc.tag_utf8 + " records have the field '" + name +
                        "', which the class as registered now does not have";
            break;
        }
    s.itemized = s.itemized < 0 ? -1 : s.source[(size_t) s.itemized];
}

const Shape &TagTable::shape(int64_t id) {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) {
        load();
        it = by_id_.find(id);
        if (it == by_id_.end()) throw CorruptValue{"record refers to an unknown shape"};
    }
    Shape &s = it->second;
    if (!s.damage.empty()) throw CorruptValue{s.damage};
    const RecordClass *rc = s.rc && s.rc->generation == s.generation ? s.rc : record_class_by_tag(s.tag);
    if (!rc) {
        PyErr_Format(PyExc_TypeError,
                     "stored record has the tag '%s', which is not registered in this process: import "
                     "the module that registers it with zelph.dualcache.register() before reading",
                     s.tag.c_str());
        throw nb::python_error();
    }
    if (rc != s.rc || rc->generation != s.generation) plan(s, *rc);
    return s;
}

}  // namespace dualcache
