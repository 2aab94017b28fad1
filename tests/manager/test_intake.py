import os

import pytest

from support import ts


@pytest.mark.parametrize(
    "given, normalised",
    [
        ("my portfolio", "My-Portfolio"),
        ("  two  spaces", "--Two--Spaces"),
        ("abc_def", "Abc_Def"),
        ("ALPHA beta", "Alpha-Beta"),
        ("a1b", "A1B"),
        ("tab\there", "Tab\tHere"),
        ("My-Portfolio", "My-Portfolio"),
    ],
)
def test_namespace_normalisation(om, data_dir, given, normalised):
    m = om.OrderMgr(given)
    assert m.namespace == normalised
    assert m.positions.cacheName == normalised
    assert m.positions.cachePrefix == os.path.join(str(data_dir), "positions-")


def test_construction_errors(om, data_dir, monkeypatch):
    with pytest.raises(AttributeError):
        om.OrderMgr(42)
    monkeypatch.delenv("QUENTARIS_DATA_DIR")
    with pytest.raises(KeyError) as err:
        om.OrderMgr("x")
    assert err.value.args == ("QUENTARIS_DATA_DIR",)


def test_record_protocol(om, mgr):
    with pytest.raises(TypeError):
        hash(mgr)
    with pytest.raises(AttributeError):
        mgr.other = 1
    with pytest.raises(TypeError):
        om.OrderMgr(namespace="a", positions={})
    assert repr(mgr).startswith("OrderMgr(namespace='Test-Book', positions=")
    assert "Remove all positions to start fresh" in om.OrderMgr.clear.__doc__


def test_store_class_is_read_at_call_time(om, data_dir, restore_module_attrs):
    made = []

    class Recorder(dict):
        def __init__(self, *, cacheName, cachePrefix):
            made.append((cacheName, cachePrefix))

    om.DualCache = Recorder
    m = om.OrderMgr("x y")
    assert type(m.positions) is Recorder and made == [("X-Y", os.path.join(str(data_dir), "positions-"))]
    m.add_trade("K", om.Trade(1, 1.0, 1, 0.0, ts()))
    assert list(m.positions) == ["K"]


def test_add_trade_lifecycle(om, mgr):
    store = mgr.positions
    mgr.add_trade("X", om.Trade(1, 100.0, 10, 0.0, ts()))
    assert list(store) == ["X"] and store["X"].qty == 10
    mgr.add_trade("X", om.Trade(2, 100.0, -10, 0.0, ts()))
    assert "X" not in store
    mgr.add_trade("X", om.Trade(3, 110.0, 5, 0.0, ts()))
    assert list(store["X"].trades) == [3]
    mgr.add_trade("Z", om.Trade(4, 1.0, 0, 0.0, ts()))
    assert "Z" not in store
    before = store["X"]
    mgr.add_trade("X", om.Trade(3, 999.0, 1, 0.0, ts()))
    assert store["X"] is before and store["X"].average_price == 110.0
    assert mgr.add_trade(key="Y", trade=om.Trade(5, 1.0, 1, 0.0, ts())) is None


def test_add_trade_error_writes_nothing(om, mgr):
    with pytest.raises(AttributeError):
        mgr.add_trade("X", object())
    assert "X" not in mgr.positions


def test_update_commission(om, mgr):
    mgr.add_trade("X", om.Trade(1, 100.0, 10, 1.0, ts()))
    mgr.update_commission("X", 1, 2.5)
    assert mgr.positions["X"].trades[1].commission == 2.5
    reopened = om.OrderMgr(mgr.namespace)
    assert reopened.positions["X"].trades[1].commission == 2.5
    with pytest.raises(KeyError):
        mgr.update_commission("Z", 1, 1.0)
    with pytest.raises(KeyError) as err:
        mgr.update_commission("X", 99, 1.0)
    assert err.value.args[0] == "Cannot add commission for orderid 99 - no such trade exists in position X"


def test_clear(om, mgr):
    mgr.add_trade("X", om.Trade(1, 1.0, 1, 0.0, ts()))
    assert mgr.clear() is None and len(mgr.positions) == 0
    mgr.add_trade("X", om.Trade(1, 1.0, 1, 0.0, ts()))
    assert "X" in mgr.positions


class Sub:
    pass


def test_temp(om, data_dir):
    with om.OrderMgr.temp() as m:
        assert m.namespace.startswith("Test-Instance-")
        assert 0 <= int(m.namespace.rsplit("-", 1)[1]) <= 200000
        store = m.positions
    with om.OrderMgr.temp("") as m:
        assert m.namespace.startswith("Test-Instance-")
    with om.OrderMgr.temp("alpha test", keep=True) as m:
        assert m.namespace == "Alpha-Test"

    class Mine(om.OrderMgr):
        pass

    with Mine.temp(name="b") as m:
        assert type(m) is Mine
    with Mine("x").temp() as m:
        assert type(m) is Mine
    with pytest.raises(TypeError):
        om.OrderMgr.temp(5)
    with pytest.raises(ZeroDivisionError):
        with om.OrderMgr.temp("kept on error") as m:
            1 / 0
    assert "Create a uniquely namespaced test instance" in om.OrderMgr.temp.__doc__


def test_subclass_store_override_is_used(om, data_dir):
    class Elsewhere(om.OrderMgr):
        @property
        def positions(self):
            return self.__dict__.setdefault("_other", {})

    m = Elsewhere("x")
    m.add_trade("K", om.Trade(1, 1.0, 1, 0.0, ts()))
    assert list(m.positions) == ["K"]
