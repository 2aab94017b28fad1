// The portfolio risk report: one block per position summary, then totals.
#include <cmath>

#include "model/module_ns.h"
#include "pysem/protocol.h"
#include "pysem/record.h"
#include "model/summary.h"
#include "reports/report_text.h"
#include "reports/system_reporter.h"
#include "reports/time_text.h"
#include "pysem/collector_pause.h"

namespace ordermgr {

using namespace pysem::protocol;

using pysem::getattr;
using pysem::Num;

static Ref portfolio_summaries(PyObject *order_mgr, double stopPct) {
    Ref pct = float_object(stopPct);
    PyObject *args[] = {order_mgr, pct.ptr()};
    PyObject *r = PyObject_VectorcallMethod(names().get_portfolio_summary, args,
                                            1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state().stopPct_keyword);
    if (!r) raise();
    return steal(r);
}

using S = PositionSummary::field;

// The block of one position: its two accumulations, then its ten lines.
// Every figure is read where the report's expressions read it: the
// summary's properties (and abs, and the formatting) may run code of the
// caller's.
static void append_block(ReportText &text, PyObject *key, PyObject *s, double &net_value, double &total_risk) {
    Num qty = num(summary_field(s, S::qty));
    Num value = qty * num(summary_field(s, S::average_price)).abs();
    Num risk = value * num(summary_field(s, S::stopPct)).abs();
    Num net = Num::of_double(net_value);
    net_value = as_double(summary_is_long(s) ? net + value : net - value);
    total_risk = as_double(Num::of_double(total_risk) + risk);

    pysem::append_default(text.line("Position: "), key);
    text.line("  Direction: ") += summary_is_long(s) ? "LONG" : "SHORT";
    append_qty(text.line("  Quantity: "), summary_field(s, S::qty).ptr());
    append_money(text.line("  Avg Price: $"), num(summary_field(s, S::average_price)).abs());
    append_money(text.line("  Stop Price: $"), summary_field(s, S::stop).ptr());
    append_percent(text.line("  Stop %: "), summary_field(s, S::stopPct).ptr());
    append_money(text.line("  Position Value: $"), value);
    append_money(text.line("  Risk Amount: $"), risk);
    append_timespan(text.line("  Age: "), summary_field(s, S::age).ptr());
    text.line();
}

// The same block for an exact summary under a str key whose figures are
// exact floats and ints and whose age is an exact timedelta: then nothing
// between its reads runs code of the caller's, so each field is read once
// (borrowed, as the record holds it) and every figure and line is the one
// the step-by-step reading gives. False, with nothing done, for any other.
static bool append_plain_block(ReportText &text, PyObject *key, PyObject *s, double &net_value,
                               double &total_risk) {
    PositionSummary *r = plain_summary(s);
    if (!r || !PyUnicode_CheckExact(key)) return false;
    PyObject *q = r->qty.ptr(), *a = r->average_price.ptr(), *stop = r->stop.ptr(), *pct = r->stopPct.ptr(),
             *age = r->age.ptr();
    if (!q || !a || !stop || !pct || !age || !plain_timespan(age)) return false;
    Num qty = Num::of(q), avg = Num::of(a), stop_price = Num::of(stop), share = Num::of(pct);
    using K = Num::Kind;
    if (qty.kind() == K::Obj || avg.kind() == K::Obj || stop_price.kind() == K::Obj || share.kind() == K::Obj)
        return false;
    Num value = qty * avg.abs();
    Num risk = value * share.abs();
    bool is_long = avg.gt_zero();  // the class's own is_long: average_price > 0
    Num net = Num::of_double(net_value);
    net_value = as_double(is_long ? net + value : net - value);
    total_risk = as_double(Num::of_double(total_risk) + risk);

    pysem::append_utf8(text.line("Position: "), key);
    text.line("  Direction: ") += is_long ? "LONG" : "SHORT";
    append_qty(text.line("  Quantity: "), qty);
    append_money(text.line("  Avg Price: $"), avg.abs());
    append_money(text.line("  Stop Price: $"), stop_price);
    append_percent(text.line("  Stop %: "), share);
    append_money(text.line("  Position Value: $"), value);
    append_money(text.line("  Risk Amount: $"), risk);
    append_timespan(text.line("  Age: "), age);
    text.line();
    return true;
}

Ref portfolio_report(PyObject *order_mgr, double stopPct) {
    pysem::CollectorPause pause;  // the summaries and the text: acyclic
    Ref summaries = portfolio_summaries(order_mgr, stopPct);
    if (!truth(summaries.ptr())) return pysem::utf8_to_str("No positions found.");

    ReportText text;
    // About 250 bytes a position: one allocation for the usual report.
    if (PyDict_CheckExact(summaries.ptr())) text.reserve(256 * (size_t) PyDict_GET_SIZE(summaries.ptr()) + 256);
    text.line("PORTFOLIO SUMMARY");
    text.line().append(50, '=');
    text.line();

    // The two accumulators are doubles: each step is the host's float +/-
    // value, stored back as a double.
    double net_value = 0.0, total_risk = 0.0;
    for_each_item(summaries.ptr(), [&](PyObject *key, PyObject *s) {
        if (!append_plain_block(text, key, s, net_value, total_risk))
            append_block(text, key, s, net_value, total_risk);
    });

    text.line("TOTALS:");
    append_money(text.line("  Net Position Value: $"), Num::of_double(net_value));
    append_money(text.line("  Total Risk Amount: $"), Num::of_double(total_risk));
    Num share = net_value != 0.0 ? Num::of_double(total_risk / std::fabs(net_value)) : Num();
    append_percent(text.line("  Risk as % of Total: "), share);
    return text.str();
}

}  // namespace ordermgr
