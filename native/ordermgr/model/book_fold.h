// The figures of a trade book as one left-to-right fold over its trades.
//
// Every figure of a position is such a fold: the built-in sum of the
// quantities and of the commissions, the pq/tq accumulation of the average
// price, the earliest timestamp; the diagnostics add the built-in sum of the
// signed costs and two flags over the trade rules. A BookFold holds the state
// of all of them after some trades and takes the next trade in O(1); a figure
// read from it is exactly what the generic pass over the same trades gives.
//
// Only values that run no code of the caller's are folded: exact Trades
// holding exact ints and floats and exact datetimes, and for the quantity
// exact Fractions too, while Fraction's arithmetic is the standard library's
// (pysem/rational_sum.h): a book of fractional quantities (as the tool reads
// decimals) then takes a fill in O(1) as well. A value of any other
// kind turns the figures it touches off (their `*_ok` flag), and those are
// then computed by the generic pass on every read. Folding runs no code of
// the caller's and raises nothing.
#pragma once
#include <Python.h>
#include <cstdint>

#include "pysem/fraction_arithmetic.h"
#include "pysem/native_sum.h"
#include "pysem/rational_sum.h"
#include "pysem/num.h"

namespace ordermgr {

struct Trade;

struct BookFold {
    Py_ssize_t count = 0;
    bool exact_trades = true;  // every value an exact Trade, whole and folded
    bool qty_ok = true, commission_ok = true, average_ok = true, started_ok = true;
    // The signed costs and the rule flags need every price, qty and
    // commission an exact float or an exact int within 2**53.
    bool cost_ok = true, rules_ok = true;

    pysem::NativeSum qty, commission, cost;
    // The quantity's sum goes on as a rational (qty_exact) once an int beyond
    // 64 bits or an exact Fraction follows ints only.
    pysem::RationalSum qty_exact;
    bool qty_rational = false;
    double pq = 0.0, tq = 0.0;  // Position.average_price's accumulators
    // The earliest timestamp so far (borrowed: the trade holding it stays in
    // the book, unchanged, for as long as the fold describes the book).
    PyObject *earliest = nullptr, *tzinfo = nullptr;
    int64_t earliest_key = 0;
    bool negative_price = false;  // some trade's price < 0
    bool findings = false;        // some trade may fail a trade rule

    // Folds in an exact Trade whose fields are all set (see whole_trade).
    void add(const Trade &t);
    // Folds in anything else: every figure is left to the generic pass.
    void add_other();

    // Whether Position.qty is kept: natively, or as a rational whose
    // Fractions still add as the host adds them.
    bool qty_kept() const {
        return qty_ok && (!qty_rational || !qty_exact.has_fraction() || pysem::unchanged_fraction_type());
    }
    // Whether it is kept as a native number (qty.result()).
    bool qty_native() const { return qty_ok && !qty_rational; }
    // Position.qty and whether it is zero (qty_kept).
    pysem::Ref qty_object() const { return qty_rational ? qty_exact.object() : qty.result().object(); }
    bool qty_is_zero() const { return qty_rational ? qty_exact.is_zero() : qty.result().eq_zero(); }

    // Position.average_price from the accumulators (average_ok).
    pysem::Num average_price() const;

private:
    bool add_qty(PyObject *q);
};

// The exact Trade behind a book value when every field is set (a default
// timestamp is made here); nullptr for any other value.
Trade *whole_trade(PyObject *value);

}  // namespace ordermgr
