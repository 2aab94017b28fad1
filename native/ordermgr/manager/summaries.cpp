// OrderMgr summaries: display records of one position, of the group of an
// order id, and of the whole portfolio.
#include "groups/position_group.h"
#include "manager/grouping.h"
#include "manager/order_mgr.h"
#include "manager/store_ops.h"
#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "model/payload.h"
#include "model/summary.h"
#include "model/trade.h"
#include "pysem/collector_pause.h"
#include "pysem/num.h"
#include "pysem/record.h"
#include "pysem/record_methods.h"

namespace ordermgr {

using pysem::Num;

static bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// stop = abs(average_price * (1 - stopPct)) for a long, (1 + stopPct) for a short.
static Num stop_price(const Num &average_price, bool is_long, PyObject *stopPct) {
    Num pct = Num::of(stopPct);
    Num factor = is_long ? Num::of_int(1) - pct : Num::of_int(1) + pct;
    return (average_price * factor).abs();
}

// Whether reading the figures of this position runs none of the caller's
// code: an exact dict of exact Trades whose price, qty and commission are
// exact floats or ints. Then a figure read twice gives the same value with
// nothing to observe, and each is read once.
static bool pure_figures(PyObject *position) {
    if (!is_exact(position, types.Position)) return false;
    nb::object trades = position_field(position, Position::field::trades);
    // The book's kept fold took every value natively (or the book is not an
    // exact dict, and then nothing is known).
    KeptBook *kept = KeptBook::of(trades.ptr());
    return kept && kept->fold().qty_ok && kept->fold().average_ok && kept->fold().commission_ok;
}

static nb::object summary_of(PyObject *position, PyObject *stopPct) {
    if (pure_figures(position)) {
        nb::object trades = position_field(position, Position::field::trades);
        const BookFold &kept = KeptBook::of(trades.ptr())->fold();
        // Position.average_price and Position.qty, straight from the fold.
        Num average = kept.average_price();
        Num qty = kept.qty.result();
        bool is_long = qty.gt_zero();
        Num stop = stop_price(average, is_long, stopPct);
        nb::object total_commission = kept.commission.result().object();
        nb::object started = kept.started_ok && kept.earliest ? nb::borrow(kept.earliest) : trades_started(trades.ptr());
        return make_position_summary(qty.abs().object(), (is_long ? average : -average).object(), stop.object(),
                                     total_commission, started, nb::none());
    }
    // Any other position: every property read where the summary reads it,
    // average_price and is_long again for each field.
    Num average = Num::steal(position_average_price(position).release().ptr());
    Num stop = stop_price(average, position_is_long(position), stopPct);
    Num qty = Num::steal(position_qty(position).release().ptr()).abs();
    bool is_long = position_is_long(position);
    Num price = Num::steal(position_average_price(position).release().ptr());
    if (!is_long) price = -price;
    nb::object total_commission = position_total_commission(position);
    nb::object started = position_started(position);
    return make_position_summary(qty.object(), price.object(), stop.object(), total_commission, started,
                                 nb::none());
}

static nb::object get_position_summary(nb::handle self, nb::handle key, nb::handle stopPct) {
    nb::object store = order_mgr_field(self.ptr(), OrderMgr::field::positions);
    nb::object position = store_getitem(store.ptr(), key.ptr());
    return summary_of(position.ptr(), stopPct.ptr());
}

static nb::object get_position_summary_by_order(nb::handle self, nb::handle orderid, nb::handle stopPct) {
    nb::object groups = call_position_groups(self.ptr(), orderid.ptr());
    if (!truth(groups.ptr())) return nb::none();
    // The first key's group, whether or not other keys map to other groups.
    nb::object it = nb::steal(PyObject_GetIter(groups.ptr()));
    if (!it) throw nb::python_error();
    nb::object first_key = nb::steal(PyIter_Next(it.ptr()));
    if (!first_key) throw nb::python_error();
    nb::object group = nb::steal(PyObject_GetItem(groups.ptr(), first_key.ptr()));
    if (!group) throw nb::python_error();
    return position_group_summary(group.ptr(), stopPct.ptr());
}

static nb::object get_portfolio_summary(nb::handle self, nb::handle stopPct) {
    pysem::CollectorPause pause;  // one acyclic summary per position
    nb::object store = order_mgr_field(self.ptr(), OrderMgr::field::positions);
    nb::object keys = store_keys(store.ptr());
    nb::object result = nb::steal(PyDict_New());
    if (!result) throw nb::python_error();
    const bool exact = is_exact(self.ptr(), types.OrderMgr);
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.ptr()); i < n; ++i) {
        PyObject *key = PyList_GET_ITEM(keys.ptr(), i);
        nb::object text = nb::steal(PyObject_Str(key));
        if (!text) throw nb::python_error();
        nb::object summary;
        if (exact) {
            summary = get_position_summary(self, key, stopPct);
        } else {
            summary = nb::steal(PyObject_CallMethod(self.ptr(), "get_position_summary", "OO", key, stopPct.ptr()));
            if (!summary) throw nb::python_error();
        }
        if (PyDict_SetItem(result.ptr(), text.ptr(), summary.ptr()) < 0) throw nb::python_error();
    }
    return result;
}

void define_summaries(PyTypeObject *cls) {
    static nb::handle default_pct = PyFloat_FromDouble(0.1);
    pysem::def_method(cls, "get_position_summary", &get_position_summary, nb::arg("key").none(), nb::arg("stopPct").none() = default_pct,
            "Summary of the position under a key, with a stop stopPct away from its cost basis.");
    pysem::def_method(cls, "get_position_summary_by_order", &get_position_summary_by_order, nb::arg("orderid").none(),
            nb::arg("stopPct").none() = default_pct,
            "Summary of the group of positions that traded under an order id, or None.");
    pysem::def_method(cls, "get_portfolio_summary", &get_portfolio_summary, nb::arg("stopPct").none() = default_pct,
            "Return all positions without matching any combined order details.");
}

}  // namespace ordermgr
