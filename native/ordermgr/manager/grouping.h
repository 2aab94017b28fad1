// Grouping of a portfolio's positions by shared order ids.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

// The native pass (for any manager object: its positions are read through
// attribute access when it is a subclass).
nb::object position_groups(PyObject *mgr, PyObject *orderid);
// mgr.position_groups(orderid), honouring a subclass override.
nb::object call_position_groups(PyObject *mgr, PyObject *orderid);

}  // namespace ordermgr
