// Position: the trade book of one instrument.
#pragma once
#include <Python.h>
#include "pysem/ref.h"
#include <vector>

#include "pysem/num.h"
#include "pysem/record_type.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// Position's fields, in order: (member type, name, annotation, role, doc).
#define POSITION_FIELDS(F)                                                                         \
    F(Ref, key, "Key", required(), "Instrument identifier chosen by the caller.")          \
    F(Ref, trades, "dict[OrderId, Trade]", factory(new_dict, "dict"),                      \
      "The trade book: each stored trade under its own orderid.")

struct Position {
    PYSEM_RECORD_FIELDS(POSITION_FIELDS)
};

// The trades of a mapping, taken as a list of owned references before any
// of them is looked at, so that code run while reading them (a subclass
// property, a user number type) cannot invalidate the iteration.
class TradeSnapshot {
public:
    explicit TradeSnapshot(PyObject *trades);
    ~TradeSnapshot();
    TradeSnapshot(const TradeSnapshot &) = delete;
    TradeSnapshot &operator=(const TradeSnapshot &) = delete;
    const std::vector<PyObject *> &values() const { return values_; }
    size_t size() const { return values_.size(); }

private:
    std::vector<PyObject *> values_;
};

// Field i (Position::field::...) of any position object, as `getattr`
// gives it (a subclass may override it). New reference.
Ref position_field(PyObject *position, int i);

// The trade dict of an exact Position whose fields are set and whose
// trades are an exact dict (borrowed), else null: its keys are the
// position's order ids.
PyObject *exact_position_book(PyObject *position);

// Figures read honouring subclass overrides (computed for an exact
// Position, attribute access otherwise). New references.
Ref position_qty(PyObject *position);
Ref position_average_price(PyObject *position);
Ref position_total_commission(PyObject *position);
Ref position_started(PyObject *position);
Ref position_orderids(PyObject *position);
bool position_is_long(PyObject *position);
bool position_empty(PyObject *position);
// `is_long` and `empty` as the objects a read gives (a bool for an exact
// Position, whatever a subclass or a duck-typed object returns).
Ref position_is_long_object(PyObject *position);
Ref position_empty_object(PyObject *position);

// The figures computed from a trade mapping (no overrides involved).
// `own`: the mapping is the book of an exact Position (kept_book.h).
Ref trades_qty(PyObject *trades, bool own = false);
Ref trades_average_price(PyObject *trades, bool own = false);
Ref trades_total_commission(PyObject *trades, bool own = false);
Ref trades_started(PyObject *trades, bool own = false);

// Position.add_trade on any position object (the native algorithm for an
// exact Position, its add_trade method otherwise).
bool position_add_trade(PyObject *position, PyObject *trade);

// What one add_trade did to the dict book of an exact Position: its result,
// and what to put back when the store refuses the write (the trade it
// appended, or, when the trade took the position flat, the book it emptied).
struct BookUndo {
    Ref trades, appended, trade, emptied;
    bool result = false;
    // The position's `empty` afterwards as the book knows it (a flat reset
    // empties it), without reading any figure.
    bool went_flat() const { return emptied.ptr() != nullptr; }
    void undo() noexcept;  // keeps the error in flight
};

// add_trade on an exact Position whose trades are an exact dict, recording
// the undo; false (nothing done) for any other position or mapping.
bool position_add_trade_undoable(PyObject *position, PyObject *trade, BookUndo &undo);

// The figures of an exact Position whose trades are an exact dict, as its
// kept fold has them, when the fold took every one of them (every price, qty
// and commission an exact float or an exact int within 2**53, exact
// datetimes): each then has one value however often it is read, and reading
// them runs no code of the caller's. False for any other position, having
// run no code of the caller's either.
struct KeptFigures {
    pysem::Num qty;               // Position.qty: sum(t.qty for t in trades)
    pysem::Num average_price;     // Position.average_price
    pysem::Num total_commission;  // Position.total_commission
    pysem::Num total_cost;        // sum(t.price * t.qty +/- t.commission)
    PyObject *started = nullptr;  // Position.started (borrowed), or null when unknown
    Py_ssize_t trades = 0;
    bool negative_price = false;  // some trade's price < 0
    bool trade_findings = false;  // some trade may fail a trade rule
};
bool kept_figures(PyObject *position, KeptFigures &out);

// Number of entries of a trade mapping.
Py_ssize_t mapping_size(PyObject *trades);

extern pysem::record::Class position_class;

void register_position(PyObject *module);

}  // namespace ordermgr
