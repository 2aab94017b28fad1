#include "tag_table.h"

#include "bytes.h"

namespace dualcache {

void TagTable::load() {
    by_id_.clear();
    by_tag_.clear();
    Run q = db_.run(Sql::LoadTags);
    while (q.step()) {
        int64_t id = q.int64(0);
        std::string tag(q.text(1));
        by_tag_[tag] = id;
        by_id_[id] = Tag{std::move(tag), nullptr};
    }
    loaded_ = true;
}

void TagTable::forget() {
    by_id_.clear();
    by_tag_.clear();
    loaded_ = false;
}

int64_t TagTable::id_for(const RecordClass &rc) {
    if (!loaded_) load();
    if (auto it = by_tag_.find(rc.tag_utf8); it != by_tag_.end()) return it->second;
    // Another process may have added it since we looked.
    load();
    if (auto it = by_tag_.find(rc.tag_utf8); it != by_tag_.end()) return it->second;
    {
        Run ins = db_.run(Sql::InsertTag);
        ins.bind_text(1, rc.tag_utf8).done();
    }
    int64_t id = db_.last_insert_id();
    by_tag_[rc.tag_utf8] = id;
    by_id_[id] = Tag{rc.tag_utf8, &rc};
    return id;
}

const RecordClass &TagTable::class_for(int64_t id) {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) {
        load();
        it = by_id_.find(id);
        if (it == by_id_.end()) throw CorruptValue{"record refers to an unknown tag"};
    }
    Tag &t = it->second;
    if (!t.rc) t.rc = record_class_by_tag(t.tag);
    if (!t.rc) {
        PyErr_Format(PyExc_TypeError,
                     "stored record has the tag '%s', which is not registered in this process: import "
                     "the module that registers it with zelph.dualcache.register() before reading",
                     t.tag.c_str());
        throw nb::python_error();
    }
    return *t.rc;
}

}  // namespace dualcache
