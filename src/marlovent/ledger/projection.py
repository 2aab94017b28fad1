"""What an instrument's fills add up to: quantity, cost basis and realized
profit by average cost and by FIFO lots, round trips, and where the position's
current book began.

The figures are a fold over the instrument's fills in time order.  Each fill
is applied once when it arrives in order; a fill that arrives late, a bust or a
changed commission makes the ledger fold the instrument's fills again from the
start of the current book (or from its first fill), and the fold gives the same
figures either way because it is the same sequence of operations.

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

from .exact import ZERO_SUM, share, sum_add, sum_value

# Where the current book began: the fill that opened it from flat, and the
# figures just before that fill.  None while the instrument is flat.
#   (index, fill_id, timestamp, arrival,
#    realized_average, realized_fifo, trips, commission, last, newest)
BOOK_INDEX, BOOK_FILL, BOOK_TIME, BOOK_ARRIVAL = 0, 1, 2, 3


class Projection:
    """The figures of one instrument, as stored in its row (see ``to_row``)."""

    __slots__ = (
        "multiplier",
        "currency",
        "count",  # fills folded in
        "arrivals",  # fills ever recorded (the next fill's arrival number)
        "last",  # fill id of the newest fill in time order (the head of the chain)
        "newest",  # its timestamp
        "book",
        "qsum",  # the built-in sum's state over the book's quantities
        "basis",  # average cost: cost of the open quantity
        "lots",  # FIFO: ((qty, cost), ...) oldest first
        "realized_average",
        "realized_fifo",
        "trip",  # the open round trip: (opened, qty, realized_average, realized_fifo) or None
        "trips",  # closed round trips
        "commission",  # every fill's commission, added in time order
    )

    multiplier: Any
    currency: str
    count: int
    arrivals: int
    last: str | None
    newest: Any
    book: tuple[Any, ...] | None
    qsum: tuple[int, Any, float]
    basis: Any
    lots: tuple[tuple[Any, Any], ...]
    realized_average: Any
    realized_fifo: Any
    trip: tuple[Any, Any, Any, Any] | None
    trips: int
    commission: Any

    @classmethod
    def new(cls, multiplier: Any, currency: str) -> Projection:
        p = cls.__new__(cls)
        p.multiplier = multiplier
        p.currency = currency
        p.count = p.arrivals = p.trips = 0
        p.last = p.newest = p.book = p.trip = None
        p.restart_at(None)
        return p

    @classmethod
    def from_row(cls, row: tuple[Any, ...]) -> Projection:
        p = cls.__new__(cls)
        (
            p.multiplier,
            p.currency,
            p.count,
            p.arrivals,
            p.last,
            p.newest,
            p.book,
            p.qsum,
            p.basis,
            p.lots,
            p.realized_average,
            p.realized_fifo,
            p.trip,
            p.trips,
            p.commission,
        ) = row
        return p

    def to_row(self) -> tuple[Any, ...]:
        return (
            self.multiplier,
            self.currency,
            self.count,
            self.arrivals,
            self.last,
            self.newest,
            self.book,
            self.qsum,
            self.basis,
            self.lots,
            self.realized_average,
            self.realized_fifo,
            self.trip,
            self.trips,
            self.commission,
        )

    # ------------------------------------------------------------------ folding

    def restart_at(self, book: tuple[Any, ...] | None) -> None:
        """Forget the fills from ``book``'s first fill on (None: all of them),
        ready to fold them again."""
        self.qsum = ZERO_SUM
        self.basis = 0
        self.lots = ()
        self.trip = None
        if book is None:
            self.count = 0
            self.realized_average = self.realized_fifo = self.commission = 0
            self.trips = 0
            self.last = self.newest = None
        else:
            self.count = book[BOOK_INDEX]
            (self.realized_average, self.realized_fifo, self.trips, self.commission, self.last, self.newest) = book[4:]
        self.book = None

    def apply(self, fill_id: str, price: Any, qty: Any, commission: Any, timestamp: Any, arrival: int) -> tuple[Any, ...] | None:
        """Fold in the next fill in time order; returns the round trip it
        closes, ``(opened, closed, qty, realized_average, realized_fifo)``,
        or None."""
        m = self.multiplier
        c = 0 if commission is None else commission
        qsum = self.qsum
        open_qty = sum_value(qsum)
        after = sum_add(qsum, qty)
        now = sum_value(after)
        closed_trip = None
        if open_qty == 0:
            # Opening from flat: a new book and a new round trip.
            self.book = (
                self.count,
                fill_id,
                timestamp,
                arrival,
                self.realized_average,
                self.realized_fifo,
                self.trips,
                self.commission,
                self.last,
                self.newest,
            )
            cost = price * qty * m + c
            self.basis = cost
            self.lots = ((qty, cost),)
            self.trip = (timestamp, qty, 0, 0)
        elif (qty > 0) == (open_qty > 0):
            cost = price * qty * m + c
            self.basis = self.basis + cost
            self.lots = self.lots + ((qty, cost),)
            opened, trip_qty, r_avg, r_fifo = self.trip  # type: ignore[misc]
            self.trip = (opened, trip_qty + qty, r_avg, r_fifo)
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
            closed_basis = self.basis if ends else share(self.basis, close_qty, -open_qty)
            r_avg = proceeds - close_commission - closed_basis
            # FIFO: the oldest lots first.
            r_fifo = proceeds - close_commission
            lots = list(self.lots)
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
                lots = []
                self.basis = 0
            else:
                self.basis = self.basis - closed_basis
            self.lots = tuple(lots)
            self.realized_average = self.realized_average + r_avg
            self.realized_fifo = self.realized_fifo + r_fifo
            opened, trip_qty, t_avg, t_fifo = self.trip  # type: ignore[misc]
            if ends:
                closed_trip = (opened, timestamp, trip_qty, t_avg + r_avg, t_fifo + r_fifo)
                self.trips += 1
                self.trip = None
            else:
                self.trip = (opened, trip_qty, t_avg + r_avg, t_fifo + r_fifo)
            if reverses:
                rest = qty - close_qty
                cost = price * rest * m + (c - close_commission)
                self.basis = cost
                self.lots = ((rest, cost),)
                self.trip = (timestamp, rest, 0, 0)
        if now == 0:
            self.qsum = ZERO_SUM
            self.book = None
            self.trip = None
            self.lots = ()
            self.basis = 0
        else:
            self.qsum = after
        self.commission = self.commission + c
        self.count += 1
        self.last = fill_id
        self.newest = timestamp
        return closed_trip

    # ------------------------------------------------------------------ reading

    @property
    def qty(self) -> Any:
        return sum_value(self.qsum)

    @property
    def book_size(self) -> int:
        """How many fills the position's current book holds."""
        return 0 if self.book is None else self.count - self.book[BOOK_INDEX]

    def in_book(self, timestamp: Any, arrival: int) -> bool:
        """Whether a fill of this instrument (by its time and arrival) is in
        the current book."""
        book = self.book
        if book is None:
            return False
        start_time = book[BOOK_TIME]
        return timestamp > start_time or (timestamp == start_time and arrival >= book[BOOK_ARRIVAL])

    def open_cost(self, method: str) -> Any:
        """The cost of the open quantity by ``method`` ("average" or "fifo")."""
        if method == "average":
            return self.basis
        return sum(cost for _qty, cost in self.lots)

    def realized(self, method: str) -> Any:
        return self.realized_average if method == "average" else self.realized_fifo


__all__ = ["Projection"]
