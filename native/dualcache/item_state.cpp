#include "item_state.h"

namespace dualcache {

ItemState::~ItemState() {
    for (PyObject *f : fields_) Py_XDECREF(f);
}

void ItemState::add_slot(nb::handle key, nb::handle value, PyObject *const *fields, uint32_t n, int64_t ord,
                         uint32_t crc) {
    ItemRec r{nb::borrow(key), nb::borrow(value), ord, epoch, crc, 0, ItemRec::kNoFields};
    if (n != ItemRec::kNoFields) {
        // Usually every item is a record of one class: room for all of them.
        if (fields_.empty()) fields_.reserve(recs.capacity() * n);
        r.fields_at = (uint32_t) fields_.size();
        r.nfields = n;
        for (uint32_t i = 0; i < n; ++i) fields_.push_back(Py_NewRef(fields[i]));
    }
    recs.push_back(std::move(r));
    ++live;
    xor_crc ^= crc;
    if (ord >= next_ord) next_ord = ord + 1;
    if (pos_ || recs.size() > kScanSlots) index_slot(recs.size() - 1);
}

void ItemState::index_slot(size_t i) {
    if (!pos_) {
        // Past the scanned size: from now on a dict finds the slots.
        pos_ = nb::steal(PyDict_New());
        if (!pos_) throw nb::python_error();
        for (size_t j = 0; j < i; ++j)
            if (recs[j].key) index_slot(j);
    }
    nb::object index = nb::steal(PyLong_FromSize_t(i));
    if (!index || PyDict_SetItem(pos_.ptr(), recs[i].key.ptr(), index.ptr()) < 0) throw nb::python_error();
}

void ItemState::add(nb::handle key, nb::handle value, nb::handle fields, int64_t ord, uint32_t crc) {
    if (!fields) {
        add_slot(key, value, nullptr, ItemRec::kNoFields, ord, crc);
        return;
    }
    add_slot(key, value, &PyTuple_GET_ITEM(fields.ptr(), 0), (uint32_t) PyTuple_GET_SIZE(fields.ptr()), ord, crc);
}

void ItemState::add_from(const ItemState &other, const ItemRec &r) {
    std::span<PyObject *const> f = other.fields_of(r);
    add_slot(r.key, r.value, f.data(), r.nfields, r.ord, r.crc);
}

Py_ssize_t ItemState::find(PyObject *key) const {
    if (pos_) {
        PyObject *idx = PyDict_GetItemWithError(pos_.ptr(), key);
        if (!idx) {
            if (PyErr_Occurred()) throw nb::python_error();
            return -1;
        }
        return PyLong_AsSsize_t(idx);
    }
    // What a dict lookup does: the same object, or an equal one of equal hash.
    for (size_t i = recs.size(); i-- > 0;)
        if (recs[i].key.ptr() == key) return (Py_ssize_t) i;
    Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) throw nb::python_error();
    for (size_t i = recs.size(); i-- > 0;) {
        PyObject *k = recs[i].key.ptr();
        if (!k) continue;
        Py_hash_t h = PyObject_Hash(k);
        if (h == -1) throw nb::python_error();
        if (h != hash) continue;
        int eq = PyObject_RichCompareBool(k, key, Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return (Py_ssize_t) i;
    }
    return -1;
}

void ItemState::free_slot(size_t i) {
    ItemRec &r = recs[i];
    nb::object key = std::move(r.key);
    if (pos_) {
        PyObject *at = PyDict_GetItemWithError(pos_.ptr(), key.ptr());
        if (!at && PyErr_Occurred()) throw nb::python_error();
        if (at && (size_t) PyLong_AsSsize_t(at) == i && PyDict_DelItem(pos_.ptr(), key.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object value = std::move(r.value);
    release_fields(r);
    --live;
}

ItemStateBefore ItemState::before() const {
    return ItemStateBefore{head, recs.size(), fields_.size(), live, xor_crc, next_ord, known_at, rows_since, mark, clean};
}

bool ItemState::only_appended_since(const ItemStateBefore &b) const {
    return recs.size() >= b.slots && fields_.size() >= b.fields && live == b.live + (recs.size() - b.slots);
}

void ItemState::restore(ItemStateBefore &&b) {
    for (size_t i = recs.size(); i-- > b.slots;)
        if (recs[i].key) free_slot(i);
    recs.resize(b.slots);
    fields_.resize(b.fields);  // (the dropped slots' copies, released above)
    head = std::move(b.head);
    live = b.live;
    xor_crc = b.xor_crc;
    next_ord = b.next_ord;
    known_at = b.known_at;
    rows_since = b.rows_since;
    mark = b.mark;
    clean = b.clean;
}

bool ItemState::same_fields(const ItemRec &r, PyObject *fields) const {
    if (r.nfields == ItemRec::kNoFields || (size_t) PyTuple_GET_SIZE(fields) != r.nfields) return false;
    for (uint32_t i = 0; i < r.nfields; ++i)
        if (PyTuple_GET_ITEM(fields, i) != fields_[r.fields_at + i]) return false;
    return true;
}

void ItemState::release_fields(ItemRec &r) {
    if (r.nfields == ItemRec::kNoFields) return;
    uint32_t at = r.fields_at, n = r.nfields;
    r.nfields = ItemRec::kNoFields;
    for (uint32_t i = 0; i < n; ++i) {
        PyObject *f = fields_[at + i];
        fields_[at + i] = nullptr;
        Py_XDECREF(f);
    }
}

void ItemState::set_fields(ItemRec &r, nb::handle fields) {
    if (!fields) {
        release_fields(r);
        return;
    }
    uint32_t n = (uint32_t) PyTuple_GET_SIZE(fields.ptr());
    if (r.nfields == n) {
        // The same class again: the copies are replaced where they are.
        for (uint32_t i = 0; i < n; ++i) {
            PyObject *old = fields_[r.fields_at + i];
            fields_[r.fields_at + i] = Py_NewRef(PyTuple_GET_ITEM(fields.ptr(), i));
            Py_XDECREF(old);
        }
        return;
    }
    release_fields(r);
    r.fields_at = (uint32_t) fields_.size();
    for (uint32_t i = 0; i < n; ++i) fields_.push_back(Py_NewRef(PyTuple_GET_ITEM(fields.ptr(), i)));
    r.nfields = n;
}

std::span<PyObject *const> ItemState::fields_of(const ItemRec &r) const {
    if (r.nfields == ItemRec::kNoFields) return {};
    return {fields_.data() + r.fields_at, r.nfields};
}

int ItemState::traverse(visitproc visit, void *arg) const {
    Py_VISIT(pos_.ptr());
    Py_VISIT(outdated.ptr());
    for (const ItemRec &r : recs) {
        if (int v = visit_container(r.key.ptr(), visit, arg)) return v;
        if (int v = visit_container(r.value.ptr(), visit, arg)) return v;
    }
    for (PyObject *f : fields_)
        if (int v = visit_container(f, visit, arg)) return v;
    return 0;
}

}  // namespace dualcache
