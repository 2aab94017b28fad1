#include "groups/aggregates.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "groups/members.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/builtin_sum.h"
#include "pysem/num.h"

namespace ordermgr {

using pysem::Num;

static nb::object new_set() {
    PyObject *s = PySet_New(nullptr);
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

static void set_add(PyObject *set, PyObject *item) {
    if (PySet_Add(set, item) < 0) throw nb::python_error();
}

nb::object members_keys(PyObject *positions) {
    Members ms(positions);
    nb::object out = new_set();
    for (const nb::object &p : ms.items()) set_add(out.ptr(), position_key(p.ptr()).ptr());
    return out;
}

nb::object members_orderids(PyObject *positions) {
    Members ms(positions);
    nb::object out = new_set();
    for (const nb::object &p : ms.items()) {
        nb::object ids = position_orderids(p.ptr());
        // The accumulator is ours alone, so updating it in place is the
        // same as replacing it by its union with the member's ids.
        if (PyAnySet_Check(ids.ptr())) {
            PyObject *r = PyNumber_InPlaceOr(out.ptr(), ids.ptr());
            if (!r) throw nb::python_error();
            Py_DECREF(r);
            continue;
        }
        nb::object it = nb::steal(PyObject_GetIter(ids.ptr()));
        if (!it) throw nb::python_error();
        while (PyObject *id = PyIter_Next(it.ptr())) {
            nb::object hold = nb::steal(id);
            set_add(out.ptr(), id);
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return out;
}

// min() over values already collected: the first of equal values wins.
static Num minimum(const std::vector<Num> &values) {
    if (values.empty()) throw nb::value_error("min() iterable argument is empty");
    Num best = values.front();
    for (size_t i = 1; i < values.size(); ++i)
        if (values[i].lt(best)) best = values[i];
    return best;
}

nb::object members_qty(PyObject *positions) {
    Members ms(positions);
    std::vector<Num> sizes;
    sizes.reserve(ms.size());
    for (const nb::object &p : ms.items()) sizes.push_back(Num::steal(position_qty(p.ptr()).release().ptr()).abs());
    return minimum(sizes).object();
}

nb::object members_started(PyObject *positions) {
    Members ms(positions);
    std::vector<nb::object> starts;
    starts.reserve(ms.size());
    for (const nb::object &p : ms.items()) starts.push_back(position_started(p.ptr()));
    if (starts.empty()) throw nb::value_error("min() iterable argument is empty");
    nb::object best = starts.front();
    for (size_t i = 1; i < starts.size(); ++i) {
        int r = PyObject_RichCompareBool(starts[i].ptr(), best.ptr(), Py_LT);
        if (r < 0) throw nb::python_error();
        if (r) best = starts[i];
    }
    return best;
}

nb::object members_total_commission(PyObject *positions) {
    Members ms(positions);
    pysem::BuiltinSum sum;
    for (const nb::object &p : ms.items()) sum.add(position_total_commission(p.ptr()).ptr());
    return sum.result();
}

static bool less(PyObject *a, PyObject *b) {
    int r = PyObject_RichCompareBool(a, b, Py_LT);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// Indices of the trades in ascending timestamp order, stable. Already sorted
// input (the usual case) costs one comparison per trade, as the host's sort.
static std::vector<size_t> timestamp_order(const TradeSnapshot &trades) {
    const std::vector<PyObject *> &ts = trades.values();
    std::vector<nb::object> stamps;
    stamps.reserve(ts.size());
    for (PyObject *t : ts) stamps.push_back(trade_timestamp(t));
    std::vector<size_t> order(ts.size());
    std::iota(order.begin(), order.end(), size_t(0));
    bool sorted = true;
    for (size_t i = 1; i < stamps.size() && sorted; ++i) sorted = !less(stamps[i].ptr(), stamps[i - 1].ptr());
    if (!sorted)
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return less(stamps[a].ptr(), stamps[b].ptr()); });
    return order;
}

static Num num(nb::object o) { return Num::steal(o.release().ptr()); }

nb::object members_average_price(PyObject *positions, PyObject *total_qty) {
    Num total = Num::of(total_qty);
    Num total_value = Num::of_double(0.0);
    Members ms(positions);
    for (const nb::object &position : ms.items()) {
        Num considered = Num::of_double(0.0);
        nb::object trades = position_trades(position.ptr());
        TradeSnapshot snap(trades.ptr());
        for (size_t i : timestamp_order(snap)) {
            PyObject *trade = snap.values()[i];
            if (considered.ge(total)) break;
            Num qty_abs = num(trade_qty(trade)).abs();
            Num remaining = total - considered;
            Num take = remaining.lt(qty_abs) ? remaining : qty_abs;
            if (!take.gt_zero()) continue;
            Num ratio = qty_abs.ne(Num()) ? take / qty_abs : Num();
            Num value = num(trade_price(trade)) * num(trade_qty(trade)) * ratio;
            Num commission = num(trade_commission(trade)) * ratio;
            Num signed_commission = num(trade_qty(trade)).gt_zero() ? commission : -commission;
            total_value = total_value + (value + signed_commission);
            considered = considered + take;
        }
    }
    return (total_value / total).object();
}

}  // namespace ordermgr
