#include "groups/position_group.h"

#include <new>

#include "groups/aggregates.h"
#include "groups/group_key.h"
#include "groups/group_summary.h"
#include "groups/order_desc.h"
#include "model/module_ns.h"
#include "pysem/args.h"
#include "pysem/fields.h"
#include "pysem/num.h"
#include "pysem/truth.h"
#include "pysem/record.h"
#include "pysem/self_type.h"

namespace ordermgr {

using pysem::Num;

using pysem::truth;

static nb::object call_method(PyObject *self, const char *name, PyObject *arg = nullptr) {
    nb::object meth = nb::steal(PyUnicode_InternFromString(name));
    if (!meth) throw nb::python_error();
    PyObject *r = arg ? PyObject_CallMethodOneArg(self, meth.ptr(), arg) : PyObject_CallMethodNoArgs(self, meth.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static PyGetSetDef group_getset[] = {
    PYSEM_FIELD(PositionGroup, positions, "The member positions (a set)."),
    PYSEM_FIELD(PositionGroup, key, "Short identifier of the member set, or None before the first add."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- reads honouring overrides --------------------------------------------

PositionGroup *exact_group(PyObject *o) {
    return is_exact(o, types.PositionGroup) && nb::inst_ready(o) ? nb::inst_ptr<PositionGroup>(o) : nullptr;
}

nb::object position_group_positions(PyObject *group) {
    if (PositionGroup *g = exact_group(group)) return nb::borrow(pysem::require(g->positions, "positions"));
    return pysem::getattr(group, names.positions);
}

nb::object group_qty(PyObject *group) {
    if (exact_group(group)) return members_qty(position_group_positions(group).ptr());
    return pysem::getattr(group, names.qty);
}

// The properties as this class computes them for `self`, whatever its class.
static nb::object average_price_of(PyObject *self) {
    nb::object total = group_qty(self);
    return members_average_price(position_group_positions(self).ptr(), total.ptr());
}

nb::object group_average_price(PyObject *group) {
    if (exact_group(group)) return average_price_of(group);
    return pysem::getattr(group, names.average_price);
}

bool group_is_long(PyObject *group) {
    if (exact_group(group)) return Num::of(average_price_of(group).ptr()).gt_zero();
    return truth(pysem::getattr(group, names.is_long).ptr());
}

nb::object group_total_commission(PyObject *group) {
    if (exact_group(group)) return members_total_commission(position_group_positions(group).ptr());
    return pysem::getattr(group, names.total_commission);
}

nb::object group_started(PyObject *group) {
    if (exact_group(group)) return members_started(position_group_positions(group).ptr());
    return pysem::getattr(group, names.started);
}

nb::object group_summary_with(PyObject *group, PyObject *stop_pct) {
    if (exact_group(group)) return summarize_group(group, stop_pct, Py_None);
    static PyObject *kwnames = Py_BuildValue("(s)", "stopPct");
    if (!kwnames) throw nb::python_error();
    PyObject *argv[] = {group, stop_pct};
    PyObject *r = PyObject_VectorcallMethod(names.summary, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static nb::object open_close(PyObject *self, bool opening);

nb::object group_open(PyObject *group) {
    if (exact_group(group)) return open_close(group, true);
    return call_method(group, "open");
}

// --- operations -------------------------------------------------------------

static void set_key(PyObject *self, nb::object key) {
    if (PositionGroup *g = exact_group(self)) {
        nb::object old = std::move(g->key);
        g->key = std::move(key);
        return;
    }
    if (PyObject_SetAttr(self, names.key, key.ptr()) < 0) throw nb::python_error();
}

static void updatekey(PyObject *self) { set_key(self, compute_group_key(position_group_positions(self).ptr())); }

static void add(PyObject *self, PyObject *position) {
    nb::object positions = position_group_positions(self);
    if (PySet_CheckExact(positions.ptr())) {
        if (PySet_Add(positions.ptr(), position) < 0) throw nb::python_error();
    } else {
        call_method(positions.ptr(), "add", position);
    }
    if (exact_group(self))
        updatekey(self);
    else
        call_method(self, "updatekey");
}

nb::object new_position_group() {
    static PyObject *const name = pysem::intern("PositionGroup");
    PyObject *cls = module_attr(name);
    if (cls != (PyObject *) types.PositionGroup) {
        nb::object hold = nb::borrow(cls);
        PyObject *r = PyObject_CallNoArgs(cls);
        if (!r) throw nb::python_error();
        return nb::steal(r);
    }
    nb::object positions = nb::steal(PySet_New(nullptr));
    if (!positions) throw nb::python_error();
    nb::object inst = nb::inst_alloc(nb::handle(cls));
    new (nb::inst_ptr<PositionGroup>(inst)) PositionGroup{std::move(positions), nb::none()};
    nb::inst_mark_ready(inst);
    return inst;
}

void position_group_add(PyObject *group, PyObject *position) {
    if (exact_group(group)) return add(group, position);
    call_method(group, "add", position);
}

nb::object position_group_summary(PyObject *group, PyObject *stop_pct) {
    if (exact_group(group)) return summarize_group(group, stop_pct, Py_None);
    return call_method(group, "summary", stop_pct);
}

// --- type -------------------------------------------------------------------

static const char *const kInitNames[] = {"positions", "key"};
static PyObject *kInitInterned[2];
static pysem::ArgSpec kInitSignature{"PositionGroup.__init__", kInitNames, kInitInterned, 2, 0};

static PositionGroup &self_of(nb::handle self, const char *method) {
    return pysem::instance<PositionGroup>(self, types.PositionGroup, method);
}

static void init(nb::handle self, nb::args args, nb::kwargs kwargs) {
    pysem::require_instance(self, types.PositionGroup, "__init__");
    PyObject *a[2];
    pysem::bind_args(kInitSignature, args.ptr(), kwargs.ptr(), a);
    nb::object positions = a[0] ? nb::borrow(a[0]) : nb::steal(PySet_New(nullptr));
    if (!positions) throw nb::python_error();
    nb::object key = a[1] ? nb::borrow(a[1]) : nb::none();
    PositionGroup *slot = nb::inst_ptr<PositionGroup>(self);
    if (nb::inst_ready(self)) {
        PositionGroup old = std::move(*slot);
        *slot = PositionGroup{std::move(positions), std::move(key)};
        return;
    }
    new (slot) PositionGroup{std::move(positions), std::move(key)};
    nb::inst_mark_ready(self);
}

static nb::object eq(nb::handle self, nb::handle other) {
    pysem::require_instance(self, types.PositionGroup, "__eq__");
    if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr())) return pysem::not_implemented();
    PositionGroup &a = self_of(self, "__eq__"), &b = self_of(other, "__eq__");
    return pysem::record_eq(self.ptr(), other.ptr(),
                            {pysem::require(a.positions, "positions"), pysem::require(a.key, "key")},
                            {pysem::require(b.positions, "positions"), pysem::require(b.key, "key")});
}

static nb::object repr(nb::handle self) {
    PositionGroup &g = self_of(self, "__repr__");
    return pysem::record_repr(self.ptr(), {{"positions", pysem::require(g.positions, "positions")},
                                           {"key", pysem::require(g.key, "key")}});
}

static nb::object getstate(nb::handle self) {
    PositionGroup &g = self_of(self, "__getstate__");
    return nb::make_tuple(nb::handle(pysem::require(g.positions, "positions")), nb::handle(pysem::require(g.key, "key")));
}

static void setstate(PositionGroup &self, nb::tuple st) {
    if (st.size() != 2) throw nb::value_error("PositionGroup state must have 2 fields");
    new (&self) PositionGroup{nb::borrow(st[0]), nb::borrow(st[1])};
}

static PyType_Slot group_slots[] = {{Py_tp_traverse, (void *) pysem::record_traverse<PositionGroup>},
                                    {Py_tp_clear, (void *) pysem::record_clear<PositionGroup>},
                                    {Py_tp_hash, (void *) PyObject_HashNotImplemented},
                                    {Py_tp_getset, (void *) group_getset},
                                    {0, nullptr}};

// Methods and properties take an untyped self to reach the Python object;
// this checks it before anything else.
static PyObject *me(nb::handle self, const char *method) {
    pysem::require_instance(self, types.PositionGroup, method);
    return self.ptr();
}

static nb::object open_close(PyObject *self, bool opening) {
    static PyObject *const open_word = pysem::intern("OPEN"), *const close_word = pysem::intern("CLOSE");
    PyObject *word = opening ? open_word : close_word;
    if (exact_group(self)) return generate_order_desc(self, word);
    return call_method(self, "generateOrderDesc", word);
}

static nb::object is_long_prop(nb::handle self) {
    return pysem::greater_than_zero(group_average_price(me(self, "is_long")).ptr());
}

void register_position_group(nb::module_ &m) {
    group_key_init();
    order_desc_init();
    auto cls = nb::class_<PositionGroup>(m, "PositionGroup", nb::type_slots(group_slots),
        "A holder for positions all trading together as a bag/spread.\n\n"
        "PositionGroup(positions=<new set>, key=None)\n\n"
        "Every figure is recomputed from the member positions on each read; key is\n"
        "refreshed by add.");
    cls.def("__init__", &init, nb::sig("def __init__(self, positions=..., key=None) -> None"));
    cls.def("add", [](nb::handle s, nb::handle p) { add(me(s, "add"), p.ptr()); }, nb::arg("p").none(),
            "Add a position to the group and refresh its key.");
    cls.def("updatekey", [](nb::handle s) { updatekey(me(s, "updatekey")); },
            "Create a simple way to identify this combination of orders using a short string.");
    cls.def_prop_ro("keys", [](nb::handle s) { return members_keys(position_group_positions(me(s, "keys")).ptr()); },
                    "Return a set of position keys for all positions in this group.");
    cls.def_prop_ro(
        "orderids", [](nb::handle s) { return members_orderids(position_group_positions(me(s, "orderids")).ptr()); },
        "The union of the members' order ids.");
    cls.def_prop_ro("qty", [](nb::handle s) { return members_qty(position_group_positions(me(s, "qty")).ptr()); },
                    "Group size: the smallest absolute member quantity.");
    cls.def_prop_ro(
        "started", [](nb::handle s) { return members_started(position_group_positions(me(s, "started")).ptr()); },
        "Earliest member start time.");
    cls.def_prop_ro("average_price", [](nb::handle s) { return average_price_of(me(s, "average_price")); },
                    "Generate average price across ALL members by re-running the math for each trade in each "
                    "position.");
    cls.def_prop_ro(
        "total_commission",
        [](nb::handle s) { return members_total_commission(position_group_positions(me(s, "total_commission")).ptr()); },
        "Sum of the members' commissions.");
    cls.def_prop_ro("is_long", &is_long_prop, "Whether the group's average price is above zero (a net debit).");
    cls.def(
        "summary",
        [](nb::handle s, nb::handle pct, nb::handle fetcher) {
            return summarize_group(me(s, "summary"), pct.ptr(), fetcher.ptr());
        },
        nb::arg("stopPct").none() = 0.1, nb::arg("priceFetcher").none() = nb::none(),
        "Generate collective metrics across all positions in the group as one quantity.");
    cls.def(
        "generateOrderDesc",
        [](nb::handle s, nb::handle oc) { return generate_order_desc(me(s, "generateOrderDesc"), oc.ptr()); },
        nb::arg("openclose").none(),
        "Generate an open or close order description (assuming the position key is something you can use to order "
        "again)");
    cls.def("open", [](nb::handle s, nb::args) { return open_close(me(s, "open"), true); },
            "The leg list that buys more of this group; extra arguments are ignored.");
    cls.def("close", [](nb::handle s, nb::args) { return open_close(me(s, "close"), false); },
            "The leg list that closes this group; extra arguments are ignored.");
    cls.def(
        "start",
        [](nb::handle s, nb::handle pct, nb::handle algo) { return start_order(me(s, "start"), pct.ptr(), algo.ptr()); },
        nb::arg("stopPct").none() = 0.1, nb::arg("algo").none() = "LIM",
        "Order line for one more group unit, limited to a cost basis stopPct beyond the current one.");
    cls.def(
        "stop",
        [](nb::handle s, nb::handle pct, nb::handle algo) { return stop_order(me(s, "stop"), pct.ptr(), algo.ptr()); },
        nb::arg("stopPct").none() = 0.1, nb::arg("algo").none() = "LIM", "Order line that takes the whole group out at its stop.");
    cls.def("__eq__", &eq, nb::is_operator());
    cls.def("__repr__", &repr);
    cls.def("__getstate__", &getstate);
    cls.def("__setstate__", &setstate);
    cls.attr("__match_args__") = nb::make_tuple("positions", "key");
    cls.attr("__slots__") = nb::make_tuple("positions", "key");
    types.PositionGroup = (PyTypeObject *) cls.ptr();
}

}  // namespace ordermgr
