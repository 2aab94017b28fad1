// SystemReporter: plain-text reports over one order manager.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

namespace ordermgr {
namespace nb = nanobind;

#define SYSTEM_REPORTER_FIELDS(F)                                                      \
    F(nb::object, order_mgr, "OrderMgr", required(),                                  \
      "The portfolio to report on; held by reference, never modified.")

struct SystemReporterRec {
    PYSEM_RECORD_FIELDS(SYSTEM_REPORTER_FIELDS)
};

// The reports of the module's own SystemReporter(order_mgr), for callers
// that hold only the order manager. Each returns a str.
nb::object position_table(PyObject *order_mgr);
nb::object portfolio_report(PyObject *order_mgr, double stopPct);
nb::object spread_analysis(PyObject *order_mgr);

void register_system_reporter(nb::module_ &m);

}  // namespace ordermgr
