"""What an instrument's fills add up to: quantity, cost basis and realized
profit by average cost and by FIFO lots, round trips, and where the position's
current book began.

The figures are a fold over the instrument's fills in time order, kept in the
instrument's row of the store (a list while it is being changed, a tuple when
stored; the field positions below).  Each fill is applied once when it arrives
in order; a fill that arrives late, a bust or a changed commission makes the
ledger fold the instrument's fills again from the start of the current book (or
from its first fill), and the fold gives the same figures either way because it
is the same sequence of operations.

Money conventions (``m`` is the contract multiplier, ``c`` a fill's commission
in money, None counting as 0):

* a fill's cost is ``price * qty * m`` (negative for a sell: money received);
* every commission is a cost: a buy's raises the basis, a sell's lowers the
  proceeds;
* average cost: the open ``basis`` is the cost of what is still open; a fill
  that reduces the position realizes ``-(price * closed * m) - c - basis *
  closed / open`` and takes that share off the basis;
* FIFO: every opening fill is a lot ``(qty, cost)``; a reducing fill closes
  the oldest lots first, a lot it closes in part keeping the rest of its cost;
* a fill that reverses the position through zero is a close of the open
  quantity plus an open of the rest, its commission shared pro rata
  (``c * closed / qty`` to the close, the remainder to the open);
* an instrument's realized profit is accumulated fill by fill in time order
  with ``+``.

The quantity is the built-in sum of the book's quantities, continued fill by
fill (:mod:`.exact`), so the ledger finds a flat book exactly where the
position does (its net quantity exactly zero).
"""

from __future__ import annotations

from typing import Any

from .exact import FLOAT, INT, share, sum_add, sum_value

# The fields of an instrument's row.
(
    MULTIPLIER,
    CURRENCY,
    COUNT,  # fills folded in
    ARRIVALS,  # fills ever recorded (the next fill's arrival number)
    LAST,  # fill id of the newest fill in time order (the head of the chain)
    NEWEST,  # its timestamp
    BOOK,  # where the current book began (below), None while flat
    Q_PHASE,  # the built-in sum's state over the book's quantities: phase,
    Q_VALUE,  # running value
    Q_COMP,  # and float compensation (see exact.sum_add)
    BASIS,  # average cost: the cost of the open quantity
    LOTS,  # FIFO: ((qty, cost), ...) oldest first
    REALIZED_AVERAGE,
    REALIZED_FIFO,
    TRIP_OPENED,  # the open round trip: when it opened (None: flat),
    TRIP_QTY,  # the quantity opened in it,
    TRIP_AVERAGE,  # and what it realized so far by each method
    TRIP_FIFO,
    TRIPS,  # closed round trips
    COMMISSION,  # every fill's commission, added in time order
) = range(20)
ROW_SIZE = 20

# Where the current book began: the fill that opened it from flat, and the
# figures just before that fill.
#   (index, fill_id, timestamp, arrival,
#    realized_average, realized_fifo, trips, commission, last, newest)
BOOK_INDEX, BOOK_FILL, BOOK_TIME, BOOK_ARRIVAL = 0, 1, 2, 3

_LONG_MIN = -(2**63)
_LONG_MAX = 2**63 - 1


def new_row(multiplier: Any, currency: str) -> list[Any]:
    """The row of an instrument without fills."""
    return [multiplier, currency, 0, 0, None, None, None, INT, 0, 0.0, 0, (), 0, 0, None, 0, 0, 0, 0, 0]


def restart(s: list[Any], book: tuple[Any, ...] | None) -> None:
    """Forget the fills from ``book``'s first fill on (None: all of them),
    ready to fold them again."""
    if book is None:
        s[COUNT:] = [0, s[ARRIVALS], None, None, None, INT, 0, 0.0, 0, (), 0, 0, None, 0, 0, 0, 0, 0]
        return
    realized_average, realized_fifo, trips, commission, last, newest = book[4:]
    s[COUNT] = book[BOOK_INDEX]
    s[LAST], s[NEWEST], s[BOOK] = last, newest, None
    s[Q_PHASE], s[Q_VALUE], s[Q_COMP], s[BASIS], s[LOTS] = INT, 0, 0.0, 0, ()
    s[REALIZED_AVERAGE], s[REALIZED_FIFO] = realized_average, realized_fifo
    s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = None, 0, 0, 0
    s[TRIPS], s[COMMISSION] = trips, commission


def apply(s: list[Any], fill_id: str, price: Any, qty: Any, commission: Any, timestamp: Any, arrival: int) -> tuple[Any, ...] | None:
    """Fold the next fill in time order into the row ``s``; returns the round
    trip it closes, ``(opened, closed, qty, realized_average, realized_fifo)``,
    or None."""
    m = s[MULTIPLIER]
    c = 0 if commission is None else commission
    phase, open_qty, comp = s[Q_PHASE], s[Q_VALUE], s[Q_COMP]
    if phase == INT and type(qty) is int and _LONG_MIN <= open_qty + qty <= _LONG_MAX and _LONG_MIN <= qty <= _LONG_MAX:
        now = open_qty + qty
        after = (INT, now, 0.0)
    else:
        if phase == FLOAT and comp:
            open_qty = sum_value((phase, open_qty, comp))
        after = sum_add((phase, s[Q_VALUE], comp), qty)
        now = sum_value(after)
    closed_trip = None
    if open_qty == 0:
        # Opening from flat: a new book and a new round trip.
        s[BOOK] = (
            s[COUNT],
            fill_id,
            timestamp,
            arrival,
            s[REALIZED_AVERAGE],
            s[REALIZED_FIFO],
            s[TRIPS],
            s[COMMISSION],
            s[LAST],
            s[NEWEST],
        )
        cost = price * qty * m + c
        s[BASIS] = cost
        s[LOTS] = ((qty, cost),)
        s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = timestamp, qty, 0, 0
    elif (qty > 0) == (open_qty > 0):
        cost = price * qty * m + c
        s[BASIS] = s[BASIS] + cost
        s[LOTS] = s[LOTS] + ((qty, cost),)
        s[TRIP_QTY] = s[TRIP_QTY] + qty
    else:
        reverses = now != 0 and (now > 0) != (open_qty > 0)
        ends = reverses or now == 0
        if reverses:
            close_qty = -open_qty
            close_commission = share(c, close_qty, qty)
        else:
            close_qty = qty
            close_commission = c
        proceeds = -(price * close_qty * m)
        # Average cost: the closed share of the basis.
        basis = s[BASIS]
        closed_basis = basis if ends else share(basis, close_qty, -open_qty)
        r_avg = proceeds - close_commission - closed_basis
        # FIFO: the oldest lots first.
        r_fifo = proceeds - close_commission
        lots = list(s[LOTS])
        need = -close_qty
        while lots:
            lot_qty, lot_cost = lots[0]
            if need == 0 or (need > 0) != (lot_qty > 0):
                break
            if abs(lot_qty) <= abs(need):
                r_fifo = r_fifo - lot_cost
                need = need - lot_qty
                del lots[0]
            else:
                part = share(lot_cost, need, lot_qty)
                r_fifo = r_fifo - part
                lots[0] = (lot_qty - need, lot_cost - part)
                need = 0
        if ends:
            # Float dust left in a lot when the book closes is a cost too.
            for _lot_qty, lot_cost in lots:
                r_fifo = r_fifo - lot_cost
            s[BASIS], s[LOTS] = 0, ()
        else:
            s[BASIS], s[LOTS] = basis - closed_basis, tuple(lots)
        s[REALIZED_AVERAGE] = s[REALIZED_AVERAGE] + r_avg
        s[REALIZED_FIFO] = s[REALIZED_FIFO] + r_fifo
        t_avg, t_fifo = s[TRIP_AVERAGE] + r_avg, s[TRIP_FIFO] + r_fifo
        if ends:
            closed_trip = (s[TRIP_OPENED], timestamp, s[TRIP_QTY], t_avg, t_fifo)
            s[TRIPS] += 1
            s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = None, 0, 0, 0
        else:
            s[TRIP_AVERAGE], s[TRIP_FIFO] = t_avg, t_fifo
        if reverses:
            rest = qty - close_qty
            cost = price * rest * m + (c - close_commission)
            s[BASIS] = cost
            s[LOTS] = ((rest, cost),)
            s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = timestamp, rest, 0, 0
    if now == 0:
        s[Q_PHASE], s[Q_VALUE], s[Q_COMP] = INT, 0, 0.0
        s[BOOK] = None
        s[BASIS], s[LOTS] = 0, ()
        s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = None, 0, 0, 0
    else:
        s[Q_PHASE], s[Q_VALUE], s[Q_COMP] = after
    s[COMMISSION] = s[COMMISSION] + c
    s[COUNT] += 1
    s[LAST] = fill_id
    s[NEWEST] = timestamp
    return closed_trip


# ------------------------------------------------------------------ reading a row


def open_qty(s: Any) -> Any:
    """The open quantity: what the built-in sum gives for the book's quantities."""
    return sum_value((s[Q_PHASE], s[Q_VALUE], s[Q_COMP]))


def book_size(s: Any) -> int:
    """How many fills the position's current book holds."""
    book = s[BOOK]
    return 0 if book is None else s[COUNT] - book[BOOK_INDEX]


def in_book(s: Any, timestamp: Any, arrival: int) -> bool:
    """Whether a fill of this instrument (by its time and arrival) is in the
    current book."""
    book = s[BOOK]
    if book is None:
        return False
    start_time = book[BOOK_TIME]
    return bool(timestamp > start_time or (timestamp == start_time and arrival >= book[BOOK_ARRIVAL]))


def open_cost(s: Any, method: str) -> Any:
    """The cost of the open quantity by ``method`` ("average" or "fifo")."""
    if method == "average":
        return s[BASIS]
    return sum(cost for _qty, cost in s[LOTS])


def realized(s: Any, method: str) -> Any:
    return s[REALIZED_AVERAGE] if method == "average" else s[REALIZED_FIFO]


__all__ = ["new_row", "restart", "apply", "open_qty", "book_size", "in_book", "open_cost", "realized"]
