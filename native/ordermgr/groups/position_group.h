// PositionGroup: positions that trade together as one bag or spread.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

#include "pysem/record_type.h"

namespace ordermgr {
namespace nb = nanobind;

// PositionGroup's fields, in order: (member type, name, annotation, role, doc).
#define POSITION_GROUP_FIELDS(F)                                                                   \
    F(nb::object, positions, "set[Position]", factory(new_set, "set"), "The member positions (a set).") \
    F(nb::object, key, "str | None", defaults(none),                                              \
      "Short identifier of the member set, or None before the first add.")

struct PositionGroup {
    PYSEM_RECORD_FIELDS(POSITION_GROUP_FIELDS)
};

// --- API for the order manager ------------------------------------------

// PositionGroup() through the module namespace (built natively while the
// module attribute is the original class).
nb::object new_position_group();
// group.add(position): native for an exact group, the method otherwise.
void position_group_add(PyObject *group, PyObject *position);
// group.summary(stopPct): native for an exact group, the method otherwise.
nb::object position_group_summary(PyObject *group, PyObject *stopPct);
// Field i (PositionGroup::field::...) of any group object, as `getattr`
// gives it (a subclass may override it). New reference.
nb::object group_field(PyObject *group, int i);

// --- reads of a group honouring subclass overrides ---------------------
// (native computation for an exact PositionGroup, attribute access or a
// method call otherwise)

PositionGroup *exact_group(PyObject *group);
nb::object group_qty(PyObject *group);
nb::object group_average_price(PyObject *group);
bool group_is_long(PyObject *group);
nb::object group_total_commission(PyObject *group);
nb::object group_started(PyObject *group);
// group.summary(stopPct=...) with no price fetcher.
nb::object group_summary_with(PyObject *group, PyObject *stopPct);
// group.open()
nb::object group_open(PyObject *group);

void register_position_group(nb::module_ &m);

}  // namespace ordermgr
