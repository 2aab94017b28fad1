// The portfolio risk report: one block per position summary, then totals.
#include "diagnostics/reads.h"
#include "reports/report_text.h"
#include "reports/system_reporter.h"
#include "reports/time_text.h"

namespace ordermgr {

using pysem::getattr;
using pysem::Num;

static nb::object portfolio_summaries(PyObject *order_mgr, double stopPct) {
    nb::object pct = float_object(stopPct);
    PyObject *args[] = {order_mgr, pct.ptr()};
    PyObject *r = PyObject_VectorcallMethod(dnames.get_portfolio_summary, args,
                                            1 | PY_VECTORCALL_ARGUMENTS_OFFSET, dnames.stopPct_kw);
    if (!r) raise();
    return nb::steal(r);
}

nb::object portfolio_report(PyObject *order_mgr, double stopPct) {
    nb::object summaries = portfolio_summaries(order_mgr, stopPct);
    if (!truth(summaries.ptr())) return pysem::utf8_to_str("No positions found.");

    ReportText text;
    text.line("PORTFOLIO SUMMARY");
    text.line().append(50, '=');
    text.line();

    Num net_value = Num::of_double(0.0), total_risk = Num::of_double(0.0);
    for_each_item(summaries.ptr(), [&](PyObject *key, PyObject *s) {
        // Each figure of the summary is read once, in the order it is first used.
        nb::object qty = getattr(s, names.qty), price = getattr(s, names.average_price),
                   pct = getattr(s, names.stopPct);
        Num abs_price = num(price).abs();
        Num value = num(qty) * abs_price;
        Num risk = value * num(pct).abs();
        bool is_long = truth(getattr(s, names.is_long).ptr());
        net_value = is_long ? net_value + value : net_value - value;
        total_risk = total_risk + risk;
        nb::object stop = getattr(s, names.stop), age = getattr(s, names.age);

        pysem::append_default(text.line("Position: "), key);
        text.line("  Direction: ") += is_long ? "LONG" : "SHORT";
        append_qty(text.line("  Quantity: "), qty.ptr());
        append_money(text.line("  Avg Price: $"), abs_price);
        append_money(text.line("  Stop Price: $"), stop.ptr());
        append_percent(text.line("  Stop %: "), pct.ptr());
        append_money(text.line("  Position Value: $"), value);
        append_money(text.line("  Risk Amount: $"), risk);
        append_timespan(text.line("  Age: "), age.ptr());
        text.line();
    });

    text.line("TOTALS:");
    append_money(text.line("  Net Position Value: $"), net_value);
    append_money(text.line("  Total Risk Amount: $"), total_risk);
    Num share = net_value.eq_zero() ? Num() : total_risk / net_value.abs();
    append_percent(text.line("  Risk as % of Total: "), share);
    return text.str();
}

}  // namespace ordermgr
