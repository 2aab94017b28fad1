// SystemDiagnostics: a read-only service over one order manager: the
// portfolio health check and the deep analysis of one position.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

#include "pysem/record_type.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

#define SYSTEM_DIAGNOSTICS_FIELDS(F)                                                   \
    F(Ref, order_mgr, "OrderMgr", required(),                                  \
      "The portfolio to examine; held by reference, never modified.")

struct SystemDiagnosticsRec {
    PYSEM_RECORD_FIELDS(SYSTEM_DIAGNOSTICS_FIELDS)
};
extern pysem::record::Class system_diagnostics_class;

// What the module's own SystemDiagnostics(order_mgr) computes; callers that
// hold only the order manager use these directly.
Ref health_check(PyObject *order_mgr);
Ref check_data_consistency(PyObject *order_mgr);
Ref check_mathematical_consistency(PyObject *order_mgr);
// A PositionAnalysis, or None when `key` is not stored.
Ref analyze_position(PyObject *order_mgr, PyObject *key);

// health_check on a SystemDiagnostics instance: its two passes are run as
// its own methods, so a subclass overriding them is honoured.
Ref health_check_of(PyObject *self);

// The class's own pass methods, for telling an override apart.
extern PyObject *own_check_data, *own_check_math;

void register_system_diagnostics(PyObject *module);

}  // namespace ordermgr
