#include "groups/aggregates.h"


#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "groups/members.h"
#include "model/position.h"
#include "model/module_ns.h"
#include "model/trade.h"
#include "pysem/builtin_sum.h"
#include "pysem/datetime_key.h"
#include "pysem/fields.h"
#include "pysem/num.h"
#include "pysem/record.h"

namespace ordermgr {

using pysem::Num;

static Ref new_set() {
    PyObject *s = PySet_New(nullptr);
    if (!s) throw Error();
    return steal(s);
}

static void set_add(PyObject *set, PyObject *item) {
    if (PySet_Add(set, item) < 0) throw Error();
}

Ref members_keys(PyObject *positions) {
    Members ms(positions);
    Ref out = new_set();
    for (const Ref &p : ms.items()) set_add(out.ptr(), position_field(p.ptr(), Position::field::key).ptr());
    return out;
}

Ref members_orderids(PyObject *positions) {
    Members ms(positions);
    Ref acc = new_set();
    for (const Ref &p : ms.items()) {
        Ref ids = position_orderids(p.ptr());
        // acc = acc.union(ids): a new set per member, built as the host
        // builds it (a copy of acc, then ids added), so the iteration order
        // is the host's. `|` is the same operation for an exact set or
        // frozenset and skips the method lookup.
        PyObject *r = PyAnySet_CheckExact(ids.ptr()) ? PyNumber_Or(acc.ptr(), ids.ptr())
                                                     : PyObject_CallMethodOneArg(acc.ptr(), names().union_, ids.ptr());
        if (!r) throw Error();
        acc = steal(r);
    }
    return acc;
}

static bool less(PyObject *a, PyObject *b) {
    int r = PyObject_RichCompareBool(a, b, Py_LT);
    if (r < 0) throw Error();
    return r != 0;
}

// min() over values already collected: the first of equal values wins.
static Num minimum(const std::vector<Num> &values) {
    if (values.empty()) pysem::raise(PyExc_ValueError, "min() iterable argument is empty");
    Num best = values.front();
    for (size_t i = 1; i < values.size(); ++i)
        if (values[i].lt(best)) best = values[i];
    return best;
}

Ref members_qty(PyObject *positions) {
    Members ms(positions);
    std::vector<Num> sizes;
    sizes.reserve(ms.size());
    for (const Ref &p : ms.items()) sizes.push_back(Num::steal(position_qty(p.ptr()).release()).abs());
    return minimum(sizes).object();
}

// min(p.started for p in positions): each start is compared as soon as it
// is read (`start < best`, as min() compares), so a failed comparison stops
// before the later members are read.
Ref members_started(PyObject *positions) {
    Members ms(positions);
    Ref best;
    for (const Ref &p : ms.items()) {
        Ref start = position_started(p.ptr());
        if (best && !less(start.ptr(), best.ptr())) continue;
        best = std::move(start);
    }
    if (!best) pysem::raise(PyExc_ValueError, "min() iterable argument is empty");
    return best;
}

Ref members_total_commission(PyObject *positions) {
    Members ms(positions);
    pysem::BuiltinSum sum;
    for (const Ref &p : ms.items()) sum.add(position_total_commission(p.ptr()).ptr());
    return sum.result();
}

static Trade *exact_trade(PyObject *o) {
    return trade_class.exact<Trade>(o);
}

// Timestamps of exact trades as integer keys (see datetime_order_key); the
// fields are read in place, with no code of the caller's running. False as
// soon as one trade does not qualify.
static bool native_time_keys(const std::vector<PyObject *> &trades, std::vector<int64_t> &keys) {
    PyObject *tz = nullptr;
    keys.resize(trades.size());
    for (size_t i = 0; i < trades.size(); ++i) {
        Trade *t = exact_trade(trades[i]);
        if (!t || !pysem::datetime_order_key(trade_timestamp(*t), &tz, &keys[i])) {
            PyErr_Clear();  // a default timestamp that could not be made: the generic path reports it
            return false;
        }
    }
    return true;
}

// Indices of the trades in ascending timestamp order, stable. Already sorted
// input (the usual case) costs one comparison per trade, as the host's sort.
static std::vector<size_t> timestamp_order(const TradeSnapshot &trades) {
    const std::vector<PyObject *> &ts = trades.values();
    std::vector<size_t> order(ts.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::vector<int64_t> keys;
    if (native_time_keys(ts, keys)) {
        if (!std::is_sorted(keys.begin(), keys.end()))
            std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
        return order;
    }
    std::vector<Ref> stamps;
    stamps.reserve(ts.size());
    for (PyObject *t : ts) stamps.push_back(trade_field(t, Trade::field::timestamp));
    bool sorted = true;
    for (size_t i = 1; i < stamps.size() && sorted; ++i) sorted = !less(stamps[i].ptr(), stamps[i - 1].ptr());
    if (!sorted)
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return less(stamps[a].ptr(), stamps[b].ptr()); });
    return order;
}

static Num num(Ref o) { return Num::steal(o.release()); }

// Field reads of one trade: in place for an exact Trade, through the
// override-honouring accessors otherwise (every read is a fresh read).
struct FillReader {
    PyObject *trade;
    Trade *exact;
    explicit FillReader(PyObject *t) : trade(t), exact(exact_trade(t)) {}
    Num read(const Ref &member, int i) const {
        if (exact) return Num::of(pysem::record::held(trade, member, trade_class.decl.fields.rows[i].name));
        return num(trade_field(trade, i));
    }
    Num qty() const { return read(exact ? exact->qty : Ref(), Trade::field::qty); }
    Num price() const { return read(exact ? exact->price : Ref(), Trade::field::price); }
    Num commission() const { return read(exact ? exact->commission : Ref(), Trade::field::commission); }
};

// The trade step of the average price on plain doubles: every input an exact
// float (the group size an exact float or an int within 2**53, converted
// exactly), so each operation is the very IEEE operation the host performs.
// Runs over consecutive such trades from `i` on; false when it stopped
// because the leg's share of units is complete.
static bool run_native(const TradeSnapshot &snap, const std::vector<size_t> &order, size_t &i, double total,
                       double &total_value, double &considered) {
    for (; i < order.size(); ++i) {
        Trade *t = exact_trade(snap.values()[order[i]]);
        if (!t) return true;
        PyObject *q = t->qty.ptr(), *p = t->price.ptr(), *c = t->commission.ptr();
        if (!q || !p || !c || !PyFloat_CheckExact(q) || !PyFloat_CheckExact(p) || !PyFloat_CheckExact(c)) return true;
        if (considered >= total) return false;
        double qty = PyFloat_AS_DOUBLE(q);
        double qty_abs = std::fabs(qty);
        double remaining = total - considered;
        double take = remaining < qty_abs ? remaining : qty_abs;
        if (!(take > 0)) continue;
        double ratio = take / qty_abs;  // qty_abs is not zero once take > 0
        double value = PyFloat_AS_DOUBLE(p) * qty * ratio;
        double commission = PyFloat_AS_DOUBLE(c) * ratio;
        total_value = total_value + (value + (qty > 0 ? commission : -commission));
        considered = considered + take;
    }
    return true;
}

Ref members_average_price(PyObject *positions, PyObject *total_qty) {
    Num total = Num::of(total_qty);
    Num total_value = Num::of_double(0.0);
    Members ms(positions);
    for (const Ref &position : ms.items()) {
        Num considered = Num::of_double(0.0);
        Ref trades = position_field(position.ptr(), Position::field::trades);
        TradeSnapshot snap(trades.ptr());
        std::vector<size_t> order = timestamp_order(snap);
        size_t i = 0;
        while (i < order.size()) {
            if (total.kind() != Num::Kind::Obj && total_value.is_float() && considered.is_float()) {
                double tv = total_value.as_double(), cons = considered.as_double();
                double t = total.is_float() ? total.as_double() : (double) total.as_int();
                bool more = run_native(snap, order, i, t, tv, cons);
                total_value = Num::of_double(tv);
                considered = Num::of_double(cons);
                if (!more) break;
                if (i == order.size()) break;
            }
            FillReader trade(snap.values()[order[i++]]);
            if (considered.ge(total)) break;
            // One statement per step, so that every read and every operation
            // happens in the order the formula gives.
            Num qty_abs = trade.qty().abs();
            Num remaining = total - considered;
            Num take = remaining.lt(qty_abs) ? remaining : qty_abs;  // min(qty_abs, remaining)
            if (!take.gt_zero()) continue;
            Num ratio = qty_abs.ne(Num()) ? take / qty_abs : Num();
            Num price = trade.price();
            Num value = price * trade.qty();
            value = value * ratio;
            Num commission = trade.commission() * ratio;
            Num term = value + (trade.qty().gt_zero() ? commission : -commission);
            total_value += term;
            considered += take;
        }
    }
    return (total_value / total).object();
}

}  // namespace ordermgr
