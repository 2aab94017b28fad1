// The store's table of record tags: a stored record names its class by a
// small integer, the row id of its tag in the `tags` table. Rows are only
// added, inside write transactions; ids are never reused.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>

#include "registry.h"
#include "sqlite_db.h"

namespace dualcache {

class TagTable {
public:
    explicit TagTable(Db &db) : db_(db) {}

    // The id of the class's tag, adding a row when the tag is new (the
    // caller holds the write lock).
    int64_t id_for(const RecordClass &rc);
    // The registered class stored under `id`. TypeError when the tag is not
    // registered in this process; CorruptValue when the id is unknown.
    const RecordClass &class_for(int64_t id);
    // Drops what is known (after a rollback that may have removed rows).
    void forget();

private:
    struct Tag {
        std::string tag;
        const RecordClass *rc = nullptr;
    };
    void load();

    Db &db_;
    std::unordered_map<int64_t, Tag> by_id_;
    std::unordered_map<std::string, int64_t> by_tag_;
    bool loaded_ = false;
};

}  // namespace dualcache
