#include "entry_index.h"

#include <algorithm>
#include <bit>
#include <string>

#include "corrupt_value.h"

namespace dualcache {

// --- the key table ------------------------------------------------------------

void KeyTable::reset(size_t n) {
    size_t cells = 8;
    while (n * 10 > cells * 7) cells <<= 1;
    cells_.assign(cells, 0);
    shift_ = 64 - (unsigned) std::countr_zero(cells);
}

template <typename Entries>
Py_ssize_t KeyTable::find(const Entries &entries, PyObject *key, Py_hash_t hash) const {
    if (cells_.empty()) return -1;
    size_t mask = cells_.size() - 1;
    for (size_t i = home(hash);; i = (i + 1) & mask) {
        uint32_t c = cells_[i];
        if (!c) return -1;
        const auto &e = entries[c - 1];
        if (e.key.ptr() == key) return c - 1;
        if (e.hash != hash) continue;
        // What a dict lookup does: the stored key compared with the given
        // one, held while its __eq__ runs.
        nb::object stored = e.key;
        int eq = PyObject_RichCompareBool(stored.ptr(), key, Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return c - 1;
    }
}

void KeyTable::insert(Py_hash_t hash, size_t pos) {
    size_t mask = cells_.size() - 1;
    size_t i = home(hash);
    while (cells_[i]) i = (i + 1) & mask;
    cells_[i] = (uint32_t) (pos + 1);
}

template <typename HashAt>
void KeyTable::erase(Py_hash_t hash, size_t pos, HashAt &&hash_at) {
    size_t mask = cells_.size() - 1;
    size_t i = home(hash);
    while (cells_[i] != pos + 1) i = (i + 1) & mask;
    // Cells after the hole that could not sit at their home or between it
    // and the hole move back into it.
    for (size_t j = (i + 1) & mask; uint32_t c = cells_[j]; j = (j + 1) & mask) {
        size_t h = home(hash_at(c - 1));
        bool reachable = i <= j ? (h <= i || h > j) : (h <= i && h > j);
        if (reachable) {
            cells_[i] = c;
            i = j;
        }
    }
    cells_[i] = 0;
}

// --- the index ----------------------------------------------------------------

static Py_hash_t hash_of(PyObject *key) {
    Py_hash_t h = PyObject_Hash(key);
    if (h == -1) throw nb::python_error();
    return h;
}

Entry *EntryIndex::find(PyObject *key, Py_hash_t *hash) {
    Py_hash_t h = hash_of(key);
    if (hash) *hash = h;
    Py_ssize_t pos = table_.find(entries_, key, h);
    return pos < 0 ? nullptr : &entries_[(size_t) pos];
}

Entry *EntryIndex::by_id(int64_t id) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                               [](const Entry &e, int64_t v) { return e.id < v; });
    return it == entries_.end() || it->id != id || !it->key ? nullptr : &*it;
}

void EntryIndex::rebuild_table() {
    table_.reset(live_);
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].key) table_.insert(entries_[i].hash, i);
}

Entry &EntryIndex::add(nb::handle key, int64_t id, int64_t version) {
    return add(key, hash_of(key.ptr()), id, version);
}

Entry &EntryIndex::add(nb::handle key, Py_hash_t hash, int64_t id, int64_t version) {
    Entry fresh;
    fresh.id = id;
    fresh.version = version;
    fresh.hash = hash;
    fresh.key = nb::borrow(key);
    // Row ids grow, but one removed at the end (a rolled-back insertion)
    // may be given again: removed entries at the end have gone already.
    size_t pos = entries_.size();
    if (!entries_.empty() && entries_.back().id >= id)
        pos = (size_t) (std::lower_bound(entries_.begin(), entries_.end(), id,
                                         [](const Entry &e, int64_t v) { return e.id < v; }) -
                        entries_.begin());
    if (pos < entries_.size() && entries_[pos].id == id) {
        // Only a removed entry can hold the id: its key is not in the table.
        Entry old = std::move(entries_[pos]);
        if (old.key) {  // never for a sound store: the new row takes its place
            table_.erase(old.hash, pos, [&](size_t p) { return entries_[p].hash; });
            --live_;
            ++removed_;
        }
        entries_[pos] = std::move(fresh);
        --removed_;
        ++live_;
        table_.needs_room(live_) ? rebuild_table() : table_.insert(hash, pos);
        return entries_[pos];
    }
    entries_.insert(entries_.begin() + (ptrdiff_t) pos, std::move(fresh));
    ++live_;
    if (pos + 1 != entries_.size() || table_.needs_room(live_))
        rebuild_table();  // positions after it moved, or the table is full
    else
        table_.insert(hash, pos);
    return entries_[pos];
}

void EntryIndex::remove(Entry &e) {
    size_t pos = (size_t) (&e - entries_.data());
    table_.erase(e.hash, pos, [&](size_t p) { return entries_[p].hash; });
    // Released once the index is consistent again (a value's finalizer may run).
    nb::object key = std::move(e.key), live = std::move(e.live);
    std::unique_ptr<ItemState> items = std::move(e.items);
    --live_;
    ++removed_;
    while (!entries_.empty() && !entries_.back().key) {
        entries_.pop_back();
        --removed_;
    }
    if (removed_ > 64 && removed_ > live_) compact();
}

void EntryIndex::compact() {
    std::erase_if(entries_, [](const Entry &e) { return !e.key; });
    removed_ = 0;
    rebuild_table();
}

void EntryIndex::clear() {
    std::vector<Entry> gone;
    gone.swap(entries_);  // released after the members are consistent again
    table_.clear();
    live_ = removed_ = 0;
}

void EntryIndex::forget_all() {
    for (Entry &e : entries_) e.forget();
}

void EntryIndex::forget_item_states() {
    for (Entry &e : entries_) e.items.reset();
}

nb::object EntryIndex::keys() const {
    nb::object list = nb::steal(PyList_New((Py_ssize_t) live_));
    if (!list) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const Entry &e : entries_)
        if (e.key) PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(e.key.ptr()));
    return list;
}

Entry *EntryIndex::last() {
    // Removed entries never stay at the end.
    return entries_.empty() ? nullptr : &entries_.back();
}

void EntryIndex::Rebuild::add_new(int64_t id, int64_t version, nb::object key) {
    Py_hash_t hash = PyObject_Hash(key.ptr());
    if (hash == -1) corrupt_from_python_error("a key that cannot be hashed or compared");
    add(id, version, key, hash, -1);
}

void EntryIndex::Rebuild::add(int64_t id, int64_t version, nb::handle key, Py_hash_t hash, Py_ssize_t known) {
    // Equal keys in two rows cannot be written by this store: a file that
    // holds them is damaged.
    Py_ssize_t had;
    try {
        had = table_.find(rows_, key.ptr(), hash);
    } catch (nb::python_error &) {
        corrupt_from_python_error("a key that cannot be hashed or compared");
    }
    if (had >= 0)
        throw CorruptValue{"two entries with the key " + short_repr(key.ptr()) + " (rows " +
                           std::to_string(rows_[(size_t) had].id) + " and " + std::to_string(id) + ")"};
    rows_.push_back(Row{id, version, hash, known, nb::borrow(key)});
    if (table_.needs_room(rows_.size())) {
        table_.reset(rows_.size() * 2);
        for (size_t i = 0; i < rows_.size(); ++i) table_.insert(rows_[i].hash, i);
    } else {
        table_.insert(hash, rows_.size() - 1);
    }
}

void EntryIndex::Rebuild::finish() {
    // Nothing below raises a Python error: the index changes as a whole.
    std::vector<Entry> next;
    next.reserve(rows_.size());
    for (Row &r : rows_) {
        Entry &e = next.emplace_back();
        if (r.known >= 0) {
            e = std::move(index_.entries_[(size_t) r.known]);
            if (e.version != r.version) {
                e.outdate();
                e.version = r.version;
            }
        } else {
            e.id = r.id;
            e.version = r.version;
            e.hash = r.hash;
            e.key = std::move(r.key);
        }
    }
    std::vector<Entry> gone;  // the entries no row names, and moved-from ones
    gone.swap(index_.entries_);
    index_.entries_ = std::move(next);
    index_.live_ = index_.entries_.size();
    index_.removed_ = 0;
    std::swap(index_.table_, table_);
    std::vector<Row>().swap(rows_);  // the keys borrowed again, released with them
}

int EntryIndex::traverse(visitproc visit, void *arg) {
    for (Entry &e : entries_) {
        if (int v = visit_container(e.key.ptr(), visit, arg)) return v;
        if (int v = visit_container(e.live.ptr(), visit, arg)) return v;
        if (e.items)
            if (int r = e.items->traverse(visit, arg)) return r;
    }
    return 0;
}

void EntryIndex::gc_clear() { clear(); }

}  // namespace dualcache
