// The deep look at one position: its trades replayed in time order with
// running totals, compared with what the position reports itself.
#include <algorithm>
#include <vector>

#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/record.h"
#include "diagnostics/records.h"
#include "diagnostics/system_diagnostics.h"
#include "diagnostics/validator.h"
#include "manager/order_mgr.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/datetime_key.h"

namespace ordermgr {

using namespace pysem::protocol;

using pysem::Num;

// Replayed and own figures closer than this agree.
constexpr double kTolerance = 0.001;

// running + x by the host's addition (a double on the left), stored back as
// a double.
static double add_to(double running, const Num &x) { return as_double(Num::of_double(running) + x); }

// The divisor of an average: a zero quantity (either sign) counts as 1.0.
static double divisor(double qty) { return qty != 0.0 ? qty : 1.0; }

// The trades of a book sorted by timestamp, ascending and stable, as
// sorted(trades.values(), key=lambda t: t.timestamp) orders them.
static std::vector<Ref> by_time(PyObject *trades) {
    TradeSnapshot snap(trades);
    struct Item {
        PyObject *timestamp, *trade;
    };
    std::vector<Ref> stamps;
    std::vector<Item> items;
    stamps.reserve(snap.size());
    items.reserve(snap.size());
    for (PyObject *t : snap.values()) {
        stamps.push_back(trade_field(t, Trade::field::timestamp));
        items.push_back({stamps.back().ptr(), t});
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Item &a, const Item &b) { return pysem::timestamp_less(a.timestamp, b.timestamp); });
    std::vector<Ref> sorted;
    sorted.reserve(items.size());
    for (const Item &i : items) sorted.push_back(borrow(i.trade));
    return sorted;
}

static bool within(double replayed, Ref own) {
    return (Num::of_double(replayed) - num(std::move(own))).abs().lt(Num::of_double(kTolerance));
}

Ref analyze_position(PyObject *order_mgr, PyObject *key) {
    Ref positions = order_mgr_field(order_mgr, OrderMgr::field::positions);
    int present = PySequence_Contains(positions.ptr(), key);
    if (present < 0) raise();
    if (!present) return none();
    Ref position = steal(PyObject_GetItem(positions.ptr(), key));
    if (!position) raise();
    PyObject *p = position.ptr();

    double running_qty = 0.0, running_cost = 0.0;
    Ref flow = pysem::new_list();
    for (const Ref &trade : by_time(position_field(p, Position::field::trades).ptr())) {
        PyObject *t = trade.ptr();
        // The quantity first, then the cost term: their errors come in this order.
        running_qty = add_to(running_qty, num(trade_field(t, Trade::field::qty)));
        running_cost = add_to(running_cost, trade_signed_cost(t));
        using T = Trade::field;
        Ref entry = pysem::record::construct(
            trade_flow_class,
            {trade_field(t, T::orderid), trade_field(t, T::timestamp), trade_field(t, T::price),
             trade_field(t, T::qty), trade_field(t, T::commission), float_object(running_qty),
             float_object(running_cost), float_object(running_cost / divisor(running_qty))},
            false);
        if (PyList_Append(flow.ptr(), entry.ptr()) < 0) raise();
    }

    double final_avg = running_cost / divisor(running_qty);
    Ref calculations = pysem::record::construct(
        calculations_class,
        {float_object(running_qty), float_object(running_cost), float_object(final_avg), position_qty(p),
         position_average_price(p), pysem::boolean(within(running_qty, position_qty(p))),
         pysem::boolean(within(final_avg, position_average_price(p)))},
        true);
    Ref errors = validate_position_as_bound(p);

    return pysem::record::construct(
        analysis_class,
        {borrow(key), position_qty(p), position_average_price(p), position_is_long_object(p),
         position_total_commission(p), position_empty_object(p), position_started(p), std::move(flow),
         std::move(calculations), std::move(errors)},
        true);
}

}  // namespace ordermgr
