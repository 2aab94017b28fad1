// SystemReporter: plain-text reports over one order manager.
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

#define SYSTEM_REPORTER_FIELDS(F)                                                      \
    F(Ref, order_mgr, "OrderMgr", required(),                                  \
      "The portfolio to report on; held by reference, never modified.")

struct SystemReporterRec {
    PYSEM_RECORD_FIELDS(SYSTEM_REPORTER_FIELDS)
};

// The reports of the module's own SystemReporter(order_mgr), for callers
// that hold only the order manager. Each returns a str.
Ref position_table(PyObject *order_mgr);
Ref portfolio_report(PyObject *order_mgr, double stopPct);
Ref spread_analysis(PyObject *order_mgr);

void register_system_reporter(PyObject *module);

}  // namespace ordermgr
