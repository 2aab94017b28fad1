// The figures of a position group, computed from its member collection on
// every call. Members are read through the position helpers, so subclass
// overrides of Position take part.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// {p.key for p in positions}
Ref members_keys(PyObject *positions);
// The union of every member's orderids, as a new set.
Ref members_orderids(PyObject *positions);
// The smallest absolute member quantity (the first of equal ones).
Ref members_qty(PyObject *positions);
// The earliest member start time.
Ref members_started(PyObject *positions);
// sum(p.total_commission for p in positions), starting from int 0.
Ref members_total_commission(PyObject *positions);
// The signed cost of one group unit: each member's earliest `total_qty`
// absolute units, in timestamp order, commissions included.
Ref members_average_price(PyObject *positions, PyObject *total_qty);

}  // namespace ordermgr
