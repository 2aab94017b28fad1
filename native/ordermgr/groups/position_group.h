// PositionGroup: positions that trade together as one bag or spread.
#pragma once
#include <Python.h>
#include <nanobind/nanobind.h>

namespace ordermgr {
namespace nb = nanobind;

// The record's fields (a plain object: record_type.h).
struct PositionGroup {
    static constexpr bool kPlainObject = true;
    nb::object positions, key;
};

// --- API for the order manager ------------------------------------------

// PositionGroup() through the module namespace (built natively while the
// module attribute is the original class).
nb::object new_position_group();
// group.add(position): native for an exact group, the method otherwise.
void position_group_add(PyObject *group, PyObject *position);
// group.summary(stopPct): native for an exact group, the method otherwise.
nb::object position_group_summary(PyObject *group, PyObject *stopPct);
// group.positions, honouring a subclass override.
nb::object position_group_positions(PyObject *group);

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
