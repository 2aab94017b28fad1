// Trade and commission intake: the only operations that write positions back.
#include <new>
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
    explicit BookSnapshot(PyObject *position) : trades_(position_trades(position)) {
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
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(trades_.ptr());
        Py_VISIT(saved_.ptr());
        return 0;
    }

private:
    nb::object trades_, saved_;
};

// The undo of one add_trade or update_commission: what the call changed in
// the live position it wrote back. It is run when the call fails, and is
// handed to the store's on_rollback(), so that a transaction()/batch() the
// call was part of puts the position back when it rolls back later: a
// Position the caller still holds then shows what the store shows. Runs
// once, whichever comes first.
struct IntakeUndo {
    BookChange change;                   // add_trade on an exact book: O(1)
    std::optional<BookSnapshot> before;  // add_trade on any other book: a copy
    nb::object trade, commission;        // update_commission: the trade and its old commission
    bool done = false;

    void run() noexcept {
        if (done) return;
        done = true;
        PyObject *pending = PyErr_GetRaisedException();
        change.undo();
        if (before) before->restore();
        if (trade && commission && PyObject_SetAttr(trade.ptr(), names.commission, commission.ptr()) < 0)
            PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    int traverse(visitproc visit, void *arg) const {
        for (const nb::object *o : {&change.trades, &change.appended, &change.trade, &change.emptied, &trade, &commission})
            Py_VISIT(o->ptr());
        return before ? before->traverse(visit, arg) : 0;
    }
    void clear() {
        done = true;
        BookChange gone = std::move(change);
        change = BookChange{};
        before.reset();
        nb::object t = std::move(trade), c = std::move(commission);
    }
};

// The Python object of an IntakeUndo: a callable the store keeps.
struct UndoObject {
    PyObject_HEAD
    IntakeUndo undo;
};

static PyTypeObject *undo_type = nullptr;  // kept for the process

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

static PyType_Slot undo_slots[] = {{Py_tp_traverse, (void *) undo_traverse},
                                   {Py_tp_clear, (void *) undo_clear},
                                   {Py_tp_dealloc, (void *) undo_dealloc},
                                   {Py_tp_call, (void *) undo_call},
                                   {Py_tp_doc, (void *) "Puts back what one add_trade or update_commission changed in a live position."},
                                   {0, nullptr}};
static PyType_Spec undo_spec = {"marlovent.ordermgr._IntakeUndo", sizeof(UndoObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                undo_slots};

// A new undo object; `undo` is its state.
static nb::object new_undo(IntakeUndo *&undo) {
    PyObject *o = PyType_GenericAlloc(undo_type, 0);
    if (!o) throw nb::python_error();
    undo = new (&((UndoObject *) o)->undo) IntakeUndo();
    return nb::steal(o);
}

// Hands `undo` to the store's on_rollback(), for a store that has one.
static void register_undo(PyObject *store, PyObject *undo) {
    static PyObject *name = pysem::intern("on_rollback");
    if (PyDict_CheckExact(store) || !_PyType_Lookup(Py_TYPE(store), name)) return;
    PyObject *args[] = {store, undo};
    PyObject *r = PyObject_VectorcallMethod(name, args, 2, nullptr);
    if (!r) throw nb::python_error();
    Py_DECREF(r);
}

// Runs `body` in one store transaction; when the body or the commit fails,
// `undo` puts the live objects back before the error propagates.
template <typename Body>
static void guarded_transaction(PyObject *store, Body &&body, IntakeUndo &undo) {
    try {
        in_transaction(store, body);
    } catch (nb::python_error &e) {
        e.restore();
        undo.run();
        throw nb::python_error();
    }
}

static void add_trade(nb::handle self, nb::handle key, nb::handle trade) {
    nb::object store = order_mgr_positions(self.ptr());
    // The undo: what this call changed in an exact book, or else a copy.
    IntakeUndo *undo;
    nb::object undo_obj = new_undo(undo);
    guarded_transaction(
        store.ptr(),
        [&] {
            register_undo(store.ptr(), undo_obj.ptr());
            nb::object pos = store_get(store.ptr(), key.ptr());
            if (pos.is_none()) pos = new_position(key.ptr());
            bool was_existing = store_contains(store.ptr(), key.ptr());
            bool open;
            if (!position_add_trade_undoable(pos.ptr(), trade.ptr(), undo->change)) {
                undo->before.emplace(pos.ptr());
                open = position_add_trade(pos.ptr(), trade.ptr());
            } else {
                open = undo->change.result;
            }
            if (open)
                store_setitem(store.ptr(), key.ptr(), pos.ptr());
            else if (was_existing && position_empty(pos.ptr()))
                store_delitem(store.ptr(), key.ptr());
        },
        *undo);
}

static void update_commission(nb::handle self, nb::handle key, nb::handle orderid, nb::handle commission) {
    nb::object store = order_mgr_positions(self.ptr());
    // The trade and its commission as they were, to put back if the write fails.
    IntakeUndo *undo;
    nb::object undo_obj = new_undo(undo);
    guarded_transaction(
        store.ptr(),
        [&] {
            register_undo(store.ptr(), undo_obj.ptr());
            nb::object pos = store_getitem(store.ptr(), key.ptr());
            nb::object trades = position_trades(pos.ptr());
            int has = PySequence_Contains(trades.ptr(), orderid.ptr());
            if (has < 0) throw nb::python_error();
            if (has) {
                nb::object t = nb::steal(PyObject_GetItem(trades.ptr(), orderid.ptr()));
                if (!t) throw nb::python_error();
                undo->commission = trade_commission(t.ptr());
                undo->trade = std::move(t);
            }
            nb::object r = nb::steal(PyObject_CallMethodObjArgs(pos.ptr(), names.add_commission, orderid.ptr(),
                                                                commission.ptr(), nullptr));
            if (!r) throw nb::python_error();
            nb::object again = store_getitem(store.ptr(), key.ptr());
            store_setitem(store.ptr(), key.ptr(), again.ptr());
        },
        *undo);
}

void define_intake(PyTypeObject *cls) {
    if (!undo_type) {
        undo_type = (PyTypeObject *) PyType_FromSpec(&undo_spec);
        if (!undo_type) throw nb::python_error();
    }
    pysem::def_method(cls, "clear", [](nb::handle self) {
        nb::object store = order_mgr_positions(self.ptr());
        nb::object r = nb::steal(PyObject_CallMethod(store.ptr(), "clear", nullptr));
        if (!r) throw nb::python_error();
    }, "Remove all positions to start fresh");
    pysem::def_method(cls, "add_trade", &add_trade, nb::arg("key").none(), nb::arg("trade").none(),
            "Record a trade for an instrument key and persist the position (deleted when it goes flat).");
    pysem::def_method(cls, "update_commission", &update_commission, nb::arg("key").none(), nb::arg("orderid").none(), nb::arg("commission").none(),
            "Replace the commission of a stored trade reported after the fill, and persist it.");
}

}  // namespace ordermgr
