#include "reports/system_reporter.h"

#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/method.h"
#include "pysem/record_type.h"
#include "reports/time_text.h"

namespace ordermgr {

using namespace pysem::protocol;

PyMethodDef *system_reporter_methods(const char *owner);

static const pysem::record::Decl system_reporter_decl = {
    .name = "SystemReporter",
    .doc = "Generate formatted reports and tables for system visualization.\n\n"
           "The portfolio is only read. Every report reads the store afresh and returns\n"
           "one str, lines joined by a line feed.",
    .fields = PYSEM_RECORD_TABLE(SystemReporterRec, SYSTEM_REPORTER_FIELDS),
    .ordinary = true,
    .functions = system_reporter_methods,
};
static pysem::record::Class system_reporter_class{system_reporter_decl};

static Ref order_mgr_of(PyObject *self) {
    return pysem::record::get(system_reporter_class, self, SystemReporterRec::field::order_mgr);
}

constexpr pysem::Method position_table_method = {
    "position_table", "position_table($self)\n--\n\nGenerate a formatted table of all positions.",
    [](PyObject *self, PyObject *const *) { return position_table(order_mgr_of(self).ptr()); },
    pysem::Method::Function};
constexpr pysem::Method position_summary_method = {
    "position_summary",
    "position_summary($self, stopPct=0.1)\n--\n\n"
    "Generate a summary report of all positions with stop information.",
    [](PyObject *self, PyObject *const *a) {
        double pct = a[0] ? to_double(a[0]) : 0.1;
        return portfolio_report(order_mgr_of(self).ptr(), pct);
    },
    pysem::Method::Function};
constexpr pysem::Method spread_analysis_method = {
    "spread_analysis", "spread_analysis($self)\n--\n\nAnalyze and report on all position groups (spreads).",
    [](PyObject *self, PyObject *const *) { return spread_analysis(order_mgr_of(self).ptr()); },
    pysem::Method::Function};

PyMethodDef *system_reporter_methods(const char *owner) {
    using pysem::method_def;
    static PyMethodDef methods[] = {
        method_def<position_table_method>(owner),
        method_def<position_summary_method>(owner),
        method_def<spread_analysis_method>(owner),
        {},
    };
    return methods;
}

void register_system_reporter(PyObject *module) {
    init_time_text();
    pysem::record::define<SystemReporterRec, system_reporter_class>(module);
}

}  // namespace ordermgr
