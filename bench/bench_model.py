"""Trade and Position: native records against plain-Python dataclasses."""

import datetime
import gc
import random
import sys

sys.path.insert(0, __import__("os").path.dirname(__file__))

import _plain  # noqa: E402
from _timing import compare, fmt, header, median_seconds  # noqa: E402

import marlovent.ordermgr as om  # noqa: E402

UTC = datetime.timezone.utc
STAMP = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)


def book(mod, n):
    rng = random.Random(n)
    p = mod.Position("K")
    for i in range(n):
        p.trades[i] = mod.Trade(i, rng.uniform(1, 200), rng.uniform(1, 100), rng.uniform(0, 2),
                                STAMP + datetime.timedelta(seconds=rng.randint(0, 10**6)))
    return p


def fills(mod, n):
    """Blocks of up to 50 fills on one instrument, a few repeated order ids
    (ignored) among them, each block ended by the fill that flattens it."""
    rng = random.Random(7)
    out = []
    i = 0
    while len(out) < n:
        net = 0
        for _ in range(min(49, n - len(out) - 1)):
            qty = rng.choice([1, 2, 5, -1, -2])
            if net + qty == 0:
                qty = -qty  # never flat inside a block
            out.append(mod.Trade(i, 100.0 + i % 7, qty, 0.5, STAMP))
            net += qty
            i += 1
            if rng.random() < 0.05:
                out.append(mod.Trade(i - 1, 100.0, 3, 0.5, STAMP))  # repeated order id: ignored
        out.append(mod.Trade(i, 100.0, -net, 0.5, STAMP))  # flat reset
        i += 1
    return out[:n]


def gc_pause(positions=1000, per_position=1000):
    """The pause of a full collection while a portfolio is alive, each
    implementation measured in its own run with only its own trades alive."""
    times = {}
    for name, mod in (("native", om), ("python", _plain)):
        book = [mod.Position(k, {i: mod.Trade(i, 100.0, 10, 0.5, STAMP) for i in range(per_position)})
                for k in range(positions)]
        gc.collect()
        times[name] = median_seconds(gc.collect, repeat=5)
        del book
        gc.collect()
    label = f"gc.collect(), {positions * per_position:,} trades"
    print(f"{label:<58} {fmt(times['native']):>10} {fmt(times['python']):>10} "
          f"{times['python'] / times['native']:>8.1f}x")


def main():
    header("Trade construction")
    compare("Trade(...) default timestamp", lambda: om.Trade(1, 100.0, 10, 0.5),
            lambda: _plain.Trade(1, 100.0, 10, 0.5))
    compare("Trade(...) explicit timestamp", lambda: om.Trade(1, 100.0, 10, 0.5, STAMP),
            lambda: _plain.Trade(1, 100.0, 10, 0.5, STAMP))
    compare("Trade(...) keywords", lambda: om.Trade(orderid=1, price=100.0, qty=10, timestamp=STAMP),
            lambda: _plain.Trade(orderid=1, price=100.0, qty=10, timestamp=STAMP))

    header("Trade construction, 100,000 kept in a list (the collector runs as they pile up)")
    for label, args in (("default timestamp", ()), ("explicit timestamp", (STAMP,))):
        compare(f"[Trade(...) x 100,000], {label}",
                lambda: [om.Trade(i, 100.0, 10, 0.5, *args) for i in range(100_000)],
                lambda: [_plain.Trade(i, 100.0, 10, 0.5, *args) for i in range(100_000)], repeat=5)

    header("gc.collect() with 1,000,000 live trades in 1,000 positions")
    gc_pause()

    for n in (10, 1000):
        header(f"Position properties, {n} float trades")
        native, plain = book(om, n), book(_plain, n)
        assert native.qty == plain.qty and native.average_price == plain.average_price
        for prop in ("qty", "average_price", "total_commission", "started"):
            compare(f"Position.{prop}", lambda: getattr(native, prop), lambda: getattr(plain, prop))

    header("Position.add_trade, 100,000 fills (duplicates and flat resets mixed in)")
    native_fills, plain_fills = fills(om, 100_000), fills(_plain, 100_000)

    def run(mod, trades):
        def go():
            p = mod.Position("K")
            add = p.add_trade
            for t in trades:
                add(t)
        return go

    compare("add_trade x 100,000", run(om, native_fills), run(_plain, plain_fills), repeat=3)


if __name__ == "__main__":
    main()
