// OrderMgr summaries: display records of one position, of the group of an
// order id, and of the whole portfolio.
#include <cmath>

#include "groups/position_group.h"
#include "manager/grouping.h"
#include "manager/order_mgr.h"
#include "manager/store_ops.h"
#include "model/kept_book.h"
#include "model/module_ns.h"
#include "model/position.h"
#include "model/summary.h"
#include "model/trade.h"
#include "pysem/collector_pause.h"
#include "pysem/num.h"
#include "pysem/record.h"
#include "pysem/method.h"

namespace ordermgr {

using pysem::Num;

static bool truth(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) throw Error();
    return r != 0;
}

// stop = abs(average_price * (1 - stopPct)) for a long, (1 + stopPct) for a short.
static Num stop_price(const Num &average_price, bool is_long, PyObject *stopPct) {
    if (average_price.is_float() && PyFloat_CheckExact(stopPct)) {
        // Float arithmetic throughout (1 - stopPct is 1.0 - stopPct): the
        // doubles' own operations, without making each step a Num.
        double pct = PyFloat_AS_DOUBLE(stopPct);
        return Num::of_double(std::fabs(average_price.as_double() * (is_long ? 1.0 - pct : 1.0 + pct)));
    }
    Num pct = Num::of(stopPct);
    Num factor = is_long ? Num::of_int(1) - pct : Num::of_int(1) + pct;
    return (average_price * factor).abs();
}

// The kept fold of this position's trades when reading its figures runs none
// of the caller's code: an exact dict of exact Trades whose price, qty and
// commission are exact floats or ints. Then a figure read twice gives the
// same value with nothing to observe, and each is read once.
static const BookFold *pure_figures(PyObject *position, Ref &trades) {
    if (!position_class.exact(position)) return nullptr;
    trades = position_field(position, Position::field::trades);
    // The book's kept fold took every value natively (or the book is not an
    // exact dict, and then nothing is known).
    KeptBook *book = KeptBook::of(trades.ptr(), true);
    if (!book) return nullptr;
    const BookFold &fold = book->fold();
    return fold.qty_native() && fold.average_ok && fold.commission_ok ? &fold : nullptr;
}

static Ref summary_of(PyObject *position, PyObject *stopPct) {
    Ref trades;
    if (const BookFold *pure = pure_figures(position, trades)) {
        const BookFold &kept = *pure;
        // Position.average_price and Position.qty, straight from the fold.
        Num average = kept.average_price();
        Num qty = kept.qty.result();
        bool is_long = qty.gt_zero();
        Num stop = stop_price(average, is_long, stopPct);
        Ref total_commission = kept.commission.result().object();
        Ref started = kept.started_ok && kept.earliest ? borrow(kept.earliest) : trades_started(trades.ptr(), true);
        return make_position_summary(qty.abs().object().ptr(), is_long ? average : -average, stop,
                                     total_commission.ptr(), started.ptr());
    }
    // Any other position: every property read where the summary reads it,
    // average_price and is_long again for each field.
    Num average = Num::steal(position_average_price(position).release());
    Num stop = stop_price(average, position_is_long(position), stopPct);
    Num qty = Num::steal(position_qty(position).release()).abs();
    bool is_long = position_is_long(position);
    Num price = Num::steal(position_average_price(position).release());
    if (!is_long) price = -price;
    Ref total_commission = position_total_commission(position);
    Ref started = position_started(position);
    return make_position_summary(qty.object().ptr(), price.object().ptr(), stop.object().ptr(),
                                 total_commission.ptr(), started.ptr(), Py_None);
}

static Ref get_position_summary(PyObject *self, PyObject *key, PyObject *stopPct) {
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    Ref position = store_getitem(store.ptr(), key);
    return summary_of(position.ptr(), stopPct);
}

static Ref get_position_summary_by_order(PyObject *self, PyObject *orderid, PyObject *stopPct) {
    Ref groups = call_position_groups(self, orderid);
    if (!truth(groups.ptr())) return none();
    // The first key's group, whether or not other keys map to other groups.
    Ref it = steal(PyObject_GetIter(groups.ptr()));
    if (!it) throw Error();
    Ref first_key = steal(PyIter_Next(it.ptr()));
    if (!first_key) throw Error();
    Ref group = steal(PyObject_GetItem(groups.ptr(), first_key.ptr()));
    if (!group) throw Error();
    return position_group_summary(group.ptr(), stopPct);
}

// str(key): an exact str is its own text.
static Ref key_text(PyObject *key) {
    if (PyUnicode_CheckExact(key)) return borrow(key);
    PyObject *text = PyObject_Str(key);
    if (!text) throw Error();
    return steal(text);
}

static Ref get_portfolio_summary(PyObject *self, PyObject *stopPct) {
    pysem::CollectorPause pause;  // one acyclic summary per position
    Ref store = order_mgr_field(self, OrderMgr::field::positions);
    Ref result = steal(PyDict_New());
    if (!result) throw Error();
    const bool exact = order_mgr_class.exact(self);
    if (exact && store_items_are_its_values(store.ptr())) {
        // Every position in one read of the store: key by key, each read
        // would first ask whether another connection committed (a round
        // trip on a server), and the positions could come from different
        // commits.
        Ref items = store_items(store.ptr());
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.ptr()); i < n; ++i) {
            PyObject *item = PyList_GET_ITEM(items.ptr(), i);
            Ref text = key_text(PyTuple_GET_ITEM(item, 0));
            Ref summary = summary_of(PyTuple_GET_ITEM(item, 1), stopPct);
            if (PyDict_SetItem(result.ptr(), text.ptr(), summary.ptr()) < 0) throw Error();
        }
        return result;
    }
    Ref keys = store_keys(store.ptr());
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.ptr()); i < n; ++i) {
        PyObject *key = PyList_GET_ITEM(keys.ptr(), i);
        Ref text = key_text(key);
        Ref summary;
        if (exact) {
            summary = get_position_summary(self, key, stopPct);
        } else {
            summary = pysem::check(
                PyObject_CallMethodObjArgs(self, names().get_position_summary, key, stopPct, nullptr));
        }
        if (PyDict_SetItem(result.ptr(), text.ptr(), summary.ptr()) < 0) throw Error();
    }
    return result;
}

static PyObject *pct_or_default(PyObject *given) {
    static PyObject *const pct = PyFloat_FromDouble(0.1);  // kept for the process
    return given ? given : pct;
}

const pysem::Method get_position_summary_method = {
    "get_position_summary",
    "get_position_summary($self, key, stopPct=0.1)\n--\n\n"
    "Summary of the position under a key, with a stop stopPct away from its cost basis.",
    [](PyObject *self, PyObject *const *a) { return get_position_summary(self, a[0], pct_or_default(a[1])); },
    pysem::Method::Function};

const pysem::Method get_position_summary_by_order_method = {
    "get_position_summary_by_order",
    "get_position_summary_by_order($self, orderid, stopPct=0.1)\n--\n\n"
    "Summary of the group of positions that traded under an order id, or None.",
    [](PyObject *self, PyObject *const *a) { return get_position_summary_by_order(self, a[0], pct_or_default(a[1])); },
    pysem::Method::Function};

const pysem::Method get_portfolio_summary_method = {
    "get_portfolio_summary",
    "get_portfolio_summary($self, stopPct=0.1)\n--\n\n"
    "Return all positions without matching any combined order details.",
    [](PyObject *self, PyObject *const *a) { return get_portfolio_summary(self, pct_or_default(a[0])); },
    pysem::Method::Function};

}  // namespace ordermgr
