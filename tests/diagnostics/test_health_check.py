"""SystemDiagnostics.health_check and its two passes."""
import subprocess
import sys
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from marlovent import ordermgr as om

from .diag_builders import fill, position
from .plain_diagnostics import check_data as ref_data
from .plain_diagnostics import check_math as ref_math


def with_average(value):
    class Claims(om.Position):
        average_price = property(lambda self: value)

    return Claims


def test_empty_store(make_mgr):
    report = om.SystemDiagnostics(make_mgr()).health_check()
    assert report == om.SystemHealthReport("healthy", 0, 0, [], [], [])


def test_direction_flag_disagreeing_with_quantity(make_mgr):
    class Stubborn(om.Position):
        is_long = property(lambda self: False)

    mgr = make_mgr(position("K", fill(1, 10.0, 4), cls=Stubborn), position("L", fill(2, 5.0, 1)))
    report = om.SystemDiagnostics(order_mgr=mgr).health_check()
    message = "Position K: is_long=False but qty=4 (expected is_long=True)"
    assert (report.status, report.total_positions, report.total_trades) == ("warnings", 2, 2)
    assert report.warnings == report.violations == [message]
    assert report.errors == []


def test_negative_average_of_a_partly_closed_position(make_mgr):
    mgr = make_mgr(position("K", fill(1, 100, 10), fill(2, 300, -5)))
    report = om.SystemDiagnostics(mgr).health_check()
    assert report.warnings == ["Position K: average_price=-100.0 is negative (should always be positive)"]


def test_negative_trade_price(make_mgr):
    t = fill("b", 1.5, 2)
    t.price = -1.5
    report = om.SystemDiagnostics(make_mgr(position(3, fill("a", 1.0, 1), t))).health_check()
    assert report.violations[-1] == "Position 3, Trade b: price=-1.5 is negative (not allowed)"


def test_flat_position_is_compared_with_its_total_cost(make_mgr):
    # Flat book: cost 500 - 600 = -100 over quantity 0, i.e. -100 / 1.
    flat = position("F", fill(1, 100.0, 5), fill(2, 120.0, -5), cls=with_average(25.0))
    messages = om.SystemDiagnostics(make_mgr(flat))._check_mathematical_consistency()
    assert messages == ["Position F: average_price calculation mismatch (got 25.0, expected -100.0)"]


@pytest.mark.parametrize("claimed, reported", [(0.001, False), (0.0011, True), (-0.001, False)])
def test_tolerance_edge(make_mgr, claimed, reported):
    # One trade of cost 0.0: the recomputed average is exactly 0.0.
    mgr = make_mgr(position("K", fill(1, 0.0, 1), cls=with_average(claimed)))
    assert bool(om.SystemDiagnostics(mgr)._check_mathematical_consistency()) is reported


def test_empty_book_skipped_by_the_arithmetic_pass(make_mgr):
    report = om.SystemDiagnostics(make_mgr(om.Position("E", {}))).health_check()
    assert report == om.SystemHealthReport("healthy", 1, 0, [], [], [])


def test_data_messages_come_before_arithmetic_ones(make_mgr):
    a = position("A", fill(1, 100, 10), fill(2, 300, -5), cls=with_average(-7.0))
    b = position("B", fill(3, 100, 10), fill(4, 300, -5))
    report = om.SystemDiagnostics(make_mgr(a, b)).health_check()
    assert report.warnings == [
        "Position A: average_price=-7.0 is negative (should always be positive)",
        "Position B: average_price=-100.0 is negative (should always be positive)",
        "Position A: average_price calculation mismatch (got -7.0, expected -100.0)",
    ]


def test_violations_is_the_list_the_data_pass_returned(make_mgr):
    returned = []

    class Watched(om.SystemDiagnostics):
        def _check_data_consistency(self):
            returned.append(super()._check_data_consistency())
            return returned[-1]

    report = Watched(make_mgr(position("K", fill(1, 100, 10), fill(2, 300, -5)))).health_check()
    assert report.violations is returned[0]
    assert report.warnings is not report.violations
    report.warnings.append("more")
    assert report.violations == ["Position K: average_price=-100.0 is negative (should always be positive)"]


def test_overridden_and_shadowed_passes_are_used(make_mgr):
    class Custom(om.SystemDiagnostics):
        def _check_mathematical_consistency(self):
            return ("math",)

    diag = Custom(make_mgr())
    assert diag.health_check().warnings == ["math"]
    diag._check_data_consistency = lambda: ["shadow"]
    assert diag.health_check() == om.SystemHealthReport("warnings", 0, 0, ["shadow", "math"], [], ["shadow"])


def test_read_errors_propagate(make_mgr):
    t = fill(1, 1.0, 1)
    t.price = None
    with pytest.raises(TypeError):
        om.SystemDiagnostics(make_mgr(position("K", t))).health_check()
    broken = types.SimpleNamespace(positions=types.SimpleNamespace(values=lambda: 1 / 0))
    with pytest.raises(ZeroDivisionError):
        om.SystemDiagnostics(broken).health_check()


def test_results_are_fresh_and_equal(make_mgr):
    diag = om.SystemDiagnostics(make_mgr(position("K", fill(1, 100, 10), fill(2, 300, -5))))
    first, second = diag.health_check(), diag.health_check()
    assert first == second and first.warnings is not second.warnings


def test_optimisation_flag_changes_nothing():
    script = (
        "from marlovent import ordermgr as om\n"
        "class M: positions = {'K': om.Position('K', {1: om.Trade(1, 100, 10), 2: om.Trade(2, 300, -5)})}\n"
        "print(om.SystemDiagnostics(M()).health_check(), om.SystemReporter(M()).position_table())\n")
    runs = [subprocess.run([sys.executable, *flag, "-c", script], capture_output=True, text=True, check=True).stdout
            for flag in ([], ["-O"])]
    assert runs[0] == runs[1] and "average_price=-100.0" in runs[0]


numbers = st.one_of(st.floats(-1e6, 1e6), st.integers(-1000, 1000), st.sampled_from([0, 0.0, -0.0, 0.1, 1e-05]),
                    st.floats(allow_nan=True, allow_infinity=True), st.integers(-2**60, 2**60))


@given(st.lists(st.lists(st.tuples(numbers, numbers, numbers), max_size=4), max_size=4), st.booleans())
def test_passes_match_plain_python(books, wrong_direction):
    class Flipped(om.Position):
        is_long = property(lambda self: not om.Position.is_long.__get__(self))

    cls = Flipped if wrong_direction else om.Position
    positions = {}
    for k, book in enumerate(books):
        trades = {}
        for n, (price, qty, commission) in enumerate(book):
            trades[n] = t = om.Trade(n, 0.0, qty, commission)
            t.price = price
        positions[k] = cls(k, trades)
    mgr = types.SimpleNamespace(positions=positions)
    report = om.SystemDiagnostics(mgr).health_check()
    assert report.violations == ref_data(mgr)
    assert report.warnings == ref_data(mgr) + ref_math(mgr)
    assert report.total_trades == sum(len(b) for b in books)
    assert report.status == ("warnings" if report.warnings else "healthy")
