"""inspect.signature and docstrings for every constructor and method."""

import datetime as dt
import inspect

import pytest

from marlovent import _interop

UTC = dt.timezone.utc
P = inspect.Parameter

CONSTRUCTORS = {
    "PositionSummary": "(qty, average_price, stop, total_commission, started, marketPrice=None)",
    "Trade": "(orderid, price=0.0, qty=0, commission=0.0, timestamp=<factory>)",
    "Position": "(key, trades=<factory>)",
    "PositionGroup": "(positions=<factory>, key=None)",
    "OrderMgr": "(namespace)",
    "ValidationResult": "(position_key, errors, is_valid)",
    "SystemDiagnostics": "(order_mgr)",
    "SystemReporter": "(order_mgr)",
    "DataValidator": "()",
}

METHODS = {
    ("Position", "add_trade"): "(self, trade)",
    ("Position", "add_commission"): "(self, orderid, commission)",
    ("PositionGroup", "add"): "(self, p)",
    ("PositionGroup", "updatekey"): "(self)",
    ("PositionGroup", "summary"): "(self, stopPct=0.1, priceFetcher=None)",
    ("PositionGroup", "generateOrderDesc"): "(self, openclose)",
    ("PositionGroup", "open"): "(self, *args)",
    ("PositionGroup", "close"): "(self, *args)",
    ("PositionGroup", "start"): "(self, stopPct=0.1, algo='LIM')",
    ("PositionGroup", "stop"): "(self, stopPct=0.1, algo='LIM')",
    ("OrderMgr", "clear"): "(self)",
    ("OrderMgr", "temp"): "(name=None, keep=False)",
    ("OrderMgr", "add_trade"): "(self, key, trade)",
    ("OrderMgr", "update_commission"): "(self, key, orderid, commission)",
    ("OrderMgr", "get_position_summary"): "(self, key, stopPct=0.1)",
    ("OrderMgr", "get_position_summary_by_order"): "(self, orderid, stopPct=0.1)",
    ("OrderMgr", "get_portfolio_summary"): "(self, stopPct=0.1)",
    ("OrderMgr", "position_groups"): "(self, orderid=None)",
    ("OrderMgr", "health_check"): "(self)",
    ("OrderMgr", "validate_consistency"): "(self)",
    ("OrderMgr", "position_table"): "(self)",
    ("OrderMgr", "portfolio_report"): "(self, stopPct=0.1)",
    ("OrderMgr", "spread_report"): "(self)",
    ("OrderMgr", "analyze_position"): "(self, key)",
    ("OrderMgr", "debug_summary"): "(self)",
    ("ValidationResult", "__post_init__"): "(self)",
    ("SystemDiagnostics", "health_check"): "(self)",
    ("SystemDiagnostics", "_check_data_consistency"): "(self)",
    ("SystemDiagnostics", "_check_mathematical_consistency"): "(self)",
    ("SystemDiagnostics", "analyze_position"): "(self, key)",
    ("SystemReporter", "position_table"): "(self)",
    ("SystemReporter", "position_summary"): "(self, stopPct=0.1)",
    ("SystemReporter", "spread_analysis"): "(self)",
    ("DataValidator", "validate_trade"): "(trade)",
    ("DataValidator", "validate_position_consistency"): "(position)",
    ("DataValidator", "validate_position_summary_consistency"): "(summary)",
    ("DataValidator", "validate_system_consistency"): "(order_mgr)",
}

# First lines of the documentation that the classes and members carry.
DOC_FIRST_LINES = {
    ("PositionGroup", None): "A holder for positions all trading together as a bag/spread.",
    ("PositionGroup", "keys"): "Return a set of position keys for all positions in this group.",
    ("PositionGroup", "updatekey"): "Create a simple way to identify this combination of orders using a short string.",
    ("PositionGroup", "summary"): "Generate collective metrics across all positions in the group as one quantity.",
    ("OrderMgr", None): "Manage a portfolio full of instruments having multiple trades.",
    ("OrderMgr", "clear"): "Remove all positions to start fresh",
    ("OrderMgr", "temp"): "Create a uniquely namespaced test instance then delete when complete",
    ("OrderMgr", "get_portfolio_summary"): "Return all positions without matching any combined order details.",
    ("OrderMgr", "position_groups"): "Combine positions having shared orderIds into PositionGroups for multi-reporting.",
    ("OrderMgr", "health_check"): "Run comprehensive health check on this OrderMgr instance.",
    ("OrderMgr", "debug_summary"): "Generate a complete debug summary of the system.",
    ("ValidationResult", None): "Result of data validation checks.",
    ("SystemHealthReport", None): "Structured health check report with proper typing.",
    ("TradeFlowEntry", None): "Single entry in position trade flow analysis.",
    ("PositionCalculations", None): "Position calculation verification data.",
    ("PositionAnalysis", None): "Complete analysis of a single position.",
    ("SystemDiagnostics", None): "Comprehensive system health checks and consistency validation.",
    ("SystemDiagnostics", "analyze_position"): "Deep analysis of a specific position.",
    ("SystemReporter", None): "Generate formatted reports and tables for system visualization.",
    ("SystemReporter", "position_summary"): "Generate a summary report of all positions with stop information.",
    ("DataValidator", None): "Input validation and data consistency guards.",
}


def plain(sig):
    """A signature without annotations or return annotation, as text. A
    method bound natively takes `self` positionally only; that is shown as
    the ordinary `self` of a method."""
    params = [p.replace(annotation=P.empty) for p in sig.parameters.values()]
    if params and params[0].name == "self":
        params[0] = params[0].replace(kind=P.POSITIONAL_OR_KEYWORD)
    return str(sig.replace(parameters=params, return_annotation=inspect.Signature.empty))


@pytest.mark.parametrize("name", CONSTRUCTORS)
def test_constructor_signatures(om, name):
    sig = inspect.signature(getattr(om, name))
    assert plain(sig) == CONSTRUCTORS[name]
    assert sig.return_annotation is None


@pytest.mark.parametrize("owner, name", METHODS)
def test_method_signatures(om, owner, name):
    assert plain(inspect.signature(getattr(getattr(om, owner), name))) == METHODS[owner, name]


def test_bound_methods_and_binding(om):
    assert str(inspect.signature(om.Position("X").add_trade)) == "(trade)"
    sig = inspect.signature(om.Trade)
    bound = sig.bind(1, qty=5)
    t = om.Trade(*bound.args, **bound.kwargs)
    assert (t.orderid, t.qty) == (1, 5)
    with pytest.raises(TypeError):
        sig.bind(1, stopPct=3)


def test_instances_have_no_signature(om):
    assert not hasattr(om.Trade(1), "__signature__")


def test_subclasses(om):
    class Plain(om.Position):
        pass

    class Own(om.Position):
        def __init__(self, key, extra):
            super().__init__(key)

    assert str(inspect.signature(Plain)) == str(inspect.signature(om.Position))
    assert str(inspect.signature(Own)) == "(key, extra)"


@pytest.mark.parametrize("owner, name", [k for k in METHODS if k[0] != "OrderMgr" or k[1] != "temp"])
def test_every_method_documented(om, owner, name):
    doc = getattr(getattr(om, owner), name).__doc__
    assert doc and doc.strip() and not doc.startswith(name + "(")


def test_every_public_class_and_property_documented(om):
    for cls_name in ("PositionSummary", "Trade", "Position", "PositionGroup", "OrderMgr", *CONSTRUCTORS):
        cls = getattr(om, cls_name)
        assert cls.__doc__ and cls.__doc__.strip(), cls_name
        for attr, value in vars(cls).items():
            if attr.startswith("__") or not hasattr(value, "__get__") or isinstance(value, type):
                continue
            assert getattr(value, "__doc__", None), f"{cls_name}.{attr}"


@pytest.mark.parametrize("owner, member", DOC_FIRST_LINES)
def test_quoted_first_lines(om, owner, member):
    obj = getattr(om, owner)
    doc = obj.__doc__ if member is None else inspect.getattr_static(obj, member).__doc__
    if member is not None and doc is None:
        doc = getattr(obj, member).__doc__
    assert doc.strip().splitlines()[0] == DOC_FIRST_LINES[owner, member]


def test_wrappers_pass_arguments_and_errors_through(om, data_dir):
    a, b = om.Position("A"), om.Position("B")
    t0 = dt.datetime(2024, 3, 5, tzinfo=UTC)
    a.add_trade(om.Trade(1, 5.0, 10, 0.0, t0))
    b.add_trade(om.Trade(1, 2.0, -10, 0.0, t0))
    g = om.PositionGroup()
    g.add(a)
    g.add(b)
    # Methods carry their own text signatures: no Python wrapper stands between.
    native_stop = om.PositionGroup.stop
    assert type(native_stop).__name__ == "method_descriptor" and not hasattr(native_stop, "__wrapped__")
    assert g.stop() == native_stop(g) == g.stop(0.1, "LIM") == g.stop(stopPct=0.1, algo="LIM")
    assert g.open(1, 2, 3) == g.open()
    with pytest.raises(TypeError, match="Argument 'algo' has incorrect type"):
        g.stop(algo=1)
    with pytest.raises(TypeError):
        a.add_trade()
    with OrderMgr_temp(om) as m:
        assert type(m) is om.OrderMgr


def OrderMgr_temp(om):
    return om.OrderMgr.temp("signature test")


def test_install_is_idempotent(om):
    before = dict(vars(om.Position))
    _interop.install(om)
    assert dict(vars(om.Position)) == before
