#include "reports/system_reporter.h"

#include "diagnostics/reads.h"
#include "pysem/record_methods.h"
#include "pysem/record_type.h"
#include "reports/time_text.h"

namespace ordermgr {

static const pysem::record::Decl system_reporter_decl = {
    .name = "SystemReporter",
    .doc = "Generate formatted reports and tables for system visualization.\n\n"
           "The portfolio is only read. Every report reads the store afresh and returns\n"
           "one str, lines joined by a line feed.",
    .fields = PYSEM_RECORD_TABLE(SystemReporterRec, SYSTEM_REPORTER_FIELDS),
    .ordinary = true,
};
static pysem::record::Class system_reporter_class{system_reporter_decl};

static nb::object order_mgr_of(nb::handle self) {
    return pysem::record::get(system_reporter_class, self.ptr(), SystemReporterRec::field::order_mgr);
}

void register_system_reporter(nb::module_ &m) {
    init_diag_names();
    init_time_text();
    PyTypeObject *cls = pysem::record::define<SystemReporterRec, system_reporter_class>(m.ptr());
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
