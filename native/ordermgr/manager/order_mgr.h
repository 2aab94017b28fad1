// OrderMgr: a named, persistent portfolio of positions.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

// The record's fields (a plain object: record_type.h).
struct OrderMgr {
    static constexpr bool kPlainObject = true;
    nb::object namespace_, positions;
};

// order_mgr.positions, honouring a subclass override. New reference.
nb::object order_mgr_positions(PyObject *mgr);

void register_order_mgr(nb::module_ &m);

// The operations of the other order-manager files, added to the class.
void define_intake(PyTypeObject *cls);
void define_temp(PyTypeObject *cls);
void define_grouping(PyTypeObject *cls);
void define_summaries(PyTypeObject *cls);
void define_facade(PyTypeObject *cls);

}  // namespace ordermgr
