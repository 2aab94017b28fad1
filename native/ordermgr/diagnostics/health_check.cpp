// The portfolio health check: a data pass (direction flag, negative prices)
// and an arithmetic pass (average price recomputed from the trades), folded
// into one SystemHealthReport.
#include "diagnostics/message.h"
#include "diagnostics/overrides.h"
#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "diagnostics/records.h"
#include "diagnostics/system_diagnostics.h"
#include "manager/order_mgr.h"
#include "model/position.h"
#include "model/trade.h"
#include "pysem/builtin_sum.h"

namespace ordermgr {

using namespace pysem::protocol;

using pysem::Num;

// Averages further apart than this are reported.
constexpr double kTolerance = 0.001;

static Ref store_of(PyObject *order_mgr) { return order_mgr_field(order_mgr, OrderMgr::field::positions); }

// Direction and average-price rules of one position, read the generic way.
static void position_data_rules(PyObject *out, const Ref &key, PyObject *position) {
    bool expected_is_long = num(position_qty(position)).gt_zero();
    Ref actual = position_is_long_object(position);
    if (objects_differ(expected_is_long ? Py_True : Py_False, actual.ptr()))
        (Message() << "Position " << key << ": is_long=" << actual << " but qty=" << position_qty(position)
                   << " (expected is_long=" << expected_is_long << ")")
            .add_to(out);
    if (num(position_average_price(position)).lt_zero())
        (Message() << "Position " << key << ": average_price=" << position_average_price(position)
                   << " is negative (should always be positive)")
            .add_to(out);
}

Ref check_data_consistency(PyObject *order_mgr) {
    Ref violations = pysem::new_list();
    Ref positions = store_of(order_mgr);
    for_each_item(positions.ptr(), [&](PyObject *k, PyObject *position) {
        Ref key = borrow(k);
        KeptFigures f;
        bool kept = kept_figures(position, f);
        if (!kept) {
            position_data_rules(violations.ptr(), key, position);
        } else if (f.average_price.lt_zero()) {
            // A kept position's direction flag is its qty > 0: only the price can fail.
            (Message() << "Position " << key << ": average_price=" << f.average_price.object()
                       << " is negative (should always be positive)")
                .add_to(violations);
        }
        if (kept && !f.negative_price) return;
        Ref trades = position_field(position, Position::field::trades);
        for_each_item(trades.ptr(), [&](PyObject *orderid, PyObject *trade) {
            if (num(trade_field(trade, Trade::field::price)).lt_zero())
                (Message() << "Position " << key << ", Trade " << borrow(orderid)
                           << ": price=" << trade_field(trade, Trade::field::price) << " is negative (not allowed)")
                    .add_to(violations);
        });
    });
    return violations;
}

// Total cost of a trade book by the host's built-in sum over a generator:
// each trade's term is formed and added before the next trade is read.
static Ref total_cost(PyObject *trades) {
    TradeSnapshot snap(trades);
    pysem::BuiltinSum sum;
    for (PyObject *t : snap.values()) sum.add(trade_signed_cost(t).object().ptr());
    return sum.result();
}

Ref check_mathematical_consistency(PyObject *order_mgr) {
    Ref mismatches = pysem::new_list();
    Ref positions = store_of(order_mgr);
    for_each_item(positions.ptr(), [&](PyObject *k, PyObject *position) {
        KeptFigures f;
        bool kept = kept_figures(position, f);
        if (kept ? f.trades == 0 : !truth(position_field(position, Position::field::trades).ptr())) return;
        Num pq, tq;
        if (kept) {
            pq = f.total_cost, tq = f.qty;
        } else {
            Ref trades = position_field(position, Position::field::trades);
            pq = num(total_cost(trades.ptr()));
            tq = num(trades_qty(trades.ptr()));
        }
        Num expected = tq.ne_zero() ? pq / tq : pq / Num::of_int(1);
        Num own = kept ? f.average_price : num(position_average_price(position));
        if ((own - expected).abs().gt(Num::of_double(kTolerance)))
            (Message() << "Position " << borrow(k) << ": average_price calculation mismatch (got "
                       << (kept ? own.object() : position_average_price(position)) << ", expected "
                       << expected.object() << ")")
                .add_to(mismatches);
    });
    return mismatches;
}

static void extend(PyObject *into, PyObject *messages) {
    for_each(messages, [&](PyObject *m) {
        if (PyList_Append(into, m) < 0) raise();
    });
}

// "errors" when there are errors, else "warnings" when there are warnings,
// else "healthy".
static Ref status_of(PyObject *warnings, PyObject *errors) {
    static PyObject *healthy = pysem::intern("healthy"), *some_warnings = pysem::intern("warnings"),
                    *some_errors = pysem::intern("errors");
    if (PyList_GET_SIZE(errors)) return borrow(some_errors);
    return borrow(PyList_GET_SIZE(warnings) ? some_warnings : healthy);
}

// Steps shared by both entry points; `run_pass` runs one named pass.
template <typename RunPass>
static Ref build_report(PyObject *order_mgr, RunPass &&run_pass) {
    Ref snapshot = values_list(store_of(order_mgr).ptr());
    Py_ssize_t total_positions = PyList_GET_SIZE(snapshot.ptr());
    long long total_trades = 0;
    for (Py_ssize_t i = 0; i < total_positions; ++i)
        total_trades +=
            mapping_size(position_field(PyList_GET_ITEM(snapshot.ptr(), i), Position::field::trades).ptr());

    Ref warnings = pysem::new_list(), errors = pysem::new_list();
    Ref violations = run_pass(names()._check_data_consistency);
    extend(warnings.ptr(), violations.ptr());
    Ref arithmetic = run_pass(names()._check_mathematical_consistency);
    extend(warnings.ptr(), arithmetic.ptr());

    Ref status = status_of(warnings.ptr(), errors.ptr());
    return pysem::record::construct(
        health_report_class,
        {std::move(status), steal(PyLong_FromSsize_t(total_positions)),
         steal(PyLong_FromLongLong(total_trades)), std::move(warnings), std::move(errors),
         std::move(violations)},
        false);
}

static Ref run_own_pass(PyObject *pass, PyObject *order_mgr) {
    return pass == names()._check_data_consistency ? Ref(check_data_consistency(order_mgr))
                                     : Ref(check_mathematical_consistency(order_mgr));
}

Ref health_check(PyObject *order_mgr) {
    return build_report(order_mgr, [&](PyObject *pass) { return run_own_pass(pass, order_mgr); });
}

Ref health_check_of(PyObject *self) {
    Ref order_mgr = pysem::record::get(system_diagnostics_class, self, SystemDiagnosticsRec::field::order_mgr);
    return build_report(order_mgr.ptr(), [&](PyObject *pass) -> Ref {
        PyObject *own = pass == names()._check_data_consistency ? own_check_data : own_check_math;
        if (!resolves_to(self, pass, own)) return call_method0(self, pass);
        // The pass reads self.order_mgr afresh, as the method would.
        return run_own_pass(pass, pysem::record::get(system_diagnostics_class, self, SystemDiagnosticsRec::field::order_mgr).ptr());
    });
}

}  // namespace ordermgr
