#include "itemized.h"

#include <climits>

#include "raise.h"
#include "value_kinds.h"

namespace dualcache {

// Whether an item is unchanged since it was written or read: the same value
// object, and either immutable or a registered record whose fields are the
// same immutable objects. `fields` receives the record's current fields.
static bool unchanged(const ItemRec &r, PyObject *v, const RecordClass *rc, nb::object &fields) {
    if (r.value.ptr() != v) return false;
    if (!rc) return is_identity_safe(v);
    fields = rc->fields(v);
    if (!r.fields) return false;
    Py_ssize_t n = PyTuple_GET_SIZE(fields.ptr());
    if (PyTuple_GET_SIZE(r.fields.ptr()) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *f = PyTuple_GET_ITEM(fields.ptr(), i);
        if (f != PyTuple_GET_ITEM(r.fields.ptr(), i) || !is_identity_safe(f)) return false;
    }
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

ItemPlan plan_items(PyObject *mapping, std::unique_ptr<ItemState> &state, Encoder &enc) {
    ItemPlan plan;
    if (!state) {
        state = std::make_unique<ItemState>();
        plan.rewrite_all = true;
    }
    ItemState &st = *state;
    uint32_t epoch = ++st.epoch;
    size_t live_before = st.live, matched = 0;
    int64_t last = LLONG_MIN;  // order number of the previous item: rows must ascend
    PyTypeObject *last_type = nullptr;
    const RecordClass *last_rc = nullptr;

    size_t cursor = 0;
    Py_ssize_t n = PyDict_GET_SIZE(mapping), pos = 0, walked = 0;
    PyObject *k, *v;
    while (PyDict_Next(mapping, &pos, &k, &v)) {
        if (++walked > n) break;
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
            PyObject *idx = PyDict_GetItemWithError(st.pos.ptr(), k);
            if (!idx && PyErr_Occurred()) throw nb::python_error();
            if (idx) {
                size_t i = (size_t) PyLong_AsSsize_t(idx);
                r = &st.recs[i];
                cursor = i + 1;
            }
        }
        if (r && r->mark == epoch) r = nullptr;  // keys that compare oddly: treat as new

        if (r) {
            r->mark = epoch;
            ++matched;
            bool same = r->key.ptr() == k && unchanged(*r, v, rc, fields);
            if (same && r->ord > last) {
                last = r->ord;
                continue;
            }
            ItemOp op{ItemOp::Update, r->ord, {}, {}};
            encode_item(enc, k, v, rc, fields, op);
            if (r->ord <= last) {
                // Out of order (the mapping re-inserted it): move it to the end.
                plan.ops.push_back(ItemOp{ItemOp::Delete, r->ord, {}, {}});
                op.kind = ItemOp::Insert;
                op.ord = r->ord = st.next_ord++;
            }
            plan.ops.push_back(std::move(op));
            r->key = key;
            r->value = value;
            r->fields = fields;
            last = r->ord;
        } else {
            ItemOp op{ItemOp::Insert, st.next_ord, {}, {}};
            encode_item(enc, k, v, rc, fields, op);
            plan.ops.push_back(std::move(op));
            st.add(key, value, fields, st.next_ord);
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
            nb::object key = std::move(r.key);
            PyObject *at = PyDict_GetItemWithError(st.pos.ptr(), key.ptr());
            if (!at && PyErr_Occurred()) throw nb::python_error();
            if (at && (size_t) PyLong_AsSsize_t(at) == i && PyDict_DelItem(st.pos.ptr(), key.ptr()) < 0)
                throw nb::python_error();
            r.value.reset();
            r.fields.reset();
            --st.live;
        }
    }

    // Compact once free slots dominate.
    if (st.recs.size() > 64 && st.live * 2 < st.recs.size()) {
        auto fresh = std::make_unique<ItemState>();
        fresh->head = std::move(st.head);
        fresh->epoch = st.epoch;
        for (ItemRec &r : st.recs)
            if (r.key) fresh->add(r.key, r.value, r.fields, r.ord);
        fresh->next_ord = st.next_ord;
        state = std::move(fresh);
    }
    return plan;
}

void apply_items(Db &db, int64_t id, const ItemPlan &plan) {
    for (const ItemOp &op : plan.ops) {
        switch (op.kind) {
        case ItemOp::Insert: {
            Run q = db.run(Sql::InsertItem);
            q.bind(1, id).bind(2, op.ord).bind(3, std::string_view(op.key)).bind(4, std::string_view(op.value)).done();
            break;
        }
        case ItemOp::Update: {
            Run q = db.run(Sql::UpdateItem);
            q.bind(1, id).bind(2, op.ord).bind(3, std::string_view(op.key)).bind(4, std::string_view(op.value)).done();
            break;
        }
        case ItemOp::Delete: {
            Run q = db.run(Sql::DeleteItem);
            q.bind(1, id).bind(2, op.ord).done();
            break;
        }
        }
    }
}

nb::object load_items(Db &db, Decoder &dec, int64_t id, std::unique_ptr<ItemState> &state) {
    nb::object mapping = nb::steal(PyDict_New());
    if (!mapping) throw nb::python_error();
    auto st = std::make_unique<ItemState>();
    Run q = db.run(Sql::LoadItems);
    q.bind(1, id);
    while (q.step()) {
        int64_t ord = q.int64(0);
        nb::object key = dec.value(q.blob(1));
        nb::object fields;
        nb::object value = dec.value_and_fields(q.blob(2), fields);
        Py_ssize_t before = PyDict_GET_SIZE(mapping.ptr());
        if (PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0)
            corrupt_from_python_error("an item key that cannot be hashed or compared");
        // Two rows for one item key cannot be written by this store.
        if (PyDict_GET_SIZE(mapping.ptr()) == before)
            throw CorruptValue{"two items with the key " + short_repr(key.ptr())};
        st->add(key, value, fields, ord);
    }
    state = std::move(st);
    return mapping;
}

}  // namespace dualcache
