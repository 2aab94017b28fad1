#include "manager/order_mgr.h"

#include "model/module_ns.h"
#include "model/payload.h"
#include "pysem/fields.h"
#include "pysem/record.h"
#include "pysem/record_type.h"
#include "pysem/slot_call.h"

namespace ordermgr {


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

// --- the record ---------------------------------------------------------------

static OrderMgr *rec(PyObject *self) { return pysem::record::rec_of<OrderMgr>(self); }

// After the constructor has set `namespace`: normalise it, then open the
// store under the normalised name. The fields change only once both steps have succeeded.
static int post_init(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        OrderMgr *m = rec(self);
        nb::object normalised = normalise_namespace(pysem::require(m->namespace_, "namespace"));
        nb::object store = open_store(normalised.ptr());
        nb::object old_namespace = std::move(m->namespace_), old_store = std::move(m->positions);
        m->namespace_ = std::move(normalised);
        m->positions = std::move(store);
        return 0;
    });
}

static const pysem::record::Decl order_mgr_decl = {
    .name = "OrderMgr",
    .doc = "Manage a portfolio full of instruments having multiple trades.",
    .fields = PYSEM_RECORD_TABLE(OrderMgr, ORDER_MGR_FIELDS),
    .post_init = post_init,
};

static pysem::record::Class order_mgr_class{order_mgr_decl};

nb::object order_mgr_field(PyObject *mgr, int i) {
    PyObject *v = pysem::record::read(order_mgr_class, mgr, i);
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

void register_order_mgr(nb::module_ &m) {
    PyTypeObject *cls = pysem::record::define<OrderMgr, order_mgr_class>(m.ptr());
    types.OrderMgr = cls;
    Payload<OrderMgr>::bind(cls);
    define_intake(cls);
    define_temp(cls);
    define_summaries(cls);
    define_grouping(cls);
    define_facade(cls);
}

}  // namespace ordermgr
