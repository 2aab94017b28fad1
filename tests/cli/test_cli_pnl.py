"""Profit and loss from the ledger of imported fills: round trips cut where the
library resets a position, realized and unrealized figures, the command."""

import datetime as dt
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from cli_support import HEADER, requires_store
from marlovent._cli.pnl import apply_marks, round_trips, totals

QTYS = st.one_of(st.integers(-5, 5).filter(bool), st.sampled_from([0.1, 0.2, -0.3, 0.5, -0.5, 1.5, -1.5]))
FILL = st.tuples(st.sampled_from(["A", "B", 3]), st.integers(1, 500).map(float) | st.integers(1, 500), QTYS, st.sampled_from([0, 0.0, 1.0, 0.35]))


def model(om, fills):
    """Round trips as the library cuts them: a position that goes flat is
    deleted from the book; realized and open figures by plain sums."""
    positions, trips, realized, closed = {}, {}, {}, {}
    t0 = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    for n, (key, price, qty, commission) in enumerate(fills):
        pos = positions.setdefault(key, om.Position(key))
        trips.setdefault(key, []).append((price, qty, commission))
        realized.setdefault(key, 0)
        closed.setdefault(key, 0)
        if not pos.add_trade(om.Trade(n, price, qty, commission, t0)):
            trip = trips.pop(key)
            realized[key] += -sum(p * q for p, q, _ in trip) - sum(c for _, _, c in trip)
            closed[key] += 1
    return positions, trips, realized, closed


@given(st.lists(FILL, max_size=30), st.floats(1, 500))
def test_round_trips_against_the_library_and_plain_sums(om, fills, mark):
    positions, trips, realized, closed = model(om, fills)
    got = round_trips(fills)
    assert set(got) == {f[0] for f in fills}
    apply_marks(got, {k: mark for k in got})
    for key, r in got.items():
        assert r.qty == positions[key].qty and type(r.qty) is type(positions[key].qty)
        assert r.realized == realized[key] and r.round_trips == closed[key]
        trip = trips.get(key, [])
        if trip:
            expect = mark * positions[key].qty - sum(p * q for p, q, _ in trip) - sum(c for _, _, c in trip)
            assert r.unrealized == expect
        else:
            assert r.qty == 0 and r.unrealized is None
    assert totals(got.values())[0] == sum(r.realized for r in got.values())


def test_the_worked_example():
    got = round_trips([("X", 100, 10, 1.0), ("X", 110, -10, 1.0), ("Y", 50, 4, 0.5)])
    assert apply_marks(got, {}) == ["Y"] and got["Y"].unrealized is None
    apply_marks(got, {"Y": 55})
    assert (got["X"].realized, got["X"].qty, got["Y"].unrealized) == (98.0, 0, 19.5)


@requires_store
def test_pnl_command_survives_closed_positions_and_later_commissions(tool, write):
    fills = write(
        "day.csv",
        HEADER
        + "X,1,100,10,1.0,2024-03-05T09:30:00Z\n"
        + "X,2,110,-10,1.0,2024-03-05T10:00:00Z\n"  # closes X: the position forgets both fills
        + "Y,3,50,4,0.1,2024-03-05T10:30:00Z\n"
        + "7,4,20,1,,2024-03-05T10:31:00Z\n",
    )
    late = write("late.csv", HEADER + "Y,3,,,0.5,\n")
    marks = write("marks.csv", "key,price\nY,55\n7,21.5\nZ,1\n")
    assert tool("import", fills).returncode == 0 and tool("import", late).returncode == 0
    r = tool("pnl", "--marks", marks, "--json")
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    assert data["instruments"] == [
        {"key": "7", "qty": 1, "realized": 0, "unrealized": 1.5, "round_trips": 0},
        {"key": "X", "qty": 0, "realized": 98.0, "unrealized": None, "round_trips": 1},
        {"key": "Y", "qty": 4, "realized": 0, "unrealized": 19.5, "round_trips": 0},
    ]
    assert data["totals"] == {"realized": 98.0, "unrealized": 21.0}
    assert "no fills of Z" in r.stderr
    text = tool("pnl").stdout.splitlines()
    assert [c.strip() for c in text[1].split("|")[1:-1]] == ["Key", "Qty", "Realized", "Unrealized", "Round Trips"]
    assert "no mark" in text[3] and "no mark" in text[5] and text[-2].startswith("| Total ") and "$98.00" in text[-2]


@requires_store
@pytest.mark.parametrize(
    "marks, message",
    [("key,price\nY,abc\n", "price 'abc' is not a number"), ("sym,last\nY,1\n", "must name the columns key and price"), ("key,price\nY,1\nY,2\n", "a second mark")],
)
def test_bad_marks_are_one_line_each(tool, write, marks, message):
    assert tool("import", write("a.csv", HEADER + "Y,3,50,4,0.1,2024-03-05T10:30:00Z\n")).returncode == 0
    r = tool("pnl", "--marks", write("m.csv", marks))
    assert r.returncode == 1 and message in r.stderr and "Traceback" not in r.stderr
