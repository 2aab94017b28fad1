// The figures of a position group, computed from its member collection on
// every call. Members are read through the position helpers, so subclass
// overrides of Position take part.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

// {p.key for p in positions}
nb::object members_keys(PyObject *positions);
// The union of every member's orderids, as a new set.
nb::object members_orderids(PyObject *positions);
// The smallest absolute member quantity (the first of equal ones).
nb::object members_qty(PyObject *positions);
// The earliest member start time.
nb::object members_started(PyObject *positions);
// sum(p.total_commission for p in positions), starting from int 0.
nb::object members_total_commission(PyObject *positions);
// The signed cost of one group unit: each member's earliest `total_qty`
// absolute units, in timestamp order, commissions included.
nb::object members_average_price(PyObject *positions, PyObject *total_qty);

}  // namespace ordermgr
