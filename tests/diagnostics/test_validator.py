"""DataValidator: every rule and message, tolerance edges, duck typing."""
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from marlovent import ordermgr as om

from .diag_builders import fill, position
from .plain_diagnostics import validate_position as ref_position

V = om.DataValidator


def test_trade_with_every_rule_failing():
    trade = om.Trade("x", 0.0, 0, -1.0)
    trade.price, trade.orderid = -5.0, None
    assert V.validate_trade(trade) == [
        "Trade price -5.0 is negative (not allowed)",
        "Trade commission -1.0 is negative (unusual)",
        "Trade quantity is zero (may indicate data error)",
        "Trade orderid is empty/None",
    ]


@pytest.mark.parametrize("orderid, qty, expected", [
    (0, 1, ["Trade orderid is empty/None"]),
    ("", 1, ["Trade orderid is empty/None"]),
    ("A", 0.0, ["Trade quantity is zero (may indicate data error)"]),
    ("A", -0.0, ["Trade quantity is zero (may indicate data error)"]),
    ("A", -3, []),
])
def test_trade_edges(orderid, qty, expected):
    assert V.validate_trade(om.Trade(orderid, 1.0, qty)) == expected


def test_duck_typed_trade_and_read_errors():
    duck = types.SimpleNamespace(price=2, commission=-3, qty=1, orderid="x")
    assert V.validate_trade(duck) == ["Trade commission -3 is negative (unusual)"]
    with pytest.raises(TypeError):
        V.validate_trade(types.SimpleNamespace(price=None, commission=0, qty=1, orderid=1))
    with pytest.raises(AttributeError):
        V.validate_trade(types.SimpleNamespace(price=1))


def test_position_with_negative_cost_basis():
    pos = position("K", fill(1, 100, 15), fill(2, 400, -10))
    assert pos.average_price == -500.0
    assert V.validate_position_consistency(pos) == [
        "Position average_price -500.0 is negative (should always be positive in Position class)"]


def test_position_prefixes_trade_messages_with_the_book_key():
    pos = position("K", fill(7, 100.0, 5, -2.5))
    assert V.validate_position_consistency(position=pos) == ["Trade 7: Trade commission -2.5 is negative (unusual)"]
    assert V.validate_position_consistency(om.Position("empty")) == []


@pytest.mark.parametrize("claimed, reported", [(0.001, False), (0.0011, True), (-0.001, False)])
def test_qty_tolerance_edge(claimed, reported):
    class Claims(om.Position):
        qty = property(lambda self: claimed)

    # No trades: the sum is the integer 0, so the difference is exactly `claimed`.
    errors = V.validate_position_consistency(Claims("K"))
    assert any(e.startswith("Position qty mismatch") for e in errors) is reported
    if reported:
        assert errors[0] == f"Position qty mismatch: calculated 0, actual {claimed}"


def test_direction_flag_disagreeing_with_quantity():
    class Stubborn(om.Position):
        is_long = property(lambda self: True)

    pos = position("K", fill(1, 10.0, -3), cls=Stubborn)
    assert V.validate_position_consistency(pos) == [
        "Position is_long inconsistency: is_long=True, qty=-3 (expected is_long=False)"]
    truthy_one = types.SimpleNamespace(trades={}, qty=0, is_long=0, average_price=0.0)
    assert V.validate_position_consistency(truthy_one) == []  # 0 == False: no message


def test_summary_rules_in_order():
    summary = types.SimpleNamespace(qty=0, average_price=-1.5, is_long=True, stop=0)
    assert V.validate_position_summary_consistency(summary) == [
        "PositionSummary qty 0 is not positive",
        "PositionSummary is_long inconsistency: is_long=True, average_price=-1.5 (expected is_long=False)",
        "PositionSummary stop 0 is not positive",
    ]
    fine = types.SimpleNamespace(qty=1, average_price=2.0, is_long=True, stop=1.8)
    assert V.validate_position_summary_consistency(summary=fine) == []


def test_system_consistency(make_mgr):
    assert V.validate_system_consistency(make_mgr()) == []
    good = position(5, fill(1, 100.0, 10))
    bad = position(("X", 1), fill(2, 100, 15), fill(3, 400, -10))
    results = V.validate_system_consistency(order_mgr=make_mgr(good, bad))
    assert [type(r) for r in results] == [om.ValidationResult] * 2
    assert results[0] == om.ValidationResult("5", [], True)
    assert results[1].position_key == "('X', 1)" and results[1].is_valid is False
    assert results[1].errors == V.validate_position_consistency(bad)


def test_replaced_functions_are_looked_up_on_the_class(make_mgr, monkeypatch):
    pos = position("K", fill(1, 1.0, 1))
    monkeypatch.setattr(V, "validate_trade", staticmethod(lambda t: ["looked up"]))
    assert V.validate_position_consistency(pos) == ["Trade 1: looked up"]
    monkeypatch.setattr(V, "validate_position_consistency", staticmethod(lambda p: ("a", "b")))
    [result] = V.validate_system_consistency(make_mgr(pos))
    assert result.errors == ("a", "b") and result.is_valid is False


def test_replaced_result_class_is_used(make_mgr, monkeypatch):
    made = []
    monkeypatch.setattr(om, "ValidationResult", lambda **kw: made.append(kw) or kw)
    V.validate_system_consistency(make_mgr(position("K", fill(1, 1.0, 1))))
    assert made == [{"position_key": "K", "errors": [], "is_valid": True}]


def test_store_errors_propagate():
    class Failing:
        positions = types.SimpleNamespace(items=lambda: [("K", None)])

    with pytest.raises(AttributeError):
        V.validate_system_consistency(Failing())


numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-10**6, 10**6),
    st.integers(-10**30, 10**30),
    st.sampled_from([0, 0.0, -0.0, 0.001, -0.001, 1e-05]),
)
ids = st.one_of(st.none(), st.integers(-2, 2), st.text(max_size=2), st.booleans())


@given(st.lists(st.tuples(ids, numbers, numbers, numbers), max_size=5))
def test_position_rules_match_plain_python(rows):
    trades = {}
    for orderid, price, qty, commission in rows:
        t = om.Trade(1, 0.0, qty, commission)
        t.price, t.orderid = price, orderid  # negative and nan prices, None ids
        trades[orderid] = t
    pos = om.Position("K", trades)
    try:
        expected = ref_position(pos)
    except (OverflowError, ValueError) as e:
        with pytest.raises(type(e)):
            V.validate_position_consistency(pos)
        return
    assert V.validate_position_consistency(pos) == expected
