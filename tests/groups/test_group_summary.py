import datetime as dt
import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from marlovent import ordermgr as om
from groups_helpers import LEG1, LEG2, T0, group, position
from groups_reference import assert_same_fields, ref_summary_args, summary_fields

PRICES = {"LEG1": 6.0, "LEG2": 2.5}


@pytest.mark.parametrize(
    "fills_a, fills_b, stop, stop_with_prices, market",
    [
        ([(10, 5.0, 1.0)], [(-10, 2.0, 1.0)], 2.7, 3.15, 3.5),
        ([(10, 5.0), (5, 6.0)], [(-10, 2.0)], 2.7, 3.15, 3.5),
        ([(-10, 5.0)], [(10, 2.0)], 3.3, 3.3, 3.5),
    ],
)
def test_summary_examples(fills_a, fills_b, stop, stop_with_prices, market):
    g = group(position(LEG1, *fills_a), position(LEG2, *fills_b))
    s = g.summary(0.1)
    assert type(s) is om.PositionSummary
    assert s.stop == stop and s.marketPrice is None and s.qty == 10
    assert s.started == T0
    s = g.summary(0.1, lambda key: PRICES[str(key)])
    assert s.marketPrice == pytest.approx(market) and s.stop == stop_with_prices


def test_summary_defaults_and_keywords():
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    assert g.summary() == g.summary(0.1) == g.summary(stopPct=0.1, priceFetcher=None)


def test_nan_price_leaves_market_unset():
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    s = g.summary(0.1, lambda key: float("nan") if key == "LEG2" else 6.0)
    assert s.marketPrice is None and s.profit is None and s.stop == 2.7


def test_prices_that_cancel_leave_zero_market_price():
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    s = g.summary(0.1, lambda key: 4.0)
    assert s.marketPrice == 0 and s.profit is None and s.stop == 2.7


def test_integer_prices_that_cancel_give_integer_zero():
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    s = g.summary(0.1, lambda key: 4)
    assert s.marketPrice == 0 and type(s.marketPrice) is int


@pytest.mark.parametrize("price, expected_stop", [(math.inf, math.inf)])
def test_infinite_price_moves_long_stop_to_infinity(price, expected_stop):
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    s = g.summary(0.1, lambda key: price if key == "LEG1" else 1.0)
    assert s.marketPrice == math.inf and s.stop == expected_stop


def test_opposite_infinities_make_nan_and_no_market():
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (10, 2.0)))
    s = g.summary(0.1, lambda key: math.inf if key == "LEG1" else -math.inf)
    assert s.marketPrice is None


def test_fetcher_called_per_member_in_order_before_other_reads():
    log = []

    class Group(om.PositionGroup):
        __slots__ = ()

        @property
        def total_commission(self):
            log.append("total_commission")
            return super().total_commission

    g = Group()
    g.add(position(LEG1, (10, 5.0)))
    g.add(position(LEG2, (-20, 2.0)))

    def fetch(key):
        log.append(key)
        return 1.0

    g.summary(0.1, fetch)
    assert log == [p.key for p in g.positions] + ["total_commission"]
    assert log[:2] == ["LEG1", "LEG2"]


@pytest.mark.parametrize("price, error", [(ValueError, ValueError), ("text", TypeError)])
def test_fetcher_errors_propagate(price, error):
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    before = (set(g.positions), g.key)

    def fetch(key):
        if isinstance(price, type):
            raise price("no quote")
        return price

    with pytest.raises(error):
        g.summary(0.1, fetch)
    assert (set(g.positions), g.key) == before


def test_falsy_fetcher_is_not_called():
    class Falsy:
        def __bool__(self):
            return False

        def __call__(self, key):
            raise AssertionError("called")

    g = group(position(LEG1, (10, 5.0)))
    assert g.summary(0.1, Falsy()).marketPrice is None


def test_replaced_summary_class_is_used(monkeypatch):
    made = []

    def fake(**kwargs):
        made.append(kwargs)
        return "summary"

    monkeypatch.setattr(om, "PositionSummary", fake)
    g = group(position(LEG1, (10, 5.0)))
    assert g.summary(0.25) == "summary"
    assert list(made[0]) == ["qty", "average_price", "stop", "total_commission", "started", "marketPrice"]
    assert made[0]["stop"] == 5.0 * 0.75


leg_qty = st.one_of(st.integers(-50, 50).filter(bool), st.floats(-50, 50, allow_nan=False).filter(bool))
leg = st.lists(st.tuples(leg_qty, st.floats(0.01, 500), st.floats(0, 5)), min_size=1, max_size=5)
quotes = st.one_of(st.none(), st.dictionaries(st.integers(0, 3), st.one_of(
    st.floats(0, 500), st.integers(0, 500), st.just(float("nan")), st.just(math.inf)), min_size=4, max_size=4))
stop_pcts = st.one_of(st.floats(-1, 2, allow_nan=False), st.integers(-1, 2))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(legs=st.lists(leg, min_size=1, max_size=4), quote_map=quotes, stop_pct=stop_pcts)
def test_summary_matches_plain_python(fixed_now, legs, quote_map, stop_pct):
    ps = []
    for i, fills in enumerate(legs):
        p = om.Position(i)
        for j, (q, pr, c) in enumerate(fills):
            p.add_trade(om.Trade((i, j), pr, q, c, T0 + dt.timedelta(seconds=j)))
        ps.append(p)
    g = group(*ps)
    fetcher = quote_map.__getitem__ if quote_map else None
    try:
        expected = om.PositionSummary(**ref_summary_args(g.positions, stop_pct, fetcher))
    except ZeroDivisionError:
        with pytest.raises(ZeroDivisionError):
            g.summary(stop_pct, fetcher)
        return
    assert_same_fields(summary_fields(g.summary(stop_pct, fetcher)), summary_fields(expected))
