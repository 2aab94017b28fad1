// PositionSummary: the display record of a position or of a position group,
// with its stop, stop distance, profit and age derived at construction.
#pragma once
#include <Python.h>
#include "pysem/num.h"
#include "pysem/ref.h"

#include "pysem/record_type.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// PositionSummary's fields, in order: (member type, name, annotation, role, doc).
#define POSITION_SUMMARY_FIELDS(F)                                                                                 \
    F(Ref, qty, "Qty", required(), "Quantity held, always positive.")                                      \
    F(Ref, average_price, "Price", required(),                                                             \
      "Entry price per unit, negative for a short; rounded to 8 places.")                                         \
    F(Ref, stop, "Price", required(), "Stop price; rounded to 8 places.")                                  \
    F(Ref, total_commission, "Price", required(), "Commission paid so far.")                               \
    F(Ref, stopPct, "Percent", excluded(), "Stop distance as a fraction of the entry price, 2 places.")   \
    F(Ref, started, "datetime.datetime", required(), "Start time of the position.")                       \
    F(Ref, marketPrice, "Price | None", defaults(none_value), "Market price given at construction, or None.")    \
    F(Ref, profit, "Price | None", excluded(), "Profit per unit at marketPrice, or None.")                 \
    F(Ref, stopPts, "Price", excluded(), "Stop minus the absolute entry price, 8 places.")                 \
    F(Ref, age, "datetime.timedelta", excluded().uncompared(),                                             \
      "Time from started to the construction of this summary.")

struct PositionSummary {
    PYSEM_RECORD_FIELDS(POSITION_SUMMARY_FIELDS)
};

// PositionSummary(qty=..., average_price=..., stop=..., total_commission=...,
// started=..., marketPrice=...) through the module namespace: built natively
// while the module attribute is the original class, called otherwise.
Ref make_position_summary(PyObject *qty, PyObject *average_price, PyObject *stop, PyObject *total_commission,
                          PyObject *started, PyObject *marketPrice);
// The same without a market price, the average price and the stop given as
// numbers: the same summary, built without their intermediate objects while
// they are floats, the class bound is the module's own and the clock the
// standard one.
Ref make_position_summary(PyObject *qty, const pysem::Num &average_price, const pysem::Num &stop,
                          PyObject *total_commission, PyObject *started);

// Field i (PositionSummary::field::...) of any summary object, as `getattr`
// gives it (a subclass may override it). New reference.
Ref summary_field(PyObject *summary, int i);

// The truth of `summary.is_long`, read as getattr reads it (an exact
// summary's own property is read without the lookup).
bool summary_is_long(PyObject *summary);

// The record of an exact summary whose class still has its own is_long:
// reading its fields and is_long then runs no code of the caller's (though
// the values read may). Null for anything else.
PositionSummary *plain_summary(PyObject *summary);

extern pysem::record::Class summary_class;

void register_position_summary(PyObject *module);

}  // namespace ordermgr
