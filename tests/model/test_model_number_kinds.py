"""Trade, Position and PositionSummary figures on every kind of number give
exactly what their plain-Python formulas give: value, type, repr, the
exception and its message, and the operator calls made on logging numbers."""
import datetime as dt
import decimal

import numpy as np
import pytest
from hypothesis import given, strategies as st

import plain_model as plain
from numeric_kinds import LogFloat, assert_same_outcome, contexts, kind_of_number, number, outcome
from support import ts


def trade(om, orderid, price, qty, commission, minute=0):
    t = om.Trade(orderid, 0.0, 0, 0.0, ts(minute))
    t.price, t.qty, t.commission = price, qty, commission  # no price check on assignment
    return t


books = kind_of_number().flatmap(lambda n: st.lists(st.tuples(n, n, n), max_size=6))


@given(number, number, number, contexts)
def test_trade_average_price(om, price, qty, commission, ctx):
    t = trade(om, 1, price, qty, commission)
    assert_same_outcome(lambda: t.average_price, lambda: plain.trade_average_price(t), ctx)


FIGURES = ["qty", "average_price", "total_commission", "is_long", "empty"]


@given(books, contexts)
def test_position_figures(om, book, ctx):
    p = om.Position("K", {i: trade(om, i, *fields) for i, fields in enumerate(book)})
    for name in FIGURES:
        formula = getattr(plain, "position_" + name)
        assert_same_outcome(lambda: getattr(p, name), lambda: formula(p), ctx)


@pytest.mark.parametrize("fill, message", [
    # The product comes first: its error wins over the one of `qty > 0`.
    ((100.0, None, 0.0), "unsupported operand type(s) for *: 'float' and 'NoneType'"),
    ((100.0, decimal.Decimal("NaN"), 0.0), "unsupported operand type(s) for *: 'float' and 'decimal.Decimal'"),
    # The running total is an in-place sum.
    ((decimal.Decimal(2), decimal.Decimal(3), decimal.Decimal(0)),
     "unsupported operand type(s) for +=: 'float' and 'decimal.Decimal'"),
])
def test_named_errors(om, fill, message):
    p = om.Position("K", {1: trade(om, 1, *fill)})
    with pytest.raises(TypeError) as err:
        p.average_price
    assert str(err.value) == message
    if "*" in message:
        with pytest.raises(TypeError) as err:
            trade(om, 1, *fill).average_price
        assert str(err.value) == message


def test_own_iadd_and_inequality_are_used(om):
    p = om.Position("K", {i: trade(om, i, 2.0, LogFloat(q), 0.0) for i, q in enumerate([1.0, -1.0])})
    result, log = outcome(lambda: p.average_price)
    assert (result, log) == outcome(lambda: plain.position_average_price(p))
    calls = [c[1] for c in log]
    # tq += qty, with tq a LogFloat after the first trade, then `tq != 0`
    assert calls[-3:-1] == ["__iadd__", "__ne__"] and "__bool__" not in calls


@given(st.sampled_from([np.float64, np.float32, LogFloat, float, decimal.Decimal]), st.integers(-5, 5))
def test_summary_is_long_is_a_bool(om, kind, price):
    s = om.PositionSummary(1, kind(price), kind(abs(price)), 0, dt.datetime.now(dt.timezone.utc))
    assert_same_outcome(lambda: s.is_long, lambda: plain.summary_is_long(s))
    assert type(s.is_long) is bool


SUMMARY_FIELDS = ("qty", "average_price", "stop", "total_commission", "stopPct", "started", "marketPrice", "profit",
                  "stopPts")


@given(number, number, st.one_of(st.none(), number), contexts)
def test_summary_derivation(om, average_price, stop, market, ctx):
    started = dt.datetime.now(dt.timezone.utc)

    def native():
        s = om.PositionSummary(1, average_price, stop, 0, started, market)
        return [getattr(s, n) for n in SUMMARY_FIELDS]

    assert_same_outcome(native, lambda: plain.summary_derived(1, average_price, stop, 0, started, market), ctx)
