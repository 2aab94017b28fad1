"""Books whose cost does not grow with their size: figure reads, Position.add_trade
and OrderMgr.add_trade at 10 up to 1,000,000 trades on one position, beside the
plain-Python formulas (bench/_plain.py: every figure re-summed on every read).
Ratio = plain time / native time."""

import datetime
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _plain  # noqa: E402
from bench_intake import PlainMgr  # noqa: E402

import marlovent.ordermgr as om  # noqa: E402

STAMP = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc)
SIZES = (10, 1_000, 100_000, 1_000_000)


def trade(mod, i):
    # Never flat: every quantity is positive.
    return mod.Trade(i, 100.0 + (i % 97) * 0.25, 1.0 + (i % 5), 0.5, STAMP + datetime.timedelta(seconds=i % 86_400))


def grown(mod, n):
    """A position holding n trades (what n add_trade calls leave behind)."""
    return mod.Position("K", {i: trade(mod, i) for i in range(n)})


def per_call(fn, calls, repeat=5, best=False):
    """Median (or best) seconds per call over `repeat` runs of `calls` calls."""
    runs = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        runs.append((time.perf_counter() - t0) / calls)
    return min(runs) if best else statistics.median(runs)


def fmt(s):
    return f"{s * 1e9:,.0f} ns" if s < 1e-6 else f"{s * 1e6:,.2f} us" if s < 1e-3 else f"{s * 1e3:,.2f} ms"


def row(label, native, plain=None):
    tail = f"{fmt(plain):>12} {plain / native:>10,.0f}x" if plain else ""
    print(f"  {label:<48} {fmt(native):>12} {tail}")


def reads():
    print("Figure reads at 10,000 trades (native, plain, ratio)")
    native, plain = grown(om, 10_000), grown(_plain, 10_000)
    for prop in ("qty", "average_price", "total_commission", "started"):
        assert getattr(native, prop) == getattr(plain, prop)
        n = per_call(lambda: getattr(native, prop), 200_000)
        p = per_call(lambda: getattr(plain, prop), 20)
        row(f"Position.{prop}", n, p)


def position_add_trade():
    print("\nPosition.add_trade on one growing book (total time)")
    def fill(mod, n):
        trades = [trade(mod, i) for i in range(n)]
        def go():
            p = mod.Position("K")
            add = p.add_trade
            for t in trades:
                add(t)
        return go
    t20 = per_call(fill(om, 20_000), 1, repeat=7)
    p20 = per_call(fill(_plain, 20_000), 1, repeat=1)
    row("add_trade x 20,000", t20, p20)
    t200 = per_call(fill(om, 200_000), 1, repeat=5)
    row("add_trade x 200,000", t200)
    b20, b200 = per_call(fill(om, 20_000), 1, repeat=7, best=True), per_call(fill(om, 200_000), 1, repeat=7, best=True)
    print(f"  200,000 fills take {t200 / t20:.1f}x the time of 20,000 (median; best of 7: {b200 / b20:.1f}x; "
          f"linear: 10x)")

    print("\nPosition.add_trade per fill, by trades already in the book")
    for n in SIZES:
        p = grown(om, n)
        extra = iter([trade(om, i) for i in range(n, n + 20_000)])
        t = per_call(lambda: p.add_trade(next(extra)), 2_000)
        plain_cost = None
        if n <= 100_000:
            q = grown(_plain, n)
            more = iter([trade(_plain, i) for i in range(n, n + 200)])
            plain_cost = per_call(lambda: q.add_trade(next(more)), 5 if n > 1000 else 50, repeat=3)
        row(f"{n:>9,} trades", t, plain_cost)


def intake():
    print("\nOrderMgr.add_trade inside batch() per fill, by trades already in the position")
    print("  (plain: the same intake over sqlite3 + pickle, bench_intake.PlainMgr)")
    base = None
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["QUENTARIS_DATA_DIR"] = tmp
        for n in SIZES:
            mgr = om.OrderMgr(f"books {n}")
            with mgr.positions.batch():
                for i in range(n):
                    mgr.add_trade("K", trade(om, i))
                mgr.add_trade("K", trade(om, n))  # the write-back after the first is incremental
                extra = iter([trade(om, i) for i in range(n + 1, n + 20_000)])
                t = per_call(lambda: mgr.add_trade("K", next(extra)), 1_000)
            plain_cost = None
            if n <= 100_000:
                plain = PlainMgr(os.path.join(tmp, f"plain-{n}.sqlite"))
                plain.begin_batch()
                plain.cache["K"] = grown(_plain, n)
                more = iter([trade(_plain, i) for i in range(n, n + 200)])
                plain_cost = per_call(lambda: plain.add_trade("K", next(more)), 3 if n > 1000 else 50, repeat=3)
                plain.end_batch()
            base = base or t
            row(f"{n:>9,} trades ({t / base:.1f}x the cost at 10)", t, plain_cost)
            mgr.positions.clear()
            del mgr


def main():
    print(f"Python {sys.version.split()[0]}")
    reads()
    position_add_trade()
    intake()


if __name__ == "__main__":
    main()
