#include "groups/members.h"

namespace ordermgr {

Members::Members(PyObject *positions) {
    if (PyAnySet_CheckExact(positions)) items_.reserve((size_t) PySet_GET_SIZE(positions));
    nb::object it = nb::steal(PyObject_GetIter(positions));
    if (!it) throw nb::python_error();
    while (PyObject *item = PyIter_Next(it.ptr())) items_.push_back(nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
}

}  // namespace ordermgr
