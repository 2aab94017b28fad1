"""The ledger's costs, beside OrderMgr.add_trade alone in the same run.

    python bench/bench_ledger.py [--fills N] [--instruments K] [--profile]

1. Recording: N fills over K instruments inside one batch(), through
   Ledger.record (Fill built, checked, stored, its trade handed to
   add_trade, the P&L folded in) and through OrderMgr.add_trade alone (Trade
   built and added), alternating, median of three runs each; the ratio.
2. pnl over the N fills and K instruments in a fresh process reading the
   store: the open, then pnl by each method.
3. A rebuild of one instrument (a fill arriving older than its newest one):
   its cost against the instrument's own number of fills, and against the
   size of the rest of the portfolio (it must not grow with it).
4. An older day recorded after a newer one (a back-fill): one record() at a
   time, each rebuilding its instrument, against the same inside
   Ledger.bulk(), which rebuilds each instrument once.
5. A file through ordermgr import's reading and recording: whole quantities
   (ints) against decimal ones (kept exactly, as fractions), over 50
   instruments and over one (a position's running quantity is kept for
   fractions as for ints, so one instrument's fills cost no more each).
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import marlovent.ordermgr as om
from marlovent.ledger import Fill, Ledger

T0 = dt.datetime(2024, 3, 5, 14, 30, tzinfo=dt.timezone.utc)


def stream(n: int, instruments: int, seed: int = 7) -> list[tuple]:
    """Fills in time order: (fill_id, key, price, qty, commission, timestamp, order_id);
    every tenth order fills twice (partial fills), positions open, scale and close."""
    rnd = random.Random(seed)
    out = []
    for i in range(n):
        key = f"K{rnd.randrange(instruments)}"
        qty = rnd.choice((1, 2, 5, 10, -1, -2, -5, -10))
        price = round(100 + rnd.uniform(-5, 5), 2)
        order = f"O{i // 2}" if i % 10 < 2 else f"O{i}"
        out.append((f"E{i}", key, price, qty, 0.65, T0 + dt.timedelta(milliseconds=i), order))
    return out


def fresh(name: str) -> om.OrderMgr:
    mgr = om.OrderMgr(name)
    mgr.positions.clear()
    return mgr


def run_ledger(fills: list[tuple], name: str) -> tuple[float, float]:
    """(wall, CPU) seconds."""
    mgr = fresh(name)
    ledger = Ledger(mgr)
    ledger.clear()
    t0, c0 = time.perf_counter(), time.process_time()
    with mgr.positions.batch():
        for fid, key, price, qty, commission, ts, order in fills:
            ledger.record(Fill(fid, key, price, qty, commission, ts, order))
    elapsed = time.perf_counter() - t0, time.process_time() - c0
    mgr.positions.close()
    return elapsed


def run_add_trade(fills: list[tuple], name: str) -> tuple[float, float]:
    mgr = fresh(name)
    t0, c0 = time.perf_counter(), time.process_time()
    with mgr.positions.batch():
        for fid, key, price, qty, commission, ts, _order in fills:
            mgr.add_trade(key, om.Trade(fid, price, qty, commission, ts))
    elapsed = time.perf_counter() - t0, time.process_time() - c0
    mgr.positions.close()
    return elapsed


PNL_CHILD = """
import sys, time
t0 = time.perf_counter()
import marlovent.ordermgr as om
from marlovent.ledger import Ledger
t1 = time.perf_counter()
mgr = om.OrderMgr(sys.argv[1])
ledger = Ledger(mgr)
t2 = time.perf_counter()
a = ledger.pnl(method="average")
t3 = time.perf_counter()
f = ledger.pnl(method="fifo")
t4 = time.perf_counter()
print(t2 - t1, t3 - t2, t4 - t3, len(a.rows), sum(r.fills for r in a.rows))
"""


def pnl_in_fresh_process(name: str) -> tuple[float, float, float, int, int]:
    r = subprocess.run([sys.executable, "-c", PNL_CHILD, name], capture_output=True, text=True, check=True)
    o, a, f, rows, fills = r.stdout.split()
    return float(o), float(a), float(f), int(rows), int(fills)


def rebuild_cost(own: int, others: int, name: str, repeat: int = 5) -> float:
    """Seconds for one late fill on an instrument of ``own`` fills in a
    portfolio with ``others`` fills of 100 other instruments (median)."""
    mgr = fresh(name)
    ledger = Ledger(mgr)
    ledger.clear()
    with mgr.positions.batch():
        for i in range(others):
            ledger.record(Fill(f"X{i}", f"O{i % 100}", 10.0, 1, 0.5, T0 + dt.timedelta(seconds=i)))
        for i in range(own):
            ledger.record(Fill(f"R{i}", "R", 10.0 + i % 3, 1 if i % 4 else -1, 0.5, T0 + dt.timedelta(seconds=10 + i)))
    times = []
    for j in range(repeat):
        late = Fill(f"L{j}", "R", 10.0, 1, 0.5, T0 + dt.timedelta(seconds=10.5 + j))
        t0 = time.perf_counter()
        ledger.record(late)
        times.append(time.perf_counter() - t0)
    mgr.positions.destroy()
    return statistics.median(times)


def older_day(per_day: int, instruments: int, bulk: bool, name: str) -> float:
    """Seconds to record a day of ``per_day`` fills over ``instruments``
    instruments, one batch, after the next day's fills were recorded."""
    mgr = fresh(name)
    ledger = Ledger(mgr)
    ledger.clear()

    def day(d: int) -> list[Fill]:
        rnd = random.Random(d)
        start = T0 + dt.timedelta(days=d)
        return [
            Fill(f"D{d}-{i}", f"K{rnd.randrange(instruments)}", 100.0 + rnd.random(), rnd.choice((1, 2, 3, -1, -2)), 0.5, start + dt.timedelta(seconds=6 * i))
            for i in range(per_day)
        ]

    with mgr.positions.batch():
        for fill in day(1):
            ledger.record(fill)
    older = day(0)
    t0 = time.perf_counter()
    with mgr.positions.batch(), (ledger.bulk() if bulk else contextlib.nullcontext()):
        for fill in older:
            ledger.record(fill)
    elapsed = time.perf_counter() - t0
    mgr.positions.destroy()
    return elapsed


def import_file(n: int, instruments: int, decimals: bool, name: str) -> tuple[float, float]:
    """Seconds to read and to record a CSV of ``n`` fills (an import)."""
    import io

    from marlovent._cli.fills import read_fills
    from marlovent._cli.intake import import_fills
    from marlovent._cli.portfolio import open_portfolio

    rnd = random.Random(3)
    rows = "".join(
        f"K{rnd.randrange(instruments)},{i},{100 + rnd.random():.2f},{rnd.choice((1, 2, 3, -1, -2))}{'.25' if decimals else ''},"
        f"0.5,{(T0 + dt.timedelta(seconds=i)).isoformat()}\n"
        for i in range(n)
    )
    portfolio = open_portfolio(name, os.environ["QUENTARIS_DATA_DIR"])
    portfolio.ledger.clear()
    t0 = time.perf_counter()
    parsed, bad = read_fills(io.StringIO("key,orderid,price,qty,commission,timestamp\n" + rows, newline=""), "f.csv", "csv")
    t1 = time.perf_counter()
    import_fills(portfolio, "f.csv", parsed, bad, False, lambda k: None)
    t2 = time.perf_counter()
    portfolio.mgr.positions.destroy()
    return t1 - t0, t2 - t1


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--fills", type=int, default=100_000)
    p.add_argument("--instruments", type=int, default=1_000)
    p.add_argument("--profile", action="store_true", help="cProfile the ledger's recording instead")
    args = p.parse_args()
    os.environ.setdefault("QUENTARIS_DATA_DIR", tempfile.mkdtemp(prefix="bench-ledger-"))
    fills = stream(args.fills, args.instruments)
    if args.profile:
        import cProfile
        import pstats

        cProfile.runctx("run_ledger(fills, 'profile')", globals(), {"fills": fills})
        return 0
    print(f"Recording {args.fills:,} fills over {args.instruments:,} instruments inside one batch()")
    ledger_runs, trade_runs = [], []
    for _ in range(3):
        trade_runs.append(run_add_trade(fills, "trades"))
        ledger_runs.append(run_ledger(fills, "ledger"))
    n = args.fills
    for i, clock in ((0, "wall"), (1, "CPU")):
        t_trade = statistics.median(r[i] for r in trade_runs)
        t_ledger = statistics.median(r[i] for r in ledger_runs)
        trades = ", ".join(f"{r[i]:.2f}" for r in trade_runs)
        ledgers = ", ".join(f"{r[i]:.2f}" for r in ledger_runs)
        print(f"  {clock} time (median of 3; runs in seconds)")
        print(f"    OrderMgr.add_trade alone   {t_trade / n * 1e6:7.2f} us/fill  ({trades})")
        print(f"    Ledger.record              {t_ledger / n * 1e6:7.2f} us/fill  ({ledgers})")
        print(f"    ratio ledger / add_trade   {t_ledger / t_trade:7.2f}x  (target: at most 2x)")

    opened, average, fifo, rows, counted = pnl_in_fresh_process("ledger")
    print(f"\npnl in a fresh process over {counted:,} fills and {rows:,} instruments")
    print(f"  open OrderMgr + Ledger     {opened * 1e3:8.1f} ms")
    print(f"  pnl(method='average')      {average * 1e3:8.1f} ms  (target: under 500 ms)")
    print(f"  pnl(method='fifo')         {fifo * 1e3:8.1f} ms")

    print("\nOne late fill rebuilding its instrument (median of 5)")
    print(f"  {'its fills':>10} {'other fills':>12} {'rebuild':>10}")
    base = None
    for own, others in ((100, 10_000), (1_000, 10_000), (10_000, 10_000), (1_000, 0), (1_000, 100_000)):
        t = rebuild_cost(own, others, f"rebuild {own} {others}")
        if own == 1_000 and others == 0:
            base = t
        print(f"  {own:>10,} {others:>12,} {t * 1e3:8.2f} ms")
    if base:
        print("  (cost follows the instrument's own fills; the rest of the portfolio does not add to it)")

    print("\nAn older day of fills recorded after the newer day, in one batch")
    print(f"  {'fills a day':>11} {'instruments':>12} {'one by one':>11} {'in bulk()':>10} {'ratio':>7}")
    for per_day, instruments in ((500, 5), (1_500, 5), (1_500, 50)):
        one = older_day(per_day, instruments, False, f"older {per_day} {instruments}")
        bulk = older_day(per_day, instruments, True, f"older bulk {per_day} {instruments}")
        print(f"  {per_day:>11,} {instruments:>12,} {one:9.2f} s {bulk:8.2f} s {one / bulk:6.0f}x")

    for instruments in (50, 1):
        print(f"\nordermgr import of 20,000 fills over {instruments} instrument{'s' * (instruments > 1)} (read / recorded)")
        for label, decimals in (("whole quantities (ints)", False), ("decimal quantities (fractions)", True)):
            read, recorded = import_file(20_000, instruments, decimals, f"import {decimals} {instruments}")
            print(f"  {label:<32} {read:6.2f} s / {recorded:6.2f} s  ({20_000 / recorded:8,.0f} fills/s recorded)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
