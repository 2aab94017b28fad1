#include "diagnostics/system_diagnostics.h"

#include "diagnostics/reads.h"

namespace ordermgr {

PyObject *own_check_data = nullptr;
PyObject *own_check_math = nullptr;

static nb::object order_mgr_of(nb::handle self) { return plain::field<SystemDiagnosticsRec>(self.ptr(), 0); }

void register_system_diagnostics(nb::module_ &m) {
    init_diag_names();
    auto cls = plain::define<SystemDiagnosticsRec>(
        m,
        "Comprehensive system health checks and consistency validation.\n\n"
        "order_mgr: OrderMgr -- the portfolio to examine; only read. Every call reads\n"
        "the store afresh, so two calls on an unchanged portfolio give equal results.");
    cls.def("health_check", &health_check_of,
            "Run comprehensive health checks on the entire system.\n\n"
            "Returns a SystemHealthReport: status 'healthy' or 'warnings', the numbers of\n"
            "positions and trades, every finding in warnings, the data findings in violations.");
    cls.def(
        "_check_data_consistency",
        [](nb::handle self) { return check_data_consistency(order_mgr_of(self).ptr()); },
        "Check for data consistency violations across the system.");
    cls.def(
        "_check_mathematical_consistency",
        [](nb::handle self) { return check_mathematical_consistency(order_mgr_of(self).ptr()); },
        "Check for mathematical anomalies that might indicate calculation errors.");
    cls.def(
        "analyze_position",
        [](nb::handle self, nb::handle key) { return analyze_position(order_mgr_of(self).ptr(), key.ptr()); },
        nb::arg("key").none(),
        "Deep analysis of a specific position.\n\n"
        "Replays the position's trades in time order and compares the replay with the\n"
        "position's own figures. Returns a PositionAnalysis, or None if the key is not found.");
    plain::keep_attr(cls, "_check_data_consistency", &own_check_data);
    plain::keep_attr(cls, "_check_mathematical_consistency", &own_check_math);
    types.SystemDiagnostics = plain::py_type<SystemDiagnosticsRec>;
}

}  // namespace ordermgr
