#include "groups/members.h"

namespace ordermgr {

Members::Members(PyObject *positions) {
    if (PyAnySet_CheckExact(positions)) items_.reserve((size_t) PySet_GET_SIZE(positions));
    Ref it = steal(PyObject_GetIter(positions));
    if (!it) throw Error();
    while (PyObject *item = PyIter_Next(it.ptr())) items_.push_back(steal(item));
    if (PyErr_Occurred()) throw Error();
}

}  // namespace ordermgr
