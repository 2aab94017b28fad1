#include "reports/system_reporter.h"

#include "diagnostics/reads.h"
#include "pysem/record_methods.h"
#include "pysem/record_type.h"
#include "reports/time_text.h"

namespace ordermgr {

static const pysem::record::Field system_reporter_fields[] = {
    PLAIN_FIELD(SystemReporterRec, 0, "order_mgr", "OrderMgr",
                "The portfolio to report on; held by reference, never modified."),
};
static const pysem::record::Decl system_reporter_decl = plain::ordinary<SystemReporterRec>(
    "SystemReporter",
    "Generate formatted reports and tables for system visualization.\n\n"
    "order_mgr: OrderMgr -- the portfolio to report on; only read. Every report\n"
    "reads the store afresh and returns one str, lines joined by a line feed.",
    system_reporter_fields, 1);
static pysem::record::Class system_reporter_class{system_reporter_decl};

static nb::object order_mgr_of(nb::handle self) { return plain::field<SystemReporterRec>(self.ptr(), 0); }

void register_system_reporter(nb::module_ &m) {
    init_diag_names();
    init_time_text();
    PyTypeObject *cls = plain::define<SystemReporterRec, system_reporter_class>(m);
    pysem::def_method(
        cls, "position_table", [](nb::handle self) { return position_table(order_mgr_of(self).ptr()); },
        "Generate a formatted table of all positions.");
    pysem::def_method(
        cls, "position_summary",
        [](nb::handle self, nb::handle stopPct) {
            double pct = to_double(stopPct.ptr());
            return portfolio_report(order_mgr_of(self).ptr(), pct);
        },
        nb::arg("stopPct").none() = 0.1, "Generate a summary report of all positions with stop information.");
    pysem::def_method(
        cls, "spread_analysis", [](nb::handle self) { return spread_analysis(order_mgr_of(self).ptr()); },
        "Analyze and report on all position groups (spreads).");
    types.SystemReporter = cls;
}

}  // namespace ordermgr
