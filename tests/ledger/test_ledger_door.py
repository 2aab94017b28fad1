"""What the ledger refuses at its door, with the field named, before anything
is written: values that would break a position's figures or a report later."""

import datetime as dt
import zoneinfo
from decimal import Decimal
from fractions import Fraction

import pytest

from marlovent.ledger import Fill, FillConflict, Recorded

UTC = dt.timezone.utc
T = dt.datetime(2024, 3, 5, 14, 30, tzinfo=UTC)
NY = zoneinfo.ZoneInfo("America/New_York")
GOOD = dict(fill_id="E1", key="AAPL", price=187.5, qty=100, commission=1.0, timestamp=T, order_id="O1")


@pytest.mark.parametrize(
    "change, error, words",
    [
        ({"fill_id": ""}, ValueError, "fill_id is empty"),
        ({"fill_id": "  "}, ValueError, "fill_id is empty"),
        ({"fill_id": 17}, TypeError, "fill_id 17 is not a string"),
        ({"key": None}, ValueError, "key is None"),
        ({"key": ["AAPL"]}, TypeError, "key ['AAPL'] is not hashable"),
        ({"order_id": {"o": 1}}, TypeError, "order_id {'o': 1} is not hashable"),
        ({"order_id": float("nan")}, ValueError, "order_id nan is a NaN"),
        ({"order_id": Decimal("NaN")}, ValueError, "order_id Decimal('NaN') is a NaN"),
        ({"order_id": ("ORD-7", (1, float("nan")))}, ValueError, "order_id ('ORD-7', (1, nan)) holds a NaN"),
        ({"key": ("SPY", float("nan"))}, ValueError, "key ('SPY', nan) holds a NaN"),
        ({"price": float("nan")}, ValueError, "price nan is not a finite number"),
        ({"price": float("inf")}, ValueError, "price inf is not a finite number"),
        ({"price": -0.01}, ValueError, "price -0.01 is negative"),
        ({"price": "187.5"}, TypeError, "price '187.5' is not a number"),
        ({"price": Decimal("187.5")}, TypeError, "price Decimal('187.5') is a Decimal"),
        ({"price": True}, TypeError, "price True is not a number"),
        ({"qty": 0}, ValueError, "qty is zero"),
        ({"qty": 0.0}, ValueError, "qty is zero"),
        ({"qty": 10**400}, ValueError, "is too large for a double"),
        ({"qty": Fraction(10**400, 3)}, ValueError, "is too large for a double"),
        ({"qty": float("-inf")}, ValueError, "qty -inf is not a finite number"),
        ({"price": 1e200, "qty": -1e200}, ValueError, "price 1e+200 times qty -1e+200 is too large for a double"),
        ({"price": 2**1000, "qty": 2**30}, ValueError, "times qty 1073741824 is too large for a double"),
        ({"commission": float("nan")}, ValueError, "commission nan is not a finite number"),
        ({"commission": Decimal("1")}, TypeError, "commission Decimal('1') is a Decimal"),
        ({"timestamp": dt.datetime(2024, 3, 5, 14, 30)}, ValueError, "has no time zone"),
        ({"timestamp": "2024-03-05T14:30:00Z"}, TypeError, "is not a datetime"),
        ({"timestamp": dt.datetime(2024, 3, 10, 2, 30, tzinfo=NY)}, ValueError, "does not exist in time zone America/New_York"),
        ({"timestamp": dt.datetime.max.replace(tzinfo=dt.timezone(-dt.timedelta(hours=5)))}, ValueError, "out of the range of datetimes in UTC"),
    ],
)
def test_a_bad_fill_is_refused_naming_the_field(change, error, words):
    with pytest.raises(error) as info:
        Fill(**{**GOOD, **change})
    assert words in str(info.value)
    if "fill_id" not in change:
        assert "Fill 'E1':" in str(info.value)


def test_good_values_of_every_kind_are_kept_as_they_are():
    ambiguous = dt.datetime(2024, 11, 3, 1, 30, tzinfo=NY, fold=1)  # the fold says which 1:30
    for price, qty, commission in [(0, 1, None), (-0.0, -3, 0), (Fraction(1, 3), Fraction(-2, 3), Fraction(1, 8)), (10**15, 2**62, -0.5)]:
        fill = Fill("E", ("SPY", 510, "C"), price, qty, commission, ambiguous)
        assert (fill.price, fill.qty, fill.commission) == (price, qty, commission) and type(fill.qty) is type(qty)
    with pytest.raises(TypeError, match="missing required argument: 'timestamp'"):
        Fill("E", "K", 1.0, 1)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda l: l.record(Fill(**GOOD), multiplier=0), ValueError, "multiplier 0 is not a positive number"),
        (lambda l: l.record(Fill(**GOOD), multiplier=-100), ValueError, "multiplier -100 is not a positive number"),
        (lambda l: l.record(Fill(**GOOD), multiplier="100"), TypeError, "multiplier '100' is not a positive number"),
        (lambda l: l.record(Fill(**GOOD), multiplier=float("nan")), ValueError, "multiplier nan"),
        (lambda l: l.record(Fill(**{**GOOD, "price": 1e200, "qty": 1e100}), multiplier=1e10), ValueError,
         "price 1e+200 times qty 1e+100 times multiplier 10000000000.0 is too large for a double"),
        (lambda l: l.record(Fill(**GOOD), currency=""), ValueError, "currency '' is not a currency code"),
        (lambda l: l.record(Fill(**GOOD), currency=978), TypeError, "currency 978 is not a string"),
        (lambda l: l.record({"fill_id": "E1"}), TypeError, "record() takes a Fill, not dict"),
        (lambda l: l.set_commission("E1", 1.0), KeyError, "no fill with id 'E1'"),
        (lambda l: l.cancel("E1"), KeyError, "no fill with id 'E1'"),
        (lambda l: l.set_instrument("K", multiplier=0), ValueError, "multiplier 0"),
        (lambda l: l.set_instrument(float("nan"), multiplier=100), ValueError, "key nan is a NaN"),
        (lambda l: l.pnl(method="lifo"), ValueError, "method 'lifo' is not one of 'average', 'fifo'"),
    ],
)
def test_refusals_of_the_ledger_change_nothing(ledger, call, error, words):
    with pytest.raises(error) as info:
        call(ledger)
    assert words in str(info.value)
    assert len(ledger) == 0 and not ledger.mgr.positions and ledger.keys() == []


def test_conflicts_duplicates_and_terms(ledger):
    assert ledger.record(Fill(**GOOD), multiplier=1) is Recorded.NEW
    # A commission not reported on either side is no difference; its changes come only through set_commission.
    assert ledger.record(Fill(**{**GOOD, "commission": None})) == "duplicate"
    with pytest.raises(FillConflict) as info:
        ledger.record(Fill(**{**GOOD, "qty": 99}))
    message = str(info.value)
    assert isinstance(info.value, ValueError) and "differs in qty" in message
    assert "qty=100" in message and "qty=99" in message and info.value.recorded.qty == 100
    with pytest.raises(ValueError, match="has multiplier 1; this fill gives 100"):
        ledger.record(Fill(**{**GOOD, "fill_id": "E2"}), multiplier=100)
    with pytest.raises(ValueError, match="is in USD; this fill gives EUR"):
        ledger.record(Fill(**GOOD), currency="EUR")
    assert ledger.set_commission("E1", 1.0) is False and ledger.set_commission("E1", 1.25) is True
    assert ledger.get("E1").commission == 1.25 and ledger.mgr.positions["AAPL"].trades["O1"].commission == 1.25
    assert len(ledger) == 1 and ledger.mgr.positions["AAPL"].qty == 100
    with pytest.raises(TypeError, match="marks.*|mark 'x' is not a number"):
        ledger.pnl({"AAPL": "x"})
