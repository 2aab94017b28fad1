"""PositionGroup.average_price and summary(0.1) on a four-leg group with 100
trades per leg, beside the same group written as plain Python dataclasses.
Prints medians of several runs and the speed-up."""
import datetime as dt
import os
import statistics
import sys
import timeit
from dataclasses import dataclass, field

from marlovent import ordermgr as om

# The plain-Python model and the group arithmetic shared with the tests.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "groups")]
from _plain import Position as PyPosition, PositionSummary as PySummary, Trade as PyTrade  # noqa: E402
from groups_reference import ref_average_price  # noqa: E402

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 1, 14, 30, tzinfo=UTC)
LEGS = [("C4500", 1), ("C4550", -2), ("C4600", 1), ("P4400", -1)]
TRADES_PER_LEG = 100


# --- plain Python equivalent --------------------------------------------------------

@dataclass(slots=True)
class PyGroup:
    positions: set = field(default_factory=set)
    key: str = None

    @property
    def qty(self):
        return min(abs(p.qty) for p in self.positions)

    @property
    def started(self):
        return min(p.started for p in self.positions)

    @property
    def total_commission(self):
        return sum(p.total_commission for p in self.positions)

    @property
    def average_price(self):
        return ref_average_price(self.positions, self.qty)

    def summary(self, stopPct=0.1, priceFetcher=None):
        avgprice = self.average_price
        is_long = avgprice > 0
        marketPrice = None
        if priceFetcher:
            prices = [priceFetcher(p.key) * (1 if p.is_long else -1) for p in self.positions]
            marketPrice = abs(sum(prices))
            if marketPrice != marketPrice:
                marketPrice = None
        if is_long:
            stop = max(avgprice, marketPrice if marketPrice else float("-inf")) * (1 - stopPct)
        else:
            stop = min(abs(avgprice), marketPrice if marketPrice else float("inf")) * (1 + stopPct)
        return PySummary(qty=self.qty, average_price=avgprice, stop=stop, total_commission=self.total_commission,
                         started=self.started, marketPrice=marketPrice)


# --- fixtures -------------------------------------------------------------------

def fills(sign):
    """100 fills per leg: mostly in the leg's direction, some reductions, one
    minute apart with a few out of order."""
    out = []
    for i in range(TRADES_PER_LEG):
        q = sign * (3 if i % 5 else -1) * 1.0
        minute = i if i % 17 else i - 3
        out.append((f"{i}", 10.0 + (i % 7) * 0.25, q, 0.65, T0 + dt.timedelta(minutes=minute)))
    return out


def native_group():
    g = om.PositionGroup()
    for key, sign in LEGS:
        p = om.Position(key)
        for oid, price, q, c, ts in fills(sign):
            p.add_trade(om.Trade(f"{key}-{oid}", price, q, c, ts))
        g.add(p)
    return g


def python_group():
    g = PyGroup()
    for key, sign in LEGS:
        p = PyPosition(key)
        for oid, price, q, c, ts in fills(sign):
            p.trades[f"{key}-{oid}"] = PyTrade(f"{key}-{oid}", price, q, c, ts)
        g.positions.add(p)
    return g


def compare(name, native, plain, number, rounds=9):
    """Times both in alternation, so that load on the machine hits both
    alike; prints the median times and the median of the per-round ratios."""
    n_times, p_times, ratios = [], [], []
    for _ in range(rounds):
        n = timeit.timeit(native, number=number) / number
        p = timeit.timeit(plain, number=number) / number
        n_times.append(n)
        p_times.append(p)
        ratios.append(p / n)
    print(f"{name:<34} {statistics.median(n_times) * 1e6:10.2f} us {statistics.median(p_times) * 1e6:10.2f} us"
          f" {statistics.median(ratios):8.1f}x")


def main():
    ng, pg = native_group(), python_group()
    assert abs(ng.average_price - pg.average_price) < 1e-9, (ng.average_price, pg.average_price)
    assert ng.summary(0.1).stop == pg.summary(0.1).stop
    print(f"four-leg group, {TRADES_PER_LEG} trades per leg (medians of 9 alternating rounds)")
    print(f"{'operation':<34} {'native':>13} {'plain Python':>13} {'ratio':>9}")
    compare("PositionGroup.average_price", lambda: ng.average_price, lambda: pg.average_price, 100)
    compare("PositionGroup.summary(0.1)", lambda: ng.summary(0.1), lambda: pg.summary(0.1), 100)
    prices = {key: 10.5 for key, _ in LEGS}
    compare("summary(0.1, priceFetcher)", lambda: ng.summary(0.1, prices.get), lambda: pg.summary(0.1, prices.get),
            100)
    members = list(ng.positions)
    py_members = list(pg.positions)
    compare("  member reads inside summary", lambda: [(p.qty, p.qty, p.total_commission, p.started) for p in members],
            lambda: [(p.qty, p.qty, p.total_commission, p.started) for p in py_members], 100)
    t0 = T0 - dt.timedelta(hours=1)
    compare("PositionSummary(...)", lambda: om.PositionSummary(10, 100.0, 90.0, 0.0, t0, 105.0),
            lambda: PySummary(10, 100.0, 90.0, 0.0, started=t0, marketPrice=105.0), 20000)


if __name__ == "__main__":
    main()
