// Plain positions: an exact Position whose trade book is an exact dict of
// exact Trades with exact float or exact int (|x| <= 2**53) price, qty and
// commission. Its figures are computed in one native pass that runs no user
// code, and each of them has one value however often a rule reads it, so the
// rules over such a position read them once.
#pragma once
#include <Python.h>

#include "pysem/num.h"

namespace ordermgr {

struct PlainFigures {
    pysem::Num qty;               // Position.qty: sum(t.qty for t in trades)
    pysem::Num average_price;     // Position.average_price
    pysem::Num total_commission;  // Position.total_commission
    pysem::Num total_cost;        // sum(t.price * t.qty +/- t.commission)
    Py_ssize_t trades = 0;
    PyObject *book = nullptr;     // the trade dict (borrowed from the position)
    bool negative_price = false;  // some trade's price < 0
    bool trade_findings = false;  // some trade may fail a trade rule
};

// Fills `out` and returns true for a plain position; returns false, having
// run no user code, for anything else.
bool plain_figures(PyObject *position, PlainFigures &out);

}  // namespace ordermgr
