// Trade and commission intake: the only operations that write positions back.
#include <optional>

#include "manager/order_mgr.h"
#include "manager/store_ops.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/record.h"

namespace ordermgr {

// Position(key) through the module namespace, as the class is named now.
static Ref new_position(PyObject *key) {
    Ref cls = borrow(module_attr(names().Position));
    return pysem::check(PyObject_CallOneArg(cls.ptr(), key));
}

// What a position's trade book held before a change, to put it back when the
// store refuses the write: memory must never show a fill that is not on disk.
class BookSnapshot {
public:
    explicit BookSnapshot(PyObject *position) : trades_(position_field(position, Position::field::trades)) {
        saved_ = steal(PyDict_CheckExact(trades_.ptr()) ? PyDict_Copy(trades_.ptr())
                                                            : PyDict_New());
        if (!saved_) throw Error();
        if (!PyDict_CheckExact(trades_.ptr()) && PyDict_Merge(saved_.ptr(), trades_.ptr(), 1) < 0)
            throw Error();
    }
    // Best effort, while another error is already on its way out.
    void restore() noexcept {
        if (PyDict_CheckExact(trades_.ptr())) {
            PyDict_Clear(trades_.ptr());
            if (PyDict_Update(trades_.ptr(), saved_.ptr()) < 0) PyErr_Clear();
        } else {
            PyObject *r = PyObject_CallMethodNoArgs(trades_.ptr(), names().clear);
            Py_XDECREF(r);
            r = r ? PyObject_CallMethodOneArg(trades_.ptr(), names().update, saved_.ptr()) : nullptr;
            Py_XDECREF(r);
        }
        PyErr_Clear();
    }

private:
    Ref trades_, saved_;
};

// Runs `body` in one store transaction; when the body or the commit fails,
// `undo` puts the live objects back before the error propagates.
template <typename Body, typename Undo>
static void guarded_transaction(PyObject *store, Body &&body, Undo &&undo) {
    try {
        in_transaction(store, body);
    } catch (Error &) {
        PyObject *exc = PyErr_GetRaisedException();
        undo();
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        throw;
    }
}

static void add_trade(PyObject *self, PyObject *key, PyObject *trade) {
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    // The undo: what this call changed in an exact book, or else a copy.
    BookUndo change;
    std::optional<BookSnapshot> before;
    guarded_transaction(
        store.ptr(),
        [&] {
            int present;
            Ref pos = store_lookup(store.ptr(), key, present);
            if (pos.is_none()) pos = new_position(key);
            bool was_existing = present < 0 ? store_contains(store.ptr(), key) : present != 0;
            bool open, empty_known = false;
            if (position_add_trade_undoable(pos.ptr(), trade, change)) {
                open = change.result;
                empty_known = change.went_flat();
            } else {
                before.emplace(pos.ptr());
                open = position_add_trade(pos.ptr(), trade);
            }
            if (open)
                store_setitem(store.ptr(), key, pos.ptr());
            else if (was_existing && (empty_known || position_empty(pos.ptr())))
                store_delitem(store.ptr(), key);
        },
        [&] {
            change.undo();
            if (before) before->restore();
        });
}

static void update_commission(PyObject *self, PyObject *key, PyObject *orderid, PyObject *commission) {
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    // The trade and its commission as they were, to put back if the write fails.
    Ref trade, old;
    guarded_transaction(
        store.ptr(),
        [&] {
            Ref pos = store_getitem(store.ptr(), key);
            Ref trades = position_field(pos.ptr(), Position::field::trades);
            int has = PySequence_Contains(trades.ptr(), orderid);
            if (has < 0) throw Error();
            if (has) {
                trade = pysem::check(PyObject_GetItem(trades.ptr(), orderid));
                old = trade_field(trade.ptr(), Trade::field::commission);
            }
            pysem::check(PyObject_CallMethodObjArgs(pos.ptr(), names().add_commission, orderid, commission, nullptr));
            Ref again = store_getitem(store.ptr(), key);
            store_setitem(store.ptr(), key, again.ptr());
        },
        [&] {
            if (!trade || !old) return;
            try {
                trade_set_field(trade.ptr(), Trade::field::commission, old.ptr());
            } catch (Error &) {
                PyErr_Clear();  // best effort: the error in flight is the one reported
            }
        });
}

const pysem::Method clear_method = {
    "clear", "clear($self)\n--\n\nRemove all positions to start fresh",
    [](PyObject *self, PyObject *const *) {
        Ref store = order_mgr_field(self, OrderMgr::field::positions);
        pysem::check(PyObject_CallMethodNoArgs(store.ptr(), names().clear));
        return none();
    },
    pysem::Method::Function};

const pysem::Method add_trade_method = {
    "add_trade",
    "add_trade($self, key, trade)\n--\n\n"
    "Record a trade for an instrument key and persist the position (deleted when it goes flat).",
    [](PyObject *self, PyObject *const *a) {
        add_trade(self, a[0], a[1]);
        return none();
    },
    pysem::Method::Function};

const pysem::Method update_commission_method = {
    "update_commission",
    "update_commission($self, key, orderid, commission)\n--\n\n"
    "Replace the commission of a stored trade reported after the fill, and persist it.",
    [](PyObject *self, PyObject *const *a) {
        update_commission(self, a[0], a[1], a[2]);
        return none();
    },
    pysem::Method::Function};

}  // namespace ordermgr
