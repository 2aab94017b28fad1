import copy
import datetime as dt
import gc
import math
import pickle
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from marlovent import ordermgr as om
from support import assert_flat_memory

UTC = dt.timezone.utc
NOW = dt.datetime(2024, 3, 2, 9, 0, tzinfo=UTC)
HOUR_AGO = NOW - dt.timedelta(hours=1)
FIELDS = ("qty", "average_price", "stop", "total_commission", "stopPct", "started",
          "marketPrice", "profit", "stopPts", "age")


@pytest.fixture
def clock(monkeypatch):
    """The module's `datetime` attribute replaced by a fixed clock at NOW."""

    class Clock:
        @staticmethod
        def now(tz=None):
            assert tz is dt.timezone.utc
            return NOW

    class FakeDatetimeModule:
        datetime = Clock
        timezone = dt.timezone

    monkeypatch.setattr(om, "datetime", FakeDatetimeModule)
    return NOW


def derived(qty, average_price, stop, total_commission, started, marketPrice=None):
    """The record's derivation written out in plain Python."""
    age = NOW - started
    if marketPrice:
        profit = marketPrice - average_price if average_price > 0 else abs(average_price) - marketPrice
    else:
        profit = None
    a = abs(average_price)
    if a == 0:
        stopPct = 0.0
    elif average_price > 0:
        stopPct = round((a - stop) / a, 2)
    else:
        stopPct = round((stop - a) / a, 2)
    stopPts = round(stop - abs(average_price), 8)
    return dict(qty=qty, average_price=round(average_price, 8), stop=round(stop, 8),
                total_commission=total_commission, stopPct=stopPct, started=started,
                marketPrice=marketPrice, profit=profit, stopPts=stopPts, age=age)


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return a == b or (a != a and b != b)


def fields(s):
    return {n: getattr(s, n) for n in FIELDS}


def outcome(f):
    try:
        return "ok", f()
    except Exception as e:
        return "err", type(e)


# --- worked examples ---------------------------------------------------------------

def test_long(clock):
    s = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO, 105.0)
    assert (s.stopPct, s.profit, s.stopPts, s.is_long) == (0.1, 5.0, -10.0, True)
    assert s.age == dt.timedelta(hours=1)


def test_short(clock):
    s = om.PositionSummary(qty=10, average_price=-100.0, stop=110.0, total_commission=0, started=HOUR_AGO,
                           marketPrice=95.0)
    assert (s.is_long, s.profit, s.stopPct, s.stopPts) == (False, 5.0, 0.1, 10.0)


@pytest.mark.parametrize("market", [None, 0, 0.0])
def test_no_usable_market_price(market):
    assert om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO, market).profit is None


def test_zero_average_price():
    s = om.PositionSummary(10, 0, 95.123456789, 0, HOUR_AGO, 7.5)
    assert s.stopPct == 0.0 and type(s.stopPct) is float
    assert s.is_long is False and s.stopPts == s.stop == 95.12345679 and s.profit == -7.5


def test_stop_rounded_after_stop_points():
    s = om.PositionSummary(1, 100.0, 95.123456789, 0, HOUR_AGO)
    assert s.stop == 95.12345679
    assert s.stopPts == round(95.123456789 - 100.0, 8)


def test_tiny_price_long_while_derived_then_rounded_away():
    s = om.PositionSummary(1, 0.000000001, 0.0, 0, HOUR_AGO, 1.0)
    assert s.profit == 1.0 - 0.000000001  # derived as a long
    assert s.stopPct == 1.0
    assert s.average_price == 0.0 and s.is_long is False


def test_half_cases_round_like_the_host():
    s = om.PositionSummary(1, 1.0, 1.0 - 0.675, 0, HOUR_AGO)
    assert s.stopPct == round(0.675, 2)
    assert om.PositionSummary(1, 2.675, 1.0, 0, HOUR_AGO).average_price == 2.675
    assert om.PositionSummary(1, 2, 3, 0, HOUR_AGO).stopPts == 1 and type(
        om.PositionSummary(1, 2, 3, 0, HOUR_AGO).stopPts) is int


def test_equal_despite_different_age(clock, monkeypatch):
    a = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO)
    monkeypatch.undo()
    b = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO)
    assert a.age != b.age and a == b


@pytest.mark.parametrize("name", ["stopPct", "profit", "stopPts", "age"])
def test_derived_fields_rejected(name):
    with pytest.raises(TypeError) as err:
        om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO, **{name: 1})
    assert str(err.value) == f"PositionSummary.__init__() got an unexpected keyword argument '{name}'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3), {}, "missing 2 required positional arguments: 'total_commission' and 'started'"),
        ((1,), {}, "missing 4 required positional arguments: 'average_price', 'stop', 'total_commission', and "
                   "'started'"),
        ((1, 2, 3, 4), {}, "missing 1 required positional argument: 'started'"),
        ((1, 2, 3, 4, HOUR_AGO, None, 7), {}, "takes from 6 to 7 positional arguments but 8 were given"),
        ((1,), {"qty": 1}, "got multiple values for argument 'qty'"),
    ],
)
def test_constructor_errors_like_the_host(args, kwargs, message):
    with pytest.raises(TypeError) as err:
        om.PositionSummary(*args, **kwargs)
    assert str(err.value) == "PositionSummary.__init__() " + message


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(started=dt.datetime(2024, 1, 1)), TypeError),  # naive
        (dict(started="2024-01-01"), TypeError),
        (dict(average_price="100"), TypeError),
        (dict(stop=None), TypeError),
        (dict(marketPrice="x"), TypeError),
    ],
)
def test_construction_failures(kwargs, error):
    args = dict(qty=1, average_price=100.0, stop=90.0, total_commission=0, started=HOUR_AGO, marketPrice=None)
    args.update(kwargs)
    with pytest.raises(error):
        om.PositionSummary(**args)


# --- record behaviour --------------------------------------------------------------

def test_fields_mutable_without_rederivation_and_is_long_live():
    s = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO)
    s.stop = 50.0
    assert s.stopPct == 0.1
    s.average_price = -1.0
    assert s.is_long is False
    with pytest.raises(AttributeError):
        s.is_long = True
    with pytest.raises(AttributeError):
        s.extra = 1


def test_equality_rules():
    a = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO)
    b = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO)
    assert a == b
    b.profit = 1
    assert a != b

    class Sub(om.PositionSummary):
        pass

    assert Sub(10, 100.0, 90.0, 0, HOUR_AGO) != a
    assert (a == (10, 100.0)) is False
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)


def test_repr(clock):
    s = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO, 105.0)
    assert repr(s) == (
        "PositionSummary(qty=10, average_price=100.0, stop=90.0, total_commission=0, stopPct=0.1, "
        f"started={HOUR_AGO!r}, marketPrice=105.0, profit=5.0, stopPts=-10.0, age={dt.timedelta(hours=1)!r})")
    s.marketPrice = [s]
    assert "marketPrice=[...]" in repr(s)


def test_class_attributes():
    assert om.PositionSummary.__match_args__ == ("qty", "average_price", "stop", "total_commission", "started",
                                                 "marketPrice")
    assert om.PositionSummary.__slots__ == FIELDS
    match om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO):
        case om.PositionSummary(qty, price):
            assert (qty, price) == (10, 100.0)


def pickled(x):
    return pickle.loads(pickle.dumps(x))


@pytest.mark.parametrize("clone", [pickled, copy.copy, copy.deepcopy])
def test_copies_keep_every_field(clone):
    s = om.PositionSummary(10, 100.0, 90.0, Decimal("1.5"), HOUR_AGO, 105.0)
    c = clone(s)
    assert type(c) is om.PositionSummary and c is not s
    assert all(same(getattr(c, n), getattr(s, n)) for n in FIELDS)
    assert c.started.tzinfo is not None


def test_gc_and_reference_counts():
    collected = []

    class Canary:
        def __del__(self):
            collected.append(True)

    price = 12345.678
    s = om.PositionSummary(10, 100.0, 90.0, price, HOUR_AGO)
    assert not gc.is_tracked(s)  # only atomic values: nothing for the collector
    before = sys.getrefcount(price)
    for _ in range(100):
        repr(s), s == s, s == om.PositionSummary(10, 100.0, 90.0, price, HOUR_AGO), pickled(s), s.is_long
    assert sys.getrefcount(price) == before
    s.profit = [s, Canary()]
    assert gc.is_tracked(s)
    del s
    gc.collect()
    assert collected == [True]


def test_subclass_is_long_override_used_in_derivation():
    class Inverted(om.PositionSummary):
        __slots__ = ()

        @property
        def is_long(self):
            return self.average_price < 0

    s = Inverted(10, -100.0, 90.0, 0, HOUR_AGO, 95.0)
    assert s.profit == 95.0 - (-100.0)  # the long branch, as the override says
    assert s.stopPct == round((100.0 - 90.0) / 100.0, 2)


def test_reinitialisation_replaces_fields():
    s = om.PositionSummary(10, 100.0, 90.0, 0, HOUR_AGO)
    s.__init__(1, -5.0, 6.0, 0, HOUR_AGO)
    assert (s.qty, s.average_price, s.is_long) == (1, -5.0, False)


def test_foreign_self_rejected():
    with pytest.raises(TypeError):
        om.PositionSummary.__init__(object(), 1, 2, 3, 4, HOUR_AGO)
    with pytest.raises(TypeError):
        om.PositionSummary.__eq__(1, 1)


# --- property tests against the host ------------------------------------------------

floats = st.floats(allow_nan=True, allow_infinity=True)
finite = st.floats(-1e12, 1e12, allow_nan=False)
numbers = st.one_of(floats, finite, st.integers(-10**20, 10**20), st.integers(-5, 5))
markets = st.one_of(st.none(), numbers)


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(avg=numbers, stop=numbers, market=markets)
def test_derivation_matches_plain_python(clock, avg, stop, market):
    expected = outcome(lambda: derived(3, avg, stop, 0.5, HOUR_AGO, market))
    actual = outcome(lambda: fields(om.PositionSummary(3, avg, stop, 0.5, HOUR_AGO, market)))
    assert expected[0] == actual[0], (expected, actual)
    if expected[0] == "err":
        assert expected[1] is actual[1]
        return
    for name in FIELDS:
        assert same(actual[1][name], expected[1][name]), (name, actual[1][name], expected[1][name])


decimals = st.decimals(-10**6, 10**6, allow_nan=False, places=10)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(avg=st.one_of(decimals, st.fractions(max_denominator=1000)), stop=st.one_of(decimals, st.integers(-99, 99)),
       market=st.one_of(st.none(), decimals))
def test_other_number_types(clock, avg, stop, market):
    expected = outcome(lambda: derived(3, avg, stop, 0, HOUR_AGO, market))
    actual = outcome(lambda: fields(om.PositionSummary(3, avg, stop, 0, HOUR_AGO, market)))
    assert expected[0] == actual[0]
    if expected[0] == "ok":
        for name in FIELDS:
            assert same(actual[1][name], expected[1][name]), name
    else:
        assert expected[1] is actual[1]


def test_fraction_inputs_round_to_fractions(clock):
    s = om.PositionSummary(1, Fraction(1, 3), Fraction(1, 7), 0, HOUR_AGO)
    assert s.average_price == round(Fraction(1, 3), 8) and type(s.average_price) is Fraction


near_halfway = st.builds(lambda k, n, jitter: (k + 0.5) / 10**n + jitter,
                         st.integers(-10**12, 10**12), st.sampled_from([2, 8]),
                         st.sampled_from([0.0, 1e-17, -1e-17, 5e-324, 1e-9]))
round_inputs = st.one_of(floats, near_halfway, st.floats(-1e-6, 1e-6), st.floats(1e6, 1e17))


@settings(max_examples=3000, deadline=None)
@given(x=round_inputs, y=round_inputs)
def test_rounding_matches_host_round(x, y):
    """stop is stored as round(stop, 8); stopPct is round(q, 2) of a quotient
    the host forms the same way."""
    a = y if y > 0 else 1.0
    s = om.PositionSummary(1, a, x, 0, HOUR_AGO)
    assert same(s.stop, round(x, 8))
    assert same(s.stopPct, round((a - x) / a, 2))
    assert same(s.stopPts, round(x - a, 8))


def test_no_growth_over_many_constructions():
    def work(n):
        for i in range(n):
            s = om.PositionSummary(i, 100.0 + i, 90.0, 0, HOUR_AGO, 105.0 if i % 2 else None)
            repr(s), s == s, s.is_long, pickled(s)
            try:
                om.PositionSummary(1, 2, 3, 4, HOUR_AGO, stopPct=1)
            except TypeError:
                pass

    assert_flat_memory(work, 20000)


@settings(max_examples=1000, deadline=None)
@given(avg=st.one_of(floats, finite), stop=st.one_of(floats, finite), market=st.one_of(st.none(), floats, finite),
       started=st.one_of(st.datetimes(timezones=st.just(UTC)),
                         st.datetimes(timezones=st.sampled_from([dt.timezone(dt.timedelta(0)),
                                                                 dt.timezone(dt.timedelta(hours=-5))]))))
def test_derivation_on_the_hosts_clock(avg, stop, market, started):
    """Float figures and a started time anywhere in the calendar, on the
    module's own clock: the figures are the plain ones, and the age is
    now - started for a `now` read during the construction."""
    before = dt.datetime.now(UTC) - started
    s = om.PositionSummary(3, avg, stop, 0.5, started, market)
    after = dt.datetime.now(UTC) - started
    expected = derived(3, avg, stop, 0.5, started, market)
    for name in FIELDS[:-1]:
        assert same(getattr(s, name), expected[name]), name
    assert type(s.age) is dt.timedelta and before <= s.age <= after
