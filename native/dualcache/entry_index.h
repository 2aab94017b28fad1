// The memory level of a store: every key, in the store's order, with its
// row id, the stored version this process knows, and the live object once
// the value was read or assigned.
//
// The entries sit in one array in id order (which is the store's order);
// an open-addressing table of array positions finds a key by its hash and
// Python equality (1, 1.0 and True are one key, as in a dict). Nothing per
// key is a Python object but the key itself: a loaded store costs the
// caller's objects and a few dozen bytes of its own per entry.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "item_state.h"

namespace dualcache {
namespace nb = nanobind;

struct Entry {
    int64_t id = 0;       // row id: increasing, never reused, so also the store's order
    int64_t version = 0;  // of the stored value: counts the entry's writes
    Py_hash_t hash = 0;   // of the key
    nb::object key;       // null: a removed entry awaiting compaction
    nb::object live;                   // the live value, when loaded or assigned
    std::unique_ptr<ItemState> items;  // disk image of an itemized value's mapping

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

// Open addressing over positions in an entry array: a cell holds position
// + 1 (0: empty). Linear probing from the key's mixed hash; removal shifts
// the following cells back, so there are no tombstones.
class KeyTable {
public:
    // Room for `n` keys.
    void reset(size_t n);
    void clear() { std::vector<uint32_t>().swap(cells_); }
    bool needs_room(size_t n) const { return n * 10 > cells_.size() * 7; }
    // Where the key of `hash` equal to `key` is (its position), or -1;
    // `entries` gives each position's key and hash. Raises what comparing
    // raises.
    template <typename Entries>
    Py_ssize_t find(const Entries &entries, PyObject *key, Py_hash_t hash) const;
    void insert(Py_hash_t hash, size_t pos);
    // Removes position `pos` (of hash `hash`); `hash_at(p)` gives the hash
    // at any position.
    template <typename HashAt>
    void erase(Py_hash_t hash, size_t pos, HashAt &&hash_at);
    size_t bytes() const { return cells_.size() * sizeof(uint32_t); }

private:
    size_t home(Py_hash_t hash) const {
        return (size_t) (((uint64_t) hash * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    std::vector<uint32_t> cells_;
    unsigned shift_ = 64;
};

class EntryIndex {
public:
    // The entry of a key (dict semantics: 1, 1.0 and True are one key), or
    // nullptr; `hash`, when given, receives the key's hash. Raises for an
    // unhashable key.
    Entry *find(PyObject *key, Py_hash_t *hash = nullptr);
    Entry *by_id(int64_t id);
    // The same for ids asked in ascending order: `from` (0 at first) keeps
    // the place between calls.
    Entry *by_id_ascending(int64_t id, size_t &from) {
        while (from < entries_.size() && entries_[from].id < id) ++from;
        return from < entries_.size() && entries_[from].id == id && entries_[from].key ? &entries_[from] : nullptr;
    }
    // Adds a new entry (a key not in the index); it comes last in the order
    // unless an id as high was removed before. Entry pointers held across
    // it, remove() or a rebuild are invalid.
    Entry &add(nb::handle key, int64_t id, int64_t version);
    // The same with the key's hash as find() gave it: no Python code runs
    // (a write adds its entry after its statements ran).
    Entry &add(nb::handle key, Py_hash_t hash, int64_t id, int64_t version);
    void remove(Entry &e);
    void clear();
    // Drops every live value (keys stay): the next reads load from the database.
    void forget_all();
    // Drops what is known of the item rows of every entry (live values
    // stay): the next write of each writes all its items.
    void forget_item_states();
    Py_ssize_t size() const { return (Py_ssize_t) live_; }
    // How many entries a read would load (no live value, nothing known of
    // their rows).
    size_t unloaded() const {
        size_t n = 0;
        for (const Entry &e : entries_) n += e.key && !e.live && !e.items;
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
        explicit Rebuild(EntryIndex &index) : index_(index) { table_.reset(index.live_); }
        template <typename DecodeKey>
        void row(int64_t id, int64_t version, DecodeKey &&decode_key) {
            if (Entry *e = index_.by_id_ascending(id, from_))
                add(id, version, e->key, e->hash, e - index_.entries_.data());
            else
                add_new(id, version, decode_key());
        }
        void finish();

    private:
        struct Row {
            int64_t id, version;
            Py_hash_t hash;
            Py_ssize_t known;  // its position in the index, or -1
            nb::object key;    // every row's key (a known one borrowed again)
        };
        void add_new(int64_t id, int64_t version, nb::object key);
        void add(int64_t id, int64_t version, nb::handle key, Py_hash_t hash, Py_ssize_t known);
        EntryIndex &index_;
        std::vector<Row> rows_;
        KeyTable table_;
        size_t from_ = 0;  // where the index was passed in id order
    };

    int traverse(visitproc visit, void *arg);
    void gc_clear();

private:
    void compact();
    void rebuild_table();

    std::vector<Entry> entries_;  // in id order, with removed ones (null key) until compaction
    KeyTable table_;
    size_t live_ = 0, removed_ = 0;
};

}  // namespace dualcache
