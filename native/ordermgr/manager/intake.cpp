// Trade and commission intake: the only operations that write positions back.
#include <new>
#include <optional>

#include "manager/order_mgr.h"
#include "manager/store_ops.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/compat.h"
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
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(trades_.ptr());
        Py_VISIT(saved_.ptr());
        return 0;
    }

private:
    Ref trades_, saved_;
};

// The undo of one add_trade or update_commission: what the call changed in
// the live position it wrote back. It is run when the call fails, and is
// handed to the store's on_rollback(), so that a transaction()/batch() the
// call was part of puts the position back when it rolls back later: a
// Position the caller still holds then shows what the store shows. Runs
// once, whichever comes first.
struct IntakeUndo {
    BookUndo change;                     // add_trade on an exact book: O(1)
    std::optional<BookSnapshot> before;  // add_trade on any other book: a copy
    Ref trade, commission;               // update_commission: the trade and its old commission
    bool done = false;

    void run() noexcept {
        if (done) return;
        done = true;
        PyObject *pending = PyErr_GetRaisedException();
        change.undo();
        if (before) before->restore();
        if (trade && commission) {
            try {
                trade_set_field(trade.ptr(), Trade::field::commission, commission.ptr());
            } catch (Error &) {
                PyErr_Clear();  // best effort: the error in flight is the one reported
            }
        }
        PyErr_SetRaisedException(pending);
    }
    int traverse(visitproc visit, void *arg) const {
        for (const Ref *o : {&change.trades, &change.appended, &change.trade, &change.emptied, &trade, &commission})
            Py_VISIT(o->ptr());
        return before ? before->traverse(visit, arg) : 0;
    }
    void clear() noexcept {
        done = true;
        BookUndo gone = std::move(change);
        change = BookUndo{};
        before.reset();
        Ref t = std::move(trade), c = std::move(commission);
    }
};

// The Python object of an IntakeUndo: a callable the store keeps.
struct UndoObject {
    PyObject_HEAD
    IntakeUndo undo;
};

static int undo_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return ((UndoObject *) self)->undo.traverse(visit, arg);
}

static int undo_clear(PyObject *self) {
    ((UndoObject *) self)->undo.clear();
    return 0;
}

static void undo_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ((UndoObject *) self)->undo.~IntakeUndo();
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject *undo_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
        PyErr_SetString(PyExc_TypeError, "the undo of a fill takes no arguments");
        return nullptr;
    }
    ((UndoObject *) self)->undo.run();
    Py_RETURN_NONE;
}

static PyType_Slot undo_slots[] = {
    {Py_tp_traverse, (void *) undo_traverse},
    {Py_tp_clear, (void *) undo_clear},
    {Py_tp_dealloc, (void *) undo_dealloc},
    {Py_tp_call, (void *) undo_call},
    {Py_tp_doc, (void *) "Puts back what one add_trade or update_commission changed in a live position."},
    {0, nullptr}};
static PyType_Spec undo_spec = {"marlovent.ordermgr._IntakeUndo", sizeof(UndoObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                undo_slots};

// A new undo object; `undo` is its state. The type is made once, at the
// first fill, and kept for the process.
static Ref new_undo(IntakeUndo *&undo) {
    static PyTypeObject *type = (PyTypeObject *) PyType_FromSpec(&undo_spec);
    if (!type) throw Error();
    Ref o = pysem::check(PyType_GenericAlloc(type, 0));
    undo = new (&((UndoObject *) o.ptr())->undo) IntakeUndo();
    return o;
}

// Hands `undo` to the store's on_rollback(), for a store that has one.
static void register_undo(PyObject *store, PyObject *undo) {
    static PyObject *name = pysem::intern("on_rollback");
    if (PyDict_CheckExact(store) || !pysem::compat::type_lookup(Py_TYPE(store), name)) return;
    PyObject *args[] = {store, undo};
    pysem::check(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Runs `body` in one store transaction around the write of `key`; when the
// body or the commit fails, `undo` puts the live objects back before the
// error propagates.
template <typename Body>
static void guarded_transaction(PyObject *store, PyObject *key, Body &&body, IntakeUndo &undo) {
    try {
        in_transaction(store, body, key);
    } catch (Error &) {
        undo.run();
        throw;
    }
}

// Runs one intake call; once more when the store refused its commit because
// another writer came between its read and its write (the first run's
// changes to the live position are put back by then, and the second run
// takes the store's lock before it reads).
template <typename Call>
static void with_one_retry(Call &&call) {
    try {
        call();
    } catch (Error &) {
        if (!take_write_conflict()) throw;
        call();
    }
}

// pos.add_trade(trade), with `undo` learning what it changed: the change
// itself in an exact book, or else a copy of the book taken first. Returns
// add_trade's result; `empty_known`: the book is known to have gone flat.
static bool add_trade_recorded(PyObject *pos, PyObject *trade, IntakeUndo &undo, bool &empty_known) {
    if (position_add_trade_undoable(pos, trade, undo.change)) {
        empty_known = undo.change.went_flat();
        return undo.change.result;
    }
    undo.before.emplace(pos);
    return position_add_trade(pos, trade);
}

static void add_trade_once(PyObject *self, PyObject *key, PyObject *trade) {
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    // The undo: what this call changed in an exact book, or else a copy.
    IntakeUndo *undo;
    Ref undo_obj = new_undo(undo);
    guarded_transaction(
        store.ptr(), key,
        [&] {
            register_undo(store.ptr(), undo_obj.ptr());
            int present;
            Ref pos = store_lookup(store.ptr(), key, present);
            if (pos.is_none()) pos = new_position(key);
            bool was_existing = present < 0 ? store_contains(store.ptr(), key) : present != 0;
            bool empty_known = false;
            bool open = add_trade_recorded(pos.ptr(), trade, *undo, empty_known);
            if (open)
                store_setitem(store.ptr(), key, pos.ptr());
            else if (was_existing && (empty_known || position_empty(pos.ptr())))
                store_delitem(store.ptr(), key);
        },
        *undo);
}

static void add_trade(PyObject *self, PyObject *key, PyObject *trade) {
    with_one_retry([&] { add_trade_once(self, key, trade); });
}

// position.add_trade(trade) inside the transaction the caller holds open on
// the store, for a caller that writes the position back itself: put back if
// that transaction rolls back, as add_trade's change is. Returns add_trade's
// result and the undo, for the caller to run when its own write of the
// position fails (it runs once). When this raises, the change is put back
// already.
static Ref add_trade_undoable(PyObject *self, PyObject *position, PyObject *trade) {
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    IntakeUndo *undo;
    Ref undo_obj = new_undo(undo);
    register_undo(store.ptr(), undo_obj.ptr());
    try {
        bool empty_known = false;
        bool open = add_trade_recorded(position, trade, *undo, empty_known);
        return pysem::check(PyTuple_Pack(2, open ? Py_True : Py_False, undo_obj.ptr()));
    } catch (Error &) {
        undo->run();
        throw;
    }
}

static void update_commission_once(PyObject *self, PyObject *key, PyObject *orderid, PyObject *commission) {
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    // The trade and its commission as they were, to put back if the write fails.
    IntakeUndo *undo;
    Ref undo_obj = new_undo(undo);
    guarded_transaction(
        store.ptr(), key,
        [&] {
            register_undo(store.ptr(), undo_obj.ptr());
            Ref pos = store_getitem(store.ptr(), key);
            Ref trades = position_field(pos.ptr(), Position::field::trades);
            int has = PySequence_Contains(trades.ptr(), orderid);
            if (has < 0) throw Error();
            if (has) {
                Ref t = pysem::check(PyObject_GetItem(trades.ptr(), orderid));
                undo->commission = trade_field(t.ptr(), Trade::field::commission);
                undo->trade = std::move(t);
            }
            pysem::check(PyObject_CallMethodObjArgs(pos.ptr(), names().add_commission, orderid, commission, nullptr));
            Ref again = store_getitem(store.ptr(), key);
            store_setitem(store.ptr(), key, again.ptr());
        },
        *undo);
}

static void update_commission(PyObject *self, PyObject *key, PyObject *orderid, PyObject *commission) {
    with_one_retry([&] { update_commission_once(self, key, orderid, commission); });
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

const pysem::Method add_trade_undoable_method = {
    "_add_trade_undoable",
    "_add_trade_undoable($self, position, trade)\n--\n\n"
    "position.add_trade(trade) inside an open transaction of the store, undone if it rolls back;\n"
    "returns add_trade's result and the undo (a callable, run once) for a write of the position\n"
    "that fails.",
    [](PyObject *self, PyObject *const *a) { return add_trade_undoable(self, a[0], a[1]); },
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
