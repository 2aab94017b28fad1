// The module's classes, registered in the module's documented order.
#pragma once
#include <nanobind/nanobind.h>

namespace ordermgr {
void register_classes(nanobind::module_ &m);
}
