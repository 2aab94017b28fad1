// OrderMgr: a named, persistent portfolio of positions.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

namespace ordermgr {
namespace nb = nanobind;

// OrderMgr's fields, in order: (member type, name, annotation, role, doc).
#define ORDER_MGR_FIELDS(F)                                                                              \
    F(nb::object, namespace_, "str", required(), "Name of the portfolio (normalised).")                 \
    F(nb::object, positions, "MutableMapping[Key, Position]", excluded(),                               \
      "The persistent store: instrument key -> Position.")

struct OrderMgr {
    PYSEM_RECORD_FIELDS(ORDER_MGR_FIELDS)
};

// Field i (OrderMgr::field::...) of any manager object, as `getattr` gives
// it (a subclass may override it). New reference.
nb::object order_mgr_field(PyObject *mgr, int i);

void register_order_mgr(nb::module_ &m);

// The operations of the other order-manager files, added to the class.
void define_intake(PyTypeObject *cls);
void define_temp(PyTypeObject *cls);
void define_grouping(PyTypeObject *cls);
void define_summaries(PyTypeObject *cls);
void define_facade(PyTypeObject *cls);

}  // namespace ordermgr
