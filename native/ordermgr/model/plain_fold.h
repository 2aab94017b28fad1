// The figures of a plain trade book in one pass that runs no user code: exact
// Trades whose price, qty and commission are exact floats or exact ints
// within 2**53 (the host's arithmetic on those is plain int64/double
// arithmetic). Kept with the book (kept_book.h) and read by the diagnostics.
#pragma once
#include <Python.h>

#include "pysem/native_sum.h"

namespace ordermgr {

struct Trade;

struct PlainFold {
    pysem::NativeSum qty, commission, cost;  // built-in sums of qty, commission, signed cost
    double pq = 0.0, tq = 0.0;               // Position.average_price's accumulators
    bool negative_price = false;             // some trade's price < 0
    bool findings = false;                   // some trade may fail a trade rule

    // Folds one trade in; false (the fold is then unusable) when it is not plain.
    bool add(const Trade &t);
    double average_price() const { return tq != 0.0 ? pq / tq : pq; }
};

}  // namespace ordermgr
