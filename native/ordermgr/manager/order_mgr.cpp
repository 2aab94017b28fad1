#include "manager/order_mgr.h"

#include <new>

#include "model/module_ns.h"
#include "pysem/fields.h"
#include "pysem/record.h"
#include "pysem/self_type.h"

namespace ordermgr {

static OrderMgr *exact_mgr(PyObject *o) {
    return is_exact(o, types.OrderMgr) && nb::inst_ready(o) ? nb::inst_ptr<OrderMgr>(o) : nullptr;
}

nb::object order_mgr_positions(PyObject *mgr) {
    if (OrderMgr *m = exact_mgr(mgr)) return nb::borrow(pysem::require(m->positions, "positions"));
    return pysem::getattr(mgr, names.positions);
}

// namespace.replace(" ", "-").title(), through the object's own methods (a
// value that is not a string fails here with the host's attribute error).
static nb::object normalise_namespace(PyObject *ns) {
    nb::object replaced = nb::steal(PyObject_CallMethod(ns, "replace", "ss", " ", "-"));
    if (!replaced) throw nb::python_error();
    nb::object titled = nb::steal(PyObject_CallMethod(replaced.ptr(), "title", nullptr));
    if (!titled) throw nb::python_error();
    return titled;
}

// DualCache(cacheName=namespace, cachePrefix=os.path.join($QUENTARIS_DATA_DIR, "positions-")),
// with os and DualCache read from the module namespace now.
static nb::object open_store(PyObject *ns) {
    nb::handle os(module_attr(pysem::intern("os")));
    nb::object data_dir = os.attr("environ")["QUENTARIS_DATA_DIR"];
    nb::object prefix = os.attr("path").attr("join")(data_dir, "positions-");
    nb::handle factory(module_attr(names.DualCache));
    nb::object kwnames = nb::make_tuple(nb::handle(names.cacheName), nb::handle(names.cachePrefix));
    PyObject *args[] = {ns, prefix.ptr()};
    PyObject *r = PyObject_Vectorcall(factory.ptr(), args, 0, kwnames.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

static PyGetSetDef order_mgr_getset[] = {
    {"namespace", &pysem::field_get<OrderMgr, &OrderMgr::namespace_>,
     &pysem::field_set<OrderMgr, &OrderMgr::namespace_>, "Name of the portfolio (normalised).",
     (void *) "namespace"},
    PYSEM_FIELD(OrderMgr, positions, "The persistent store: instrument key -> Position."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

static PyType_Slot order_mgr_slots[] = {
    {Py_tp_traverse, (void *) pysem::record_traverse<OrderMgr>},
    {Py_tp_clear, (void *) pysem::record_clear<OrderMgr>},
    {Py_tp_hash, (void *) PyObject_HashNotImplemented},
    {Py_tp_getset, (void *) order_mgr_getset},
    {0, nullptr}};

void register_order_mgr(nb::module_ &m) {
    OrderMgrClass cls(m, "OrderMgr", nb::type_slots(order_mgr_slots),
                      "Manage a portfolio full of instruments having multiple trades.");
    cls.def(
        "__init__",
        [](OrderMgr *self, nb::handle ns) {
            nb::object normalised = normalise_namespace(ns.ptr());
            nb::object store = open_store(normalised.ptr());
            new (self) OrderMgr{std::move(normalised), std::move(store)};
        },
        nb::arg("namespace").none());
    cls.def("__eq__", [](nb::handle self, nb::handle other) -> nb::object {
        if (Py_TYPE(self.ptr()) != Py_TYPE(other.ptr())) return pysem::not_implemented();
        if (Py_TYPE(self.ptr()) != types.OrderMgr)
            return pysem::record_eq_attrs(self.ptr(), other.ptr(), {"namespace", "positions"});
        OrderMgr &a = pysem::instance<OrderMgr>(self, types.OrderMgr, "__eq__"), &b = *nb::inst_ptr<OrderMgr>(other);
        return pysem::record_eq(self.ptr(), other.ptr(),
                                {pysem::require(a.namespace_, "namespace"), pysem::require(a.positions, "positions")},
                                {pysem::require(b.namespace_, "namespace"), pysem::require(b.positions, "positions")});
    }, nb::is_operator());
    cls.def("__repr__", [](nb::handle self) {
        if (Py_TYPE(self.ptr()) != types.OrderMgr)
            return pysem::record_repr_attrs(self.ptr(), {"namespace", "positions"});
        OrderMgr &o = pysem::instance<OrderMgr>(self, types.OrderMgr, "__repr__");
        return pysem::record_repr(self.ptr(), {{"namespace", pysem::require(o.namespace_, "namespace")},
                                               {"positions", pysem::require(o.positions, "positions")}});
    });
    cls.attr("__match_args__") = nb::make_tuple("namespace");
    cls.attr("__slots__") = nb::make_tuple("namespace", "positions");
    types.OrderMgr = (PyTypeObject *) cls.ptr();
    define_intake(cls);
    define_temp(cls);
    define_summaries(cls);
    define_grouping(cls);
    define_facade(cls);
}

}  // namespace ordermgr
