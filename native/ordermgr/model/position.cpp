#include "model/position.h"

#include <cmath>

#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/store_codec.h"
#include "model/trade.h"
#include "pysem/args.h"
#include "pysem/method.h"
#include "pysem/builtin_sum.h"
#include "pysem/clock.h"
#include "pysem/datetime_key.h"
#include "pysem/fields.h"
#include "pysem/format.h"
#include "pysem/record.h"
#include "pysem/slot_call.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::Num;

// --- trade mapping helpers ---------------------------------------------------

TradeSnapshot::TradeSnapshot(PyObject *trades) {
    if (PyDict_CheckExact(trades)) {
        values_.reserve((size_t) PyDict_GET_SIZE(trades));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(trades, &pos, &k, &v)) values_.push_back(Py_NewRef(v));
        return;
    }
    Ref vals = steal(PyObject_CallMethodNoArgs(trades, names().values));
    if (!vals) throw Error();
    Ref seq = steal(PySequence_List(vals.ptr()));
    if (!seq) throw Error();
    Py_ssize_t n = PyList_GET_SIZE(seq.ptr());
    values_.reserve((size_t) n);
    for (Py_ssize_t i = 0; i < n; ++i) values_.push_back(Py_NewRef(PyList_GET_ITEM(seq.ptr(), i)));
}

TradeSnapshot::~TradeSnapshot() {
    for (PyObject *o : values_) Py_DECREF(o);
}

Py_ssize_t mapping_size(PyObject *trades) {
    if (PyDict_CheckExact(trades)) return PyDict_GET_SIZE(trades);
    Py_ssize_t n = PyObject_Size(trades);
    if (n < 0) throw Error();
    return n;
}

// --- the figures ------------------------------------------------------------
//
// Each figure is read from the book's kept fold (kept_book.h) when the trades
// are an exact dict whose fold took that figure, and is otherwise computed by
// one generic pass over a snapshot of the trades, reading each field through
// the host's protocol where the formula reads it.

// sum(trade.<field> for trade in trades.values()), the host's sum: each value
// read after the previous one was added.
static Ref generic_sum(PyObject *trades, int field) {
    TradeSnapshot snap(trades);
    pysem::BuiltinSum sum;
    for (PyObject *t : snap.values()) sum.add(trade_field(t, field).ptr());
    return sum.result();
}

Ref trades_qty(PyObject *trades, bool own) {
    if (KeptBook *b = KeptBook::of(trades, own); b && b->fold().qty_kept()) return b->fold().qty_object();
    return generic_sum(trades, Trade::field::qty);
}

Ref trades_total_commission(PyObject *trades, bool own) {
    if (KeptBook *b = KeptBook::of(trades, own); b && b->fold().commission_ok)
        return b->fold().commission.result().object();
    return generic_sum(trades, Trade::field::commission);
}

Ref trades_average_price(PyObject *trades, bool own) {
    if (KeptBook *b = KeptBook::of(trades, own); b && b->fold().average_ok) return b->fold().average_price().object();
    // pq += t.price * t.qty + (t.commission if t.qty > 0 else -t.commission);
    // tq += t.qty; then pq / tq, or pq / 1 when tq is zero.
    Num pq = Num::of_double(0.0), tq = Num::of_double(0.0);
    TradeSnapshot snap(trades);
    for (PyObject *t : snap.values()) {
        pq += trade_signed_cost(t);
        tq += Num::steal(trade_field(t, Trade::field::qty).release());
    }
    return (tq.ne_zero() ? pq / tq : pq / Num::of_int(1)).object();
}

Ref trades_started(PyObject *trades, bool own) {
    if (KeptBook *b = KeptBook::of(trades, own); b && b->fold().started_ok) {
        if (!b->fold().earliest) pysem::raise(PyExc_ValueError, "Cannot get start time for position with no trades");
        return borrow(b->fold().earliest);
    }
    TradeSnapshot snap(trades);
    if (snap.size() == 0) pysem::raise(PyExc_ValueError, "Cannot get start time for position with no trades");
    // min(t.timestamp for t in trades.values()): the first of equal ones.
    Ref best;
    for (PyObject *t : snap.values()) {
        Ref ts = trade_field(t, Trade::field::timestamp);
        if (!best.ptr()) {
            best = std::move(ts);
            continue;
        }
        if (pysem::timestamp_less(ts.ptr(), best.ptr())) best = std::move(ts);
    }
    return best;
}

bool kept_figures(PyObject *position, KeptFigures &out) {
    Position *p = position_class.exact<Position>(position);
    PyObject *book = p ? p->trades.ptr() : nullptr;
    if (!book) return false;
    KeptBook *kept = KeptBook::of(book, true);
    if (!kept) return false;
    const BookFold &f = kept->fold();
    if (!f.qty_native() || !f.commission_ok || !f.average_ok || !f.cost_ok || !f.rules_ok) return false;
    out.qty = f.qty.result();
    out.total_commission = f.commission.result();
    out.total_cost = f.cost.result();
    out.average_price = f.average_price();
    out.started = f.started_ok ? f.earliest : nullptr;
    out.trades = f.count;
    out.negative_price = f.negative_price;
    out.trade_findings = f.findings;
    return true;
}

// --- reads honouring overrides --------------------------------------------

// An exact Position whose fields are set, else null.
static Position *exact_position(PyObject *o) {
    Position *p = position_class.exact<Position>(o);
    return p && p->key.ptr() && p->trades.ptr() ? p : nullptr;
}

PyObject *exact_position_book(PyObject *o) {
    Position *p = exact_position(o);
    return p && PyDict_CheckExact(p->trades.ptr()) ? p->trades.ptr() : nullptr;
}

#define POSITION_FIGURE(name, compute)                            \
    Ref position_##name(PyObject *p) {                            \
        if (Position *pos = exact_position(p))                    \
            return compute(pos->trades.ptr(), true);              \
        return pysem::getattr(p, names().name);                   \
    }
POSITION_FIGURE(qty, trades_qty)
POSITION_FIGURE(average_price, trades_average_price)
POSITION_FIGURE(total_commission, trades_total_commission)
POSITION_FIGURE(started, trades_started)
#undef POSITION_FIGURE

static Ref set_of_keys(PyObject *trades) {
    PyObject *s = PySet_New(trades);
    if (!s) throw Error();
    return steal(s);
}

Ref position_orderids(PyObject *p) {
    if (Position *pos = exact_position(p)) return set_of_keys(pos->trades.ptr());
    return pysem::getattr(p, names().orderids);
}

static bool truth(const Ref &o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw Error();
    return r != 0;
}

bool position_is_long(PyObject *p) {
    if (Position *pos = exact_position(p)) return Num::of(trades_qty(pos->trades.ptr(), true).ptr()).gt_zero();
    return truth(pysem::getattr(p, names().is_long));
}

bool position_empty(PyObject *p) {
    if (Position *pos = exact_position(p)) return Num::of(trades_qty(pos->trades.ptr(), true).ptr()).eq_zero();
    return truth(pysem::getattr(p, names().empty));
}

Ref position_is_long_object(PyObject *p) {
    if (exact_position(p)) return pysem::boolean(position_is_long(p));
    return pysem::getattr(p, names().is_long);
}

Ref position_empty_object(PyObject *p) {
    if (exact_position(p)) return pysem::boolean(position_empty(p));
    return pysem::getattr(p, names().empty);
}

// --- operations -----------------------------------------------------------

static bool mapping_contains(PyObject *mapping, PyObject *key) {
    int r = PyDict_CheckExact(mapping) ? PyDict_Contains(mapping, key) : PySequence_Contains(mapping, key);
    if (r < 0) throw Error();
    return r != 0;
}

static void clear_mapping(PyObject *trades) {
    if (PyDict_CheckExact(trades)) {
        PyDict_Clear(trades);
    } else {
        PyObject *r = PyObject_CallMethod(trades, "clear", nullptr);
        if (!r) throw Error();
        Py_DECREF(r);
    }
}

// Position.add_trade; `undo` (optional) learns what it did.
// `trade.orderid` is read twice, as `if trade.orderid in trades: ...` and
// `trades[trade.orderid] = trade` read it: an overriding orderid, or code run
// by the first key's hash or equality, may give another key to store under.
static bool add_trade(PyObject *self, PyObject *trade, BookUndo *undo = nullptr) {
    Ref orderid = trade_field(trade, Trade::field::orderid);
    Ref trades = position_field(self, Position::field::trades);
    if (mapping_contains(trades.ptr(), orderid.ptr())) return false;
    orderid = trade_field(trade, Trade::field::orderid);
    Position *exact = exact_position(self);
    KeptBook *b = KeptBook::of(trades.ptr(), exact != nullptr);
    if (b) {
        b->append(trades.ptr(), orderid.ptr(), trade, exact != nullptr);
    } else if (PyObject_SetItem(trades.ptr(), orderid.ptr(), trade) < 0) {
        throw Error();
    }
    if (undo) {
        undo->trades = trades;
        undo->appended = orderid;
        undo->trade = borrow(trade);
    }
    // The empty test: from the kept qty when the fold took the new trade in.
    bool empty = b && exact && exact->trades.ptr() == trades.ptr() && b->current() && b->fold().qty_kept()
                     ? b->fold().qty_is_zero()
                     : position_empty(self);
    if (!empty) return true;
    if (undo) {
        // Going flat releases every trade anyway; keep them for the undo,
        // without the new one. Only a complete copy is the undo's: if the
        // copy fails, the undo takes out the appended trade instead.
        Ref emptied = steal(PyDict_Copy(trades.ptr()));
        if (!emptied || PyDict_DelItem(emptied.ptr(), orderid.ptr()) < 0) throw Error();
        undo->emptied = std::move(emptied);
    }
    clear_mapping(trades.ptr());
    return false;
}

void BookUndo::undo() noexcept {
    if (!trades) return;
    PyObject *exc = PyErr_GetRaisedException();
    if (emptied) {
        PyDict_Clear(trades.ptr());
        if (PyDict_Update(trades.ptr(), emptied.ptr()) < 0) PyErr_Clear();
    } else {
        PyObject *now = PyDict_GetItemWithError(trades.ptr(), appended.ptr());
        if (now == trade.ptr() && PyDict_DelItem(trades.ptr(), appended.ptr()) < 0) PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

bool position_add_trade_undoable(PyObject *position, PyObject *trade, BookUndo &undo) {
    if (!exact_position(position)) return false;
    Ref trades = position_field(position, Position::field::trades);
    if (!PyDict_CheckExact(trades.ptr())) return false;
    undo.result = add_trade(position, trade, &undo);
    return true;
}

bool position_add_trade(PyObject *position, PyObject *trade) {
    if (exact_position(position)) return add_trade(position, trade);
    Ref r = steal(PyObject_CallMethodOneArg(position, names().add_trade, trade));
    if (!r) throw Error();
    return truth(r);
}

static void add_commission(PyObject *self, PyObject *orderid, PyObject *commission) {
    Ref trades = position_field(self, Position::field::trades);
    if (!mapping_contains(trades.ptr(), orderid)) {
        std::string msg = "Cannot add commission for orderid ";
        pysem::append_default(msg, orderid);
        msg += " - no such trade exists in position ";
        pysem::append_default(msg, position_field(self, Position::field::key).ptr());
        PyErr_SetObject(PyExc_KeyError, pysem::utf8_to_str(msg).ptr());
        throw Error();
    }
    Ref trade = pysem::check(PyObject_GetItem(trades.ptr(), orderid));
    if (Trade *t = trade_class.exact<Trade>(trade.ptr()); t && t->orderid.ptr()) {
        KeptBook::trade_changing(trade.ptr(), t, false, commission);
        t->commission = borrow(commission);
        pysem::track_for(trade.ptr(), commission);
        return;
    }
    trade_set_field(trade.ptr(), Trade::field::commission, commission);
}

// --- type ----------------------------------------------------------------

static Py_hash_t position_hash(PyObject *self) {
    return pysem::slot_call<Py_hash_t>(-1, [&] {
        Py_hash_t h = PyObject_Hash(position_field(self, Position::field::key).ptr());
        if (h == -1 && PyErr_Occurred()) throw Error();
        return h;
    });
}

// The figures of `s` as Position computes them (an exact Position's book is its own).
static Ref started_of(PyObject *s) {
    return trades_started(position_field(s, Position::field::trades).ptr(), position_class.exact(s));
}
static Ref orderids_of(PyObject *s) { return set_of_keys(position_field(s, Position::field::trades).ptr()); }
static Ref qty_of(PyObject *s) {
    return trades_qty(position_field(s, Position::field::trades).ptr(), position_class.exact(s));
}
static Ref average_price_of(PyObject *s) {
    return trades_average_price(position_field(s, Position::field::trades).ptr(), position_class.exact(s));
}
static Ref total_commission_of(PyObject *s) {
    return trades_total_commission(position_field(s, Position::field::trades).ptr(), position_class.exact(s));
}
static Ref empty_of(PyObject *s) { return pysem::boolean(Num::of(position_qty(s).ptr()).eq_zero()); }
static Ref is_long_of(PyObject *s) { return pysem::boolean(Num::of(position_qty(s).ptr()).gt_zero()); }

static PyGetSetDef position_properties[] = {
    {"started", pysem::figure_getter<started_of>, nullptr, "Earliest trade timestamp.", nullptr},
    {"orderids", pysem::figure_getter<orderids_of>, nullptr, "The order ids of all stored trades (a new set).", nullptr},
    {"qty", pysem::figure_getter<qty_of>, nullptr, "Net signed quantity.", nullptr},
    {"empty", pysem::figure_getter<empty_of>, nullptr, "Whether the net quantity is zero.", nullptr},
    {"average_price", pysem::figure_getter<average_price_of>, nullptr, "Cost basis per unit, commissions included.",
     nullptr},
    {"total_commission", pysem::figure_getter<total_commission_of>, nullptr, "Sum of the stored trades' commissions.",
     nullptr},
    {"is_long", pysem::figure_getter<is_long_of>, nullptr, "Whether the net quantity is positive.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr pysem::Method add_trade_method = {
    "add_trade",
    "add_trade($self, trade)\n--\n\n"
    "Record a trade unless its order id is already present; empty the book when it goes flat.\n\n"
    "True when the trade was recorded and the position stays open; False when the order id was\n"
    "already known (nothing changed) or the trade brought the net quantity to exactly zero.",
    [](PyObject *self, PyObject *const *a) { return pysem::boolean(add_trade(self, a[0])); },
};
constexpr pysem::Method add_commission_method = {
    "add_commission",
    "add_commission($self, orderid, commission)\n--\n\n"
    "Replace the commission of the stored trade with that order id.",
    [](PyObject *self, PyObject *const *a) {
        add_commission(self, a[0], a[1]);
        return none();
    },
};

static PyMethodDef *position_methods(const char *owner) {
    static PyMethodDef methods[] = {
        pysem::method_def<add_trade_method>(owner),
        pysem::method_def<add_commission_method>(owner),
        {},
    };
    return methods;
}

static PyObject *new_dict() { return PyDict_New(); }

// The dict an exact Position holds once it is built, restored or given a
// new one becomes its book, kept out of the collector's way while nothing
// in it needs the collector (kept_book.h).
static void adopt_book(PyObject *self, int field) {
    if (field >= 0 && field != Position::field::trades) return;
    if (Position *p = exact_position(self)) KeptBook::adopt(p->trades.ptr());
}

static const pysem::record::Decl position_decl = {
    .name = "Position",
    .doc = "The trade book of one instrument.\n\n"
           "Trades by order id, with the net signed\n"
           "quantity, the commission-inclusive average price (positive for longs and\n"
           "shorts), the total commission and the start time. Empties itself when a\n"
           "trade brings the net quantity to exactly zero.",
    .fields = PYSEM_RECORD_TABLE(Position, POSITION_FIELDS),
    .hash = position_hash,
    .settled = adopt_book,
    .methods = position_methods,
    .properties = position_properties,
    // The store keeps the book entry by entry, from the book's change record.
    .itemized_field = Position::field::trades,
    .items_changed = &book_items_changed,
};

pysem::record::Class position_class{position_decl};

Ref position_field(PyObject *position, int i) {
    PyObject *v = pysem::record::read(position_class, position, i);
    if (!v) throw Error();
    return steal(v);
}

void register_position(PyObject *module) {
    install_book_watcher();
    pysem::watch_fraction_arithmetic();
    pysem::record::define<Position, position_class>(module);
    export_record_codec(position_class.type, &position_class.codec);
}

}  // namespace ordermgr
