"""Group figures on every kind of number and of order id give exactly what
their plain-Python formulas give (value, type, repr, exception, operator
calls, and the iteration order of the sets they return)."""
import datetime as dt
from decimal import Decimal

from hypothesis import given, strategies as st

from marlovent import ordermgr as om
from groups_reference import (ref_average_price, ref_generate_order_desc, ref_is_long, ref_orderids, ref_qty,
                              ref_start, ref_stop, ref_summary_args, ref_total_commission)
from numeric_kinds import assert_same_outcome, contexts, kind_of_number, number

T0 = dt.datetime(2024, 3, 1, 14, 30, tzinfo=dt.timezone.utc)


def member(key, fills, ids):
    p = om.Position(key)
    for j, (price, qty, commission) in enumerate(fills):
        t = om.Trade(0, 0.0, 0, 0.0, T0 + dt.timedelta(minutes=(j * 7) % 5))
        t.orderid, t.price, t.qty, t.commission = next(ids), price, qty, commission
        p.trades[t.orderid] = t  # no flat reset: any history can be expressed
    return p


legs = kind_of_number(exclude=("junk",)).flatmap(
    lambda n: st.lists(st.lists(st.tuples(n, n, n), min_size=1, max_size=4), min_size=1, max_size=3))
orderids = st.one_of(st.integers(-50, 50), st.text(max_size=2), st.integers(2**62, 2**63))


@given(legs, contexts)
def test_figures(leg_fills, ctx):
    ids = iter(range(1000))
    g = om.PositionGroup({member(f"K{i}", fills, ids) for i, fills in enumerate(leg_fills)})
    members = g.positions
    assert_same_outcome(lambda: g.qty, lambda: ref_qty(members), ctx)
    assert_same_outcome(lambda: g.average_price, lambda: ref_average_price(members, ref_qty(members)), ctx)
    assert_same_outcome(lambda: g.is_long, lambda: ref_is_long(members), ctx)
    assert_same_outcome(lambda: g.total_commission, lambda: ref_total_commission(members), ctx)


@given(st.lists(st.lists(orderids, min_size=1, max_size=12, unique=True), min_size=1, max_size=5))
def test_orderids_iterate_as_the_host_builds_them(id_lists):
    g = om.PositionGroup()
    for i, ids in enumerate(id_lists):
        g.positions.add(member(f"K{i}", [(1.0, 1, 0.0)] * len(ids), iter(ids)))
    assert_same_outcome(lambda: g.orderids, lambda: ref_orderids(g.positions))


def test_commission_sum_adds_before_it_reads_on():
    # Decimal + float fails before the str is reached.
    g = om.PositionGroup({member(f"K{i}", [(1.0, 1, c)], iter([i])) for i, c in enumerate([Decimal("0.5"), 0.25, "x"])})
    assert_same_outcome(lambda: g.total_commission, lambda: ref_total_commission(g.positions))


def summary_fields(s):
    return [getattr(s, n) for n in ("qty", "average_price", "stop", "total_commission", "stopPct", "started",
                                    "marketPrice", "profit", "stopPts")]


@given(legs, st.one_of(st.just(0.1), number), st.one_of(st.none(), number), contexts)
def test_summary(leg_fills, stopPct, price, ctx):
    ids = iter(range(1000))
    g = om.PositionGroup({member(f"K{i}", fills, ids) for i, fills in enumerate(leg_fills)})
    fetcher = None if price is None else (lambda key: price)
    assert_same_outcome(lambda: summary_fields(g.summary(stopPct, fetcher)),
                        lambda: summary_fields(om.PositionSummary(**ref_summary_args(g.positions, stopPct, fetcher))),
                        ctx)


@given(legs, st.one_of(st.just(0.1), number), contexts)
def test_order_descriptions(leg_fills, stopPct, ctx):
    ids = iter(range(1000))
    g = om.PositionGroup({member(f"K{i}", fills, ids) for i, fills in enumerate(leg_fills)})
    for word in ("OPEN", "CLOSE"):
        assert_same_outcome(lambda: g.generateOrderDesc(word), lambda: ref_generate_order_desc(g.positions, word), ctx)
    assert_same_outcome(lambda: g.start(stopPct), lambda: ref_start(om, g.positions, stopPct), ctx)
    assert_same_outcome(lambda: g.stop(stopPct), lambda: ref_stop(om, g.positions, stopPct), ctx)
