// OrderMgr: a named, persistent portfolio of positions.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

#include "pysem/method.h"
#include "pysem/record_type.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// OrderMgr's fields, in order: (member type, name, annotation, role, doc).
#define ORDER_MGR_FIELDS(F)                                                                              \
    F(Ref, namespace_, "str", required(), "Name of the portfolio (normalised).")                 \
    F(Ref, positions, "MutableMapping[Key, Position]", excluded(),                               \
      "The persistent store: instrument key -> Position.")

struct OrderMgr {
    PYSEM_RECORD_FIELDS(ORDER_MGR_FIELDS)
};

// Field i (OrderMgr::field::...) of any manager object, as `getattr` gives
// it (a subclass may override it). New reference.
Ref order_mgr_field(PyObject *mgr, int i);

extern pysem::record::Class order_mgr_class;

void register_order_mgr(PyObject *module);

// The methods, each in the file of its job.
extern const pysem::Method clear_method, add_trade_method, add_trade_undoable_method,
    update_commission_method;  // intake.cpp
extern const pysem::Method temp_method;                                             // temp_scope.cpp
extern const pysem::Method get_position_summary_method, get_position_summary_by_order_method,
    get_portfolio_summary_method;                                                   // summaries.cpp
extern const pysem::Method position_groups_method;                                  // grouping.cpp
extern const pysem::Method health_check_method, validate_consistency_method, position_table_method,
    portfolio_report_method, spread_report_method, analyze_position_method, debug_summary_method;  // facade.cpp

// OrderMgr._TempScope, the with-block of OrderMgr.temp, made as the class's attribute.
void define_temp_scope(PyTypeObject *order_mgr);

}  // namespace ordermgr
