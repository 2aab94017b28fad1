"""Diagnostics and reports on a portfolio of 10,000 positions with 5 trades each.

Each native operation is timed beside the same operation written in plain
idiomatic Python over a plain-Python model of the same portfolio (dataclass
trades, positions whose properties use sum and a loop). Medians of several
runs; ratio = Python time / native time.

The order manager is a stand-in holding a plain dict of positions; the
portfolio report reads summaries prepared once (identical for both sides), so
its figure is the report itself, not the making of the summaries.
"""
import datetime as dt
import random
import statistics
import sys
import time
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Literal

from marlovent import ordermgr as om

POSITIONS, TRADES, RUNS = 10_000, 5, 9
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)


# --- the plain-Python model and operations ------------------------------------

@dataclass(slots=True)
class PyTrade:
    orderid: object
    price: float
    qty: float
    commission: float
    timestamp: dt.datetime


@dataclass(slots=True)
class PyPosition:
    key: object
    trades: dict = field(default_factory=dict)

    @property
    def qty(self):
        return sum(t.qty for t in self.trades.values())

    @property
    def is_long(self):
        return self.qty > 0

    @property
    def average_price(self):
        pq = tq = 0.0
        for t in self.trades.values():
            pq += t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)
            tq += t.qty
        return pq / tq if tq else pq / 1

    @property
    def total_commission(self):
        return sum(t.commission for t in self.trades.values())

    @property
    def started(self):
        return min(t.timestamp for t in self.trades.values())


@dataclass
class PyHealthReport:
    status: Literal["healthy", "warnings", "errors"]
    total_positions: int
    total_trades: int
    warnings: list
    errors: list
    violations: list


@dataclass
class PyValidationResult:
    position_key: str
    errors: list
    is_valid: bool

    def __post_init__(self):
        self.is_valid = len(self.errors) == 0


def py_health_check(mgr):
    positions = list(mgr.positions.values())
    total_trades = sum(len(p.trades) for p in positions)
    violations = []
    for key, p in mgr.positions.items():
        expected_is_long = p.qty > 0
        actual_is_long = p.is_long
        if expected_is_long != actual_is_long:
            violations.append(f"Position {key}: is_long={actual_is_long} but qty={p.qty} "
                              f"(expected is_long={expected_is_long})")
        if p.average_price < 0:
            violations.append(f"Position {key}: average_price={p.average_price} is negative "
                              "(should always be positive)")
        for orderid, t in p.trades.items():
            if t.price < 0:
                violations.append(f"Position {key}, Trade {orderid}: price={t.price} is negative (not allowed)")
    math = []
    for key, p in mgr.positions.items():
        if not p.trades:
            continue
        pq = sum(t.price * t.qty + (t.commission if t.qty > 0 else -t.commission) for t in p.trades.values())
        tq = sum(t.qty for t in p.trades.values())
        expected = pq / tq if tq != 0 else pq / 1
        if abs(p.average_price - expected) > 0.001:
            math.append(f"Position {key}: average_price calculation mismatch (got {p.average_price}, "
                        f"expected {expected})")
    warnings = violations + math
    return PyHealthReport("warnings" if warnings else "healthy", len(positions), total_trades, warnings, [],
                          violations)


def py_validate_trade(t):
    errors = []
    if t.price < 0:
        errors.append(f"Trade price {t.price} is negative (not allowed)")
    if t.commission < 0:
        errors.append(f"Trade commission {t.commission} is negative (unusual)")
    if t.qty == 0:
        errors.append("Trade quantity is zero (may indicate data error)")
    if not t.orderid:
        errors.append("Trade orderid is empty/None")
    return errors


def py_validate_position(p):
    errors = []
    calculated_qty = sum(t.qty for t in p.trades.values())
    if abs(calculated_qty - p.qty) > 0.001:
        errors.append(f"Position qty mismatch: calculated {calculated_qty}, actual {p.qty}")
    expected_is_long = p.qty > 0
    if p.is_long != expected_is_long:
        errors.append(f"Position is_long inconsistency: is_long={p.is_long}, qty={p.qty} "
                      f"(expected is_long={expected_is_long})")
    if p.average_price < 0:
        errors.append(f"Position average_price {p.average_price} is negative "
                      "(should always be positive in Position class)")
    for orderid, t in p.trades.items():
        for m in py_validate_trade(t):
            errors.append(f"Trade {orderid}: {m}")
    return errors


def py_validate_consistency(mgr):
    results = []
    for key, p in mgr.positions.items():
        errors = py_validate_position(p)
        results.append(PyValidationResult(position_key=str(key), errors=errors, is_valid=len(errors) == 0))
    return results


def py_position_table(mgr):
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


def py_portfolio_report(mgr, stopPct=0.1):
    summaries = mgr.get_portfolio_summary(stopPct=stopPct)
    if not summaries:
        return "No positions found."
    lines = ["PORTFOLIO SUMMARY", "=" * 50, ""]
    net_value = total_risk = 0.0
    for key, s in summaries.items():
        value = s.qty * abs(s.average_price)
        risk = value * abs(s.stopPct)
        if s.is_long:
            net_value += value
        else:
            net_value -= value
        total_risk += risk
        lines.extend([f"Position: {key}", f"  Direction: {'LONG' if s.is_long else 'SHORT'}",
                      f"  Quantity: {s.qty:,.1f}", f"  Avg Price: ${abs(s.average_price):,.2f}",
                      f"  Stop Price: ${s.stop:,.2f}", f"  Stop %: {s.stopPct:.1%}",
                      f"  Position Value: ${value:,.2f}", f"  Risk Amount: ${risk:,.2f}", f"  Age: {s.age}", ""])
    share = total_risk / abs(net_value) if net_value != 0 else 0
    lines.extend(["TOTALS:", f"  Net Position Value: ${net_value:,.2f}", f"  Total Risk Amount: ${total_risk:,.2f}",
                  f"  Risk as % of Total: {share:.1%}"])
    return "\n".join(lines)


# --- the portfolio ------------------------------------------------------------

class StandInMgr:
    def __init__(self, positions, summaries):
        self.positions = positions
        self._summaries = summaries

    def get_portfolio_summary(self, stopPct=0.1):
        return self._summaries


def build():
    rng = random.Random(7)
    native, plain, summaries = {}, {}, {}
    for i in range(POSITIONS):
        key = f"K{i:05d}"
        rows = [(i * TRADES + n, round(rng.uniform(1, 500), 2), rng.choice([1, 1, 1, -1]) * rng.randint(1, 300),
                 round(rng.uniform(0, 5), 2), T0 + dt.timedelta(minutes=rng.randint(0, 10_000))) for n in range(TRADES)]
        native[key] = om.Position(key, {r[0]: om.Trade(*r) for r in rows})
        plain[key] = PyPosition(key, {r[0]: PyTrade(*r) for r in rows})
        p = plain[key]
        price = p.average_price if p.is_long else -p.average_price
        summaries[key] = SimpleNamespace(qty=abs(p.qty), average_price=price, stop=abs(price) * 0.9,
                                         stopPct=0.1, is_long=price > 0, age=dt.timedelta(hours=i % 50, seconds=i))
    return StandInMgr(native, summaries), StandInMgr(plain, summaries)


def median_seconds(fn):
    times = []
    for _ in range(RUNS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    native_mgr, plain_mgr = build()
    cases = [
        ("health_check()", lambda: om.SystemDiagnostics(native_mgr).health_check(),
         lambda: py_health_check(plain_mgr)),
        ("validate_consistency()", lambda: om.DataValidator.validate_system_consistency(native_mgr),
         lambda: py_validate_consistency(plain_mgr)),
        ("position_table()", lambda: om.SystemReporter(native_mgr).position_table(),
         lambda: py_position_table(plain_mgr)),
        ("portfolio_report()", lambda: om.SystemReporter(native_mgr).position_summary(),
         lambda: py_portfolio_report(plain_mgr)),
    ]
    # Both sides must produce the same text before they are timed.
    assert cases[2][1]() == cases[2][2](), "position tables differ"
    assert cases[3][1]() == cases[3][2](), "portfolio reports differ"
    assert om.SystemDiagnostics(native_mgr).health_check().warnings == py_health_check(plain_mgr).warnings

    print(f"{POSITIONS:,} positions x {TRADES} trades, median of {RUNS} runs (Python {sys.version.split()[0]})")
    print(f"{'operation':<24} {'native s':>10} {'python s':>10} {'ratio':>7}")
    for name, native, plain in cases:
        n, p = median_seconds(native), median_seconds(plain)
        print(f"{name:<24} {n:>10.4f} {p:>10.4f} {p / n:>6.1f}x")


if __name__ == "__main__":
    main()
