// Grouping of a portfolio's positions by shared order ids.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// The native pass (for any manager object: its positions are read through
// attribute access when it is a subclass).
Ref position_groups(PyObject *mgr, PyObject *orderid);
// mgr.position_groups(orderid), honouring a subclass override.
Ref call_position_groups(PyObject *mgr, PyObject *orderid);

}  // namespace ordermgr
