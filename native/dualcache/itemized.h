// Records with an itemized mapping field (a position's trades) are stored as
// a head row plus one row per mapping entry, keyed by (entry, order number).
// Writing such a record back compares the mapping with what this process
// knows is on disk and writes only new, changed and removed items.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <vector>

#include "decoder.h"
#include "encoder.h"
#include "item_state.h"
#include "sqlite_db.h"

namespace dualcache {
namespace nb = nanobind;

struct ItemOp {
    enum Kind { Insert, Update, Delete } kind;
    int64_t ord;
    std::string key, value;  // encoded, the value with the row's checksum (Insert, Update)
    uint32_t crc = 0;
};

struct ItemPlan {
    bool rewrite_all = false;  // the state was unknown: replace every row
    size_t compared = 0;       // items compared with the state (0: the change record sufficed)
    std::vector<ItemOp> ops;
};

// Compares `mapping` (an exact dict) with `state` and encodes what must be
// written. `state` is updated to describe the rows as they will be once the
// plan is applied; a null state means "unknown" and plans a full rewrite.
// On an exception the state is unusable and must be dropped. With the
// record's change record (`changed`, may be null) and a state marked by it,
// only the entries it lists are looked at. `map`: the map the rows are
// written to (their checksums name it).
ItemPlan plan_items(PyObject *mapping, std::unique_ptr<ItemState> &state, Encoder &enc,
                    decltype(zelph_record_codec::items_changed) changed, int64_t map);

// Writes a plan's rows for entry `id` of map `map`.
void apply_items(Db &db, int64_t map, int64_t id, const ItemPlan &plan);

// The item rows of one entry, read in order into a new dict and the state
// that describes them (by load_items, or by a scan of every entry).
class ItemReader {
public:
    // `expected`: how many rows the head announces (room is made for them).
    explicit ItemReader(size_t expected);
    // One row (its order number, key and value as stored); CorruptValue
    // when it cannot be decoded or repeats an item key.
    void row(Decoder &dec, int64_t ord, std::string_view ikey, std::string_view stored);
    // The same for a row whose checksum was checked already: `payload` is
    // its value without the checksum, `crc` that checksum.
    void checked_row(Decoder &dec, int64_t ord, std::string_view ikey, std::string_view payload, uint32_t crc);
    // The mapping, with its state in `state`; CorruptValue when the rows
    // are not those the record's head describes.
    nb::object finish(const Decoder::Head &head, std::unique_ptr<ItemState> &state);
    size_t count() const { return st_->live; }

private:
    void put(nb::object &key, nb::object &value, DecodedFields &fields, int64_t ord, uint32_t crc);

    nb::object mapping_;
    std::unique_ptr<ItemState> st_;
};

// How many item rows a head announces (0 when it does not say), bounded:
// a damaged count must not reserve the memory it names.
inline size_t expected_items(const Decoder::Head &head) {
    return head.summary && head.count < 4096 ? (size_t) head.count : 0;
}

// Reads the item rows of entry `id` of map `map` into a new dict, and the
// state that describes them; CorruptValue when they are not the rows the
// record's head describes.
nb::object load_items(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head,
                      std::unique_ptr<ItemState> &state);

// Reads the item rows of entry `id` again after another connection wrote
// the entry, from what `known` (the rows as this process last knew them)
// holds: a row whose order number and stored checksum are a known row's
// keeps that row's key and value objects, and only rows past the known
// order numbers are decoded (`decoded` counts them); `state` takes
// `known`, with the new rows added. Null, with both untouched, unless the
// rows are exactly the known ones followed by new ones and the head's
// count and checksums agree (an item rewritten, removed or renumbered, a
// known value changed in memory since, an older format): the caller then
// reads them all with load_items. An engine that brought only the rows
// past the known ones (see Db::load_from) is read that way: then null asks
// for the entry to be read again whole.
nb::object reload_items(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head,
                        std::unique_ptr<ItemState> &known, std::unique_ptr<ItemState> &state, size_t &decoded);

// Once a value is built around `mapping`, the mapping reload_items gave
// with `state`: marks the state with the owning module's change record
// (`changed`, may be null) where it keeps one, so that the next read after
// another connection appended items extends the value in place
// (extend_items) instead of building another.
void mark_items(ItemState &state, PyObject *mapping, decltype(zelph_record_codec::items_changed) changed);

// Whether `mapping` (a mapping a caller may hold) has exactly the items
// `state` describes, in its row order: each key and value of the same type
// as the state's, immutable (a value, or each field of a native codec's
// record) and encoded to the same bytes. Then `out` is a state of the same
// rows around the mapping's own objects. Raises what encoding raises;
// ShapeNotStored when the tag table is probed and a class's shape is not
// known.
bool rejoin_items(PyObject *mapping, const ItemState &state, Encoder &enc, std::unique_ptr<ItemState> &out);

// Brings `known` and `mapping` (the live mapping it describes, an exact
// dict) up to the rows of entry `id` when another connection only appended
// items since: the known rows must come back unchanged, the head's count
// and checksums must agree with the known rows and the new ones, and the
// owning module's change record must show the mapping untouched since the
// state's mark. Then the new rows are decoded (`decoded` counts them) and
// appended to the mapping through `append` and to the state, whose mark
// moves to now. False, with nothing changed, when anything else happened
// (the caller then reads the entry whole). An exception once appending has
// begun leaves the mapping and the state in between: drop both.
bool extend_items(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head, ItemState &known,
                  PyObject *mapping, decltype(zelph_record_codec::items_changed) changed,
                  decltype(zelph_record_codec::items_append) append, size_t &decoded);

}  // namespace dualcache
