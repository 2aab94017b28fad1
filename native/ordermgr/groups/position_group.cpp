#include "groups/position_group.h"

#include "groups/aggregates.h"
#include "groups/group_key.h"
#include "groups/group_summary.h"
#include "groups/order_desc.h"
#include "model/module_ns.h"
#include "model/payload.h"
#include "pysem/fields.h"
#include "pysem/num.h"
#include "pysem/truth.h"
#include "pysem/record.h"
#include "pysem/record_methods.h"
#include "pysem/record_type.h"
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

namespace {
extern pysem::record::Class group_class;  // the class, declared below
}  // namespace

// --- reads honouring overrides --------------------------------------------

PositionGroup *exact_group(PyObject *o) { return Payload<PositionGroup>::of_exact(o); }


nb::object group_qty(PyObject *group) {
    if (exact_group(group)) return members_qty(group_field(group, PositionGroup::field::positions).ptr());
    return pysem::getattr(group, names.qty);
}

// The properties as this class computes them for `self`, whatever its class.
static nb::object average_price_of(PyObject *self) {
    nb::object total = group_qty(self);
    return members_average_price(group_field(self, PositionGroup::field::positions).ptr(), total.ptr());
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
    if (exact_group(group)) return members_total_commission(group_field(group, PositionGroup::field::positions).ptr());
    return pysem::getattr(group, names.total_commission);
}

nb::object group_started(PyObject *group) {
    if (exact_group(group)) return members_started(group_field(group, PositionGroup::field::positions).ptr());
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
    if (PyObject_SetAttr(self, group_class.names[PositionGroup::field::key], key.ptr()) < 0)
        throw nb::python_error();
}

static void updatekey(PyObject *self) { set_key(self, compute_group_key(group_field(self, PositionGroup::field::positions).ptr())); }

static void add(PyObject *self, PyObject *position) {
    nb::object positions = group_field(self, PositionGroup::field::positions);
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
    // The class as the module names it now; the record's own vectorcall
    // when that is still this class.
    nb::object cls = nb::borrow(module_attr(name));
    PyObject *r = PyObject_Vectorcall(cls.ptr(), nullptr, 0, nullptr);
    if (!r) throw nb::python_error();
    return nb::steal(r);
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

// --- the record ---------------------------------------------------------------

static PyObject *new_set() { return PySet_New(nullptr); }
static PyObject *none() { return Py_NewRef(Py_None); }

static const pysem::record::Decl group_decl = {
    .name = "PositionGroup",
    .doc = "A holder for positions all trading together as a bag/spread.\n\n"
           "Every figure is recomputed from the member positions on each read; key is\n"
           "refreshed by add.",
    .fields = PYSEM_RECORD_TABLE(PositionGroup, POSITION_GROUP_FIELDS),
};

namespace {
pysem::record::Class group_class{group_decl};
}  // namespace

nb::object group_field(PyObject *group, int i) {
    PyObject *v = pysem::record::read(group_class, group, i);
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

// A read-only property computed by a C++ callable (a `property` whose
// getter is bound by nanobind, as a method is).
template <typename F>
static void def_property(PyTypeObject *type, const char *name, F &&f, const char *doc) {
    nb::handle scope((PyObject *) type);
    nb::object fget = nb::cpp_function((nb::detail::forward_t<F>) f, nb::scope(scope), nb::name(name), nb::is_method(),
                                       nb::is_getter(), doc);
    nb::object prop = nb::steal(PyObject_CallFunctionObjArgs((PyObject *) &PyProperty_Type, fget.ptr(), Py_None,
                                                             Py_None, nb::str(doc).ptr(), nullptr));
    if (!prop || PyObject_SetAttrString(scope.ptr(), name, prop.ptr()) < 0) throw nb::python_error();
}

void register_position_group(nb::module_ &m) {
    group_key_init();
    order_desc_init();
    PyTypeObject *cls = pysem::record::define<PositionGroup, group_class>(m.ptr());
    types.PositionGroup = cls;
    Payload<PositionGroup>::bind(cls);
    using pysem::def_method;
    def_method(cls, "add", [](nb::handle s, nb::handle p) { add(me(s, "add"), p.ptr()); }, nb::arg("p").none(),
               "Add a position to the group and refresh its key.");
    def_method(cls, "updatekey", [](nb::handle s) { updatekey(me(s, "updatekey")); },
               "Create a simple way to identify this combination of orders using a short string.");
    def_property(cls, "keys", [](nb::handle s) { return members_keys(group_field(me(s, "keys"), PositionGroup::field::positions).ptr()); },
                 "Return a set of position keys for all positions in this group.");
    def_property(
        cls, "orderids", [](nb::handle s) { return members_orderids(group_field(me(s, "orderids"), PositionGroup::field::positions).ptr()); },
        "The union of the members' order ids.");
    def_property(cls, "qty", [](nb::handle s) { return members_qty(group_field(me(s, "qty"), PositionGroup::field::positions).ptr()); },
                 "Group size: the smallest absolute member quantity.");
    def_property(
        cls, "started", [](nb::handle s) { return members_started(group_field(me(s, "started"), PositionGroup::field::positions).ptr()); },
        "Earliest member start time.");
    def_property(cls, "average_price", [](nb::handle s) { return average_price_of(me(s, "average_price")); },
                 "Generate average price across ALL members by re-running the math for each trade in each "
                 "position.");
    def_property(
        cls, "total_commission",
        [](nb::handle s) { return members_total_commission(group_field(me(s, "total_commission"), PositionGroup::field::positions).ptr()); },
        "Sum of the members' commissions.");
    def_property(cls, "is_long", &is_long_prop, "Whether the group's average price is above zero (a net debit).");
    def_method(
        cls, "summary",
        [](nb::handle s, nb::handle pct, nb::handle fetcher) {
            return summarize_group(me(s, "summary"), pct.ptr(), fetcher.ptr());
        },
        nb::arg("stopPct").none() = 0.1, nb::arg("priceFetcher").none() = nb::none(),
        "Generate collective metrics across all positions in the group as one quantity.");
    def_method(
        cls, "generateOrderDesc",
        [](nb::handle s, nb::handle oc) { return generate_order_desc(me(s, "generateOrderDesc"), oc.ptr()); },
        nb::arg("openclose").none(),
        "Generate an open or close order description (assuming the position key is something you can use to order "
        "again)");
    def_method(cls, "open", [](nb::handle s, nb::args) { return open_close(me(s, "open"), true); },
               "The leg list that buys more of this group; extra arguments are ignored.");
    def_method(cls, "close", [](nb::handle s, nb::args) { return open_close(me(s, "close"), false); },
               "The leg list that closes this group; extra arguments are ignored.");
    def_method(
        cls, "start",
        [](nb::handle s, nb::handle pct, nb::handle algo) { return start_order(me(s, "start"), pct.ptr(), algo.ptr()); },
        nb::arg("stopPct").none() = 0.1, nb::arg("algo").none() = "LIM",
        "Order line for one more group unit, limited to a cost basis stopPct beyond the current one.");
    def_method(
        cls, "stop",
        [](nb::handle s, nb::handle pct, nb::handle algo) { return stop_order(me(s, "stop"), pct.ptr(), algo.ptr()); },
        nb::arg("stopPct").none() = 0.1, nb::arg("algo").none() = "LIM",
        "Order line that takes the whole group out at its stop.");
}

}  // namespace ordermgr
