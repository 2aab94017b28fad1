#include "diagnostics/records.h"

#include "diagnostics/reads.h"
#include "pysem/compat.h"
#include "pysem/slot_call.h"
#include "pysem/record_type.h"

namespace ordermgr {

using pysem::record::Class;
using pysem::record::Decl;
using pysem::record::Field;

// --- ValidationResult -------------------------------------------------------

enum { POSITION_KEY, ERRORS, IS_VALID };

static const Field validation_result_fields[] = {
    PLAIN_FIELD(ValidationResultRec, 0, "position_key", "str", "Key of the validated position, in its text form."),
    PLAIN_FIELD(ValidationResultRec, 1, "errors", "list[str]", "Messages of every rule that failed, in rule order."),
    PLAIN_FIELD(ValidationResultRec, 2, "is_valid", "bool", "Whether errors is empty; recomputed by __post_init__."),
};

static int recompute_is_valid(PyObject *self);

static const Decl validation_result_decl = plain::ordinary<ValidationResultRec>(
    "ValidationResult",
    "Result of data validation checks.\n\n"
    "position_key: str -- key of the validated position\n"
    "errors: list[str] -- messages of every failed rule, in rule order\n"
    "is_valid: bool -- true when errors is empty; recomputed after construction",
    validation_result_fields, 3, recompute_is_valid);
static Class validation_result_class{validation_result_decl};

// is_valid = len(errors) == 0, read and written through the instance (a
// subclass may override either field).
static int recompute_is_valid(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        Class &c = validation_result_class;
        nb::object errors = plain::field<ValidationResultRec>(self, ERRORS);
        Py_ssize_t n = PyObject_Size(errors.ptr());
        if (n < 0) throw nb::python_error();
        PyObject *flag = n == 0 ? Py_True : Py_False;
        int r = c.exact(self) ? pysem::record::field_set(c, self, flag, IS_VALID)
                              : PyObject_SetAttr(self, c.names[IS_VALID], flag);
        if (r < 0) throw nb::python_error();
        return 0;
    });
}

nb::object new_validation_result(nb::object position_key, nb::object errors) {
    Py_ssize_t n = PyObject_Size(errors.ptr());
    if (n < 0) throw nb::python_error();
    std::array<nb::object, 3> values{std::move(position_key), std::move(errors),
                                     nb::borrow(n == 0 ? Py_True : Py_False)};
    static PyObject *post_init_name = pysem::intern("__post_init__");
    PyObject *cls = plain::bound_class<ValidationResultRec>();
    // The own class running its own step: is_valid is what it would compute.
    if (cls == (PyObject *) validation_result_class.type &&
        pysem::compat::own_type_lookup((PyTypeObject *) cls, post_init_name) == validation_result_class.own_post_init)
        return plain::make<ValidationResultRec>(std::move(values));
    return plain::call_with_keywords<ValidationResultRec>(cls, values);
}

// --- SystemHealthReport -----------------------------------------------------

static const Field health_report_fields[] = {
    PLAIN_FIELD(SystemHealthReportRec, 0, "status", "Literal['healthy', 'warnings', 'errors']",
                "Overall verdict: 'healthy', 'warnings' or 'errors'."),
    PLAIN_FIELD(SystemHealthReportRec, 1, "total_positions", "int", "Number of positions in the store."),
    PLAIN_FIELD(SystemHealthReportRec, 2, "total_trades", "int", "Number of trades over all positions."),
    PLAIN_FIELD(SystemHealthReportRec, 3, "warnings", "list[str]",
                "Every finding of the data and the arithmetic checks."),
    PLAIN_FIELD(SystemHealthReportRec, 4, "errors", "list[str]", "Critical findings."),
    PLAIN_FIELD(SystemHealthReportRec, 5, "violations", "list[str]", "The findings of the data checks alone."),
};
static const Decl health_report_decl = plain::ordinary<SystemHealthReportRec>(
    "SystemHealthReport",
    "Structured health check report with proper typing.\n\n"
    "status: Literal['healthy', 'warnings', 'errors'] -- overall verdict\n"
    "total_positions: int -- number of positions in the store\n"
    "total_trades: int -- number of trades over all positions\n"
    "warnings: list[str] -- every finding of the data and the arithmetic checks\n"
    "errors: list[str] -- critical findings\n"
    "violations: list[str] -- the findings of the data checks alone",
    health_report_fields, 6);
static Class health_report_class{health_report_decl};

// --- TradeFlowEntry ---------------------------------------------------------

static const Field trade_flow_fields[] = {
    PLAIN_FIELD(TradeFlowEntryRec, 0, "orderid", "OrderId", "Order id of the trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 1, "timestamp", "datetime.datetime", "Execution time of the trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 2, "price", "float", "Execution price as stored on the trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 3, "qty", "float", "Signed quantity as stored on the trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 4, "commission", "float", "Commission as stored on the trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 5, "running_qty", "float", "Sum of the quantities up to and including this trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 6, "running_cost", "float", "Cost basis up to and including this trade."),
    PLAIN_FIELD(TradeFlowEntryRec, 7, "running_avg", "float",
                "running_cost / running_qty (by 1 when the quantity is zero)."),
};
static const Decl trade_flow_decl = plain::ordinary<TradeFlowEntryRec>(
    "TradeFlowEntry",
    "Single entry in position trade flow analysis.\n\n"
    "orderid, timestamp, price, qty, commission -- the trade's own values\n"
    "running_qty: float -- sum of the quantities up to and including this trade\n"
    "running_cost: float -- cost basis up to and including this trade\n"
    "running_avg: float -- running_cost / running_qty (by 1 when that is zero)",
    trade_flow_fields, 8);
static Class trade_flow_class{trade_flow_decl};

// --- PositionCalculations ---------------------------------------------------

static const Field calculations_fields[] = {
    PLAIN_FIELD(PositionCalculationsRec, 0, "final_qty", "float", "Replayed quantity after the last trade."),
    PLAIN_FIELD(PositionCalculationsRec, 1, "final_cost", "float", "Replayed cost basis after the last trade."),
    PLAIN_FIELD(PositionCalculationsRec, 2, "final_avg_price", "float", "Replayed average price."),
    PLAIN_FIELD(PositionCalculationsRec, 3, "position_qty", "float", "The position's own qty."),
    PLAIN_FIELD(PositionCalculationsRec, 4, "position_avg_price", "float", "The position's own average_price."),
    PLAIN_FIELD(PositionCalculationsRec, 5, "qty_matches", "bool", "Replayed and own quantity agree within 0.001."),
    PLAIN_FIELD(PositionCalculationsRec, 6, "avg_price_matches", "bool",
                "Replayed and own average price agree within 0.001."),
};
static const Decl calculations_decl = plain::ordinary<PositionCalculationsRec>(
    "PositionCalculations",
    "Position calculation verification data.\n\n"
    "final_qty, final_cost, final_avg_price: float -- replayed totals\n"
    "position_qty, position_avg_price: float -- the position's own figures\n"
    "qty_matches, avg_price_matches: bool -- agreement within 0.001",
    calculations_fields, 7);
static Class calculations_class{calculations_decl};

// --- PositionAnalysis -------------------------------------------------------

static const Field analysis_fields[] = {
    PLAIN_FIELD(PositionAnalysisRec, 0, "key", "Key", "The key the analysis was asked for."),
    PLAIN_FIELD(PositionAnalysisRec, 1, "qty", "float", "The position's signed quantity."),
    PLAIN_FIELD(PositionAnalysisRec, 2, "average_price", "float", "The position's average price."),
    PLAIN_FIELD(PositionAnalysisRec, 3, "is_long", "bool", "The position's direction flag."),
    PLAIN_FIELD(PositionAnalysisRec, 4, "total_commission", "float", "Commissions over all its trades."),
    PLAIN_FIELD(PositionAnalysisRec, 5, "empty", "bool", "The position's emptiness flag."),
    PLAIN_FIELD(PositionAnalysisRec, 6, "started", "datetime.datetime", "Time of its first trade."),
    PLAIN_FIELD(PositionAnalysisRec, 7, "trade_flow", "list[TradeFlowEntry]",
                "One TradeFlowEntry per trade, in chronological order."),
    PLAIN_FIELD(PositionAnalysisRec, 8, "calculations", "PositionCalculations",
                "Replayed versus own values (PositionCalculations)."),
    PLAIN_FIELD(PositionAnalysisRec, 9, "consistency_errors", "list[str]",
                "Messages of the data validator's position rules."),
};
static const Decl analysis_decl = plain::ordinary<PositionAnalysisRec>(
    "PositionAnalysis",
    "Complete analysis of a single position.\n\n"
    "key -- the key asked for\n"
    "qty, average_price, is_long, total_commission, empty, started -- the position's figures\n"
    "trade_flow: list[TradeFlowEntry] -- one entry per trade, in time order\n"
    "calculations: PositionCalculations -- replayed versus own values\n"
    "consistency_errors: list[str] -- messages of the validator's position rules",
    analysis_fields, 10);
static Class analysis_class{analysis_decl};

// --- registration -----------------------------------------------------------

void register_diagnostic_records(nb::module_ &m) {
    init_diag_names();
    types.SystemHealthReport = plain::define<SystemHealthReportRec, health_report_class>(m);
    types.TradeFlowEntry = plain::define<TradeFlowEntryRec, trade_flow_class>(m);
    types.PositionCalculations = plain::define<PositionCalculationsRec, calculations_class>(m);
    types.PositionAnalysis = plain::define<PositionAnalysisRec, analysis_class>(m);
    types.ValidationResult = plain::define<ValidationResultRec, validation_result_class>(m);
}

}  // namespace ordermgr
