#include "binding/registry.h"

#include "groups/position_group.h"
#include "manager/order_mgr.h"
#include "model/position.h"
#include "model/summary.h"
#include "model/trade.h"

namespace ordermgr {

// One line per class, in the order the module defines them.
void register_classes(nanobind::module_ &m) {
    register_position_summary(m);
    register_trade(m);
    register_position(m);
    register_position_group(m);
    register_order_mgr(m);
}

}  // namespace ordermgr
