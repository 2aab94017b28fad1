#include "binding/registry.h"

#include "diagnostics/records.h"
#include "diagnostics/system_diagnostics.h"
#include "diagnostics/validator.h"
#include "groups/position_group.h"
#include "manager/order_mgr.h"
#include "model/position.h"
#include "model/summary.h"
#include "model/trade.h"
#include "reports/system_reporter.h"

namespace ordermgr {

// One line per class, in the order the module defines them.
void register_classes(PyObject *m) {
    register_position_summary(m);
    register_trade(m);
    register_position(m);
    register_position_group(m);
    register_order_mgr(m);
    register_diagnostic_records(m);
    register_system_diagnostics(m);
    register_system_reporter(m);
    register_data_validator(m);
}

}  // namespace ordermgr
