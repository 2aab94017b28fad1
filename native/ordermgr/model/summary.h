// PositionSummary: the display record of a position or of a position group,
// with its stop, stop distance, profit and age derived at construction.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

namespace ordermgr {
namespace nb = nanobind;

// PositionSummary's fields, in order: (member type, name, annotation, role, doc).
#define POSITION_SUMMARY_FIELDS(F)                                                                                 \
    F(nb::object, qty, "Qty", required(), "Quantity held, always positive.")                                      \
    F(nb::object, average_price, "Price", required(),                                                             \
      "Entry price per unit, negative for a short; rounded to 8 places.")                                         \
    F(nb::object, stop, "Price", required(), "Stop price; rounded to 8 places.")                                  \
    F(nb::object, total_commission, "Price", required(), "Commission paid so far.")                               \
    F(nb::object, stopPct, "Percent", excluded(), "Stop distance as a fraction of the entry price, 2 places.")   \
    F(nb::object, started, "datetime.datetime", required(), "Start time of the position.")                       \
    F(nb::object, marketPrice, "Price | None", defaults(none), "Market price given at construction, or None.")    \
    F(nb::object, profit, "Price | None", excluded(), "Profit per unit at marketPrice, or None.")                 \
    F(nb::object, stopPts, "Price", excluded(), "Stop minus the absolute entry price, 8 places.")                 \
    F(nb::object, age, "datetime.timedelta", excluded().uncompared(),                                             \
      "Time from started to the construction of this summary.")

struct PositionSummary {
    PYSEM_RECORD_FIELDS(POSITION_SUMMARY_FIELDS)
};

// PositionSummary(qty=..., average_price=..., stop=..., total_commission=...,
// started=..., marketPrice=...) through the module namespace: built natively
// while the module attribute is the original class, called otherwise.
nb::object make_position_summary(nb::handle qty, nb::handle average_price, nb::handle stop,
                                 nb::handle total_commission, nb::handle started, nb::handle marketPrice);

// Field i (PositionSummary::field::...) of any summary object, as `getattr`
// gives it (a subclass may override it). New reference.
nb::object summary_field(PyObject *summary, int i);

void register_position_summary(nb::module_ &m);

}  // namespace ordermgr
