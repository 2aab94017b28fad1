// Trade and commission intake: the only operations that write positions back.
#include <optional>

#include "manager/order_mgr.h"
#include "manager/store_ops.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/record.h"
#include "pysem/record_methods.h"

namespace ordermgr {

// Position(key) through the module namespace, as the class is named now.
static nb::object new_position(PyObject *key) {
    PyObject *r = PyObject_CallOneArg(module_attr(pysem::intern("Position")), key);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// What a position's trade book held before a change, to put it back when the
// store refuses the write: memory must never show a fill that is not on disk.
class BookSnapshot {
public:
    explicit BookSnapshot(PyObject *position) : trades_(position_field(position, Position::field::trades)) {
        saved_ = nb::steal(PyDict_CheckExact(trades_.ptr()) ? PyDict_Copy(trades_.ptr())
                                                            : PyDict_New());
        if (!saved_) throw nb::python_error();
        if (!PyDict_CheckExact(trades_.ptr()) && PyDict_Merge(saved_.ptr(), trades_.ptr(), 1) < 0)
            throw nb::python_error();
    }
    // Best effort, while another error is already on its way out.
    void restore() noexcept {
        if (PyDict_CheckExact(trades_.ptr())) {
            PyDict_Clear(trades_.ptr());
            if (PyDict_Update(trades_.ptr(), saved_.ptr()) < 0) PyErr_Clear();
        } else {
            PyObject *r = PyObject_CallMethod(trades_.ptr(), "clear", nullptr);
            Py_XDECREF(r);
            r = r ? PyObject_CallMethod(trades_.ptr(), "update", "O", saved_.ptr()) : nullptr;
            Py_XDECREF(r);
        }
        PyErr_Clear();
    }

private:
    nb::object trades_, saved_;
};

// Runs `body` in one store transaction; when the body or the commit fails,
// `undo` puts the live objects back before the error propagates.
template <typename Body, typename Undo>
static void guarded_transaction(PyObject *store, Body &&body, Undo &&undo) {
    try {
        in_transaction(store, body);
    } catch (nb::python_error &e) {
        e.restore();
        PyObject *exc = PyErr_GetRaisedException();
        undo();
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        throw nb::python_error();
    }
}

static void add_trade(nb::handle self, nb::handle key, nb::handle trade) {
    nb::object store = order_mgr_field(self.ptr(), OrderMgr::field::positions);
    // The undo: what this call changed in an exact book, or else a copy.
    BookUndo change;
    std::optional<BookSnapshot> before;
    guarded_transaction(
        store.ptr(),
        [&] {
            int present;
            nb::object pos = store_lookup(store.ptr(), key.ptr(), present);
            if (pos.is_none()) pos = new_position(key.ptr());
            bool was_existing = present < 0 ? store_contains(store.ptr(), key.ptr()) : present != 0;
            bool open, empty_known = false;
            if (position_add_trade_undoable(pos.ptr(), trade.ptr(), change)) {
                open = change.result;
                empty_known = change.went_flat();
            } else {
                before.emplace(pos.ptr());
                open = position_add_trade(pos.ptr(), trade.ptr());
            }
            if (open)
                store_setitem(store.ptr(), key.ptr(), pos.ptr());
            else if (was_existing && (empty_known || position_empty(pos.ptr())))
                store_delitem(store.ptr(), key.ptr());
        },
        [&] {
            change.undo();
            if (before) before->restore();
        });
}

static void update_commission(nb::handle self, nb::handle key, nb::handle orderid, nb::handle commission) {
    nb::object store = order_mgr_field(self.ptr(), OrderMgr::field::positions);
    // The trade and its commission as they were, to put back if the write fails.
    nb::object trade, old;
    guarded_transaction(
        store.ptr(),
        [&] {
            nb::object pos = store_getitem(store.ptr(), key.ptr());
            nb::object trades = position_field(pos.ptr(), Position::field::trades);
            int has = PySequence_Contains(trades.ptr(), orderid.ptr());
            if (has < 0) throw nb::python_error();
            if (has) {
                trade = nb::steal(PyObject_GetItem(trades.ptr(), orderid.ptr()));
                if (!trade) throw nb::python_error();
                old = trade_field(trade.ptr(), Trade::field::commission);
            }
            nb::object r = nb::steal(PyObject_CallMethodObjArgs(pos.ptr(), names.add_commission, orderid.ptr(),
                                                                commission.ptr(), nullptr));
            if (!r) throw nb::python_error();
            nb::object again = store_getitem(store.ptr(), key.ptr());
            store_setitem(store.ptr(), key.ptr(), again.ptr());
        },
        [&] {
            if (!trade || !old) return;
            try {
                trade_set_field(trade.ptr(), Trade::field::commission, old.ptr());
            } catch (nb::python_error &) {
                // best effort: the error in flight is the one reported
            }
        });
}

void define_intake(PyTypeObject *cls) {
    pysem::def_method(cls, "clear", [](nb::handle self) {
        nb::object store = order_mgr_field(self.ptr(), OrderMgr::field::positions);
        nb::object r = nb::steal(PyObject_CallMethod(store.ptr(), "clear", nullptr));
        if (!r) throw nb::python_error();
    }, "Remove all positions to start fresh");
    pysem::def_method(cls, "add_trade", &add_trade, nb::arg("key").none(), nb::arg("trade").none(),
            "Record a trade for an instrument key and persist the position (deleted when it goes flat).");
    pysem::def_method(cls, "update_commission", &update_commission, nb::arg("key").none(), nb::arg("orderid").none(), nb::arg("commission").none(),
            "Replace the commission of a stored trade reported after the fill, and persist it.");
}

}  // namespace ordermgr
