"""get_position_summary on positions holding every kind of number gives
exactly what its plain-Python formula gives, the property reads and the
operator calls they make included."""
import datetime as dt

import pytest
from hypothesis import given, strategies as st

from numeric_kinds import assert_same_outcome, contexts, kind_of_number, number

T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)


@pytest.fixture
def book_mgr(om, data_dir):
    """An order manager over a plain dict, so that any value can be stored."""

    class DictBook(om.OrderMgr):
        positions = {}

    return DictBook("number kinds")


def plain_summary(om, position, stopPct):
    average_price = position.average_price
    stop = abs(average_price * ((1 - stopPct) if position.is_long else (1 + stopPct)))
    return om.PositionSummary(
        qty=abs(position.qty),
        average_price=position.average_price if position.is_long else -position.average_price,
        stop=stop, total_commission=position.total_commission, started=position.started)


def fields(s):
    return [getattr(s, n) for n in ("qty", "average_price", "stop", "total_commission", "stopPct", "started",
                                    "marketPrice", "profit", "stopPts")]


@given(kind_of_number().flatmap(lambda n: st.lists(st.tuples(n, n, n), min_size=1, max_size=4)),
       st.one_of(st.just(0.1), number), contexts)
def test_position_summary(om, book_mgr, fills, stopPct, ctx):
    p = om.Position("K")
    for i, (price, qty, commission) in enumerate(fills):
        t = om.Trade(i, 0.0, 0, 0.0, T0)
        t.price, t.qty, t.commission = price, qty, commission
        p.trades[i] = t
    book_mgr.positions["K"] = p
    assert_same_outcome(lambda: fields(book_mgr.get_position_summary("K", stopPct)),
                        lambda: fields(plain_summary(om, p, stopPct)), ctx)
