"""The position table and the portfolio report written in plain Python.

The oracle of the property tests and the baseline of bench/bench_reports.py.
"""
from numeric_kinds import as_double


def position_table(mgr):
    if not mgr.positions:
        return "No positions found."
    headers = ["Key", "Qty", "Avg Price", "Direction", "Commission", "Trades", "Started"]
    widths = [len(h) for h in headers]
    rows = []
    for key, pos in mgr.positions.items():
        row = [str(key), f"{pos.qty:,.1f}", f"${pos.average_price:,.2f}", "LONG" if pos.is_long else "SHORT",
               f"${pos.total_commission:,.2f}", str(len(pos.trades)), pos.started.strftime("%Y-%m-%d %H:%M")]
        rows.append(row)
        widths = [max(w, len(c)) for w, c in zip(widths, row)]
    sep = "+" + "+".join("-" * (w + 2) for w in widths) + "+"

    def line(cells):
        return "|" + "|".join(f" {c:<{w}} " for c, w in zip(cells, widths)) + "|"

    return "\n".join([sep, line(headers), sep, *(line(r) for r in rows), sep])


def portfolio_report(mgr, stopPct=0.1):
    summaries = mgr.get_portfolio_summary(stopPct=stopPct)
    if not summaries:
        return "No positions found."
    lines = ["PORTFOLIO SUMMARY", "=" * 50, ""]
    net_value = total_risk = 0.0
    for key, s in summaries.items():
        value = s.qty * abs(s.average_price)
        risk = value * abs(s.stopPct)
        # double-precision accumulators: the float sum, stored back as a double
        if s.is_long:
            net_value = as_double(net_value + value)
        else:
            net_value = as_double(net_value - value)
        total_risk = as_double(total_risk + risk)
        lines.extend([f"Position: {key}", f"  Direction: {'LONG' if s.is_long else 'SHORT'}",
                      f"  Quantity: {s.qty:,.1f}", f"  Avg Price: ${abs(s.average_price):,.2f}",
                      f"  Stop Price: ${s.stop:,.2f}", f"  Stop %: {s.stopPct:.1%}",
                      f"  Position Value: ${value:,.2f}", f"  Risk Amount: ${risk:,.2f}", f"  Age: {s.age}", ""])
    share = total_risk / abs(net_value) if net_value != 0 else 0
    lines.extend(["TOTALS:", f"  Net Position Value: ${net_value:,.2f}", f"  Total Risk Amount: ${total_risk:,.2f}",
                  f"  Risk as % of Total: {share:.1%}"])
    return "\n".join(lines)
