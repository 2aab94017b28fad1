#include "diagnostics/system_diagnostics.h"

#include "diagnostics/overrides.h"
#include "diagnostics/reads.h"
#include "pysem/record_methods.h"
#include "pysem/record_type.h"

namespace ordermgr {

PyObject *own_check_data = nullptr;
PyObject *own_check_math = nullptr;

static const pysem::record::Decl system_diagnostics_decl = {
    .name = "SystemDiagnostics",
    .doc = "Comprehensive system health checks and consistency validation.\n\n"
           "The portfolio is only read. Every call reads the store afresh, so two calls\n"
           "on an unchanged portfolio give equal results.",
    .fields = PYSEM_RECORD_TABLE(SystemDiagnosticsRec, SYSTEM_DIAGNOSTICS_FIELDS),
    .ordinary = true,
};
pysem::record::Class system_diagnostics_class{system_diagnostics_decl};

static nb::object order_mgr_of(nb::handle self) {
    return pysem::record::get(system_diagnostics_class, self.ptr(), SystemDiagnosticsRec::field::order_mgr);
}

void register_system_diagnostics(nb::module_ &m) {
    init_diag_names();
    PyTypeObject *cls = pysem::record::define<SystemDiagnosticsRec, system_diagnostics_class>(m.ptr());
    pysem::def_method(cls, "health_check", &health_check_of,
                      "Run comprehensive health checks on the entire system.\n\n"
                      "Returns a SystemHealthReport: status 'healthy' or 'warnings', the numbers of\n"
                      "positions and trades, every finding in warnings, the data findings in violations.");
    pysem::def_method(
        cls, "_check_data_consistency",
        [](nb::handle self) { return check_data_consistency(order_mgr_of(self).ptr()); },
        "Check for data consistency violations across the system.");
    pysem::def_method(
        cls, "_check_mathematical_consistency",
        [](nb::handle self) { return check_mathematical_consistency(order_mgr_of(self).ptr()); },
        "Check for mathematical anomalies that might indicate calculation errors.");
    pysem::def_method(
        cls, "analyze_position",
        [](nb::handle self, nb::handle key) { return analyze_position(order_mgr_of(self).ptr(), key.ptr()); },
        nb::arg("key").none(),
        "Deep analysis of a specific position.\n\n"
        "Replays the position's trades in time order and compares the replay with the\n"
        "position's own figures. Returns a PositionAnalysis, or None if the key is not found.");
    keep_attr(nb::handle((PyObject *) cls), "_check_data_consistency", &own_check_data);
    keep_attr(nb::handle((PyObject *) cls), "_check_mathematical_consistency", &own_check_math);
    types.SystemDiagnostics = cls;
}

}  // namespace ordermgr
