// PositionSummary: the display record of a position or of a position group,
// with its stop, stop distance, profit and age derived at construction.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

struct PositionSummary {
    static constexpr bool kPlainObject = true;
    nb::object qty, average_price, stop, total_commission, stopPct, started, marketPrice, profit, stopPts, age;
};

// PositionSummary(qty=..., average_price=..., stop=..., total_commission=...,
// started=..., marketPrice=...) through the module namespace: built natively
// while the module attribute is the original class, called otherwise.
nb::object make_position_summary(nb::handle qty, nb::handle average_price, nb::handle stop,
                                 nb::handle total_commission, nb::handle started, nb::handle marketPrice);

// Field read honouring subclass overrides (the struct for an exact summary,
// attribute access otherwise). New reference.
nb::object summary_stop(PyObject *summary);

void register_position_summary(nb::module_ &m);

}  // namespace ordermgr
