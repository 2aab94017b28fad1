// Order description strings of a position group: the leg list that re-opens
// or closes the bag, and the order lines that scale into it or stop it out.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// "BUY 1 LEG1 SELL 2 LEG2": one side, ratio and key per member, in the
// member set's order; sides reversed unless `openclose` equals "OPEN".
Ref generate_order_desc(PyObject *group, PyObject *openclose);

// "buy '<open legs>' 1 LIM @ 3.3": one group unit with a limit that lets the
// cost basis grow by at most stop_pct.
Ref start_order(PyObject *group, PyObject *stop_pct, PyObject *algo);
// "buy '<open legs>' -10 LIM @ 2.7": the whole group out at its stop.
Ref stop_order(PyObject *group, PyObject *stop_pct, PyObject *algo);

}  // namespace ordermgr
