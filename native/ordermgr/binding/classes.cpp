#include "binding/registry.h"

#include "manager/order_mgr.h"
#include "model/position.h"
#include "model/trade.h"

namespace ordermgr {

// One line per class, in the order the module defines them.
void register_classes(nanobind::module_ &m) {
    register_trade(m);
    register_position(m);
    register_order_mgr(m);
}

}  // namespace ordermgr
