"""What an instrument's fills add up to: quantity, cost basis and realized
profit by average cost and by FIFO lots, round trips, and where the position's
current book began.

The figures are a fold over the instrument's fills in time order, kept in the
instrument's row of the store (a list while it is being changed, a tuple when
stored; the field positions below).  Each fill is applied once when it arrives
in order; a fill that arrives late, a bust or a new multiplier makes the ledger
fold the instrument's fills again from the start of the current book (or from
its first fill), and the fold gives the same figures either way because it is
the same sequence of operations.  A late commission is worked into the figures
where it lands (:func:`amend_commission`) and folds again only where its effect
spreads to later fills.

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

**The FIFO queue.**  The open lots are numbered from 0 in the order they were
opened, afresh whenever the queue empties with the round trip (flat, or a
reversal through zero); lot ``n`` belongs to chunk ``n // LOT_CHUNK``.  The
row holds the lots of the oldest open chunk (``LOTS``, from ``LOT_FIRST`` on;
its first lot as a partial close left it) and those of the newest chunk while
it is not full (``BACK``); every full chunk between them is an entry of its
own, ``(key, chunk) -> (qty, cost, qty, cost, ...)``, written once when it
fills and removed when the oldest lots reach it.  So a fill touches a bounded
number of lots and at most one stored chunk, whatever the queue's length, and
the row keeps a bounded size.

**What a fill did** (kept in its own row, for late commissions): the round
trip it belongs to (for a reversal, the one it closes), the lot it opened
(None for a pure reduction) and, for a reversal, the quantity it closed.  A
refold rewrites these where they change.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any

from .exact import FLOAT, INT, share, sum_add, sum_value
from .fills import instant

# The fields of an instrument's row.
(
    MULTIPLIER,
    CURRENCY,
    COUNT,  # fills folded in
    ARRIVALS,  # fills ever recorded (the next fill's arrival number)
    LAST,  # fill id of the newest fill in time order (the head of the chain)
    NEWEST,  # its timestamp
    BOOK,  # COUNT when the current book began (its checkpoint: below), None while flat
    Q_PHASE,  # the built-in sum's state over the book's quantities: phase,
    Q_VALUE,  # running value
    Q_COMP,  # and float compensation (see exact.sum_add)
    BASIS,  # average cost: the cost of the open quantity
    REALIZED_AVERAGE,
    REALIZED_FIFO,
    TRIP_OPENED,  # the open round trip: when it opened (None: flat),
    TRIP_QTY,  # the quantity opened in it,
    TRIP_AVERAGE,  # and what it realized so far by each method
    TRIP_FIFO,
    TRIPS,  # closed round trips
    COMMISSION,  # every fill's commission, added in time order
    LOT_FIRST,  # FIFO: number of the oldest open lot,
    LOT_NEXT,  # of the next lot to open,
    REDUCED_AT,  # LOT_NEXT at the latest reduction of this round trip (lots from it on are untouched)
    LOTS,  # the open lots of the oldest chunk: (qty, cost, qty, cost, ...)
    BACK,  # the lots of the newest chunk while it is not full and not the oldest
) = range(24)
ROW_SIZE = 24

LOT_CHUNK = 8  # lots in a stored chunk

# A book's checkpoint (the ledger.books entry of its instrument): the fill that
# opened it from flat and the figures just before that fill.
#   (index, fill_id, timestamp, arrival,
#    realized_average, realized_fifo, trips, commission, last, newest)
BOOK_INDEX, BOOK_FILL, BOOK_TIME, BOOK_ARRIVAL = 0, 1, 2, 3

# What apply() asks the caller to write, after the fill's own row:
STORE_CHUNK = 0  # (STORE_CHUNK, chunk number, lots): a chunk filled up
DROP_CHUNK = 1  # (DROP_CHUNK, chunk number, None): its lots are now the oldest (moved into the row)
NEW_BOOK = 2  # (NEW_BOOK, checkpoint, None): a book opened from flat

_LONG_MIN = -(2**63)
_LONG_MAX = 2**63 - 1


def new_row(multiplier: Any, currency: str) -> list[Any]:
    """The row of an instrument without fills."""
    return [multiplier, currency, 0, 0, None, None, None, INT, 0, 0.0, 0, 0, 0, None, 0, 0, 0, 0, 0, 0, 0, 0, (), ()]


def restart(s: list[Any], book: tuple[Any, ...] | None) -> None:
    """Forget the fills from ``book``'s first fill on (None: all of them),
    ready to fold them again.  The queue of lots is empty at either point."""
    if book is None:
        s[COUNT:] = [0, s[ARRIVALS], None, None, None, INT, 0, 0.0, 0, 0, 0, None, 0, 0, 0, 0, 0, 0, 0, 0, (), ()]
        return
    realized_average, realized_fifo, trips, commission, last, newest = book[4:]
    s[COUNT] = book[BOOK_INDEX]
    s[LAST], s[NEWEST], s[BOOK] = last, newest, None
    s[Q_PHASE], s[Q_VALUE], s[Q_COMP], s[BASIS] = INT, 0, 0.0, 0
    s[REALIZED_AVERAGE], s[REALIZED_FIFO] = realized_average, realized_fifo
    s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = None, 0, 0, 0
    s[TRIPS], s[COMMISSION] = trips, commission
    s[LOT_FIRST:] = [0, 0, 0, (), ()]


def _next_chunk(s: list[Any], chunks: Mapping[Any, Any], key: Any, first: int, ops: list[Any]) -> tuple[Any, ...]:
    """The lots of the chunk that begins at lot ``first`` (the oldest chunk
    was used up): stored if full, else the row's newest chunk."""
    n = first // LOT_CHUNK
    if s[LOT_NEXT] >= (n + 1) * LOT_CHUNK:
        ops.append((DROP_CHUNK, n, None))
        return chunks[(key, n)]  # type: ignore[no-any-return]
    back = s[BACK]
    s[BACK] = ()
    return back  # type: ignore[no-any-return]


def apply(
    s: list[Any],
    chunks: Mapping[Any, Any],
    key: Any,
    fill_id: str,
    price: Any,
    qty: Any,
    commission: Any,
    timestamp: Any,
    arrival: int,
) -> tuple[int, int | None, Any, tuple[Any, ...] | None, list[Any] | None]:
    """Fold the next fill in time order into the row ``s`` of ``key``, whose
    stored chunks of lots ``chunks`` holds.  Returns what the fill did,
    ``(round trip, lot, closed qty)`` (see the module's doc), the round trip it
    closes, ``(opened, closed, qty, realized_average, realized_fifo)``, or
    None, and the writes it needs beyond the row, a list or None (the caller
    makes them; nothing is written here)."""
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
    trip = s[TRIPS]
    lot = None
    closing = None
    closed_trip = None
    ops = None
    if open_qty == 0:
        # Opening from flat: a new book and a new round trip.
        ops = [
            (
                NEW_BOOK,
                (
                    s[COUNT],
                    fill_id,
                    timestamp,
                    arrival,
                    s[REALIZED_AVERAGE],
                    s[REALIZED_FIFO],
                    trip,
                    s[COMMISSION],
                    s[LAST],
                    s[NEWEST],
                ),
                None,
            )
        ]
        s[BOOK] = s[COUNT]
        cost = price * qty * m + c
        s[BASIS] = cost
        s[LOT_FIRST], s[LOT_NEXT], s[REDUCED_AT], s[LOTS], s[BACK] = 0, 1, 0, (qty, cost), ()
        lot = 0
        s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = timestamp, qty, 0, 0
    elif (qty > 0) == (open_qty > 0):
        cost = price * qty * m + c
        s[BASIS] = s[BASIS] + cost
        lot = s[LOT_NEXT]
        s[LOT_NEXT] = lot + 1
        n = lot // LOT_CHUNK
        if n == s[LOT_FIRST] // LOT_CHUNK:
            s[LOTS] = s[LOTS] + (qty, cost)
        elif lot % LOT_CHUNK == LOT_CHUNK - 1:
            ops = [(STORE_CHUNK, n, s[BACK] + (qty, cost))]
            s[BACK] = ()
        else:
            s[BACK] = s[BACK] + (qty, cost)
        s[TRIP_QTY] = s[TRIP_QTY] + qty
    else:
        reverses = now != 0 and (now > 0) != (open_qty > 0)
        ends = reverses or now == 0
        if reverses:
            close_qty = -open_qty
            close_commission = share(c, close_qty, qty)
            closing = close_qty
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
        lots = s[LOTS]
        first, last = s[LOT_FIRST], s[LOT_NEXT]
        i = 0
        need = -close_qty
        while need != 0 and first != last:
            lot_qty = lots[i]
            if (need > 0) != (lot_qty > 0):
                break
            lot_cost = lots[i + 1]
            if abs(lot_qty) <= abs(need):
                r_fifo = r_fifo - lot_cost
                need = need - lot_qty
                first += 1
                i += 2
                if i == len(lots) and first != last:
                    if ops is None:
                        ops = []
                    lots = _next_chunk(s, chunks, key, first, ops)
                    i = 0
            else:
                part = share(lot_cost, need, lot_qty)
                r_fifo = r_fifo - part
                lots = (lot_qty - need, lot_cost - part) + lots[i + 2 :]
                i = 0
                need = 0
        if ends:
            # Float dust left in a lot when the round trip closes is a cost too.
            if first != last:
                if ops is None:
                    ops = []
                for lot_cost in _rest(s, chunks, key, lots, i, first, ops):
                    r_fifo = r_fifo - lot_cost
            s[BASIS] = 0
            s[LOT_FIRST:] = [0, 0, 0, (), ()]
        else:
            s[BASIS] = basis - closed_basis
            s[LOTS] = lots[i:] if i else lots
            s[LOT_FIRST] = first
            s[REDUCED_AT] = last
        s[REALIZED_AVERAGE] = s[REALIZED_AVERAGE] + r_avg
        s[REALIZED_FIFO] = s[REALIZED_FIFO] + r_fifo
        t_avg, t_fifo = s[TRIP_AVERAGE] + r_avg, s[TRIP_FIFO] + r_fifo
        if ends:
            closed_trip = (s[TRIP_OPENED], timestamp, s[TRIP_QTY], t_avg, t_fifo)
            s[TRIPS] = trip + 1
            s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = None, 0, 0, 0
        else:
            s[TRIP_AVERAGE], s[TRIP_FIFO] = t_avg, t_fifo
        if reverses:
            rest = qty - close_qty
            cost = price * rest * m + (c - close_commission)
            s[BASIS] = cost
            s[LOT_NEXT], s[LOTS] = 1, (rest, cost)
            lot = 0
            s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = timestamp, rest, 0, 0
    if now == 0:
        s[Q_PHASE], s[Q_VALUE], s[Q_COMP] = INT, 0, 0.0
        s[BOOK] = None
        s[BASIS] = 0
        s[TRIP_OPENED], s[TRIP_QTY], s[TRIP_AVERAGE], s[TRIP_FIFO] = None, 0, 0, 0
    else:
        s[Q_PHASE], s[Q_VALUE], s[Q_COMP] = after
    s[COMMISSION] = s[COMMISSION] + c
    s[COUNT] += 1
    s[LAST] = fill_id
    s[NEWEST] = timestamp
    return (trip, lot, closing, closed_trip, ops)


def _rest(
    s: list[Any], chunks: Mapping[Any, Any], key: Any, lots: tuple[Any, ...], i: int, first: int, ops: list[Any]
) -> Iterator[Any]:
    """The costs of the open lots from lot ``first`` (at ``lots[i]``) on, in
    order, every stored chunk among them dropped."""
    last = s[LOT_NEXT]
    while True:
        yield from lots[i + 1 :: 2]
        first += (len(lots) - i) // 2
        if first == last:
            return
        lots, i = _next_chunk(s, chunks, key, first, ops), 0


# ------------------------------------------------------------------ a late commission


def amend_commission(
    s: list[Any],
    chunks: Any,
    trips: Any,
    key: Any,
    done: tuple[Any, Any, Any],
    qty: Any,
    old: Any,
    new: Any,
) -> bool:
    """Work a fill's new commission into the row ``s`` where it lands, given
    what the fill did (``done``: round trip, lot, closed qty) and its ``qty``;
    False (``s`` untouched) where the change spreads to later fills and the
    instrument must be folded again.

    The fold is affine in each commission, so a difference ``d`` lands:

    * in a reduction: its realized profit only (the basis and the lots it took
      do not depend on it), and that of its round trip;
    * in what an opening fill opened (or a reversal's open part): the basis and
      its lot while nothing has reduced the position since; once its round
      trip has closed, that round trip realized all of it, by both methods;
    * a reversal's commission is shared pro rata: the close part as a
      reduction, the rest as an opening.

    The figures are those a fold from the start gives, exactly for int and
    Fraction money; floats may differ from it in the last bits.  A commission
    of another type than the one it replaces is folded again: 0.5 replaced by
    Fraction(3) leaves exact figures, as the fills now are."""
    trip, lot, closing = done
    if trip is None:
        return False  # not folded in yet
    if old is not None and type(old) is not type(new):
        return False  # a difference of the two would mix the old type into figures a fold gives in the new one
    d = (0 if new is None else new) - (0 if old is None else old)
    if closing is not None:  # a reversal: the close part's share, the rest opened
        reduced = share(0 if new is None else new, closing, qty) - share(0 if old is None else old, closing, qty)
        opened = d - reduced
    elif lot is None:  # a reduction
        reduced, opened = d, None
    else:  # an opening
        reduced, opened = None, d
    if lot is not None:
        open_trip = trip if closing is None else trip + 1
        in_open_trip = open_trip == s[TRIPS]
        if in_open_trip and lot < s[REDUCED_AT]:
            return False  # reduced since: later closes took shares of it
    if reduced is not None:
        _realize(s, trips, key, trip, reduced)
    if lot is not None:
        if in_open_trip:
            s[BASIS] = s[BASIS] + opened
            _add_to_lot(s, chunks, key, lot, opened)
        else:  # its round trip closed: that round trip realized all it opened
            _realize(s, trips, key, open_trip, opened)
    s[COMMISSION] = s[COMMISSION] + d
    return True


def _realize(s: list[Any], trips: Any, key: Any, trip: int, more_cost: Any) -> None:
    """``more_cost`` of commission realized in round trip ``trip``."""
    s[REALIZED_AVERAGE] = s[REALIZED_AVERAGE] - more_cost
    s[REALIZED_FIFO] = s[REALIZED_FIFO] - more_cost
    if trip < s[TRIPS]:
        opened, closed, qty, average, fifo = trips[(key, trip)]
        trips[(key, trip)] = (opened, closed, qty, average - more_cost, fifo - more_cost)
    else:
        s[TRIP_AVERAGE] = s[TRIP_AVERAGE] - more_cost
        s[TRIP_FIFO] = s[TRIP_FIFO] - more_cost


def _add_to_lot(s: list[Any], chunks: Any, key: Any, lot: int, amount: Any) -> None:
    first = s[LOT_FIRST]
    n = lot // LOT_CHUNK
    if n == first // LOT_CHUNK:
        field, i = LOTS, 2 * (lot - first) + 1
        lots = s[LOTS]
    elif s[LOT_NEXT] >= (n + 1) * LOT_CHUNK:
        field, i = None, 2 * (lot - n * LOT_CHUNK) + 1
        lots = chunks[(key, n)]
    else:
        field, i = BACK, 2 * (lot - n * LOT_CHUNK) + 1
        lots = s[BACK]
    lots = lots[:i] + (lots[i] + amount,) + lots[i + 1 :]
    if field is None:
        chunks[(key, n)] = lots
    else:
        s[field] = lots


# ------------------------------------------------------------------ reading a row


def stored_chunks(s: Any) -> range:
    """The numbers of the chunks of lots the row's instrument keeps as entries."""
    first, last = s[LOT_FIRST], s[LOT_NEXT]
    if first == last:
        return range(0)
    return range(first // LOT_CHUNK + 1, last // LOT_CHUNK)


def lot_costs(s: Any, chunks: Mapping[Any, Any], key: Any) -> Iterator[Any]:
    """The costs of the open lots, oldest first."""
    yield from s[LOTS][1::2]
    for n in stored_chunks(s):
        yield from chunks[(key, n)][1::2]
    yield from s[BACK][1::2]


def open_qty(s: Any) -> Any:
    """The open quantity: what the built-in sum gives for the book's quantities."""
    return sum_value((s[Q_PHASE], s[Q_VALUE], s[Q_COMP]))


def book_size(s: Any) -> int:
    """How many fills the position's current book holds."""
    book = s[BOOK]
    return 0 if book is None else s[COUNT] - book  # type: ignore[no-any-return]


def in_book(book: Any, timestamp: Any, arrival: int) -> bool:
    """Whether a fill (by its time and arrival) is in the book whose checkpoint
    is ``book`` (None: flat, no book)."""
    if book is None:
        return False
    return (instant(timestamp), arrival) >= (instant(book[BOOK_TIME]), book[BOOK_ARRIVAL])


def open_cost(s: Any, method: str, chunks: Mapping[Any, Any], key: Any) -> Any:
    """The cost of the open quantity by ``method`` ("average" or "fifo")."""
    if method == "average":
        return s[BASIS]
    return sum(lot_costs(s, chunks, key))


def realized(s: Any, method: str) -> Any:
    return s[REALIZED_AVERAGE] if method == "average" else s[REALIZED_FIFO]


__all__ = [
    "new_row",
    "restart",
    "apply",
    "amend_commission",
    "stored_chunks",
    "lot_costs",
    "open_qty",
    "book_size",
    "in_book",
    "open_cost",
    "realized",
]
