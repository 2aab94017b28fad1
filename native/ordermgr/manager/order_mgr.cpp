#include "manager/order_mgr.h"

#include "model/module_ns.h"
#include "pysem/method.h"
#include "pysem/record.h"
#include "pysem/record_type.h"
#include "pysem/slot_call.h"

namespace ordermgr {


// namespace.replace(" ", "-").title(), through the object's own methods (a
// value that is not a string fails here with the host's attribute error).
static Ref normalise_namespace(PyObject *ns) {
    Ref replaced = pysem::check(PyObject_CallMethod(ns, "replace", "ss", " ", "-"));
    return pysem::check(PyObject_CallMethod(replaced.ptr(), "title", nullptr));
}

// DualCache(cacheName=namespace, cachePrefix=os.path.join($QUENTARIS_DATA_DIR, "positions-")),
// with os and DualCache read from the module namespace now.
static Ref open_store(PyObject *ns) {
    using pysem::check;
    Ref os = borrow(module_attr(names().os));
    Ref environ = check(PyObject_GetAttrString(os.ptr(), "environ"));
    Ref data_dir = check(PyObject_GetItem(environ.ptr(), check(PyUnicode_FromString("QUENTARIS_DATA_DIR")).ptr()));
    Ref path = check(PyObject_GetAttrString(os.ptr(), "path"));
    Ref join = check(PyObject_GetAttrString(path.ptr(), "join"));
    Ref tail = check(PyUnicode_FromString("positions-"));
    PyObject *join_args[] = {data_dir.ptr(), tail.ptr()};
    Ref prefix = check(PyObject_Vectorcall(join.ptr(), join_args, 2, nullptr));
    Ref factory = borrow(module_attr(names().DualCache));
    Ref kwnames = check(PyTuple_Pack(2, names().cacheName, names().cachePrefix));
    PyObject *args[] = {ns, prefix.ptr()};
    return check(PyObject_Vectorcall(factory.ptr(), args, 0, kwnames.ptr()));
}

// --- the record ---------------------------------------------------------------

static OrderMgr *rec(PyObject *self) { return pysem::record::rec_of<OrderMgr>(self); }

// After the constructor has set `namespace`: normalise it, then open the
// store under the normalised name. The fields change only once both steps have succeeded.
static int post_init(PyObject *self) {
    return pysem::slot_call<int>(-1, [&] {
        OrderMgr *m = rec(self);
        Ref normalised = normalise_namespace(pysem::record::held(self, m->namespace_, "namespace"));
        Ref store = open_store(normalised.ptr());
        m->namespace_ = std::move(normalised);
        m->positions = std::move(store);
        return 0;
    });
}

static PyMethodDef *order_mgr_methods(const char *owner) {
    static PyMethodDef methods[] = {pysem::method_def<temp_method>(owner), {}};
    return methods;
}

// Bound like the methods of a Python class: any object is taken as self.
static PyMethodDef *order_mgr_functions(const char *owner) {
    using pysem::method_def;
    static PyMethodDef methods[] = {
        method_def<clear_method>(owner),
        method_def<add_trade_method>(owner),
        method_def<add_trade_undoable_method>(owner),
        method_def<update_commission_method>(owner),
        method_def<get_position_summary_method>(owner),
        method_def<get_position_summary_by_order_method>(owner),
        method_def<get_portfolio_summary_method>(owner),
        method_def<position_groups_method>(owner),
        method_def<health_check_method>(owner),
        method_def<validate_consistency_method>(owner),
        method_def<position_table_method>(owner),
        method_def<portfolio_report_method>(owner),
        method_def<spread_report_method>(owner),
        method_def<analyze_position_method>(owner),
        method_def<debug_summary_method>(owner),
        {},
    };
    return methods;
}

static const pysem::record::Decl order_mgr_decl = {
    .name = "OrderMgr",
    .doc = "Manage a portfolio full of instruments having multiple trades.",
    .fields = PYSEM_RECORD_TABLE(OrderMgr, ORDER_MGR_FIELDS),
    .post_init = post_init,
    .methods = order_mgr_methods,
    .functions = order_mgr_functions,
};

pysem::record::Class order_mgr_class{order_mgr_decl};

Ref order_mgr_field(PyObject *mgr, int i) { return pysem::record::get(order_mgr_class, mgr, i); }

void register_order_mgr(PyObject *module) {
    PyTypeObject *cls = pysem::record::define<OrderMgr, order_mgr_class>(module);
    define_temp_scope(cls);
}

}  // namespace ordermgr
