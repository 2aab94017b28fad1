"""Group figures on every kind of number and of order id give exactly what
their plain-Python formulas give (value, type, repr, exception, operator
calls, and the iteration order of the sets they return)."""
import datetime as dt
from decimal import Decimal

from hypothesis import given, strategies as st

from marlovent import ordermgr as om
from groups_reference import ref_average_price, ref_is_long, ref_orderids, ref_qty, ref_total_commission
from numeric_kinds import assert_same_outcome, contexts, kind_of_number

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
