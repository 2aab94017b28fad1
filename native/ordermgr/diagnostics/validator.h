// DataValidator: rule sets over trades, positions and position summaries.
// Rules never raise for bad data; each function returns the messages of the
// rules that failed, in rule order.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

nb::list validate_trade(PyObject *trade);
nb::list validate_position_consistency(PyObject *position);
nb::list validate_position_summary_consistency(PyObject *summary);
// One ValidationResult per stored position, in store order.
nb::list validate_system_consistency(PyObject *order_mgr);

// DataValidator.validate_position_consistency(position) as the module's
// namespace resolves it at this moment (the native rules unless replaced).
nb::object validate_position_as_bound(PyObject *position);

void register_data_validator(nb::module_ &m);

}  // namespace ordermgr
