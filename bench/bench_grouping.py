"""OrderMgr.position_groups and get_portfolio_summary on large portfolios."""

import datetime
import os
import random
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))

import _plain  # noqa: E402
from _timing import compare, fmt, header, median_seconds  # noqa: E402

import marlovent.ordermgr as om  # noqa: E402

STAMP = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc)


class MemoryStore(dict):
    """The grouping reads only; an in-memory mapping isolates it from disk costs."""

    def __init__(self, *, cacheName, cachePrefix):
        super().__init__()


def portfolio(mod, store, n):
    """Mostly single instruments; a tenth of the keys in two- to four-leg spreads."""
    rng = random.Random(n)
    oid = 0
    made = 0
    while made < n:
        legs = rng.randint(2, 4) if rng.random() < 0.1 else 1
        legs = min(legs, n - made)
        oid += 1
        shared = oid
        for leg in range(legs):
            key = f"K{made}"
            p = mod.Position(key)
            for j in range(3):
                oid += 1
                this = shared if j == 0 else oid
                p.trades[this] = mod.Trade(this, 1.0 + leg, 1 if leg % 2 == 0 else -1, 0.0, STAMP)
            store[key] = p
            made += 1
    return store


def plain_pairwise(store, orderid=None):
    mapping = {k: p.orderids for k, p in store.items()}
    p2g = {}
    for k in mapping:
        pos = store[k]
        if orderid and orderid not in pos.orderids:
            continue
        group = p2g.get(k) or {pos}
        p2g[k] = group
        for nk in mapping:
            if k == nk:
                continue
            npos = store[nk]
            if orderid and orderid not in npos.orderids:
                continue
            if pos.orderids & npos.orderids:
                group.add(npos)
                p2g[nk] = group
    return dict(p2g)


def main():
    os.environ.setdefault("QUENTARIS_DATA_DIR", tempfile.mkdtemp())
    om.DualCache = MemoryStore
    header("position_groups() (growth per tenfold size)")
    previous = None
    for n in (1_000, 10_000, 100_000):
        mgr = om.OrderMgr(f"bench {n}")
        portfolio(om, mgr.positions, n)
        t = median_seconds(mgr.position_groups, repeat=3)
        growth = f"x{t / previous:.1f}" if previous else ""
        print(f"{'position_groups(), ' + format(n, ',') + ' positions':<58} {fmt(t):>10} {growth:>10}")
        previous = t
        if n == 10_000:
            plain_store = portfolio(_plain, {}, n)
            t0 = time.perf_counter()
            plain_pairwise(plain_store)
            tp = time.perf_counter() - t0
            print(f"{'  plain-Python pairwise pass, 10,000 positions':<58} {fmt(tp):>10} {'':>10} {tp / t:>8.1f}x")

    header("get_portfolio_summary(), 10,000 positions")
    mgr = om.OrderMgr("bench summary")
    portfolio(om, mgr.positions, 10_000)
    plain_store = portfolio(_plain, {}, 10_000)
    compare("get_portfolio_summary()", mgr.get_portfolio_summary,
            lambda: _plain.portfolio_summary(plain_store))

    # The combined report: health check, position table, portfolio report and
    # spread analysis (whose grouping is the pairwise pass above in plain Python).
    header("debug_summary(), 10,000 positions")
    t = median_seconds(mgr.debug_summary, repeat=3)
    print(f"{'debug_summary()':<58} {fmt(t):>10}   (plain Python needs the pairwise grouping alone: see above)")


if __name__ == "__main__":
    main()
