"""Trader cases computed by hand: every figure below is worked out in the
comments from the fills, in money (price x qty x multiplier), commissions
counted as costs."""

import datetime as dt
import zoneinfo
from fractions import Fraction as F

import pytest

from marlovent.ledger import Fill
from marlovent.ordermgr import Trade
from marlovent.ledger import layout as L
from marlovent.ledger import projection as P

T0 = dt.datetime(2024, 3, 5, 14, 30, tzinfo=dt.timezone.utc)


def at(minutes):
    return T0 + dt.timedelta(minutes=minutes)


def ny(hour, minute, fold=0):
    """A time of 3 November 2024 in New York, whose clocks go back from 02:00 EDT to 01:00 EST."""
    return dt.datetime(2024, 11, 3, hour, minute, fold=fold, tzinfo=zoneinfo.ZoneInfo("America/New_York"))


# Each case: terms {key: (multiplier, currency)}, fills (fill_id, key, price,
# qty, commission, minute or datetime, order_id), late commissions {fill_id: money},
# marks, and per key: (qty, realized average, realized FIFO, unrealized
# average, unrealized FIFO, average cost), then the round trips
# (key, qty, realized average, realized FIFO).
CASES = {
    # Short 40 calls at 10.40, $0.65 a contract, marked at 9.40:
    # (10.40 - 9.40) x 40 x 100 - 26.00 = 3,974.00 either way; the open cost
    # per unit is (41,600 - 26) / 4,000 = 10.3935.
    "short call with a multiplier": (
        {"C": (100, "USD")},
        [("S1", "C", F("10.40"), -40, F("26.00"), 0, "O1")],
        {},
        {"C": F("9.40")},
        {"C": (-40, 0, 0, F(3974), F(3974), F("10.3935"))},
        [],
    ),
    # A put debit spread (order ORD-7): 440P bought 12 @ 6.10 and 8 @ 6.15,
    # 430P sold 20 @ 2.95, commissions reported later ($0.65 a contract); half
    # closed under ORD-9. 440P cost 7,320 + 4,920 + 7.80 + 5.20 = 12,253.00;
    # 10 sold @ 8.00 less 6.50 = 7,993.50 against half the basis, 6,126.50:
    # 1,867.00 (FIFO: 10 of the 12 @ 6.10 cost 7,327.80 x 10/12 = 6,106.50:
    # 1,887.00). 430P: -5,900 + 13.00 = -5,887.00; bought back 10 @ 3.60 plus
    # 6.50 = 3,606.50 against -2,943.50: -663.00 by both. Marked at 8.20 and
    # 3.70: 8,200 - 6,126.50 = 2,073.50 (FIFO: 8,200 - 1,221.30 - 4,925.20 =
    # 2,053.50) and -3,700 + 2,943.50 = -756.50.
    "debit spread, partial fills, late commissions": (
        {"440P": (100, "USD"), "430P": (100, "USD")},
        [
            ("X1", "440P", F("6.10"), 12, None, 0, "ORD-7"),
            ("X2", "440P", F("6.15"), 8, None, 0, "ORD-7"),
            ("X3", "430P", F("2.95"), -20, None, 0, "ORD-7"),
            ("X4", "440P", F("8.00"), -10, F("6.50"), 240, "ORD-9"),
            ("X5", "430P", F("3.60"), 10, F("6.50"), 240, "ORD-9"),
        ],
        {"X1": F("7.80"), "X2": F("5.20"), "X3": F("13.00")},
        {"440P": F("8.20"), "430P": F("3.70")},
        {
            "440P": (10, F(1867), F(1887), F("2073.50"), F("2053.50"), F("6.1265")),
            "430P": (-10, F(-663), F(-663), F("-756.50"), F("-756.50"), F("2.9435")),
        },
        [],
    ),
    # Bought 100 @ 50 and 100 @ 52 ($1 each), sold 50 @ 55, 100 @ 56, 50 @ 54
    # ($1 each). Average cost 10,202 / 200: the sales realize 2,749 - 2,550.50,
    # 5,599 - 5,101 and 2,699 - 2,550.50 = 845.00; FIFO 2,749 - 2,500.50,
    # 5,599 - (2,500.50 + 2,600.50), 2,699 - 2,600.50 = 845.00: equal once flat.
    "scaling out of a winner": (
        {},
        [
            ("W1", "W", 50, 100, 1, 0, None),
            ("W2", "W", 52, 100, 1, 1, None),
            ("W3", "W", 55, -50, 1, 2, None),
            ("W4", "W", 56, -100, 1, 3, None),
            ("W5", "W", 54, -50, 1, 4, None),
        ],
        {},
        {},
        {"W": (0, F(845), F(845), 0, 0, None)},
        [("W", 200, F(845), F(845))],
    ),
    # Long 10 @ 100 ($2), sold 30 @ 110 ($6): 10 close (commission 6 x 10/30 =
    # 2): 1,100 - 2 - 1,002 = 96; 20 open short at -2,200 + 4 = -2,196
    # (109.80 a share). Bought 20 @ 105 ($4): -2,100 - 4 + 2,196 = 92.
    "a reversal through zero": (
        {},
        [("R1", "R", 100, 10, 2, 0, None), ("R2", "R", 110, -30, 6, 1, None), ("R3", "R", 105, 20, 4, 2, None)],
        {},
        {},
        {"R": (0, F(188), F(188), 0, 0, None)},
        [("R", 10, F(96), F(96)), ("R", -20, F(92), F(92))],
    ),
    # Bought 10 @ 100 and 10 @ 120, sold 10 @ 130: average 1,300 - 1,100 =
    # 200, FIFO 1,300 - 1,000 = 300; marked at 125: 1,250 - 1,100 = 150 and
    # 1,250 - 1,200 = 50. 350 either way.
    "FIFO against average cost": (
        {},
        [("A1", "A", 100, 10, None, 0, None), ("A2", "A", 120, 10, None, 1, None), ("A3", "A", 130, -10, None, 2, None)],
        {},
        {"A": 125},
        {"A": (10, 200, 300, 150, 50, 110)},
        [],
    ),
    # In the repeated hour: bought 10 @ 10 at 00:30 EDT, sold 10 @ 12 at 01:45
    # EDT (05:45 UTC), bought 10 @ 11 at 01:15 EST (06:15 UTC: later, though
    # its clock reads earlier). The sale closes the first buy: 120 - 100 = 20
    # by both methods, one round trip; the last buy opens afresh at 110,
    # marked at 11: 0. (Taken by the clock, 01:15 before 01:45, the sale would
    # close half of 210: 15 realized, 5 unrealized, no round trip.)
    "fills in the repeated autumn hour": (
        {},
        [
            ("F1", "K", 10, 10, None, ny(0, 30), None),
            ("F2", "K", 12, -10, None, ny(1, 45, fold=0), None),
            ("F3", "K", 11, 10, None, ny(1, 15, fold=1), None),
        ],
        {},
        {"K": 11},
        {"K": (10, 20, 20, 0, 0, 11)},
        [("K", 10, 20, 20)],
    ),
    # Two currencies: never added together.
    "two currencies": (
        {"SAP": (1, "EUR")},
        [("E1", "SAP", 180, 5, 3, 0, None), ("U1", "IBM", 190, 10, 1, 0, None), ("E2", "SAP", 181, -5, 3, 1, None)],
        {},
        {"IBM": 191},
        {"SAP": (0, -1, -1, 0, 0, None), "IBM": (10, 0, 0, 9, 9, F("190.1"))},
        [("SAP", 5, -1, -1)],
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_hand_computed_money(ledger, case):
    terms, fills, late, marks, expected, trips = CASES[case]
    for key, (multiplier, currency) in terms.items():
        ledger.set_instrument(key, multiplier=multiplier, currency=currency)
    for fid, key, price, qty, commission, when, order in fills:
        ledger.record(Fill(fid, key, price, qty, commission, when if isinstance(when, dt.datetime) else at(when), order))
    for fid, money in late.items():
        assert ledger.set_commission(fid, money) is True
    reports = {m: {r.key: r for r in ledger.pnl(marks, method=m).rows} for m in ("average", "fifo")}
    for key, (qty, r_avg, r_fifo, u_avg, u_fifo, cost) in expected.items():
        avg, fifo = reports["average"][key], reports["fifo"][key]
        assert (avg.qty, avg.realized, fifo.realized, avg.unrealized, fifo.unrealized) == (qty, r_avg, r_fifo, u_avg, u_fifo)
        assert avg.average_cost == cost
        position = ledger.mgr.positions.get(key)
        assert (position is None) == (qty == 0) and (position is None or position.qty == qty)
    assert [(t.key, t.qty, t.realized_average, t.realized_fifo) for t in ledger.history()] == trips
    totals = ledger.pnl(marks).totals
    for currency in totals:
        rows = [r for r in reports["average"].values() if r.currency == currency]
        assert totals[currency].realized == sum(r.realized for r in rows)
    if case == "debit spread, partial fills, late commissions":
        # The legs of one order are one group; the partial fill has an order id of its own.
        groups = {id(g): g for g in ledger.mgr.position_groups().values()}
        assert [sorted(p.key for p in g.positions) for g in groups.values()] == [["430P", "440P"]]
        assert list(ledger.mgr.positions["440P"].trades) == ["ORD-7", ("ORD-7", "X2"), "ORD-9"]
        # The position keeps the commission per unit of the price: 7.80 / 100.
        assert ledger.mgr.positions["440P"].trades["ORD-7"].commission == F("0.078")
    if case == "fills in the repeated autumn hour":
        assert [f.fill_id for f in ledger.fills("K")] == ["F1", "F2", "F3"] and ledger.get("F3").timestamp.fold == 1
        # A ledger written while times of one zone were compared by their clocks
        # holds them linked as F1, F3, F2: rebuild() orders them by instant.
        rows = ledger._fills
        for fid, before in [("F3", "F1"), ("F2", "F3")]:
            rows[fid] = rows[fid][: L.PREVIOUS] + (before,) + rows[fid][L.DONE :]
        state = list(ledger._instruments["K"])
        state[P.LAST], state[P.NEWEST] = "F2", rows["F2"][L.TIMESTAMP]
        ledger._instruments["K"] = tuple(state)
        ledger.rebuild("K")
        assert [f.fill_id for f in ledger.fills("K")] == ["F1", "F2", "F3"]
        row = ledger.pnl(marks).rows[0]
        assert (row.qty, row.realized, row.unrealized, row.round_trips) == (10, 20, 0, 1)
    if case == "two currencies":
        assert set(totals) == {"EUR", "USD"} and totals["EUR"].realized == -1 and totals["USD"].unrealized == 9


@pytest.mark.parametrize("block", ["batch", "bulk"])
def test_commissions_reported_inside_a_bulk_block(ledger, block):
    # Bought 1 @ 10, sold 1 @ 12: one round trip of 2. Then 1 @ 11 and 1 @ 11
    # (minutes 3 and 5) open the book; a fill of minute 4, 1 @ 11.50, comes
    # late, with $0.50 reported after it, and so does $1 for the very first
    # fill, from before the book. Realized 2 - 1 = 1; the 3 held cost
    # 11 + 11.50 + 0.50 + 11 = 34.00, 11.3333 each; commissions 1.50.
    for fid, price, qty, minute in [("B1", 10, 1, 1), ("S1", 12, -1, 2), ("B2", 11, 1, 3), ("B3", 11, 1, 5)]:
        ledger.record(Fill(fid, "K", price, qty, 0, at(minute)))
    with ledger.bulk() if block == "bulk" else ledger.mgr.positions.batch():
        ledger.record(Fill("B4", "K", F("11.50"), 1, None, at(4)))
        assert ledger.set_commission("B4", F("0.50")) is True and ledger.set_commission("B1", 1) is True
    (row,) = ledger.pnl().rows
    assert (row.qty, row.realized, row.average_cost, row.commission) == (3, 1, F(34, 3), F("1.50"))
    assert [(t.qty, t.realized_average) for t in ledger.history("K")] == [(1, 1)]
    assert sorted(t.commission for t in ledger.mgr.positions["K"].trades.values()) == [0, 0, F("0.50")]


@pytest.mark.parametrize("block", ["batch", "bulk"])
def test_a_commission_from_before_the_book_of_a_position_traded_elsewhere(ledger, block):
    # Bought 1 @ 10, sold 1 @ 12, bought 1 @ 11; a trade added to the position
    # other than through the ledger. $1 reported for the first fill lands in
    # the closed round trip (2 - 1 = 1) and needs nothing of the position,
    # inside a block as outside one.
    for fid, price, qty, minute in [("B1", 10, 1, 1), ("S1", 12, -1, 2), ("B2", 11, 1, 3)]:
        ledger.record(Fill(fid, "K", price, qty, 0, at(minute)))
    ledger.mgr.add_trade("K", Trade("elsewhere", 11, 1, 0, at(4)))
    with ledger.bulk() if block == "bulk" else ledger.mgr.positions.batch():
        assert ledger.set_commission("B1", 1) is True
    assert [(t.qty, t.realized_average) for t in ledger.history("K")] == [(1, 1)]
    assert len(ledger.mgr.positions["K"].trades) == 2
