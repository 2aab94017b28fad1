// OrderMgr: a named, persistent portfolio of positions.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

struct OrderMgr {
    nb::object namespace_, positions;

    int visit(visitproc visit, void *arg) {
        Py_VISIT(namespace_.ptr());
        Py_VISIT(positions.ptr());
        return 0;
    }
    void clear() { nb::object a = std::move(namespace_), b = std::move(positions); }
};

// order_mgr.positions, honouring a subclass override. New reference.
nb::object order_mgr_positions(PyObject *mgr);

using OrderMgrClass = nb::class_<OrderMgr>;
void register_order_mgr(nb::module_ &m);

// The operations of the other order-manager files, added to the class.
void define_intake(OrderMgrClass &cls);
void define_temp(OrderMgrClass &cls);
void define_grouping(OrderMgrClass &cls);
void define_summaries(OrderMgrClass &cls);
void define_facade(OrderMgrClass &cls);

}  // namespace ordermgr
