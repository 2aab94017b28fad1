#include "model/book_tracking.h"

#include "pysem/fields.h"

namespace ordermgr {

void BookTracking::saw(PyObject *key, PyObject *value, bool own_trade) {
    if (held_) return;
    bool ours = own_trade && !PyObject_GC_IsTracked(value);
    held_ = pysem::may_be_tracked(key) || (!ours && pysem::may_be_tracked(value));
}

void BookTracking::settle(PyObject *dict) const {
    if (!held_) {
        if (adopted_ && PyObject_GC_IsTracked(dict)) PyObject_GC_UnTrack(dict);
    } else if (!PyObject_GC_IsTracked(dict)) {
        // Entries that need the collector in an untracked dict: a copy the
        // host made of an untracked book (it copies the tracking as well).
        PyObject_GC_Track(dict);
    }
}

void BookTracking::release(PyObject *dict) {
    if (!PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
}

void BookTracking::before_trade_holds(PyObject *dict, PyObject *value) {
    if (pysem::may_be_tracked(value)) release(dict);
}

}  // namespace ordermgr
