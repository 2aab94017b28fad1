#include "itemized.h"

#include <algorithm>
#include <climits>

#include "raise.h"
#include "sealed.h"
#include "value_kinds.h"

namespace dualcache {

// Changes asked of a change record at most; more, and every item is compared.
static constexpr Py_ssize_t kMaxChanges = 16;

// Whether an item is unchanged since it was written or read: the same value
// object, and either immutable or a registered record whose fields are the
// same immutable objects. `fields` receives the record's current fields.
static bool unchanged(const ItemState &st, const ItemRec &r, PyObject *v, const RecordClass *rc, nb::object &fields) {
    if (r.value.ptr() != v) return false;
    if (!rc) return is_identity_safe(v);
    fields = rc->fields(v);
    if (!st.same_fields(r, fields.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.ptr()); ++i)
        if (!is_identity_safe(PyTuple_GET_ITEM(fields.ptr(), i))) return false;
    return true;
}

static void encode_item(Encoder &enc, PyObject *k, PyObject *v, const RecordClass *rc, nb::object &fields,
                        ItemOp &op) {
    ByteWriter kw, vw;
    enc.value(k, kw);
    if (rc) {
        if (!fields) fields = rc->fields(v);
        enc.record(*rc, fields.ptr(), vw);
    } else {
        enc.value(v, vw);
    }
    op.key = std::move(kw.out());
    op.value = std::move(vw.out());
}

// Seals an encoded item once its order number is final.
static uint32_t seal(ItemOp &op, int64_t map) { return op.crc = sealed::item(op.value, map, op.ord, op.key); }

// Whether a compare would find this item unchanged as long as nobody
// reassigns it (the same rule as `unchanged`).
static bool item_clean(PyObject *v, const RecordClass *rc, const nb::object &fields) {
    if (!rc) return is_identity_safe(v);
    if (!fields) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.ptr()); ++i)
        if (!is_identity_safe(PyTuple_GET_ITEM(fields.ptr(), i))) return false;
    return true;
}

// The plan from the mapping's change record alone: the listed entries are
// the only ones that changed since the state was written. False (nothing
// touched) when the record does not fit the state.
static bool plan_changes(PyObject *mapping, ItemState &st, Encoder &enc, PyObject **keys, PyObject **values,
                         const int *kinds, Py_ssize_t n, ItemPlan &plan, int64_t map) {
    // Slot indices, not pointers: appending grows st.recs.
    static constexpr size_t kAppend = SIZE_MAX, kSkip = SIZE_MAX - 1;
    size_t steps[kMaxChanges];
    size_t appended = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_ssize_t idx = st.find(keys[i]);
        if (kinds[i] == ZELPH_ITEM_APPENDED) {
            if (idx >= 0) return false;
            for (Py_ssize_t j = 0; j < i; ++j)
                if (kinds[j] == ZELPH_ITEM_APPENDED && keys[j] == keys[i]) return false;
            steps[i] = kAppend;
            ++appended;
            continue;
        }
        if (kinds[i] != ZELPH_ITEM_MODIFIED) return false;
        bool later = false;  // appended in this same batch: written whole anyway
        for (Py_ssize_t j = 0; j < i; ++j) later = later || (kinds[j] == ZELPH_ITEM_APPENDED && values[j] == values[i]);
        if (later) {
            steps[i] = kSkip;
            continue;
        }
        if (idx < 0) return false;
        size_t at = (size_t) idx;
        if (at >= st.recs.size() || !st.recs[at].key || st.recs[at].value.ptr() != values[i]) return false;
        steps[i] = at;
    }
    if ((size_t) PyDict_GET_SIZE(mapping) != st.live + appended) return false;

    PyTypeObject *last_type = nullptr;
    const RecordClass *last_rc = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (steps[i] == kSkip) continue;
        PyObject *v = values[i];
        if (Py_TYPE(v) != last_type) {
            last_type = Py_TYPE(v);
            last_rc = record_class_of(last_type);
        }
        nb::object fields;
        if (steps[i] != kAppend) {
            ItemRec &r = st.recs[steps[i]];
            ItemOp op{ItemOp::Update, r.ord, {}, {}};
            encode_item(enc, r.key.ptr(), v, last_rc, fields, op);
            uint32_t crc = seal(op, map);
            plan.ops.push_back(std::move(op));
            st.xor_crc ^= r.crc ^ crc;
            r.crc = crc;
            st.set_fields(r, fields);
        } else {
            ItemOp op{ItemOp::Insert, st.next_ord, {}, {}};
            encode_item(enc, keys[i], v, last_rc, fields, op);
            uint32_t crc = seal(op, map);
            plan.ops.push_back(std::move(op));
            st.add(nb::handle(keys[i]), nb::handle(v), fields, st.next_ord, crc);
        }
        if (!item_clean(v, last_rc, fields)) st.clean = false;
    }
    return true;
}

ItemPlan plan_items(PyObject *mapping, std::unique_ptr<ItemState> &state, Encoder &enc,
                    decltype(zelph_record_codec::items_changed) changed, int64_t map) {
    ItemPlan plan;
    zelph_items_mark now{0, 0};
    if (changed) {
        PyObject *keys[kMaxChanges], *values[kMaxChanges];
        int kinds[kMaxChanges];
        zelph_items_mark since = state ? state->mark : zelph_items_mark{0, 0};
        Py_ssize_t n = changed(mapping, &since, &now, keys, values, kinds, kMaxChanges);
        if (state && state->clean && since.run != 0 && n >= 0 &&
            plan_changes(mapping, *state, enc, keys, values, kinds, n, plan, map)) {
            state->mark = now;
            return plan;
        }
    }
    if (!state) {
        state = std::make_unique<ItemState>();
        plan.rewrite_all = true;
    }
    ItemState &st = *state;
    uint32_t epoch = ++st.epoch;
    bool clean = true;
    size_t live_before = st.live, matched = 0;
    int64_t last = LLONG_MIN;  // order number of the previous item: rows must ascend
    PyTypeObject *last_type = nullptr;
    const RecordClass *last_rc = nullptr;

    size_t cursor = 0;
    Py_ssize_t n = PyDict_GET_SIZE(mapping), pos = 0, walked = 0;
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
        if (++walked > n) break;
        ++plan.compared;
        nb::object key = nb::borrow(k), value = nb::borrow(v);
        if (Py_TYPE(v) != last_type) {
            last_type = Py_TYPE(v);
            last_rc = record_class_of(last_type);
        }
        const RecordClass *rc = last_rc;
        nb::object fields;

        // Usually the mapping still has the stored order: try the slot after
        // the previous match before looking the key up.
        while (cursor < st.recs.size() && !st.recs[cursor].key) ++cursor;
        ItemRec *r = nullptr;
        if (cursor < st.recs.size() && st.recs[cursor].key.ptr() == k) {
            r = &st.recs[cursor++];
        } else {
            Py_ssize_t idx = st.find(k);
            if (idx >= 0) {
                size_t i = (size_t) idx;
                r = &st.recs[i];
                cursor = i + 1;
            }
        }
        if (r && r->mark == epoch) r = nullptr;  // keys that compare oddly: treat as new

        if (r) {
            r->mark = epoch;
            ++matched;
            bool same = r->key.ptr() == k && unchanged(st, *r, v, rc, fields);
            if (same && r->ord > last) {
                last = r->ord;
                continue;
            }
            ItemOp op{ItemOp::Update, r->ord, {}, {}};
            encode_item(enc, k, v, rc, fields, op);
            clean = clean && item_clean(v, rc, fields);
            if (r->ord <= last) {
                // Out of order (the mapping re-inserted it): move it to the end.
                plan.ops.push_back(ItemOp{ItemOp::Delete, r->ord, {}, {}});
                op.kind = ItemOp::Insert;
                op.ord = r->ord = st.next_ord++;
            }
            uint32_t crc = seal(op, map);
            st.xor_crc ^= r->crc ^ crc;
            r->crc = crc;
            plan.ops.push_back(std::move(op));
            r->key = key;
            r->value = value;
            st.set_fields(*r, fields);
            last = r->ord;
        } else {
            ItemOp op{ItemOp::Insert, st.next_ord, {}, {}};
            encode_item(enc, k, v, rc, fields, op);
            clean = clean && item_clean(v, rc, fields);
            uint32_t crc = seal(op, map);
            plan.ops.push_back(std::move(op));
            st.add(key, value, fields, st.next_ord, crc);
            st.recs.back().mark = epoch;
            last = st.recs.back().ord;
        }
    }
    if (walked != n || PyDict_GET_SIZE(mapping) != n) raise(PyExc_ValueError, "mapping changed size while it was stored");

    if (matched < live_before) {
        for (size_t i = 0; i < st.recs.size(); ++i) {
            ItemRec &r = st.recs[i];
            if (!r.key || r.mark == epoch) continue;
            plan.ops.push_back(ItemOp{ItemOp::Delete, r.ord, {}, {}});
            st.xor_crc ^= r.crc;
            st.free_slot(i);
        }
    }

    st.mark = now;
    st.clean = clean;

    // Compact once free slots dominate.
    if (st.recs.size() > 64 && st.live * 2 < st.recs.size()) {
        auto fresh = std::make_unique<ItemState>();
        fresh->head = std::move(st.head);
        fresh->rows_since = st.rows_since;
        fresh->epoch = st.epoch;
        fresh->mark = st.mark;
        fresh->clean = st.clean;
        for (ItemRec &r : st.recs)
            if (r.key) fresh->add_from(st, r);
        fresh->next_ord = st.next_ord;
        state = std::move(fresh);
    }
    return plan;
}

void apply_items(Db &db, int64_t map, int64_t id, const ItemPlan &plan) {
    for (const ItemOp &op : plan.ops) {
        switch (op.kind) {
        case ItemOp::Insert: {
            Run q = db.run(Sql::InsertItem, map);
            q.bind(1, id).bind(2, op.ord).bind(3, std::string_view(op.key)).bind(4, std::string_view(op.value)).done();
            break;
        }
        case ItemOp::Update: {
            Run q = db.run(Sql::UpdateItem, map);
            q.bind(1, id).bind(2, op.ord).bind(3, std::string_view(op.key)).bind(4, std::string_view(op.value)).done();
            break;
        }
        case ItemOp::Delete: {
            Run q = db.run(Sql::DeleteItem, map);
            q.bind(1, id).bind(2, op.ord).done();
            break;
        }
        }
    }
}

// One loaded item into the mapping being built; false when its key is
// there already.
static bool put_item(PyObject *mapping, PyObject *key, PyObject *value) {
    Py_ssize_t before = PyDict_GET_SIZE(mapping);
    if (PyDict_SetItem(mapping, key, value) < 0)
        corrupt_from_python_error("an item key that cannot be hashed or compared");
    return PyDict_GET_SIZE(mapping) != before;
}

ItemReader::ItemReader(size_t expected)
    : mapping_(nb::steal(PyDict_New())), st_(std::make_unique<ItemState>(expected)) {
    if (!mapping_) throw nb::python_error();
}

void ItemReader::row(Decoder &dec, int64_t ord, std::string_view ikey, std::string_view stored) {
    nb::object key, value;
    DecodedFields fields;  // no tuple per record: the state copies them
    uint32_t crc;
    dec.item(ord, ikey, stored, key, value, fields, crc);
    put(key, value, fields, ord, crc);
}

void ItemReader::checked_row(Decoder &dec, int64_t ord, std::string_view ikey, std::string_view payload, uint32_t crc) {
    nb::object key, value;
    DecodedFields fields;
    dec.opened_item(ikey, payload, key, value, fields);
    put(key, value, fields, ord, crc);
}

void ItemReader::put(nb::object &key, nb::object &value, DecodedFields &fields, int64_t ord, uint32_t crc) {
    // Two rows for one item key cannot be written by this store.
    if (!put_item(mapping_.ptr(), key.ptr(), value.ptr()))
        throw CorruptValue{"two items with the key " + short_repr(key.ptr())};
    st_->add_slot(key, value, fields.data(), fields.known() ? fields.count() : ItemRec::kNoFields, ord, crc);
}

nb::object ItemReader::finish(const Decoder::Head &head, std::unique_ptr<ItemState> &state) {
    // Rows lost, added or carried over from elsewhere show in their number
    // or in the sum of their checksums.
    if (head.summary && (st_->live != head.count || st_->xor_crc != head.xor_crc))
        throw CorruptValue{"its item rows are not those written (" + std::to_string(st_->live) + " found, " +
                           std::to_string(head.count) + " written" +
                           (st_->live == head.count ? ", with other checksums)" : ")")};
    state = std::move(st_);
    return std::move(mapping_);
}

nb::object load_items(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head,
                      std::unique_ptr<ItemState> &state) {
    ItemReader items(expected_items(head));
    Run q = db.run(Sql::LoadItems, map);
    q.bind(1, id);
    while (q.step()) items.row(dec, q.int64(0), q.blob(1), q.blob(2));
    return items.finish(head, state);
}

namespace {

// An item row past the known ones, decoded.
struct FreshItem {
    nb::object key, value, fields;
    int64_t ord;
    uint32_t crc;
};

}  // namespace

// The slots in use, by ascending order number (a re-inserted item keeps
// its slot under a later number).
static std::vector<const ItemRec *> in_row_order(const ItemState &st) {
    std::vector<const ItemRec *> rows;
    rows.reserve(st.live);
    bool ascending = true;
    for (const ItemRec &r : st.recs) {
        if (!r.key) continue;
        ascending = ascending && (rows.empty() || rows.back()->ord < r.ord);
        rows.push_back(&r);
    }
    if (!ascending) std::sort(rows.begin(), rows.end(), [](const ItemRec *a, const ItemRec *b) { return a->ord < b->ord; });
    return rows;
}

// Reads the item rows of entry `id` against `rows`, the rows `known`
// holds in ascending order: true when they come back as exactly those rows
// (each with its known checksum: the head's XOR alone would not see two
// rows given one same change, CRC-32C being linear), followed by new ones
// (`fresh`, decoded), and the head's count and checksums agree. An engine
// may have brought only the rows past the known ones (Db::load_from), with
// the known rows' checksums or word that none of them was rewritten or
// removed since. A head that records its rows standing since the same
// entry version as the known head did says the same (only appends came
// since): then only the rows past the known ones are read.
static bool read_past_known(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head,
                            const ItemState &known, const std::vector<const ItemRec *> &rows,
                            std::vector<FreshItem> &fresh) {
    std::string_view crcs;
    bool intact = false;
    bool brought = db.known_item_checksums(map, id, known.next_ord, crcs, intact);
    bool vouched = !brought && known.rows_since != 0 && head.rows_since == known.rows_since;
    if (vouched || (brought && intact)) db.count_items_known_intact();
    bool past_only = brought || vouched;
    if (brought && !intact) {
        if (crcs.size() != 4 * rows.size()) return false;
        const unsigned char *c = (const unsigned char *) crcs.data();
        for (const ItemRec *r : rows) {
            if (sealed::checksum_at(c) != r->crc) return false;
            c += 4;
        }
    }
    uint32_t xor_crc = known.xor_crc;
    size_t at = past_only ? rows.size() : 0;
    int64_t last = LLONG_MIN;
    Run q = db.run(vouched ? Sql::LoadItemsFrom : Sql::LoadItems, map);
    q.bind(1, id);
    if (past_only) q.bind(2, known.next_ord);
    while (q.step()) {
        int64_t ord = q.int64(0);
        if (ord <= last) return false;
        last = ord;
        if (ord < known.next_ord) {
            uint32_t stored;
            if (past_only || at == rows.size() || rows[at]->ord != ord || !sealed::stored_checksum(q.blob(2), stored) ||
                stored != rows[at]->crc)
                return false;
            ++at;
            continue;
        }
        if (at != rows.size()) return false;  // a known row is gone
        FreshItem f{{}, {}, {}, ord, 0};
        dec.item(ord, q.blob(1), q.blob(2), f.key, f.value, f.fields, f.crc);
        xor_crc ^= f.crc;
        fresh.push_back(std::move(f));
    }
    return at == rows.size() && known.live + fresh.size() == head.count && xor_crc == head.xor_crc;
}

nb::object reload_items(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head,
                        std::unique_ptr<ItemState> &known_state, std::unique_ptr<ItemState> &state, size_t &decoded) {
    if (!head.summary) return nb::object();
    const ItemState &known = *known_state;
    // Each known row still holding what was stored: a value changed in
    // memory since (fields reassigned without a write) must not pass for
    // the stored one.
    PyTypeObject *last_type = nullptr;
    const RecordClass *last_rc = nullptr;
    for (const ItemRec &r : known.recs) {
        if (!r.key) continue;
        PyObject *v = r.value.ptr();
        if (Py_TYPE(v) != last_type) {
            last_type = Py_TYPE(v);
            last_rc = record_class_of(last_type);
        }
        nb::object fields;
        if (!unchanged(known, r, v, last_rc, fields)) return nb::object();
    }
    std::vector<const ItemRec *> rows = in_row_order(known);
    std::vector<FreshItem> fresh;
    if (!read_past_known(db, map, dec, id, head, known, rows, fresh)) return nb::object();

    nb::object mapping = nb::steal(PyDict_New());
    if (!mapping) throw nb::python_error();
    for (const ItemRec *r : rows)
        if (!put_item(mapping.ptr(), r->key.ptr(), r->value.ptr())) return nb::object();  // load_items names it
    for (const FreshItem &f : fresh)
        if (!put_item(mapping.ptr(), f.key.ptr(), f.value.ptr())) return nb::object();
    // The known state describes the new mapping's first rows: it serves on,
    // with the new rows added and without a mark until the value is built
    // around the mapping (mark_items). Every known item was found unchanged,
    // so clean; the new ones are looked at.
    state = std::move(known_state);
    state->mark = zelph_items_mark{0, 0};
    state->clean = true;
    last_type = nullptr;
    for (FreshItem &f : fresh) {
        state->add(f.key, f.value, f.fields, f.ord, f.crc);
        if (Py_TYPE(f.value.ptr()) != last_type) {
            last_type = Py_TYPE(f.value.ptr());
            last_rc = record_class_of(last_type);
        }
        if (!item_clean(f.value.ptr(), last_rc, f.fields)) state->clean = false;
    }
    decoded += fresh.size();
    return mapping;
}

bool rejoin_items(PyObject *mapping, const ItemState &state, Encoder &enc, std::unique_ptr<ItemState> &out) {
    if (!PyDict_CheckExact(mapping) || (size_t) PyDict_GET_SIZE(mapping) != state.live) return false;
    std::vector<const ItemRec *> rows = in_row_order(state);
    auto rebuilt = std::make_unique<ItemState>(rows.size());
    PyTypeObject *last_type = nullptr;
    const RecordClass *last_rc = nullptr;
    Py_ssize_t pos = 0, n = PyDict_GET_SIZE(mapping);
    size_t i = 0;
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
        if (i == rows.size()) return false;
        const ItemRec &r = *rows[i++];
        nb::object key = nb::borrow(k), value = nb::borrow(v);  // encoding may run code that changes the mapping
        if (!same_immutable_kind(k, r.key.ptr()) || Py_TYPE(v) != Py_TYPE(r.value.ptr())) return false;
        if (Py_TYPE(v) != last_type) {
            last_type = Py_TYPE(v);
            last_rc = record_class_of(last_type);
        }
        nb::object held_fields, stored_fields;
        // Immutable values of the same types (no subclass, nothing shared),
        // which encode alike only when they are equal; a record only of a
        // native codec, whose fields are all it holds.
        if (!last_rc) {
            if (!is_identity_safe(v)) return false;
        } else {
            if (!last_rc->codec || last_rc->to_fields) return false;
            held_fields = last_rc->fields(v);
            stored_fields = last_rc->fields(r.value.ptr());
            if (!same_immutable_fields(held_fields.ptr(), stored_fields.ptr())) return false;
        }
        // The row's own objects, unchanged, need no encoding (a state
        // read on from what was known shares them with the mapping): with
        // every field immutable, that is `unchanged` without taking the
        // fields apart again.
        bool same = r.key.ptr() == k && r.value.ptr() == v && (!last_rc || state.same_fields(r, held_fields.ptr()));
        if (!same) {
            ItemOp held{ItemOp::Insert, r.ord, {}, {}}, stored{ItemOp::Insert, r.ord, {}, {}};
            encode_item(enc, k, v, last_rc, held_fields, held);
            encode_item(enc, r.key.ptr(), r.value.ptr(), last_rc, stored_fields, stored);
            if (held.key != stored.key || held.value != stored.value) return false;
        }
        rebuilt->add(key, value, held_fields, r.ord, r.crc);
    }
    if (i != rows.size() || PyDict_GET_SIZE(mapping) != n) return false;
    rebuilt->head = state.head;
    rebuilt->next_ord = state.next_ord;
    rebuilt->known_at = state.known_at;
    rebuilt->rows_since = state.rows_since;
    out = std::move(rebuilt);
    return true;
}

void mark_items(ItemState &state, PyObject *mapping, decltype(zelph_record_codec::items_changed) changed) {
    if (!changed || !state.clean) return;
    PyObject *keys[1], *values[1];
    int kinds[1];
    zelph_items_mark since{0, 0}, now{0, 0};
    changed(mapping, &since, &now, keys, values, kinds, 1);
    state.mark = now;
}

bool extend_items(Db &db, int64_t map, Decoder &dec, int64_t id, const Decoder::Head &head, ItemState &known,
                  PyObject *mapping, decltype(zelph_record_codec::items_changed) changed,
                  decltype(zelph_record_codec::items_append) append, size_t &decoded) {
    if (!head.summary || !changed || !append || !known.extendable()) return false;
    if (!PyDict_CheckExact(mapping) || (size_t) PyDict_GET_SIZE(mapping) != known.live) return false;
    // Nothing in memory changed since the rows were written or read: no
    // item reassigned, added or removed (the change record says so), and
    // each one immutable or a record of immutable fields (`clean`).
    {
        PyObject *keys[1], *values[1];
        int kinds[1];
        zelph_items_mark now{0, 0};
        if (changed(mapping, &known.mark, &now, keys, values, kinds, 1) != 0) return false;
    }

    std::vector<FreshItem> fresh;
    if (!read_past_known(db, map, dec, id, head, known, in_row_order(known), fresh)) return false;

    // New keys only, each once (a repeated key is damage the whole read names).
    for (size_t i = 0; i < fresh.size(); ++i) {
        int has = PyDict_Contains(mapping, fresh[i].key.ptr());
        if (has != 0) {
            if (has < 0) PyErr_Clear();
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            int eq = PyObject_RichCompareBool(fresh[i].key.ptr(), fresh[j].key.ptr(), Py_EQ);
            if (eq != 0) {
                if (eq < 0) PyErr_Clear();
                return false;
            }
        }
    }

    PyTypeObject *last_type = nullptr;
    const RecordClass *last_rc = nullptr;
    for (FreshItem &f : fresh) {
        if (append(mapping, f.key.ptr(), f.value.ptr()) < 0) throw nb::python_error();
        known.add(f.key, f.value, f.fields, f.ord, f.crc);
        if (Py_TYPE(f.value.ptr()) != last_type) {
            last_type = Py_TYPE(f.value.ptr());
            last_rc = record_class_of(last_type);
        }
        if (!item_clean(f.value.ptr(), last_rc, f.fields)) known.clean = false;
    }
    if ((size_t) PyDict_GET_SIZE(mapping) != known.live) raise(PyExc_RuntimeError, "the mapping changed while items were added to it");
    PyObject *keys[1], *values[1];
    int kinds[1];
    zelph_items_mark since{0, 0}, now{0, 0};
    changed(mapping, &since, &now, keys, values, kinds, 1);
    known.mark = now;
    if (now.run == 0) known.clean = false;
    decoded += fresh.size();
    return true;
}

}  // namespace dualcache
