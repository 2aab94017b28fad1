"""The thirteen classes under the dataclasses functions, as the equivalent
dataclasses behave."""

import dataclasses as dc
import datetime as dt

import pytest
from hypothesis import given
from hypothesis import strategies as st

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)

FIELDS = {
    "PositionSummary": [
        "qty", "average_price", "stop", "total_commission", "stopPct",
        "started", "marketPrice", "profit", "stopPts", "age",
    ],
    "Trade": ["orderid", "price", "qty", "commission", "timestamp"],
    "Position": ["key", "trades"],
    "PositionGroup": ["positions", "key"],
    "OrderMgr": ["namespace", "positions"],
    "SystemHealthReport": ["status", "total_positions", "total_trades", "warnings", "errors", "violations"],
    "TradeFlowEntry": [
        "orderid", "timestamp", "price", "qty", "commission", "running_qty", "running_cost", "running_avg",
    ],
    "PositionCalculations": [
        "final_qty", "final_cost", "final_avg_price", "position_qty", "position_avg_price",
        "qty_matches", "avg_price_matches",
    ],
    "PositionAnalysis": [
        "key", "qty", "average_price", "is_long", "total_commission", "empty", "started",
        "trade_flow", "calculations", "consistency_errors",
    ],
    "ValidationResult": ["position_key", "errors", "is_valid"],
    "SystemDiagnostics": ["order_mgr"],
    "SystemReporter": ["order_mgr"],
    "DataValidator": [],
}
NOT_INIT = {("PositionSummary", n) for n in ("stopPct", "profit", "stopPts", "age")} | {("OrderMgr", "positions")}


@pytest.mark.parametrize("name", FIELDS)
def test_fields_order_and_flags(om, name):
    cls = getattr(om, name)
    assert dc.is_dataclass(cls)
    fields = dc.fields(cls)
    assert [f.name for f in fields] == FIELDS[name]
    for f in fields:
        assert f.init == ((name, f.name) not in NOT_INIT)
        assert f.compare == ((name, f.name) != ("PositionSummary", "age"))
        assert f.repr
    params = cls.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (True, True, True, False, False)
    # __match_args__ of a dataclass names its constructor parameters.
    assert cls.__match_args__ == tuple(f.name for f in fields if f.init)


def host_replace_refusal():
    """What the host's dataclasses.replace raises for a field declared with
    init=False (ValueError on 3.12, TypeError on 3.13)."""

    @dc.dataclass
    class Plain:
        derived: int = dc.field(init=False, default=0)

    try:
        dc.replace(Plain(), derived=1)
    except Exception as err:  # noqa: BLE001 - the host's own choice of class
        return type(err)
    raise AssertionError("replace accepted an init=False field")


def test_defaults_as_declared(om):
    price, qty, commission, stamp = dc.fields(om.Trade)[1:]
    assert (price.default, qty.default, commission.default) == (0.0, 0, 0.0)
    assert type(qty.default) is int
    made = stamp.default_factory()
    assert made.tzinfo is UTC and abs(made - dt.datetime.now(UTC)) < dt.timedelta(seconds=5)
    assert dc.fields(om.Position)[1].default_factory() == {}
    assert dc.fields(om.PositionGroup)[0].default_factory() == set()
    assert dc.fields(om.PositionSummary)[6].default is None


def test_default_timestamp_factory_reads_the_module_clock(om, restore_module_attrs):
    class Frozen(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return T0

    fake = type("datetime_module", (), {"datetime": Frozen, "timezone": dt.timezone})
    om.datetime = fake
    assert dc.fields(om.Trade)[4].default_factory() == T0


trades = st.builds(
    lambda oid, price, qty, c, minutes: (oid, price, qty, c, T0 + dt.timedelta(minutes=minutes)),
    st.one_of(st.integers(), st.text(max_size=5)),
    st.one_of(st.integers(0, 10**6), st.floats(0, 1e6)),
    st.one_of(st.integers(-1000, 1000), st.floats(-1e4, 1e4)),
    st.floats(0, 100),
    st.integers(0, 10**6),
)


@given(trades)
def test_trade_round_trips(om, values):
    t = om.Trade(*values)
    assert dc.astuple(t) == values
    d = dc.asdict(t)
    assert list(d) == FIELDS["Trade"] and om.Trade(**d) == t
    assert dc.replace(t) == t and dc.replace(t) is not t
    assert dc.replace(t, qty=7).qty == 7


def test_asdict_recurses_like_a_dataclass(om):
    t = om.Trade("1", 100.0, 10, 1.0, T0)
    p = om.Position("AAPL")
    p.add_trade(t)
    assert dc.asdict(p) == {"key": "AAPL", "trades": {"1": dc.asdict(t)}}
    assert dc.astuple(p) == ("AAPL", {"1": dc.astuple(t)})
    g = om.PositionGroup()
    g.add(p)
    d = dc.asdict(g)
    # Sets are deep-copied, not converted: the members stay positions.
    assert d["key"] == g.key and d["positions"] == {p} and next(iter(d["positions"])) is not p
    flow = om.TradeFlowEntry("1", T0, 100.0, 10.0, 1.0, 10.0, 1001.0, 100.1)
    calc = om.PositionCalculations(10.0, 1001.0, 100.1, 10, 100.1, True, True)
    a = om.PositionAnalysis("AAPL", 10, 100.1, True, 1.0, False, T0, [flow], calc, [])
    assert dc.asdict(a)["trade_flow"] == [dc.asdict(flow)]
    assert dc.astuple(a)[8] == dc.astuple(calc)


def test_replace_rederives_and_refuses_derived_fields(om):
    s = om.PositionSummary(10, 100.0, 90.0, 0, T0, 105.0)
    moved = dc.replace(s, stop=95.0)
    assert (moved.stop, moved.stopPct, moved.stopPts, moved.profit) == (95.0, 0.05, -5.0, 5.0)
    assert dc.replace(s) == s  # age differs and is not compared
    for derived in ("stopPct", "profit", "stopPts", "age"):
        with pytest.raises(host_replace_refusal(), match="init=False"):
            dc.replace(s, **{derived: 1})
    v = om.ValidationResult("K", ["x"], True)
    assert v.is_valid is False and dc.replace(v, errors=[]).is_valid is True


def test_replace_on_the_manager(om, mgr):
    with pytest.raises(host_replace_refusal(), match="init=False"):
        dc.replace(mgr, positions={})
    other = dc.replace(mgr, namespace="other book")
    assert other.namespace == "Other-Book" and dc.is_dataclass(other)


def test_instances_and_other_objects(om):
    assert dc.is_dataclass(om.DataValidator()) and dc.asdict(om.DataValidator()) == {}
    assert not dc.is_dataclass(om.OrderMgr.__dict__.get("_TempScope", object))
    with pytest.raises(TypeError):
        dc.fields(object())


def test_type_hints(om):
    import typing

    hints = typing.get_type_hints(om.Trade)
    assert list(hints) == FIELDS["Trade"] and hints["timestamp"] is dt.datetime
    assert typing.get_type_hints(om.PositionSummary)["marketPrice"] == float | None
