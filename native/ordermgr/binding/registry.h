// The module's classes, registered in the module's documented order.
#pragma once
#include <Python.h>

namespace ordermgr {
void register_classes(PyObject *module);
}
