// The result records of validation, the health check and the analysis of
// one position. Plain value records: they hold the objects they are given.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "diagnostics/plain_record.h"

namespace ordermgr {
namespace nb = nanobind;

// The field structs, in declaration order (records.cpp has the tables).
struct ValidationResultRec : plain::Fields<3> {};
struct SystemHealthReportRec : plain::Fields<6> {};
struct TradeFlowEntryRec : plain::Fields<8> {};
struct PositionCalculationsRec : plain::Fields<7> {};
struct PositionAnalysisRec : plain::Fields<10> {};

// ValidationResult(position_key=..., errors=..., is_valid=len(errors) == 0)
// as the module's namespace resolves the class now.
nb::object new_validation_result(nb::object position_key, nb::object errors);

// Registers the five record classes, in the module's order.
void register_diagnostic_records(nb::module_ &m);

}  // namespace ordermgr
