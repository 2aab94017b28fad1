// SystemDiagnostics: a read-only service over one order manager: the
// portfolio health check and the deep analysis of one position.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

namespace ordermgr {
namespace nb = nanobind;

#define SYSTEM_DIAGNOSTICS_FIELDS(F)                                                   \
    F(nb::object, order_mgr, "OrderMgr", required(),                                  \
      "The portfolio to examine; held by reference, never modified.")

struct SystemDiagnosticsRec {
    PYSEM_RECORD_FIELDS(SYSTEM_DIAGNOSTICS_FIELDS)
};
extern pysem::record::Class system_diagnostics_class;

// What the module's own SystemDiagnostics(order_mgr) computes; callers that
// hold only the order manager use these directly.
nb::object health_check(PyObject *order_mgr);
nb::list check_data_consistency(PyObject *order_mgr);
nb::list check_mathematical_consistency(PyObject *order_mgr);
// A PositionAnalysis, or None when `key` is not stored.
nb::object analyze_position(PyObject *order_mgr, PyObject *key);

// health_check on a SystemDiagnostics instance: its two passes are run as
// its own methods, so a subclass overriding them is honoured.
nb::object health_check_of(nb::handle self);

// The class's own pass methods, for telling an override apart.
extern PyObject *own_check_data, *own_check_math;

void register_system_diagnostics(nb::module_ &m);

}  // namespace ordermgr
