"""The health check's passes and the replay of one position on every kind of
number give exactly what the plain-Python formulas give: values, types,
reprs, the exception and its message, and the operator calls made."""
import datetime as dt
import types
from decimal import Decimal

from hypothesis import given, strategies as st

from marlovent import ordermgr as om
from numeric_kinds import LogFloat, assert_same_outcome, contexts, kind_of_number

from .diag_builders import T0
from .plain_diagnostics import calculations, check_data, check_math, replay, validate_position


def book(fills):
    trades = {}
    for n, (price, qty, commission) in enumerate(fills):
        trades[n] = t = om.Trade(n, 0.0, 0, 0.0, T0 + dt.timedelta(minutes=(n * 3) % 4))
        t.price, t.qty, t.commission = price, qty, commission
    return trades


books = kind_of_number().flatmap(lambda n: st.lists(st.lists(st.tuples(n, n, n), max_size=4), min_size=1, max_size=3))


@given(books, contexts)
def test_health_check_passes(fill_lists, ctx):
    mgr = types.SimpleNamespace(positions={k: om.Position(k, book(f)) for k, f in enumerate(fill_lists)})
    diagnostics = om.SystemDiagnostics(mgr)
    assert_same_outcome(diagnostics._check_mathematical_consistency, lambda: check_math(mgr), ctx)
    assert_same_outcome(diagnostics._check_data_consistency, lambda: check_data(mgr), ctx)


def native_analysis(mgr, key):
    a = om.SystemDiagnostics(mgr).analyze_position(key)
    c = a.calculations
    return (a.key, a.qty, a.average_price, a.is_long, a.total_commission, a.empty, a.started,
            [(e.running_qty, e.running_cost, e.running_avg) for e in a.trade_flow],
            (c.final_qty, c.final_cost, c.final_avg_price, c.position_qty, c.position_avg_price, c.qty_matches,
             c.avg_price_matches), a.consistency_errors)


def plain_analysis(mgr, key):
    p = mgr.positions[key]
    rows = replay(p)
    calcs = calculations(p, rows)
    errors = validate_position(p)
    return (key, p.qty, p.average_price, p.is_long, p.total_commission, p.empty, p.started, rows, calcs, errors)


@given(kind_of_number().flatmap(lambda n: st.lists(st.tuples(n, n, n), max_size=5)), contexts)
def test_replay(fills, ctx):
    mgr = types.SimpleNamespace(positions={"K": om.Position("K", book(fills))})
    assert_same_outcome(lambda: native_analysis(mgr, "K"), lambda: plain_analysis(mgr, "K"), ctx)


def test_running_values_are_host_sums_stored_as_doubles():
    # float + Decimal fails in the quantity step, before the cost term; a
    # float subclass is read without its __float__.
    for fills in ([(1.0, Decimal(1), 0.0)], [(LogFloat(2.0), LogFloat(3.0), 0.5)], [(1.0, 2**1100, 0.0)]):
        mgr = types.SimpleNamespace(positions={"K": om.Position("K", book(fills))})
        assert_same_outcome(lambda: native_analysis(mgr, "K"), lambda: plain_analysis(mgr, "K"))
