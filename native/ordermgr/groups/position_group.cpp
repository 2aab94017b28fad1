#include "groups/position_group.h"

#include "groups/aggregates.h"
#include "groups/group_key.h"
#include "groups/group_summary.h"
#include "groups/order_desc.h"
#include "model/module_ns.h"
#include "pysem/method.h"
#include "pysem/num.h"
#include "pysem/record.h"
#include "pysem/record_type.h"
#include "pysem/truth.h"

namespace ordermgr {

using pysem::Num;

using pysem::truth;

// self.<name>() or self.<name>(arg), the method as the object resolves it.
static Ref call_method(PyObject *self, PyObject *name, PyObject *arg = nullptr) {
    return pysem::check(arg ? PyObject_CallMethodOneArg(self, name, arg) : PyObject_CallMethodNoArgs(self, name));
}

static Ref members(PyObject *group) { return group_field(group, PositionGroup::field::positions); }

// --- reads honouring overrides --------------------------------------------

PositionGroup *exact_group(PyObject *o) { return group_class.exact<PositionGroup>(o); }

Ref group_qty(PyObject *group) {
    if (exact_group(group)) return members_qty(members(group).ptr());
    return pysem::getattr(group, names().qty);
}

// The properties as this class computes them for `self`, whatever its class.
static Ref average_price_of(PyObject *self) {
    Ref total = group_qty(self);
    return members_average_price(members(self).ptr(), total.ptr());
}

Ref group_average_price(PyObject *group) {
    if (exact_group(group)) return average_price_of(group);
    return pysem::getattr(group, names().average_price);
}

bool group_is_long(PyObject *group) {
    if (exact_group(group)) return Num::of(average_price_of(group).ptr()).gt_zero();
    return truth(pysem::getattr(group, names().is_long).ptr());
}

Ref group_total_commission(PyObject *group) {
    if (exact_group(group)) return members_total_commission(members(group).ptr());
    return pysem::getattr(group, names().total_commission);
}

Ref group_started(PyObject *group) {
    if (exact_group(group)) return members_started(members(group).ptr());
    return pysem::getattr(group, names().started);
}

Ref group_summary_with(PyObject *group, PyObject *stop_pct) {
    if (exact_group(group)) return summarize_group(group, stop_pct, Py_None);
    PyObject *argv[] = {group, stop_pct};
    return pysem::check(PyObject_VectorcallMethod(names().summary, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  state().stopPct_keyword));
}

static Ref open_close(PyObject *self, bool opening);

Ref group_open(PyObject *group) {
    if (exact_group(group)) return open_close(group, true);
    return call_method(group, names().open);
}

// --- operations -------------------------------------------------------------

static void set_key(PyObject *self, Ref key) {
    if (PositionGroup *g = exact_group(self)) {
        g->key = std::move(key);
        return;
    }
    if (PyObject_SetAttr(self, group_class.names[PositionGroup::field::key], key.ptr()) < 0)
        throw Error();
}

static void updatekey(PyObject *self) { set_key(self, compute_group_key(members(self).ptr())); }

static void add(PyObject *self, PyObject *position) {
    Ref positions = members(self);
    if (PySet_CheckExact(positions.ptr())) {
        if (PySet_Add(positions.ptr(), position) < 0) throw Error();
    } else {
        static PyObject *const add_name = pysem::intern("add");
        call_method(positions.ptr(), add_name, position);
    }
    if (exact_group(self))
        updatekey(self);
    else
        call_method(self, names().updatekey);
}

Ref new_position_group() {
    // The class as the module names it now; the record's own vectorcall
    // when that is still this class.
    Ref cls = borrow(module_attr(names().PositionGroup));
    return pysem::check(PyObject_Vectorcall(cls.ptr(), nullptr, 0, nullptr));
}

void position_group_add(PyObject *group, PyObject *position) {
    if (exact_group(group)) return add(group, position);
    static PyObject *const add_name = pysem::intern("add");
    call_method(group, add_name, position);
}

Ref position_group_summary(PyObject *group, PyObject *stop_pct) {
    if (exact_group(group)) return summarize_group(group, stop_pct, Py_None);
    return call_method(group, names().summary, stop_pct);
}

// --- the class ----------------------------------------------------------------

static Ref open_close(PyObject *self, bool opening) {
    static PyObject *const open_word = pysem::intern("OPEN"), *const close_word = pysem::intern("CLOSE");
    PyObject *word = opening ? open_word : close_word;
    if (exact_group(self)) return generate_order_desc(self, word);
    return call_method(self, names().generateOrderDesc, word);
}

static PyObject *arg_or(PyObject *given, PyObject *fallback) { return given ? given : fallback; }

static PyObject *default_pct() {
    static PyObject *const pct = PyFloat_FromDouble(0.1);  // kept for the process
    return pct;
}
static PyObject *default_algo() {
    static PyObject *const algo = pysem::intern("LIM");
    return algo;
}

constexpr pysem::Method add_method = {
    "add", "add($self, p)\n--\n\nAdd a position to the group and refresh its key.",
    [](PyObject *self, PyObject *const *a) {
        add(self, a[0]);
        return none();
    }};
constexpr pysem::Method updatekey_method = {
    "updatekey",
    "updatekey($self)\n--\n\nCreate a simple way to identify this combination of orders using a short string.",
    [](PyObject *self, PyObject *const *) {
        updatekey(self);
        return none();
    }};
constexpr pysem::Method summary_method = {
    "summary",
    "summary($self, stopPct=0.1, priceFetcher=None)\n--\n\n"
    "Generate collective metrics across all positions in the group as one quantity.",
    [](PyObject *self, PyObject *const *a) {
        return summarize_group(self, arg_or(a[0], default_pct()), arg_or(a[1], Py_None));
    }};
constexpr pysem::Method generate_order_desc_method = {
    "generateOrderDesc",
    "generateOrderDesc($self, openclose)\n--\n\n"
    "Generate an open or close order description (assuming the position key is something you can use to order "
    "again)",
    [](PyObject *self, PyObject *const *a) { return generate_order_desc(self, a[0]); }};
constexpr pysem::Method open_method = {
    "open", "open($self, *args)\n--\n\nThe leg list that buys more of this group; extra arguments are ignored.",
    [](PyObject *self, PyObject *const *) { return open_close(self, true); }};
constexpr pysem::Method close_method = {
    "close", "close($self, *args)\n--\n\nThe leg list that closes this group; extra arguments are ignored.",
    [](PyObject *self, PyObject *const *) { return open_close(self, false); }};
constexpr pysem::Method start_method = {
    "start",
    "start($self, stopPct=0.1, algo='LIM')\n--\n\n"
    "Order line for one more group unit, limited to a cost basis stopPct beyond the current one.",
    [](PyObject *self, PyObject *const *a) {
        return start_order(self, arg_or(a[0], default_pct()), arg_or(a[1], default_algo()));
    }};
constexpr pysem::Method stop_method = {
    "stop", "stop($self, stopPct=0.1, algo='LIM')\n--\n\nOrder line that takes the whole group out at its stop.",
    [](PyObject *self, PyObject *const *a) {
        return stop_order(self, arg_or(a[0], default_pct()), arg_or(a[1], default_algo()));
    }};

static PyMethodDef *group_methods(const char *owner) {
    using pysem::method_def;
    static PyMethodDef methods[] = {
        method_def<add_method>(owner),
        method_def<updatekey_method>(owner),
        method_def<summary_method>(owner),
        method_def<generate_order_desc_method>(owner),
        method_def<open_method>(owner),
        method_def<close_method>(owner),
        method_def<start_method>(owner),
        method_def<stop_method>(owner),
        {},
    };
    return methods;
}

static Ref keys_of(PyObject *self) { return members_keys(members(self).ptr()); }
static Ref orderids_of(PyObject *self) { return members_orderids(members(self).ptr()); }
static Ref qty_of(PyObject *self) { return members_qty(members(self).ptr()); }
static Ref started_of(PyObject *self) { return members_started(members(self).ptr()); }
static Ref total_commission_of(PyObject *self) { return members_total_commission(members(self).ptr()); }
static Ref is_long_of(PyObject *self) { return pysem::greater_than_zero(group_average_price(self).ptr()); }

static PyGetSetDef group_properties[] = {
    {"keys", pysem::figure_getter<keys_of>, nullptr, "Return a set of position keys for all positions in this group.",
     nullptr},
    {"orderids", pysem::figure_getter<orderids_of>, nullptr, "The union of the members' order ids.", nullptr},
    {"qty", pysem::figure_getter<qty_of>, nullptr, "Group size: the smallest absolute member quantity.", nullptr},
    {"started", pysem::figure_getter<started_of>, nullptr, "Earliest member start time.", nullptr},
    {"average_price", pysem::figure_getter<average_price_of>, nullptr,
     "Generate average price across ALL members by re-running the math for each trade in each position.", nullptr},
    {"total_commission", pysem::figure_getter<total_commission_of>, nullptr, "Sum of the members' commissions.",
     nullptr},
    {"is_long", pysem::figure_getter<is_long_of>, nullptr,
     "Whether the group's average price is above zero (a net debit).", nullptr},
    {},
};

static PyObject *new_set() { return PySet_New(nullptr); }
static PyObject *none_value() { return Py_NewRef(Py_None); }

static const pysem::record::Decl group_decl = {
    .name = "PositionGroup",
    .doc = "A holder for positions all trading together as a bag/spread.\n\n"
           "Every figure is recomputed from the member positions on each read; key is\n"
           "refreshed by add.",
    .fields = PYSEM_RECORD_TABLE(PositionGroup, POSITION_GROUP_FIELDS),
    .methods = group_methods,
    .properties = group_properties,
};

pysem::record::Class group_class{group_decl};

Ref group_field(PyObject *group, int i) { return pysem::record::get(group_class, group, i); }

void register_position_group(PyObject *module) { pysem::record::define<PositionGroup, group_class>(module); }

}  // namespace ordermgr
