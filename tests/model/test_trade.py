import copy
import datetime as dt
import decimal
import fractions
import pickle
import zoneinfo

import pytest
from hypothesis import given, strategies as st

from support import UTC, ts

NEGATIVE = "Negative prices are not allowed. Use negative quantities to indicate a short sale."


def test_defaults_and_timestamp(om):
    before = dt.datetime.now(UTC)
    t = om.Trade(orderid=1, price=100.0, qty=10)
    after = dt.datetime.now(UTC)
    assert (t.commission, t.average_price) == (0.0, 100.0)
    assert t.timestamp.tzinfo is dt.timezone.utc and before <= t.timestamp <= after
    bare = om.Trade(7)
    assert (bare.price, bare.qty, bare.commission) == (0.0, 0, 0.0)
    assert type(bare.qty) is int and type(bare.price) is float


@pytest.mark.parametrize(
    "args, expected",
    [
        ((1, 100.0, 10, 5.0), 100.5),
        ((1, 100.0, -10, 5.0), 100.5),
        ((1, 100.0, 0, 5.0), 0.0),
        ((1, 100.0, 0.0, 5.0), 0.0),
        ((1, 100.0, -0.0, 5.0), 0.0),
        ((1, 3, 4, 0), 3.0),
    ],
)
def test_average_price(om, args, expected):
    value = om.Trade(*args, timestamp=ts()).average_price
    assert value == expected and type(value) is float


@given(
    price=st.one_of(st.floats(min_value=0, allow_nan=False), st.integers(0, 2**70)),
    qty=st.one_of(st.floats(allow_nan=False), st.integers(-(2**70), 2**70)),
    commission=st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers(-(2**60), 2**60)),
)
def test_average_price_matches_host_formula(om, price, qty, commission):
    def reference():
        if qty == 0:
            return 0.0
        return (price * qty + (commission if qty > 0 else -commission)) / qty

    t = om.Trade(1, price, qty, commission, ts())
    try:
        expected = reference()
    except (OverflowError, ZeroDivisionError) as exc:
        with pytest.raises(type(exc)):
            t.average_price
        return
    got = t.average_price
    assert type(got) is type(expected)
    assert got == expected or (got != got and expected != expected)


@pytest.mark.parametrize("price", [0, 0.0, -0.0, decimal.Decimal("0"), fractions.Fraction(1, 3)])
def test_accepted_prices(om, price):
    assert om.Trade(1, price).price is price


@pytest.mark.parametrize("price", [-0.01, -1, decimal.Decimal("-0.5"), fractions.Fraction(-1, 3), -(2**80)])
def test_negative_price_rejected(om, price):
    with pytest.raises(ValueError) as err:
        om.Trade(1, price)
    assert str(err.value) == NEGATIVE


def test_non_numeric_price_fails_with_host_error(om):
    with pytest.raises(TypeError):
        om.Trade(1, "12")
    with pytest.raises(TypeError):
        om.Trade(1, None)


def test_values_are_kept_unchanged(om):
    big = 2**100
    price, qty, comm = decimal.Decimal("1.10"), fractions.Fraction(3, 2), big
    t = om.Trade("A", price, qty, comm, ts())
    assert t.price is price and t.qty is qty and t.commission is comm
    t.price = -5.0  # reassignment does not re-run the price check
    assert t.price == -5.0


def test_construction_signature_errors(om):
    with pytest.raises(TypeError):
        om.Trade()
    with pytest.raises(TypeError):
        om.Trade(1, bogus=2)
    with pytest.raises(TypeError):
        om.Trade(1, 2, 3, 4, ts(), 6)
    t = om.Trade(orderid=1, price=2.0, qty=3, commission=0.5, timestamp=ts())
    assert t == om.Trade(1, 2.0, 3, 0.5, ts())


def test_timestamp_default_taken_per_construction(om):
    a = om.Trade(1, 1.0, 1)
    b = om.Trade(1, 1.0, 1)
    assert a.timestamp <= b.timestamp
    assert om.Trade(1, 1.0, 1, 0.0, ts()) == om.Trade(1, 1.0, 1, 0.0, ts())
    assert om.Trade(1, 1.0, 1, 0.0, ts()) != om.Trade(1, 1.0, 1, 0.0, ts(1))


def test_replaced_clock_takes_effect(om, restore_module_attrs):
    fixed = dt.datetime(2001, 2, 3, 4, 5, 6, tzinfo=UTC)

    class FrozenDatetime(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return fixed

    class FakeModule:
        datetime = FrozenDatetime
        timezone = dt.timezone

    om.datetime = FakeModule
    assert om.Trade(1).timestamp is fixed


def test_record_protocol(om):
    t = om.Trade(1, 100.0, 10, 5.0, ts())
    assert repr(t) == (
        "Trade(orderid=1, price=100.0, qty=10, commission=5.0, "
        "timestamp=datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc))"
    )
    assert om.Trade.__match_args__ == ("orderid", "price", "qty", "commission", "timestamp")
    with pytest.raises(TypeError):
        hash(t)
    with pytest.raises(TypeError):
        {t}
    with pytest.raises(AttributeError):
        t.extra = 1
    with pytest.raises(AttributeError):
        t.average_price = 3.0
    assert t != (1, 100.0, 10, 5.0, ts())
    assert t.__eq__(object()) is NotImplemented
    match t:
        case om.Trade(oid, price, qty):
            assert (oid, price, qty) == (1, 100.0, 10)


def test_commission_change_is_seen(om):
    t = om.Trade(1, 100.0, 10, 0.0, ts())
    t.commission = 10.0
    assert t.average_price == 101.0


@pytest.mark.parametrize(
    "tz", [UTC, dt.timezone(dt.timedelta(hours=-5), "EST"), zoneinfo.ZoneInfo("Europe/Zurich")]
)
@pytest.mark.parametrize("clone", ["pickle", "copy", "deepcopy"])
def test_pickle_and_copy(om, tz, clone):
    t = om.Trade(("IBM", 3), decimal.Decimal("1.5"), -3, 0.25, dt.datetime(2024, 1, 2, 3, 4, tzinfo=tz))
    c = {"pickle": lambda x: pickle.loads(pickle.dumps(x)), "copy": copy.copy, "deepcopy": copy.deepcopy}[clone](t)
    assert c == t and c is not t and type(c) is om.Trade
    assert c.timestamp.tzinfo == t.timestamp.tzinfo


def test_subclass_overrides_are_honoured(om):
    class Flipped(om.Trade):
        @property
        def qty(self):
            return -super().qty

    t = Flipped(1, 100.0, 10, 5.0, ts())
    assert t.average_price == 100.5  # computed from the overridden (negative) qty
    p = om.Position("X")
    p.add_trade(t)
    assert p.qty == -10 and not p.is_long
    assert Flipped(1, 1.0, 1, 0.0, ts()) != om.Trade(1, 1.0, 1, 0.0, ts())
    assert repr(t).startswith("test_subclass_overrides_are_honoured.<locals>.Flipped(")


def test_none_values_are_accepted(om):
    class Sub(om.Trade):
        pass

    for cls in (om.Trade, Sub):
        t = cls(None, 1.0, 1, None, None)
        assert t.orderid is None and t.commission is None and t.timestamp is None
    p = om.Position(None)
    assert p.key is None and p.add_trade(om.Trade(None, 1.0, 1, 0.0, None)) is True
