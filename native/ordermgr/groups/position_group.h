// PositionGroup: positions that trade together as one bag or spread.
#pragma once
#include <Python.h>
#include "pysem/ref.h"

#include "pysem/record_type.h"

namespace ordermgr {
using pysem::borrow;
using pysem::Error;
using pysem::none;
using pysem::Ref;
using pysem::steal;

// PositionGroup's fields, in order: (member type, name, annotation, role, doc).
#define POSITION_GROUP_FIELDS(F)                                                                   \
    F(Ref, positions, "set[Position]", factory(new_set, "set"), "The member positions (a set).") \
    F(Ref, key, "str | None", defaults(none_value),                                              \
      "Short identifier of the member set, or None before the first add.")

struct PositionGroup {
    PYSEM_RECORD_FIELDS(POSITION_GROUP_FIELDS)
};

// --- API for the order manager ------------------------------------------

// PositionGroup() through the module namespace (built natively while the
// module attribute is the original class).
Ref new_position_group();
// group.add(position): native for an exact group, the method otherwise.
void position_group_add(PyObject *group, PyObject *position);
// group.summary(stopPct): native for an exact group, the method otherwise.
Ref position_group_summary(PyObject *group, PyObject *stopPct);
// Field i (PositionGroup::field::...) of any group object, as `getattr`
// gives it (a subclass may override it). New reference.
Ref group_field(PyObject *group, int i);

// --- reads of a group honouring subclass overrides ---------------------
// (native computation for an exact PositionGroup, attribute access or a
// method call otherwise)

PositionGroup *exact_group(PyObject *group);
Ref group_qty(PyObject *group);
Ref group_average_price(PyObject *group);
bool group_is_long(PyObject *group);
Ref group_total_commission(PyObject *group);
Ref group_started(PyObject *group);
// group.summary(stopPct=...) with no price fetcher.
Ref group_summary_with(PyObject *group, PyObject *stopPct);
// group.open()
Ref group_open(PyObject *group);

extern pysem::record::Class group_class;

void register_position_group(PyObject *module);

}  // namespace ordermgr
