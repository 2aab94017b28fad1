// The result records of validation, the health check and the analysis of
// one position. Plain value records: they hold the objects they are given.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "diagnostics/plain_record.h"

namespace ordermgr {
namespace nb = nanobind;

struct ValidationResultRec : plain::Fields<3> {
    static constexpr const char *kName = "ValidationResult";
    static constexpr std::array<plain::FieldDef, 3> kFields{{
        {"position_key", "Key of the validated position, in its text form."},
        {"errors", "Messages of every rule that failed, in rule order."},
        {"is_valid", "Whether errors is empty; recomputed by __post_init__."},
    }};
    static void post_init(nb::pointer_and_handle<ValidationResultRec> self);
};

struct SystemHealthReportRec : plain::Fields<6> {
    static constexpr const char *kName = "SystemHealthReport";
    static constexpr std::array<plain::FieldDef, 6> kFields{{
        {"status", "Overall verdict: 'healthy', 'warnings' or 'errors'."},
        {"total_positions", "Number of positions in the store."},
        {"total_trades", "Number of trades over all positions."},
        {"warnings", "Every finding of the data and the arithmetic checks."},
        {"errors", "Critical findings."},
        {"violations", "The findings of the data checks alone."},
    }};
};

struct TradeFlowEntryRec : plain::Fields<8> {
    static constexpr const char *kName = "TradeFlowEntry";
    static constexpr std::array<plain::FieldDef, 8> kFields{{
        {"orderid", "Order id of the trade."},
        {"timestamp", "Execution time of the trade."},
        {"price", "Execution price as stored on the trade."},
        {"qty", "Signed quantity as stored on the trade."},
        {"commission", "Commission as stored on the trade."},
        {"running_qty", "Sum of the quantities up to and including this trade."},
        {"running_cost", "Cost basis up to and including this trade."},
        {"running_avg", "running_cost / running_qty (by 1 when the quantity is zero)."},
    }};
};

struct PositionCalculationsRec : plain::Fields<7> {
    static constexpr const char *kName = "PositionCalculations";
    static constexpr std::array<plain::FieldDef, 7> kFields{{
        {"final_qty", "Replayed quantity after the last trade."},
        {"final_cost", "Replayed cost basis after the last trade."},
        {"final_avg_price", "Replayed average price."},
        {"position_qty", "The position's own qty."},
        {"position_avg_price", "The position's own average_price."},
        {"qty_matches", "Replayed and own quantity agree within 0.001."},
        {"avg_price_matches", "Replayed and own average price agree within 0.001."},
    }};
};

struct PositionAnalysisRec : plain::Fields<10> {
    static constexpr const char *kName = "PositionAnalysis";
    static constexpr std::array<plain::FieldDef, 10> kFields{{
        {"key", "The key the analysis was asked for."},
        {"qty", "The position's signed quantity."},
        {"average_price", "The position's average price."},
        {"is_long", "The position's direction flag."},
        {"total_commission", "Commissions over all its trades."},
        {"empty", "The position's emptiness flag."},
        {"started", "Time of its first trade."},
        {"trade_flow", "One TradeFlowEntry per trade, in chronological order."},
        {"calculations", "Replayed versus own values (PositionCalculations)."},
        {"consistency_errors", "Messages of the data validator's position rules."},
    }};
};

// ValidationResult(position_key=..., errors=..., is_valid=len(errors) == 0)
// as the module's namespace resolves the class now.
nb::object new_validation_result(nb::object position_key, nb::object errors);

// Registers the five record classes, in the module's order.
void register_diagnostic_records(nb::module_ &m);

}  // namespace ordermgr
