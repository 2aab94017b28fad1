// The figures of a trade book as one left-to-right fold over its trades.
//
// Every figure of a position is such a fold: the built-in sum of the
// quantities and of the commissions, the pq/tq accumulation of the average
// price, the earliest timestamp. A BookFold holds the state of all of them
// after some trades, and takes the next trade in O(1); a figure read from it
// is exactly what a fresh pass over the same trades gives. Only values that
// run no code of the caller's are folded: exact Trades holding exact ints
// and floats and exact datetimes. A value of any other kind turns the
// figures it touches off (their `*_ok` flag), and those are then computed
// afresh by the generic path on every read.
//
// Folding runs no Python code and raises nothing.
#pragma once
#include <Python.h>
#include <cstdint>

#include "model/plain_fold.h"
#include "pysem/native_sum.h"

namespace ordermgr {

struct Trade;

struct BookFold {
    Py_ssize_t count = 0;
    bool qty_ok = true, commission_ok = true, average_ok = true, started_ok = true;
    bool exact_trades = true;  // every value an exact Trade, whole and folded
    bool plain_ok = true;      // every trade plain (plain_fold.h)
    PlainFold plain;
    pysem::NativeSum qty, commission;
    double pq = 0.0, tq = 0.0;
    // The earliest timestamp so far (borrowed: the trade holding it stays in
    // the book, unchanged, for as long as the fold describes the book).
    PyObject *earliest = nullptr, *tzinfo = nullptr;
    int64_t earliest_key = 0;

    // Folds in an exact Trade whose fields are all set (see whole_trade).
    void add(const Trade &t);
    // Folds in anything else: every figure is left to the generic path.
    void add_other();
};

// The exact Trade behind a book value when every field is set (a default
// timestamp is made here); nullptr for any other value.
Trade *whole_trade(PyObject *value);

}  // namespace ordermgr
