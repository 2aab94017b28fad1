"""Recording fills into one open portfolio (in-process): duplicates, conflicts,
closing fills, late commissions and all-or-nothing per file."""

import datetime as dt
import io

import pytest

from marlovent._cli.fills import read_fills
from marlovent._cli.intake import import_fills
from marlovent._cli.portfolio import open_portfolio

HEADER = "key,orderid,price,qty,commission,timestamp\n"


@pytest.fixture
def portfolio(data_dir):
    p = open_portfolio("intake test", str(data_dir))
    yield p
    p.mgr.clear()
    p.ledger.clear()


def run(portfolio, text, skip_bad=False, name="f.csv"):
    fills, bad = read_fills(io.StringIO(HEADER + text, newline=""), name, "csv", True)
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


def test_duplicates_within_one_file_and_of_library_trades(portfolio, om):
    ts = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
    portfolio.mgr.add_trade("A", om.Trade("1", 10, 5, 0.0, ts))
    r = run(portfolio, "A,1,10,5,,2024-03-05T09:30:00\nB,2,1,1,,\nB,2,1,1,,\n")
    assert counts(r) == (1, 2, 0, 0, 0, True)


def test_conflicting_fill_under_a_known_order_id_is_a_bad_row(portfolio):
    r = run(portfolio, "A,1,10,5,,2024-03-05T09:30:00\nA,1,10.5,3,,2024-03-05T09:35:00\n")
    assert counts(r) == (0, 0, 0, 0, 1, False)
    assert r.bad[0].line == 3 and "own order id" in r.bad[0].reason and "1-2" in r.bad[0].reason
    assert not portfolio.mgr.positions


def test_all_or_nothing_and_skip_bad(portfolio):
    text = "A,1,10,5,,\nA,2,-3,5,,\nB,3,10,5,,\n"
    r = run(portfolio, text)
    assert counts(r) == (0, 0, 0, 0, 1, False) and not portfolio.mgr.positions
    r = run(portfolio, text, skip_bad=True)
    assert counts(r) == (2, 0, 0, 0, 1, True)
    assert sorted(portfolio.mgr.positions.keys()) == ["A", "B"]


def test_late_commission_rows(portfolio):
    r = run(portfolio, "A,1,10,5,1.0,\nA,1,,,2.5,\n")
    assert counts(r) == (1, 0, 1, 0, 0, True)
    assert portfolio.mgr.positions["A"].trades["1"].commission == 2.5
    # Again: the commission is already 2.5, and the fill is known.
    assert counts(run(portfolio, "A,1,10,5,1.0,\nA,1,,,2.5,\n")) == (0, 2, 0, 0, 0, True)


@pytest.mark.parametrize(
    "text, reason",
    [
        ("A,9,,,2.5,\n", "no fill with order id"),
        ("A,1,10,5,,\nA,2,10,-5,,\nA,1,,,2.5,\n", "closed since"),
    ],
)
def test_commission_without_an_open_fill_is_a_bad_row(portfolio, text, reason):
    r = run(portfolio, text)
    assert len(r.bad) == 1 and reason in r.bad[0].reason and not r.recorded


def test_a_commission_row_after_its_position_closed_and_reopened(portfolio):
    # The dry run follows the reset-when-flat rule: after A goes flat, order 1
    # may be recorded again as a new fill of a new position.
    text = "A,1,10,5,,2024-03-05T09:30:00\nA,2,10,-5,,2024-03-05T09:31:00\nA,3,12,2,,2024-03-05T09:32:00\n"
    assert counts(run(portfolio, text)) == (3, 0, 0, 1, 0, True)
    pos = portfolio.mgr.positions["A"]
    assert list(pos.trades) == ["3"] and pos.qty == 2


@pytest.mark.parametrize(
    "qtys, closed",
    [
        (["0.5", "0.25", "-0.75"], True),
        # The position's rule is exact zero: ten fills of 0.1 sold as 1.0 leave
        # 5.55e-17 of float dust, and the dry run must agree with the position.
        (["0.1"] * 10 + ["-1.0"], False),
        (["3", "-1.5", "-1.5"], True),
    ],
)
def test_float_quantities_close_exactly_as_the_position_does(portfolio, qtys, closed):
    rows = "".join(f"A,{i},1.0,{q},,\n" for i, q in enumerate(qtys))
    r = run(portfolio, rows)
    assert counts(r) == (len(qtys), 0, 0, int(closed), 0, True)
    assert ("A" not in portfolio.mgr.positions) is closed
