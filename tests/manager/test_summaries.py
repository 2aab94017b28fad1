import pytest

from support import ts


def test_position_summary_long_and_short(om, mgr):
    mgr.add_trade("L", om.Trade(1, 100.0, 10, 5.0, ts()))
    s = mgr.get_position_summary("L")
    assert (s.qty, s.average_price, s.stop, s.total_commission, s.started) == (10, 100.5, 90.45, 5.0, ts())
    assert s.marketPrice is None and s.is_long
    mgr.add_trade("S", om.Trade(2, 100.0, -10, 5.0, ts()))
    s = mgr.get_position_summary("S", 0.1)
    assert (s.qty, s.average_price, s.stop) == (10, -100.5, round(100.5 * 1.1, 8))
    assert not s.is_long
    for key in ("L", "S"):
        assert mgr.get_position_summary(key, stopPct=0).stop == 100.5
    with pytest.raises(KeyError):
        mgr.get_position_summary("missing")
    with pytest.raises(TypeError):
        mgr.get_position_summary("L", "x")


def test_summary_by_order(om, mgr):
    assert mgr.get_position_summary_by_order(0) is None
    mgr.add_trade("LEG1", om.Trade(7, 5.0, 10, 0.0, ts()))
    mgr.add_trade("LEG2", om.Trade(7, 2.0, -10, 0.0, ts()))
    mgr.add_trade("SOLO", om.Trade(8, 50.0, 1, 0.0, ts()))
    assert mgr.get_position_summary_by_order(99) is None
    spread = mgr.get_position_summary_by_order(7)
    assert (spread.qty, spread.average_price, spread.stop) == (10, 3.0, 2.7)
    first = mgr.get_position_summary_by_order(0)
    assert first == spread
    assert mgr.get_position_summary_by_order(8, 0.2).stop == 40.0


def test_portfolio_summary(om, mgr):
    assert mgr.get_portfolio_summary() == {}
    mgr.add_trade(1, om.Trade(1, 10.0, 1, 0.0, ts()))
    mgr.add_trade("B", om.Trade(2, 20.0, 2, 0.0, ts()))
    mgr.add_trade("1", om.Trade(3, 30.0, 3, 0.0, ts()))
    result = mgr.get_portfolio_summary(stopPct=0.5)
    assert list(result) == ["1", "B"]
    assert result["1"].average_price == 30.0 and result["B"].stop == 10.0
    for k in range(40):
        mgr.add_trade(f"K{k}", om.Trade(10 + k, 1.0 + k, k - 20 or 1, 0.5, ts()))
    # Another process's view of the same portfolio reads it in one pass (one
    # question to the store, not one per key), and sees the same summaries.
    other = om.OrderMgr("test book")
    before = other.positions._stats()
    assert other.get_portfolio_summary(0.2) == {str(k): mgr.get_position_summary(k, 0.2) for k in mgr.positions}
    after = other.positions._stats()
    assert after["bulk_loads"] - before["bulk_loads"] == 1
    assert after.get("round_trips", 0) - before.get("round_trips", 0) < 10  # (42 positions)


def test_empty_position_fails_the_whole_summary(om, mgr):
    mgr.add_trade("A", om.Trade(1, 10.0, 1, 0.0, ts()))
    mgr.positions["E"] = om.Position("E")
    with pytest.raises(ValueError, match="Cannot get start time for position with no trades"):
        mgr.get_portfolio_summary()
