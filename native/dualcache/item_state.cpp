#include "item_state.h"

namespace dualcache {

void ItemState::add(nb::handle key, nb::handle value, nb::handle fields, int64_t ord, uint32_t crc) {
    nb::object index = nb::steal(PyLong_FromSize_t(recs.size()));
    if (!index || PyDict_SetItem(pos.ptr(), key.ptr(), index.ptr()) < 0) throw nb::python_error();
    recs.push_back(ItemRec{nb::borrow(key), nb::borrow(value), nb::borrow(fields), ord, epoch, crc});
    ++live;
    xor_crc ^= crc;
    if (ord >= next_ord) next_ord = ord + 1;
}

int ItemState::traverse(visitproc visit, void *arg) const {
    Py_VISIT(pos.ptr());
    for (const ItemRec &r : recs) {
        Py_VISIT(r.key.ptr());
        Py_VISIT(r.value.ptr());
        Py_VISIT(r.fields.ptr());
    }
    return 0;
}

}  // namespace dualcache
