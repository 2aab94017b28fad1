#include "diagnostics/system_diagnostics.h"

#include "diagnostics/overrides.h"
#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/method.h"
#include "pysem/record_type.h"

namespace ordermgr {

using namespace pysem::protocol;

PyObject *own_check_data = nullptr;
PyObject *own_check_math = nullptr;

static Ref order_mgr_of(PyObject *self) {
    return pysem::record::get(system_diagnostics_class, self, SystemDiagnosticsRec::field::order_mgr);
}

constexpr pysem::Method health_check_method = {
    "health_check",
    "health_check($self)\n--\n\n"
    "Run comprehensive health checks on the entire system.\n\n"
    "Returns a SystemHealthReport: status 'healthy' or 'warnings', the numbers of\n"
    "positions and trades, every finding in warnings, the data findings in violations.",
    [](PyObject *self, PyObject *const *) { return health_check_of(self); },
    pysem::Method::Function};
constexpr pysem::Method check_data_method = {
    "_check_data_consistency",
    "_check_data_consistency($self)\n--\n\nCheck for data consistency violations across the system.",
    [](PyObject *self, PyObject *const *) { return check_data_consistency(order_mgr_of(self).ptr()); },
    pysem::Method::Function};
constexpr pysem::Method check_math_method = {
    "_check_mathematical_consistency",
    "_check_mathematical_consistency($self)\n--\n\n"
    "Check for mathematical anomalies that might indicate calculation errors.",
    [](PyObject *self, PyObject *const *) { return check_mathematical_consistency(order_mgr_of(self).ptr()); },
    pysem::Method::Function};
constexpr pysem::Method analyze_position_method = {
    "analyze_position",
    "analyze_position($self, key)\n--\n\n"
    "Deep analysis of a specific position.\n\n"
    "Replays the position's trades in time order and compares the replay with the\n"
    "position's own figures. Returns a PositionAnalysis, or None if the key is not found.",
    [](PyObject *self, PyObject *const *a) { return analyze_position(order_mgr_of(self).ptr(), a[0]); },
    pysem::Method::Function};

static PyMethodDef *system_diagnostics_methods(const char *owner) {
    using pysem::method_def;
    static PyMethodDef methods[] = {
        method_def<health_check_method>(owner),
        method_def<check_data_method>(owner),
        method_def<check_math_method>(owner),
        method_def<analyze_position_method>(owner),
        {},
    };
    return methods;
}

static const pysem::record::Decl system_diagnostics_decl = {
    .name = "SystemDiagnostics",
    .doc = "Comprehensive system health checks and consistency validation.\n\n"
           "The portfolio is only read. Every call reads the store afresh, so two calls\n"
           "on an unchanged portfolio give equal results.",
    .fields = PYSEM_RECORD_TABLE(SystemDiagnosticsRec, SYSTEM_DIAGNOSTICS_FIELDS),
    .ordinary = true,
    .functions = system_diagnostics_methods,
};
pysem::record::Class system_diagnostics_class{system_diagnostics_decl};

void register_system_diagnostics(PyObject *module) {
    PyTypeObject *cls = pysem::record::define<SystemDiagnosticsRec, system_diagnostics_class>(module);
    keep_attr(cls, "_check_data_consistency", &own_check_data);
    keep_attr(cls, "_check_mathematical_consistency", &own_check_math);
}

}  // namespace ordermgr
