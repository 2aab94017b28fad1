// The memory level of a store: every key, in the store's order, with its
// row id, the stored version this process knows, and the live object once
// the value was read or assigned.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "item_state.h"

namespace dualcache {
namespace nb = nanobind;

struct Entry {
    int64_t id = 0;       // row id: increasing, never reused, so also the store's order
    int64_t version = 0;  // of the stored value: counts the entry's writes
    nb::object key;
    nb::object live;                   // the live value, when loaded or assigned
    std::unique_ptr<ItemState> items;  // disk image of an itemized value's mapping
    uint32_t seen = 0;                 // rebuild pass that found its row

    // Drops the live value: the next read loads it from disk.
    void forget() {
        nb::object old = std::move(live);
        items.reset();
    }
    // Another connection wrote the entry: the live value goes, but what is
    // known of its item rows stays (it still describes the rows as they were
    // at the version this process knew), so that the next read decodes only
    // the rows added since, and keeps the live value to extend in place.
    // Only a load may use them: a write needs a state of the current rows,
    // which a live value vouches for.
    void outdate() {
        nb::object old = std::move(live);
        if (items && old) items->outdated = std::move(old);
    }
};

class EntryIndex {
public:
    EntryIndex();

    // The entry of a key (dict semantics: 1, 1.0 and True are one key), or
    // nullptr. Raises for an unhashable key.
    Entry *find(PyObject *key);
    Entry *by_id(int64_t id);
    // Appends a new entry at the end of the order.
    Entry &add(nb::handle key, int64_t id, int64_t version);
    void remove(Entry &e);
    void clear();
    // Drops every live value (keys stay): the next reads load from the database.
    void forget_all();
    // Drops what is known of the item rows of every entry (live values
    // stay): the next write of each writes all its items.
    void forget_item_states();
    Py_ssize_t size() const { return PyDict_GET_SIZE(dict_.ptr()); }
    // How many entries a read would load (no live value, nothing known of
    // their rows).
    size_t unloaded() const {
        size_t n = 0;
        for (const auto &[id, e] : entries_) n += !e.live && !e.items;
        return n;
    }
    // The keys in order, as a new list.
    nb::object keys() const;
    // The entry that comes last in the order, or nullptr.
    Entry *last();

    // Rebuilds from the rows of the entries table, given in id order.
    // Entries whose id and version are unchanged keep their live objects;
    // `decode_key(row)` makes the key of a row not known yet. Nothing
    // changes when it raises.
    class Rebuild {
    public:
        explicit Rebuild(EntryIndex &index);
        template <typename DecodeKey>
        void row(int64_t id, int64_t version, DecodeKey &&decode_key) {
            Entry *e = index_.by_id(id);
            if (e)
                add(id, version, e->key, e);
            else
                add(id, version, decode_key(), nullptr);
        }
        void finish();

    private:
        struct Row {
            int64_t id, version;
            Entry *known;
            nb::object key;  // rows not known before
        };
        void add(int64_t id, int64_t version, nb::handle key, Entry *known);
        EntryIndex &index_;
        nb::object dict_;
        std::vector<Row> rows_;
        uint32_t pass_;
    };

    int traverse(visitproc visit, void *arg);
    void gc_clear();

private:
    nb::object dict_;  // key -> id (int), in the store's order
    std::unordered_map<int64_t, Entry> entries_;
    uint32_t pass_ = 0;
};

}  // namespace dualcache
