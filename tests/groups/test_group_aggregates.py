import datetime as dt
import math
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from marlovent import ordermgr as om
from groups_helpers import LEG1, LEG2, LEG3, T0, UTC, group, position
from groups_reference import ref_average_price, ref_qty, ref_started, same


class TestEmptyGroup:
    def test_figures_without_members(self):
        g = om.PositionGroup()
        assert g.key is None
        assert g.keys == set() and g.orderids == set()
        assert g.total_commission == 0 and type(g.total_commission) is int

    @pytest.mark.parametrize("name", ["qty", "started", "average_price", "is_long"])
    def test_min_of_nothing(self, name):
        with pytest.raises(ValueError, match="min\\(\\) iterable argument is empty"):
            getattr(om.PositionGroup(), name)

    @pytest.mark.parametrize("call", ["summary", "open", "close", "start", "stop"])
    def test_operations_need_members(self, call):
        with pytest.raises(ValueError, match="min\\(\\)"):
            getattr(om.PositionGroup(), call)()


@pytest.mark.parametrize(
    "legs, expected",
    [
        ([8, -8], 8),
        ([8, 8], 8),
        ([1, -2, 1], 1),
        ([10, -15], 10),
        ([2.5, -2.5], 2.5),
    ],
)
def test_qty_is_smallest_absolute_leg(legs, expected):
    keys = [LEG1, LEG2, LEG3]
    g = group(*[position(keys[i], (q, 1.0)) for i, q in enumerate(legs)])
    assert g.qty == expected
    assert same(g.qty, abs(type(expected)(expected)))


def test_qty_of_equal_int_and_float_follows_iteration():
    a, b = position(LEG1, (4.0, 1.0)), position(LEG2, (4, 1.0))
    g = group(a, b)
    first = next(iter(g.positions))
    assert type(g.qty) is type(first.qty)


def test_keys_orderids_started_commission():
    a = position("A", (10, 5.0, 1.0), (5, 6.0, 0.5), start=T0 + dt.timedelta(hours=1))
    b = position("B", (-10, 2.0, 1.0), start=T0)
    g = group(a, b)
    assert g.keys == {"A", "B"}
    assert g.orderids == {"A#0", "A#1", "B#0"}
    assert g.started == T0
    assert g.total_commission == 2.5
    ids = g.orderids
    ids.add("x")
    assert "x" not in g.orderids and "x" not in a.orderids


def test_started_raises_for_member_without_trades():
    g = group(position("A", (1, 1.0)), om.Position("EMPTY"))
    with pytest.raises(ValueError):
        g.started


@pytest.mark.parametrize(
    "fills_a, fills_b, qty, avg",
    [
        ([(10, 5.0, 1.0)], [(-10, 2.0, 1.0)], 10, 3.0),
        ([(10, 5.0), (5, 6.0)], [(-10, 2.0)], 10, 3.0),
        ([(-10, 5.0)], [(10, 2.0)], 10, -3.0),
    ],
)
def test_average_price_examples(fills_a, fills_b, qty, avg):
    g = group(position(LEG1, *fills_a), position(LEG2, *fills_b))
    assert g.qty == qty
    assert g.average_price == pytest.approx(avg, abs=1e-12)
    assert g.is_long is (avg > 0)


def test_single_member_costs_only_the_earliest_units():
    p = position("X", (10, 5.0), (-4, 7.0), (6, 8.0))  # net 12
    g = group(p)
    assert g.qty == 12
    assert g.average_price == ref_average_price([p], 12)
    # 10 units of the first fill, then half of the 4 sold; the last fill is not reached.
    assert g.average_price == (50.0 - 7.0 * 4 * 0.5) / 12


def test_average_price_sorts_trades_by_timestamp_stably():
    p = om.Position("X")
    later, earlier = T0 + dt.timedelta(hours=1), T0
    p.add_trade(om.Trade("late", 9.0, 5, 0.0, later))
    p.add_trade(om.Trade("tie1", 3.0, 5, 0.0, earlier))
    p.add_trade(om.Trade("tie2", 4.0, 5, 0.0, earlier))
    other = position("Y", (-10, 1.0))
    g = group(p, other)
    # Only the first 10 units of X count: the two trades at the earlier time,
    # in insertion order.
    assert g.average_price == (15.0 + 20.0 - 10.0) / 10


def test_zero_quantity_member_divides_by_zero():
    flat = om.Position("Z", {"a": om.Trade("a", 1.0, 5, 0.0, T0), "b": om.Trade("b", 1.0, -5, 0.0, T0)})
    g = group(flat, position("A", (1, 1.0)))
    assert g.qty == 0
    for name in ("average_price", "is_long"):
        with pytest.raises(ZeroDivisionError):
            getattr(g, name)
    with pytest.raises(ZeroDivisionError):
        g.summary()


def test_figures_follow_later_trades():
    a, b = position("A", (10, 5.0)), position("B", (-10, 2.0))
    g = group(a, b)
    assert g.qty == 10
    a.add_trade(om.Trade("more", 5.0, -4, 0.0, T0 + dt.timedelta(days=1)))
    assert g.qty == 6


# --- property tests against the plain-Python transcription -------------------

timestamps = st.integers(0, 5).map(lambda m: T0 + dt.timedelta(minutes=m))
int_qty = st.integers(-10**6, 10**6).filter(bool)
float_qty = st.floats(-1e6, 1e6, allow_nan=False).filter(bool)
prices = st.one_of(st.floats(0, 1e6, allow_nan=False), st.integers(0, 10**6))
commissions = st.one_of(st.floats(0, 100, allow_nan=False), st.integers(0, 100))
fill = st.tuples(st.one_of(int_qty, float_qty, st.integers(-(2**70), 2**70).filter(bool)), prices, commissions, timestamps)
# A member: its fills (now and then none at all) and whether its timestamps
# are naive, which do not compare with the other members' aware ones.
leg = st.tuples(st.one_of(*[st.lists(fill, min_size=1, max_size=8)] * 3, st.just([])),
                st.sampled_from([False, False, True]))
legs = st.lists(leg, min_size=1, max_size=4)


def build(leg_fills):
    ps = []
    for i, (fills, naive) in enumerate(leg_fills):
        p = om.Position(f"K{i}")
        for j, (q, pr, c, ts) in enumerate(fills):
            p.add_trade(om.Trade(f"{i}-{j}", pr, q, c, ts.replace(tzinfo=None) if naive else ts))
        ps.append(p)
    return ps


def outcome(f):
    try:
        return ("ok", f())
    except Exception as e:  # the error type must match too
        return ("err", type(e))


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    return same(a[1], b[1]) if a[0] == "ok" else a[1] is b[1]


@settings(max_examples=300, deadline=None)
@given(legs)
def test_figures_match_plain_python(leg_fills):
    g = group(*build(leg_fills))
    members = list(g.positions)
    assert same_outcome(outcome(lambda: g.started), outcome(lambda: ref_started(members)))
    assert same_outcome(outcome(lambda: g.qty), outcome(lambda: ref_qty(members)))
    assert same_outcome(outcome(lambda: g.average_price),
                        outcome(lambda: ref_average_price(members, ref_qty(members))))


@settings(max_examples=100, deadline=None)
@given(st.sampled_from([Decimal, Fraction]), st.lists(st.tuples(st.integers(-20, 20).filter(bool), st.integers(1, 9)),
                                                       min_size=1, max_size=4), st.booleans())
def test_other_number_types_behave_as_host(kind, fills, price_kind):
    p = om.Position("D")
    for j, (q, pr) in enumerate(fills):
        p.add_trade(om.Trade(str(j), kind(pr) if price_kind else float(pr), kind(q) / 2, 0, T0))
    g = group(p)
    members = list(g.positions)
    assert same_outcome(outcome(lambda: g.qty), outcome(lambda: ref_qty(members)))
    assert same_outcome(outcome(lambda: g.average_price),
                        outcome(lambda: ref_average_price(members, ref_qty(members))))


def test_nan_quantities_follow_the_host():
    p = position("N", (float("nan"), 1.0))
    g = group(p, position("M", (2, 1.0)))
    members = list(g.positions)
    assert same_outcome(outcome(lambda: g.qty), outcome(lambda: ref_qty(members)))
    assert math.isnan(g.qty) == math.isnan(ref_qty(members))


class Stamp(dt.datetime):
    """A datetime subclass: ordered by the host's comparison, not natively."""


zones = st.sampled_from([UTC, dt.timezone(dt.timedelta(hours=1)), dt.timezone(dt.timedelta(hours=-5)), None])
stamps = st.builds(
    lambda minutes, tz, sub: (Stamp if sub else dt.datetime)(2024, 3, 1, 12, tzinfo=tz) + dt.timedelta(minutes=minutes),
    st.integers(0, 600), zones, st.booleans())


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([1.0, 2.0, 3, -1.0]), st.floats(0, 50), stamps), min_size=1, max_size=12),
       st.integers(1, 4))
def test_trade_order_by_timestamp_matches_plain_python(fills, other_qty):
    p = om.Position("T")
    for j, (q, pr, ts) in enumerate(fills):
        p.add_trade(om.Trade(j, pr, q, 0.25, ts))
    g = group(p, position("O", (-other_qty, 1.0)))
    members = list(g.positions)
    assert same_outcome(outcome(lambda: g.average_price),
                        outcome(lambda: ref_average_price(members, ref_qty(members))))
