"""SystemDiagnostics.analyze_position: the time-ordered replay of one position."""
import datetime as dt
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from marlovent import ordermgr as om

from .diag_builders import T0, fill, position
from .plain_diagnostics import replay as ref_replay


def analyze(make_mgr, *positions, key="K"):
    return om.SystemDiagnostics(make_mgr(*positions)).analyze_position(key)


def flow(analysis):
    return [(e.orderid, e.running_qty, e.running_cost, e.running_avg) for e in analysis.trade_flow]


def test_single_purchase(make_mgr):
    a = analyze(make_mgr, position("K", fill(1, 100.0, 10, 1.0)))
    [entry] = a.trade_flow
    assert entry == om.TradeFlowEntry(1, fill(1, 0, 0).timestamp, 100.0, 10, 1.0, 10.0, 1001.0, 100.1)
    assert a.calculations.final_avg_price == 100.1


def test_purchase_then_sale(make_mgr):
    a = analyze(make_mgr, position("K", fill(1, 100.0, 10, 1.0), fill(2, 110.0, -4, 1.0, minute=1)))
    assert flow(a)[1] == (2, 6.0, 560.0, 93.33333333333333)
    assert a.calculations == om.PositionCalculations(6.0, 560.0, 93.33333333333333, 6, 93.33333333333333, True, True)
    assert (a.key, a.qty, a.is_long, a.total_commission, a.empty, a.started) == ("K", 6, True, 2.0, False, T0)
    assert a.consistency_errors == []


def test_back_filled_trade_goes_flat_in_the_middle(make_mgr):
    pos = position("K", fill(1, 100.0, 5, minute=1), fill(3, 100.0, 5, minute=3), fill(2, 120.0, -5, minute=2))
    a = analyze(make_mgr, pos)
    assert flow(a) == [(1, 5.0, 500.0, 100.0), (2, 0.0, -100.0, -100.0), (3, 5.0, 400.0, 80.0)]


def test_equal_timestamps_keep_book_order(make_mgr):
    a = analyze(make_mgr, position("K", *(fill(oid, 1.0, 1) for oid in ("c", "a", "b"))))
    assert [e.orderid for e in a.trade_flow] == ["c", "a", "b"]


@pytest.mark.parametrize("claimed, matches", [(0.001, False), (0.0009, True), (-0.001, False)])
def test_qty_tolerance_edge(make_mgr, claimed, matches):
    class Claims(om.Position):
        qty = property(lambda self: claimed)

    # A purchase and a sale of 1: the replayed quantity is exactly 0.0.
    a = analyze(make_mgr, position("K", fill(1, 1.0, 1), fill(2, 1.0, -1, minute=1), cls=Claims))
    assert a.calculations.qty_matches is matches


def test_key_is_the_object_passed(make_mgr):
    a = analyze(make_mgr, position(1, fill(1, 1.0, 1)), key=1.0)
    assert type(a.key) is float


def test_missing_key_and_empty_book(make_mgr):
    assert analyze(make_mgr, key="nope") is None
    with pytest.raises(ValueError, match="^Cannot get start time for position with no trades$"):
        analyze(make_mgr, om.Position("K", {}))


def test_consistency_errors_come_from_the_validator(make_mgr):
    a = analyze(make_mgr, position("K", fill(1, 100, 15), fill(2, 400, -10)))
    assert a.consistency_errors == [
        "Position average_price -500.0 is negative (should always be positive in Position class)"]
    assert a.calculations.avg_price_matches is True


@pytest.mark.parametrize("rows, error", [
    ([(1, T0), (1, T0.replace(tzinfo=None))], TypeError),  # naive beside aware
    ([(10**400, T0)], OverflowError),
    ([("1", T0)], TypeError),
])
def test_replay_errors_propagate(make_mgr, rows, error):
    trades = [om.Trade(n, 1.0, qty, 0.0, when) for n, (qty, when) in enumerate(rows)]
    with pytest.raises(error):
        analyze(make_mgr, om.Position("K", {t.orderid: t for t in trades}))


def test_duck_typed_position_and_trades(make_mgr):
    trade = types.SimpleNamespace(orderid="x", timestamp=T0, price=2, qty=3, commission=1)
    duck = types.SimpleNamespace(key="D", trades={"x": trade}, qty=3, average_price=7 / 3, is_long=1,
                                 total_commission=1, empty=0, started=T0)
    a = om.SystemDiagnostics(types.SimpleNamespace(positions={"D": duck})).analyze_position(key="D")
    assert flow(a) == [("x", 3.0, 7.0, 7 / 3)]
    assert (a.is_long, a.empty) == (1, 0)


times = st.integers(0, 5).map(lambda m: T0 + dt.timedelta(minutes=m))
numbers = st.one_of(st.floats(-1e9, 1e9), st.integers(-10**6, 10**6), st.sampled_from([0, -0.0, 0.5]))


@given(st.lists(st.tuples(numbers, numbers, numbers, times), max_size=6))
def test_replay_matches_plain_python(rows):
    trades = {}
    for n, (price, qty, commission, when) in enumerate(rows):
        trades[n] = t = om.Trade(n, 0.0, qty, commission, when)
        t.price = price
    pos = om.Position("K", trades)
    mgr = types.SimpleNamespace(positions={"K": pos})
    if not trades:
        return
    a = om.SystemDiagnostics(mgr).analyze_position("K")
    got = [(e.running_qty, e.running_cost, e.running_avg) for e in a.trade_flow]
    assert repr(got) == repr(ref_replay(pos))  # repr: nan and -0.0 compare exactly
    final = ref_replay(pos)[-1]
    assert repr((a.calculations.final_qty, a.calculations.final_cost, a.calculations.final_avg_price)) == repr(final)
