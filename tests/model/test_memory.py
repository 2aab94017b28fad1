import gc
import sys
import weakref

from support import assert_flat_memory, ts


class Marker:
    pass


def test_cycle_through_trade_and_position_is_collected(om):
    marker = Marker()
    alive = weakref.ref(marker)
    p = om.Position(marker)
    t = om.Trade(p, 1.0, 1, 0.0, ts())  # the order id refers back to its own position
    p.add_trade(t)
    assert gc.is_tracked(p) and gc.is_tracked(t)
    del p, t, marker
    gc.collect()
    assert alive() is None


def test_field_reference_counts_are_balanced(om):
    price, qty, stamp = 123.456, 10**30, ts()
    before = [sys.getrefcount(o) for o in (price, qty, stamp)]
    t = om.Trade("o", price, qty, 0.5, stamp)
    p = om.Position("k")
    p.add_trade(t)
    for _ in range(100):
        repr(t), t == t, t.average_price, p.qty, p.average_price, p.started, p.total_commission
    del t, p
    gc.collect()
    assert [sys.getrefcount(o) for o in (price, qty, stamp)] == before


def _churn(om, n):
    stamp = ts()
    p = om.Position("K")
    for i in range(n):
        t = om.Trade(i % 50, 100.0 + i, 1 if i % 7 else -1, 0.1, stamp)
        om.Trade(i)  # default timestamp
        p.add_trade(t)
        p.qty, p.average_price, p.total_commission, p.is_long, t.average_price
        if i % 97 == 0:
            p.add_trade(om.Trade(-1, 1.0, -p.qty, 0.0, stamp))  # flat reset


def test_long_loops_do_not_leak(om):
    assert_flat_memory(lambda n: _churn(om, n), 100_000, warmup=2000)
