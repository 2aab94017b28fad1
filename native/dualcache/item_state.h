// What this process knows is on disk for the mapping of an itemized record
// (for example a position's trades): per item its key, the value object last
// written or read, that value's fields as they were then (for a record), and
// its row's order number. Comparing the live mapping with it tells which
// items to write, and whether a value changed in memory since it was stored
// (a record's field reassigned without a write).
//
// Kept lean, as every loaded position has one: the field copies of all items
// sit in one array of references, and the key -> slot dict is made only for
// books past a few items (below that a scan of the slots is cheaper).
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pysem/record_codec.h"

namespace dualcache {
namespace nb = nanobind;

// Visits `o` for the collector unless its type cannot make a container the
// collector tracks. A loaded portfolio's store holds mostly str keys,
// numbers and datetimes (each trade's field copies): a full collection
// would call the visitor for each of them only for it to look at the type
// and return.
inline int visit_container(PyObject *o, visitproc visit, void *arg) {
    return o && PyType_IS_GC(Py_TYPE(o)) ? visit(o, arg) : 0;
}

struct ItemRec {
    static constexpr uint32_t kNoFields = UINT32_MAX;
    nb::object key;  // null for a free slot
    nb::object value;
    int64_t ord = 0;
    uint32_t mark = 0;
    uint32_t crc = 0;                // the row's checksum
    uint32_t fields_at = 0;          // its field copies in ItemState's array
    uint32_t nfields = kNoFields;    // kNoFields: not a record (or its fields unknown)
};

// What an item state was before a write that only appended items to it: a
// rollback of that write puts the state back (ItemState::restore) rather
// than forgetting what is known of the rows.
struct ItemStateBefore {
    std::string head;
    size_t slots = 0, fields = 0, live = 0;
    uint32_t xor_crc = 0;
    int64_t next_ord = 0, known_at = 0;
    uint64_t rows_since = 0;
    zelph_items_mark mark{0, 0};
    bool clean = false;
};

class ItemState {
public:
    std::string head;   // the record head as stored
    std::vector<ItemRec> recs;
    size_t live = 0;    // slots in use
    uint32_t xor_crc = 0;  // of the rows' checksums: what the head records with their number
    int64_t next_ord = 0;
    // The engine's change count as of which these rows are known to be the
    // stored ones (0: not known): an engine that logs which transactions
    // rewrote items can tell that the rows are still those since.
    int64_t known_at = 0;
    // What the head records of the rows (format 4): the entry version as of
    // which none of them was rewritten or removed (0: not recorded).
    uint64_t rows_since = 0;
    uint32_t epoch = 0;
    // The owning module's mark of the mapping these rows describe (run 0:
    // none), and whether comparing would find every item unchanged (each
    // value immutable, or a record of immutable fields).
    zelph_items_mark mark{0, 0};
    bool clean = false;
    // Whether the mapping can be extended by rows appended since: the
    // owning module's change record can say it is untouched since `mark`.
    bool extendable() const { return clean && mark.run != 0; }
    // The live value these rows belonged to, kept once another connection
    // wrote the entry: a load that finds only items appended since extends
    // it in place instead of building another.
    nb::object outdated;

    ItemState() = default;
    explicit ItemState(size_t expected) { recs.reserve(expected); }
    ~ItemState();
    ItemState(const ItemState &) = delete;
    ItemState &operator=(const ItemState &) = delete;

    // Adds an item known to be on disk at `ord` with checksum `crc`;
    // `fields`: the record's fields tuple, or null for other values.
    void add(nb::handle key, nb::handle value, nb::handle fields, int64_t ord, uint32_t crc);
    // The same, with the field copies another state keeps for `r`.
    void add_from(const ItemState &other, const ItemRec &r);
    // The same from `n` fields (n == ItemRec::kNoFields: not a record).
    void add_slot(nb::handle key, nb::handle value, PyObject *const *fields, uint32_t n, int64_t ord, uint32_t crc);

    // The slot of the item whose key equals `key` (dict semantics, the
    // latest slot first), or -1. Raises what hashing or comparing raises.
    Py_ssize_t find(PyObject *key) const;
    // Frees slot `i` (its key, value and field copies).
    void free_slot(size_t i);

    ItemStateBefore before() const;
    // Whether the state only gained slots at its end since `b` (each new
    // slot in use, the rest as they were as far as counts tell).
    bool only_appended_since(const ItemStateBefore &b) const;
    // Back to `b`, taken by before() on this state, when only slots were
    // appended since: they are dropped. Raises what dropping a slot's key
    // from the slot dict raises (the state is then unusable).
    void restore(ItemStateBefore &&b);

    // Whether `fields` (a tuple) holds exactly the objects copied for `r`.
    bool same_fields(const ItemRec &r, PyObject *fields) const;
    // Replaces the field copies of `r` (a tuple, or null for none).
    void set_fields(ItemRec &r, nb::handle fields);
    std::span<PyObject *const> fields_of(const ItemRec &r) const;

    int traverse(visitproc visit, void *arg) const;

private:
    // Books up to this many slots are searched without the dict.
    static constexpr size_t kScanSlots = 8;
    void release_fields(ItemRec &r);
    void index_slot(size_t i);

    nb::object pos_;                  // dict: item key -> slot, once past kScanSlots
    std::vector<PyObject *> fields_;  // strong references (null: released)
};

}  // namespace dualcache
