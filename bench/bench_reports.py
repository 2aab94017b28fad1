"""Diagnostics and reports on a portfolio of 10,000 positions with 5 trades each.

Each native operation is timed beside the same operation written in plain
idiomatic Python over a plain-Python model of the same portfolio (dataclass
trades, positions whose properties use sum and a loop), the two timed in
alternation. Medians of several runs; ratio = the median of the per-run
ratios (Python time / native time).

The order manager is a stand-in holding a plain dict of positions; the
portfolio report reads summaries prepared once, so its figure is the report
itself, not the making of the summaries. It is timed twice: over the records
each side's get_portfolio_summary() returns (PositionSummary records for the
native report, the plain model's dataclass summaries for the plain one, with
the same figures and ages), and over duck-typed summaries (one
SimpleNamespace per position, the same objects for both sides), which the
native report reads through generic attribute access.
"""
import datetime as dt
import random
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace

from marlovent import ordermgr as om

# The plain-Python statements of the operations, shared with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from diagnostics import plain_diagnostics as plain  # noqa: E402
from reports import plain_reports  # noqa: E402

POSITIONS, TRADES, RUNS = 10_000, 5, 9
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)


# --- the plain-Python model (shared with the other benchmarks) ---------------

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _plain import Position as PyPosition, PositionSummary as PySummary, Trade as PyTrade  # noqa: E402


# --- the portfolio ------------------------------------------------------------

class StandInMgr:
    def __init__(self, positions, summaries):
        self.positions = positions
        self._summaries = summaries

    def with_summaries(self, summaries):
        return StandInMgr(self.positions, summaries)

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


def records(duck):
    """Each side's own summary records with the figures of the duck-typed
    ones (the plain dataclass takes the native record's age, so that both
    reports say the same)."""
    native, plain = {}, {}
    for key, s in duck.items():
        started = T0 - s.age
        r = om.PositionSummary(s.qty, s.average_price, s.stop, 0.0, started)
        p = PySummary(s.qty, s.average_price, s.stop, 0.0, started)
        p.age = r.age
        native[key], plain[key] = r, p
    return native, plain


def seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def alternating(native, python):
    """Median times of both and median per-run ratio, the two timed in
    alternation so that load on the machine hits both alike."""
    runs = [(seconds(native), seconds(python)) for _ in range(RUNS)]
    return (statistics.median(n for n, _ in runs), statistics.median(p for _, p in runs),
            statistics.median(p / n for n, p in runs))


def main():
    native_mgr, plain_mgr = build()
    native_records, plain_records = records(native_mgr._summaries)
    native_rec_mgr, plain_rec_mgr = native_mgr.with_summaries(native_records), plain_mgr.with_summaries(plain_records)
    cases = [
        ("health_check()", lambda: om.SystemDiagnostics(native_mgr).health_check(),
         lambda: plain.health_check(plain_mgr)),
        ("validate_consistency()", lambda: om.DataValidator.validate_system_consistency(native_mgr),
         lambda: plain.validate_system(plain_mgr)),
        ("position_table()", lambda: om.SystemReporter(native_mgr).position_table(),
         lambda: plain_reports.position_table(plain_mgr)),
        ("portfolio_report()", lambda: om.SystemReporter(native_rec_mgr).position_summary(),
         lambda: plain_reports.portfolio_report(plain_rec_mgr)),
        ("  duck-typed summaries", lambda: om.SystemReporter(native_mgr).position_summary(),
         lambda: plain_reports.portfolio_report(plain_mgr)),
    ]
    # Both sides must produce the same text before they are timed.
    assert cases[2][1]() == cases[2][2](), "position tables differ"
    assert cases[3][1]() == cases[3][2](), "portfolio reports differ"
    assert cases[4][1]() == cases[4][2](), "portfolio reports differ"
    assert om.SystemDiagnostics(native_mgr).health_check().warnings == plain.health_check(plain_mgr).warnings

    print(f"{POSITIONS:,} positions x {TRADES} trades, medians of {RUNS} alternating runs (Python {sys.version.split()[0]})")
    print(f"{'operation':<24} {'native s':>10} {'python s':>10} {'ratio':>7}")
    for name, native, python in cases:
        n, p, ratio = alternating(native, python)
        print(f"{name:<24} {n:>10.4f} {p:>10.4f} {ratio:>6.1f}x")


if __name__ == "__main__":
    main()
