// The store's table of record shapes: a stored record names its class, and
// the names of its stored fields, by a small integer, the row id of its
// shape (format.h describes a shape's bytes). A class that gains or loses a
// field gets a new shape; records under an older one are read by name.
// Rows are only added, inside write transactions; ids are never reused.
//
// A store still in format 1 has a tag table instead (id and tag): its
// records are stored by position, read as such.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry.h"
#include "sqlite_db.h"

namespace dualcache {

// One row of the table, and how its records become the class's.
struct Shape {
    std::string tag;
    bool named = false;              // false: stored by position
    std::vector<std::string> names;  // the stored fields (named shapes)
    std::string damage;              // why the row cannot be read ("" when it can)

    // Resolved in this process against the class registered for `tag`:
    const RecordClass *rc = nullptr;
    uint64_t generation = 0;  // of rc's registration that the plan was made for
    bool same = false;        // the stored fields are the class's, in its order
    std::vector<int> source;  // per field of the class: the stored field's index, or -1
    int itemized = -1;        // the stored index of the class's itemized field, or -1
    // Why its records cannot be read as the class is registered now, though
    // they are sound ("" when they can): a stored field the class no longer
    // has, or fields stored by name for a class registered without names.
    std::string refused;
};

// Field names as messages list them: 'sym', 'qty'.
std::string quoted_names(const std::vector<std::string> &names);

// What id_for meets, while probing, for a class whose shape is not stored.
struct ShapeNotStored {};

// A shape's bytes (without its checksum): named when `names` is given.
std::string encode_shape(std::string_view tag, const std::vector<std::string> *names);

class TagTable {
public:
    explicit TagTable(Db &db) : db_(db) {}

    // The id of the shape of the class as it is registered now, adding a
    // row when it is new (the caller holds the write lock); while probing,
    // ShapeNotStored instead of a row.
    int64_t id_for(const RecordClass &rc);
    // Encoding only to compare, in a read: nothing is read or added
    // meanwhile (a shape not known yet is ShapeNotStored).
    class Probe {
    public:
        explicit Probe(TagTable &t) : t_(t), was_(t.probing_) { t.probing_ = true; }
        ~Probe() { t_.probing_ = was_; }
        Probe(const Probe &) = delete;
        Probe &operator=(const Probe &) = delete;

    private:
        TagTable &t_;
        bool was_;
    };
    // The shape stored under `id`, resolved against its registered class
    // (the reference stays valid until forget()). TypeError when the tag is
    // not registered in this process; CorruptValue when the id is unknown or
    // its row is damaged.
    const Shape &shape(int64_t id);
    // Drops what is known (after a rollback that may have removed rows, or
    // a change of format); never while a value is being decoded.
    void forget();
    // Reads the rows not known yet (before a scan that reads ahead of its
    // decoding: shape() then needs no read of its own).
    void read_all() { load(); }
    int format() const { return db_.format(); }
    // How many rows this process added (a rollback that removed none leaves
    // what is known as it is).
    int64_t rows_added() const { return rows_added_; }

private:
    void load();
    void add_row(int64_t id, std::string_view stored);

    Db &db_;
    std::unordered_map<int64_t, Shape> by_id_;
    std::unordered_map<std::string, int64_t> by_bytes_;  // a shape's bytes -> id
    // The shape id of a class as registered (its registration generation):
    // the common case, without encoding the shape.
    struct Known {
        uint64_t generation;
        int64_t id;
    };
    std::unordered_map<const RecordClass *, Known> by_class_;
    int64_t max_id_ = 0;
    int64_t rows_added_ = 0;
    bool loaded_ = false;
    bool probing_ = false;
};

}  // namespace dualcache
