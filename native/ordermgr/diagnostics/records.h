// The result records of validation, the health check and the analysis of
// one position. Ordinary value records (an attribute dict, weak references):
// they hold the objects they are given.
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

// Each record's fields, in order: (member type, name, annotation, role, doc).
#define SYSTEM_HEALTH_REPORT_FIELDS(F)                                                                     \
    F(Ref, status, "Literal['healthy', 'warnings', 'errors']", required(),                         \
      "Overall verdict: 'healthy', 'warnings' or 'errors'.")                                             \
    F(Ref, total_positions, "int", required(), "Number of positions in the store.")                \
    F(Ref, total_trades, "int", required(), "Number of trades over all positions.")                \
    F(Ref, warnings, "list[str]", required(), "Every finding of the data and the arithmetic checks.") \
    F(Ref, errors, "list[str]", required(), "Critical findings.")                                  \
    F(Ref, violations, "list[str]", required(), "The findings of the data checks alone.")

#define TRADE_FLOW_ENTRY_FIELDS(F)                                                                          \
    F(Ref, orderid, "OrderId", required(), "Order id of the trade.")                               \
    F(Ref, timestamp, "datetime.datetime", required(), "Execution time of the trade.")             \
    F(Ref, price, "float", required(), "Execution price as stored on the trade.")                  \
    F(Ref, qty, "float", required(), "Signed quantity as stored on the trade.")                    \
    F(Ref, commission, "float", required(), "Commission as stored on the trade.")                  \
    F(Ref, running_qty, "float", required(), "Sum of the quantities up to and including this trade.") \
    F(Ref, running_cost, "float", required(), "Cost basis up to and including this trade.")        \
    F(Ref, running_avg, "float", required(), "running_cost / running_qty (by 1 when the quantity is zero).")

#define POSITION_CALCULATIONS_FIELDS(F)                                                                     \
    F(Ref, final_qty, "float", required(), "Replayed quantity after the last trade.")              \
    F(Ref, final_cost, "float", required(), "Replayed cost basis after the last trade.")           \
    F(Ref, final_avg_price, "float", required(), "Replayed average price.")                        \
    F(Ref, position_qty, "float", required(), "The position's own qty.")                           \
    F(Ref, position_avg_price, "float", required(), "The position's own average_price.")           \
    F(Ref, qty_matches, "bool", required(), "Replayed and own quantity agree within 0.001.")       \
    F(Ref, avg_price_matches, "bool", required(), "Replayed and own average price agree within 0.001.")

#define POSITION_ANALYSIS_FIELDS(F)                                                                         \
    F(Ref, key, "Key", required(), "The key the analysis was asked for.")                          \
    F(Ref, qty, "float", required(), "The position's signed quantity.")                            \
    F(Ref, average_price, "float", required(), "The position's average price.")                    \
    F(Ref, is_long, "bool", required(), "The position's direction flag.")                          \
    F(Ref, total_commission, "float", required(), "Commissions over all its trades.")              \
    F(Ref, empty, "bool", required(), "The position's emptiness flag.")                            \
    F(Ref, started, "datetime.datetime", required(), "Time of its first trade.")                   \
    F(Ref, trade_flow, "list[TradeFlowEntry]", required(),                                         \
      "One TradeFlowEntry per trade, in chronological order.")                                            \
    F(Ref, calculations, "PositionCalculations", required(),                                       \
      "Replayed versus own values (PositionCalculations).")                                               \
    F(Ref, consistency_errors, "list[str]", required(), "Messages of the data validator's position rules.")

#define VALIDATION_RESULT_FIELDS(F)                                                                         \
    F(Ref, position_key, "str", required(), "Key of the validated position, in its text form.")    \
    F(Ref, errors, "list[str]", required(), "Messages of every rule that failed, in rule order.")  \
    F(Ref, is_valid, "bool", required(), "Whether errors is empty; recomputed by __post_init__.")

struct SystemHealthReportRec {
    PYSEM_RECORD_FIELDS(SYSTEM_HEALTH_REPORT_FIELDS)
};
struct TradeFlowEntryRec {
    PYSEM_RECORD_FIELDS(TRADE_FLOW_ENTRY_FIELDS)
};
struct PositionCalculationsRec {
    PYSEM_RECORD_FIELDS(POSITION_CALCULATIONS_FIELDS)
};
struct PositionAnalysisRec {
    PYSEM_RECORD_FIELDS(POSITION_ANALYSIS_FIELDS)
};
struct ValidationResultRec {
    PYSEM_RECORD_FIELDS(VALIDATION_RESULT_FIELDS)
};

// The live classes, for building results (pysem::record::construct).
extern pysem::record::Class health_report_class, trade_flow_class, calculations_class, analysis_class,
    validation_result_class;

// ValidationResult(position_key=..., errors=..., is_valid=len(errors) == 0)
// as the module's namespace resolves the class now.
Ref new_validation_result(Ref position_key, Ref errors);

// Registers the five record classes, in the module's order.
void register_diagnostic_records(PyObject *module);

}  // namespace ordermgr
