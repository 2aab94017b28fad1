"""Recording files into one open portfolio (in-process): duplicates, conflicts,
closing fills, late commissions, trades recorded through the library, time
order and all-or-nothing per file."""

import datetime as dt
import io
import itertools

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from cli_support import FILLS_DAY
from marlovent._cli.fills import Row, read_fills
from marlovent._cli.intake import import_fills, in_time_order
from marlovent._cli.portfolio import open_portfolio
from marlovent.ledger import Fill

NAMES = itertools.count()

HEADER = "key,orderid,price,qty,commission,timestamp\n"


@pytest.fixture
def portfolio(data_dir):
    p = open_portfolio("intake test", str(data_dir))
    yield p
    p.ledger.clear()


def run(portfolio, text, skip_bad=False, name="f.csv", header=HEADER):
    fills, bad = read_fills(io.StringIO(header + text, newline=""), name, "csv", True)
    return import_fills(portfolio, name, fills, bad, skip_bad, lambda n: None)


def counts(r):
    return (r.new, r.duplicates, r.commissions, r.closed, len(r.bad), r.recorded)


def test_new_duplicate_and_closed_counts(portfolio):
    text = "A,1,10,5,,2024-03-05T09:30:00\nA,2,11,-5,,2024-03-05T09:31:00\nB,3,20,7,1.0,2024-03-05T09:32:00\n"
    assert counts(run(portfolio, text)) == (3, 0, 0, 1, 0, True)
    positions = portfolio.mgr.positions
    assert list(positions.keys()) == ["B"] and positions["B"].trades["3"].qty == 7
    # The same file again records nothing, although A's fills left no trace in the positions.
    assert counts(run(portfolio, text)) == (0, 3, 0, 0, 0, True)
    assert list(positions.keys()) == ["B"] and len(positions["B"].trades) == 1
    assert portfolio.ledger.pnl().totals["USD"].realized == 5


def test_trades_recorded_through_the_library_are_taken_in(portfolio, om):
    ts = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
    portfolio.mgr.add_trade("A", om.Trade("1", 10, 5, 0.0, ts))
    r = run(portfolio, "A,1,10,5,,2024-03-05T09:30:00\nB,2,1,1,,\nB,2,1,1,,\nA,3,12,-5,,2024-03-05T09:40:00\n")
    assert counts(r) == (2, 2, 0, 1, 0, True) and r.adopted == ["A"]
    assert [f.fill_id for f in portfolio.ledger.fills("A")] == ["A:1", "A:3"]
    assert portfolio.ledger.history("A")[0].realized_average == 10


def test_a_conflicting_fill_is_a_bad_row_and_nothing_is_recorded(portfolio):
    r = run(portfolio, "A,1,10,5,,2024-03-05T09:30:00\nA,1,10.5,3,,2024-03-05T09:35:00\n")
    assert counts(r) == (0, 0, 0, 0, 1, False)
    assert r.bad[0].line == 3 and "own order id" in r.bad[0].reason and "fill_id" in r.bad[0].reason
    assert "differs in price (10 recorded, 10.5 in this row), qty (5 recorded, 3 in this row), timestamp" in r.bad[0].reason
    assert not portfolio.mgr.positions and len(portfolio.ledger) == 0
    # With fill ids, partial fills of one order are separate fills of one order.
    r = run(portfolio, "F1,1,A,10,5,\nF2,1,A,10.5,3,\n", header="fill_id,order_id,key,price,qty,commission\n")
    assert counts(r) == (2, 0, 0, 0, 0, True)
    assert sorted(map(str, portfolio.mgr.positions["A"].trades)) == ["('1', 'F2')", "1"]
    # A fill id offered again with only its order id changed: the message names what differs.
    r = run(portfolio, "F1,2,A,10,5,\n", header="fill_id,order_id,key,price,qty,commission\n")
    assert r.bad[0].reason.endswith("this row differs in order_id (1 recorded, 2 in this row)")
    # Alike as text, not as values: told apart as Python writes them.
    fills, bad = read_fills(io.StringIO('{"fill_id": "F1", "order_id": 1, "key": "A", "price": 10, "qty": 5}\n'),
                            "f.jsonl", "jsonl", True)
    r = import_fills(portfolio, "f.jsonl", fills, bad, False, lambda n: None)
    assert r.bad[0].reason.endswith("this row differs in order_id ('1' recorded, 1 in this row)")


def test_all_or_nothing_and_skip_bad(portfolio):
    text = "A,1,10,5,,\nA,2,-3,5,,\nB,3,10,5,,\nA,1,11,5,,\n"
    r = run(portfolio, text)
    assert counts(r) == (0, 0, 0, 0, 2, False) and not portfolio.mgr.positions and len(portfolio.ledger) == 0
    r = run(portfolio, text, skip_bad=True)
    assert counts(r) == (2, 0, 0, 0, 2, True)
    assert sorted(portfolio.mgr.positions.keys()) == ["A", "B"] and len(portfolio.ledger) == 2


def test_late_commission_rows_also_for_closed_positions(portfolio):
    text = "A,1,10,5,1.0,2024-03-05T09:30:00\nA,1,,,2.5,\n"
    assert counts(run(portfolio, text)) == (1, 0, 1, 0, 0, True)
    assert portfolio.mgr.positions["A"].trades["1"].commission == 2.5
    # Again: the commission is already 2.5, and the fill is known.
    assert counts(run(portfolio, text)) == (0, 2, 0, 0, 0, True)
    # A commission reported after its position closed still counts in the P&L.
    r = run(portfolio, "A,2,11,-5,,2024-03-06T09:30:00\nA,2,,,1.5,\n")
    assert counts(r) == (1, 0, 1, 1, 0, True)
    assert portfolio.ledger.history("A")[0].realized_average == 5 - 2.5 - 1.5
    r = run(portfolio, "A,9,,,2.5,\n")
    assert len(r.bad) == 1 and "no fill with order id 9 for A" in r.bad[0].reason and not r.recorded


@settings(max_examples=40, deadline=None)
@given(st.lists(st.decimals(-1000, 1000, places=4).filter(bool), min_size=1, max_size=8))
def test_decimal_quantities_add_up_as_written(data_dir, qtys):
    """Quantities written in decimals close a position when they sum to zero
    as written (floats would leave dust open), and the ledger agrees."""
    p = open_portfolio(f"decimals {next(NAMES)}", str(data_dir))
    qtys = qtys + ([-sum(qtys)] if sum(qtys) else [])
    rows = "".join(f"A,{i},1.5,{q},,2024-03-05T09:{i:02d}:00Z\n" for i, q in enumerate(qtys))
    try:
        r = run(p, rows)
        # A round trip closes where the running qty comes to zero or goes through it.
        running = [sum(qtys[:i]) for i in range(len(qtys) + 1)]
        closes = sum(1 for a, b in zip(running, running[1:]) if a and (b == 0 or (a > 0) != (b > 0)))
        assert counts(r) == (len(qtys), 0, 0, closes, 0, True)
        assert "A" not in p.mgr.positions and p.ledger.pnl().rows[0].qty == 0
    finally:
        p.mgr.positions.destroy()


def test_a_fill_recorded_with_a_float_quantity_is_the_same_fill_written_in_decimals(portfolio):
    when = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
    portfolio.ledger.record(Fill("A:1", "A", 1.5, 0.1, None, when, "1"))
    assert counts(run(portfolio, "A,1,1.5,0.1,,2024-03-05T09:30:00Z\nA,2,1.5,0.2,,2024-03-05T09:31:00Z\n")) == (1, 1, 0, 0, 0, True)
    # Another quantity under that id, one no double holds, is a bad row of its own.
    r = run(portfolio, f"A,1,1.5,1{'0' * 400},,2024-03-05T09:30:00Z\n")
    assert [b.line for b in r.bad] == [2] and "too large" in r.bad[0].reason


def test_a_newest_first_file_gives_the_oldest_first_portfolio(data_dir):
    lines = FILLS_DAY.read_text(encoding="utf-8").splitlines(keepends=True)
    header, rows = lines[0], lines[1:]
    commission_rows = [x for x in rows if ",,," in x]
    fills = [x for x in rows if x not in commission_rows]
    results = []
    half = next(i for i, x in enumerate(fills) if "T12:" in x)  # fills of one second stay in one file
    for name, files in (
        ("oldest first", [fills + commission_rows]),
        ("newest first", [fills[::-1] + commission_rows]),
        # The later half first: each instrument given older fills is rebuilt once.
        ("later half first", [fills[half:], fills[:half] + commission_rows]),
    ):
        p = open_portfolio(name, str(data_dir))
        for body in files:
            parsed, bad = read_fills(io.StringIO(header + "".join(body), newline=""), "f.csv", "csv")
            assert import_fills(p, "f.csv", parsed, bad, False, lambda n: None).recorded
        positions = {k: (pos.qty, pos.average_price, sorted(map(repr, pos.trades))) for k, pos in p.mgr.positions.items()}
        rows = {r.key: r for r in p.ledger.pnl().rows}
        results.append((positions, rows, p.ledger.history()))
    assert results[0] == results[1] == results[2]
    assert len(results[0][2]) == 2


@st.composite
def exports(draw):
    """Fills of a few instruments as they happened (many in the same second),
    and a file of them as an exporter lays it out: all by time or grouped by
    instrument, oldest or newest first."""
    t0 = dt.datetime(2024, 3, 5, 14, tzinfo=dt.timezone.utc)
    happened = {}
    for key in draw(st.lists(st.sampled_from("ABCDE"), min_size=1, max_size=5, unique=True)):
        steps = draw(st.lists(st.integers(0, 2), min_size=1, max_size=6))
        times = [t0 + dt.timedelta(seconds=sum(steps[: i + 1])) for i in range(len(steps))]
        happened[key] = [Row("f", 0, key, f"{key}{i}", 1, 1, None, t) for i, t in enumerate(times)]
    newest_first = draw(st.booleans())
    grouped = draw(st.booleans())
    if grouped:  # grouped by instrument, groups in any order
        keys = draw(st.permutations(list(happened)))
        layout = [r for k in keys for r in (happened[k][::-1] if newest_first else happened[k])]
    else:  # by time; fills of one second of different instruments in any order
        rows = [r for k in happened for r in happened[k]]
        tiebreak = draw(st.permutations(range(len(rows))))
        layout = [r for _, r in sorted(zip(tiebreak, rows), key=lambda x: (x[1].timestamp, x[0]))]
        by_key = {k: iter(v) for k, v in happened.items()}
        layout = [next(by_key[r.key]) for r in layout]  # each instrument's own fills in the order they happened
        if newest_first:
            layout.reverse()
    return happened, layout, grouped


@given(exports())
def test_each_instrument_is_recorded_in_the_order_its_fills_happened(export):
    happened, layout, grouped = export
    ordered = in_time_order(layout, dt.datetime.now(dt.timezone.utc))
    assert [r.timestamp for r in ordered] == sorted(r.timestamp for r in layout)
    # Which way the file runs shows in some instrument's own times, or, in a
    # file by time, in its times at all; a file grouped by instrument whose
    # every instrument has one time shows it nowhere.
    if any(len(set(r.timestamp for r in rows)) > 1 for rows in happened.values()) or (
        not grouped and len(set(r.timestamp for r in layout)) > 1
    ):
        for key, rows in happened.items():
            assert [r.orderid for r in ordered if r.key == key] == [r.orderid for r in rows]


def test_a_file_grouped_by_instrument_keeps_each_groups_order(portfolio):
    # A's three fills share one second; each later group is older than the one
    # before.  Bought 100 at 10 and 100 at 12, then sold 100 at 11: FIFO
    # realizes +100 and leaves 100 open at 12; backwards it would realize -100.
    text = (
        "A,1,10,100,,2024-03-05T09:30:00\nA,2,12,100,,2024-03-05T09:30:00\nA,3,11,-100,,2024-03-05T09:30:00\n"
        "B,4,5,1,,2024-03-05T09:20:00\nC,5,5,1,,2024-03-05T09:10:00\nC,6,5,1,,2024-03-05T09:11:00\n"
        "D,7,5,1,,2024-03-05T09:00:00\n"
    )
    assert run(portfolio, text).recorded
    assert list(portfolio.mgr.positions["A"].trades) == ["1", "2", "3"]
    row = next(r for r in portfolio.ledger.pnl(method="fifo").rows if r.key == "A")
    assert (row.qty, row.realized, row.average_cost) == (100, 100, 12)
