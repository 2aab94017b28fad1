"""SystemReporter.spread_analysis."""
import pytest

from marlovent import ordermgr as om

from .conftest import Group, fill, position


def analysis(mgr):
    return om.SystemReporter(mgr).spread_analysis()


def member_lines(group):
    return [f"    {p.key}: qty={p.qty}, price=${p.average_price:,.2f}" for p in group.positions]


def test_empty_store(make_mgr):
    assert analysis(make_mgr()) == "No position groups found."


def test_only_single_positions(make_mgr):
    mgr = make_mgr(*(position(k, fill(n, 10.0, 1)) for n, k in enumerate("ABC")))
    assert analysis(mgr).split("\n") == ["SPREAD ANALYSIS", "=" * 50, "", "Summary: 0 spreads, 3 single positions"]


def test_spread_and_single(make_mgr):
    a, b = position("A", fill(1, 5.0, 10, 1.0)), position("B", fill(1, 2.0, -10, 1.0))
    mgr = make_mgr(a, b, position("C", fill(2, 7.0, 3)))
    group = mgr.position_groups()["A"]
    assert analysis(mgr).split("\n") == [
        "SPREAD ANALYSIS", "=" * 50, "",
        "SPREAD #1: A, B", "  Positions: 2", "  Group Qty: 10", "  Group Avg Price: $3.00", "  Direction: LONG",
        *member_lines(group), "",
        "Summary: 1 spreads, 1 single positions",
    ]
    assert sorted(member_lines(group)) == ["    A: qty=10, price=$5.10", "    B: qty=-10, price=$2.10"]


def test_overlapping_groups_from_the_chain_example(make_mgr):
    # Stored V, X, U, W; U (order 1), V (1, 2), W (2, 3), X (3). The grouping
    # pass leaves V, W, X on one group holding X, W, V and U on another.
    u, v = position("U", fill(1, 10.0, 1)), position("V", fill(1, 10.0, -1), fill(2, 4.0, 2, minute=1))
    w, x = position("W", fill(2, 4.0, -2), fill(3, 1.0, 3, minute=1)), position("X", fill(3, 1.0, -2))
    first, second = Group(x, w, v), Group(v, u, w)
    mgr = make_mgr(v, x, u, w, groups={"V": first, "U": second, "W": first, "X": first})
    computed = make_mgr(v, x, u, w).position_groups()  # the stand-in's own pass agrees
    assert list(computed) == ["V", "U", "W", "X"]
    assert [computed[k].positions for k in computed] == [g.positions for g in mgr.groups.values()]
    assert computed["V"] is computed["W"] is computed["X"] is not computed["U"]
    assert analysis(mgr).split("\n") == [
        "SPREAD ANALYSIS", "=" * 50, "",
        "SPREAD #1: V, W, X", "  Positions: 3", f"  Group Qty: {first.qty}",
        f"  Group Avg Price: ${first.average_price:,.2f}", f"  Direction: {'LONG' if first.is_long else 'SHORT'}",
        *member_lines(first), "",
        "Summary: 1 spreads, 1 single positions",
    ]


class Figures:
    """A duck-typed group with fixed figures."""

    def __init__(self, positions, qty=1, average_price=1.0, is_long=True):
        self.positions, self.qty, self.average_price, self.is_long = positions, qty, average_price, is_long


def test_group_figures_and_key_forms(make_mgr):
    class Shown:
        def __str__(self):
            return "str-form"

        def __format__(self, format_spec):
            return "format-form"

        def __hash__(self):
            return 1

    key = Shown()
    member = om.Position(key, {1: fill(1, 2.0, -3)})
    group = Figures({member}, qty=2.5, average_price=-1234.5, is_long=False)
    mgr = make_mgr(groups={key: group, 2: group, 3: Figures(set())})
    assert analysis(mgr).split("\n")[3:10] == [
        "SPREAD #1: str-form, 2", "  Positions: 1", "  Group Qty: 2.5", "  Group Avg Price: $-1,234.50",
        "  Direction: SHORT", "    format-form: qty=-3, price=$2.00", ""]


def test_single_groups_are_not_read(make_mgr):
    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(name)

    assert analysis(make_mgr(groups={"A": Untouchable()})).endswith("Summary: 0 spreads, 1 single positions")


def test_group_errors_propagate(make_mgr):
    flat = om.Position("F", {1: fill(1, 1.0, 1), 2: fill(2, 1.0, -1)})
    group = Group(flat, position("G", fill(3, 1.0, 1)))
    with pytest.raises(ZeroDivisionError):
        analysis(make_mgr(groups={"F": group, "G": group}))
