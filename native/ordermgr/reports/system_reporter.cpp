#include "reports/system_reporter.h"

#include "diagnostics/reads.h"
#include "reports/time_text.h"

namespace ordermgr {

static nb::object order_mgr_of(nb::handle self) { return plain::field<SystemReporterRec>(self.ptr(), 0); }

void register_system_reporter(nb::module_ &m) {
    init_diag_names();
    init_time_text();
    auto cls = plain::define<SystemReporterRec>(
        m,
        "Generate formatted reports and tables for system visualization.\n\n"
        "order_mgr: OrderMgr -- the portfolio to report on; only read. Every report\n"
        "reads the store afresh and returns one str, lines joined by a line feed.");
    cls.def(
        "position_table", [](nb::handle self) { return position_table(order_mgr_of(self).ptr()); },
        "Generate a formatted table of all positions.");
    cls.def(
        "position_summary",
        [](nb::handle self, nb::handle stopPct) {
            double pct = to_double(stopPct.ptr());
            return portfolio_report(order_mgr_of(self).ptr(), pct);
        },
        nb::arg("stopPct").none() = 0.1, "Generate a summary report of all positions with stop information.");
    cls.def(
        "spread_analysis", [](nb::handle self) { return spread_analysis(order_mgr_of(self).ptr()); },
        "Analyze and report on all position groups (spreads).");
    types.SystemReporter = plain::py_type<SystemReporterRec>;
}

}  // namespace ordermgr
