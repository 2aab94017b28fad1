// DataValidator: rule sets over trades, positions and position summaries.
// Rules never raise for bad data; each function returns the messages of the
// rules that failed, in rule order.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

Ref validate_trade(PyObject *trade);
Ref validate_position_consistency(PyObject *position);
Ref validate_position_summary_consistency(PyObject *summary);
// One ValidationResult per stored position, in store order.
Ref validate_system_consistency(PyObject *order_mgr);

// DataValidator.validate_position_consistency(position) as the module's
// namespace resolves it at this moment (the native rules unless replaced).
Ref validate_position_as_bound(PyObject *position);

void register_data_validator(PyObject *module);

}  // namespace ordermgr
