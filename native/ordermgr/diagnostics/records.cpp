#include "diagnostics/records.h"

#include "pysem/protocol.h"
#include "model/module_ns.h"
#include "pysem/record.h"
#include "pysem/slot_call.h"

namespace ordermgr {

using namespace pysem::protocol;

using pysem::record::Class;
using pysem::record::Decl;

// --- ValidationResult -------------------------------------------------------

static int recompute_is_valid(PyObject *self);

static const Decl validation_result_decl = {
    .name = "ValidationResult",
    .doc = "Result of data validation checks.\n\nis_valid is recomputed after construction.",
    .fields = PYSEM_RECORD_TABLE(ValidationResultRec, VALIDATION_RESULT_FIELDS),
    .ordinary = true,
    .post_init = recompute_is_valid,
};
Class validation_result_class{validation_result_decl};

// is_valid = len(errors) == 0, read and written through the instance (a
// subclass may override either field).
static int recompute_is_valid(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        using F = ValidationResultRec::field;
        Class &c = validation_result_class;
        Ref errors = pysem::record::get(c, self, F::errors);
        Py_ssize_t n = PyObject_Size(errors.ptr());
        if (n < 0) throw Error();
        PyObject *flag = n == 0 ? Py_True : Py_False;
        int r = c.exact(self) ? pysem::record::field_set(c, self, flag, F::is_valid)
                              : PyObject_SetAttr(self, c.names[F::is_valid], flag);
        if (r < 0) throw Error();
        return 0;
    });
}

Ref new_validation_result(Ref position_key, Ref errors) {
    Py_ssize_t n = PyObject_Size(errors.ptr());
    if (n < 0) throw Error();
    Class &c = validation_result_class;
    PyObject *values[] = {position_key.release(), errors.release(),
                          Py_NewRef(n == 0 ? Py_True : Py_False)};
    PyObject *cls = module_class(c);
    PyObject *r;
    if (!cls) {
        for (PyObject *v : values) Py_DECREF(v);
        r = nullptr;
    } else if (pysem::record::runs_own_constructor(c, cls)) {
        // The own class running its own step: is_valid is what it would compute.
        r = pysem::record::make(c, values);
    } else {
        r = pysem::record::call_with(c, cls, values, true);
    }
    if (!r) throw Error();
    return steal(r);
}

// --- the other records --------------------------------------------------------

static const Decl health_report_decl = {
    .name = "SystemHealthReport",
    .doc = "Structured health check report with proper typing.",
    .fields = PYSEM_RECORD_TABLE(SystemHealthReportRec, SYSTEM_HEALTH_REPORT_FIELDS),
    .ordinary = true,
};
Class health_report_class{health_report_decl};

static const Decl trade_flow_decl = {
    .name = "TradeFlowEntry",
    .doc = "Single entry in position trade flow analysis.",
    .fields = PYSEM_RECORD_TABLE(TradeFlowEntryRec, TRADE_FLOW_ENTRY_FIELDS),
    .ordinary = true,
};
Class trade_flow_class{trade_flow_decl};

static const Decl calculations_decl = {
    .name = "PositionCalculations",
    .doc = "Position calculation verification data.",
    .fields = PYSEM_RECORD_TABLE(PositionCalculationsRec, POSITION_CALCULATIONS_FIELDS),
    .ordinary = true,
};
Class calculations_class{calculations_decl};

static const Decl analysis_decl = {
    .name = "PositionAnalysis",
    .doc = "Complete analysis of a single position.",
    .fields = PYSEM_RECORD_TABLE(PositionAnalysisRec, POSITION_ANALYSIS_FIELDS),
    .ordinary = true,
};
Class analysis_class{analysis_decl};

// --- registration -----------------------------------------------------------

void register_diagnostic_records(PyObject *module) {
    using pysem::record::define;
    define<SystemHealthReportRec, health_report_class>(module);
    define<TradeFlowEntryRec, trade_flow_class>(module);
    define<PositionCalculationsRec, calculations_class>(module);
    define<PositionAnalysisRec, analysis_class>(module);
    define<ValidationResultRec, validation_result_class>(module);
}

}  // namespace ordermgr
