#include "entry_index.h"

#include <string>

#include "corrupt_value.h"

namespace dualcache {

EntryIndex::EntryIndex() : dict_(nb::steal(PyDict_New())) {
    if (!dict_) throw nb::python_error();
}

Entry *EntryIndex::by_id(int64_t id) {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

Entry *EntryIndex::find(PyObject *key) {
    PyObject *id = PyDict_GetItemWithError(dict_.ptr(), key);
    if (!id) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nullptr;
    }
    return by_id(PyLong_AsLongLong(id));
}

Entry &EntryIndex::add(nb::handle key, int64_t id, int64_t version) {
    nb::object idobj = nb::steal(PyLong_FromLongLong(id));
    if (!idobj || PyDict_SetItem(dict_.ptr(), key.ptr(), idobj.ptr()) < 0) throw nb::python_error();
    Entry &e = entries_[id];
    e.id = id;
    e.version = version;
    e.key = nb::borrow(key);
    return e;
}

void EntryIndex::remove(Entry &e) {
    nb::object key = e.key;  // held while the dict lets go of it
    if (PyDict_DelItem(dict_.ptr(), key.ptr()) < 0) throw nb::python_error();
    entries_.erase(e.id);
}

void EntryIndex::clear() {
    nb::object old = std::move(dict_);
    dict_ = nb::steal(PyDict_New());
    if (!dict_) throw nb::python_error();
    std::unordered_map<int64_t, Entry> gone;
    gone.swap(entries_);  // released after the members are consistent again
}

void EntryIndex::forget_all() {
    for (auto &[id, e] : entries_) e.forget();
}

void EntryIndex::forget_item_states() {
    for (auto &[id, e] : entries_) e.items.reset();
}

nb::object EntryIndex::keys() const {
    PyObject *l = PyDict_Keys(dict_.ptr());
    if (!l) throw nb::python_error();
    return nb::steal(l);
}

Entry *EntryIndex::last() {
    Py_ssize_t n = PyDict_GET_SIZE(dict_.ptr());
    if (n == 0) return nullptr;
    // Dicts keep insertion order; the last key is found by walking to it.
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict_.ptr(), &pos, &k, &v))
        if (++i == n) return by_id(PyLong_AsLongLong(v));
    return nullptr;
}

EntryIndex::Rebuild::Rebuild(EntryIndex &index)
    : index_(index), dict_(nb::steal(PyDict_New())), pass_(index.pass_ + 1) {
    if (!dict_) throw nb::python_error();
}

void EntryIndex::Rebuild::add(int64_t id, int64_t version, nb::handle key, Entry *known) {
    nb::object idobj = nb::steal(PyLong_FromLongLong(id));
    if (!idobj) throw nb::python_error();
    // Equal keys in two rows cannot be written by this store: a file that
    // holds them is damaged.
    PyObject *had = PyDict_SetDefault(dict_.ptr(), key.ptr(), idobj.ptr());
    if (!had) corrupt_from_python_error("a key that cannot be hashed or compared");
    if (had != idobj.ptr())
        throw CorruptValue{"two entries with the key " + short_repr(key.ptr()) + " (rows " +
                           std::to_string(PyLong_AsLongLong(had)) + " and " + std::to_string(id) + ")"};
    rows_.push_back(Row{id, version, known, known ? nb::object() : nb::borrow(key)});
}

void EntryIndex::Rebuild::finish() {
    // Nothing below raises: the index changes as a whole.
    index_.pass_ = pass_;
    size_t fresh = 0;
    for (Row &r : rows_) {
        if (!r.known) {
            ++fresh;
            continue;
        }
        r.known->seen = pass_;
        if (r.known->version != r.version) {
            r.known->outdate();
            r.known->version = r.version;
        }
    }
    std::vector<Entry> gone;
    for (auto it = index_.entries_.begin(); it != index_.entries_.end();) {
        if (it->second.seen == pass_) {
            ++it;
            continue;
        }
        gone.push_back(std::move(it->second));
        it = index_.entries_.erase(it);
    }
    index_.entries_.reserve(index_.entries_.size() + fresh);
    for (Row &r : rows_) {
        if (r.known) continue;
        Entry &e = index_.entries_[r.id];
        e.id = r.id;
        e.version = r.version;
        e.key = std::move(r.key);
        e.seen = pass_;
    }
    nb::object old = std::move(index_.dict_);
    index_.dict_ = std::move(dict_);
}

int EntryIndex::traverse(visitproc visit, void *arg) {
    Py_VISIT(dict_.ptr());
    for (auto &[id, e] : entries_) {
        Py_VISIT(e.key.ptr());
        Py_VISIT(e.live.ptr());
        if (e.items)
            if (int r = e.items->traverse(visit, arg)) return r;
    }
    return 0;
}

void EntryIndex::gc_clear() {
    std::unordered_map<int64_t, Entry> gone;
    gone.swap(entries_);
    nb::object old = std::move(dict_);
    dict_ = nb::steal(PyDict_New());
}

}  // namespace dualcache
