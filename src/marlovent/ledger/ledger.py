"""The ledger of a portfolio: fills as the source of truth, positions as what
they add up to.

Every recording operation is one transaction of the portfolio's store,
covering the ledger's maps and the positions: it completes, or raises and
leaves both as they were.  The ledger keeps nothing of its own in memory: what
it knows is in the store, whose memory level forgets what a rolled-back block
wrote.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Iterator, Mapping
from contextlib import contextmanager
from threading import get_ident
from typing import Any

from .. import ordermgr as _om
from . import layout as L
from .exact import share
from .fills import Fill, FillConflict, Recorded, check_identifier, check_notional, check_number, differences, instant, number_error
from .instruments import DEFAULT_CURRENCY, DEFAULT_MULTIPLIER, Instrument, check_currency, check_multiplier
from .orderids import recorded_order_id, trade_fill_id, trade_order_id
from . import projection as P
from .projection import ARRIVALS, BOOK, BOOK_FILL, COUNT, CURRENCY, LAST, MULTIPLIER, NEWEST, TRIPS
from .projection import apply as _apply
from .report import PnlReport, PnlRow, RoundTrip, currency_totals

METHODS = ("average", "fifo")
_Position, _Trade = _om.Position, _om.Trade


class _Pending:
    """An instrument a bulk block gave a fill out of time order: the book it
    had (None: flat), whether a fill went before that book (a rebuild from
    its first fill), and the fill after the last one linked in (where the
    next, not older one, is looked for)."""

    __slots__ = ("book", "full", "after")

    def __init__(self, book: tuple[Any, ...] | None) -> None:
        self.book, self.full = book, book is None
        self.after: str | None = None


class _Bulk:
    """The instruments a bulk block has left to rebuild, and those rebuilt
    (with how many round trips they gained).  Every change to it is undone
    with the transaction level that made it, so that it always describes
    what the store holds."""

    __slots__ = ("pending", "rebuilt")

    def __init__(self) -> None:
        self.pending: dict[Hashable, _Pending] = {}
        self.rebuilt: dict[Hashable, int] = {}


# The bulk block open on a store, by the store's identity and the thread that
# opened it: every Ledger of the store records through it in that thread (the
# block holds the store, so the id is not reused while it is open).  Another
# thread never sees it: the store refuses that thread's calls while the
# block's transaction is open.
_BULKS: dict[tuple[int, int], _Bulk] = {}


def per_unit(commission: Any, multiplier: Any) -> Any:
    """A money commission as the position keeps it: per unit of the quoted price."""
    if multiplier == 1 and type(multiplier) is int:
        return commission
    return share(commission, 1, multiplier)


class Ledger:
    """Fills, instruments, profit and loss and round trips of the portfolio of
    ``mgr`` (an ``OrderMgr``), kept in its own database beside the positions."""

    __slots__ = ("mgr", "_positions", "_fills", "_instruments", "_books", "_lots", "_trips", "_meta")

    def __init__(self, mgr: Any) -> None:
        self.mgr = mgr
        store = mgr.positions
        self._positions = store
        self._fills = store.map(L.FILLS)
        self._instruments = store.map(L.INSTRUMENTS)
        self._books = store.map(L.BOOKS)
        self._lots = store.map(L.LOTS)
        self._trips = store.map(L.TRIPS)
        self._meta = store.map(L.META)
        version = self._meta.get("layout", L.LAYOUT)
        if version != L.LAYOUT:
            raise ValueError(
                f"the ledger of portfolio {mgr.namespace} has layout {version!r}, written by a newer "
                f"version of marlovent; this one reads layout {L.LAYOUT}"
            )

    def __repr__(self) -> str:
        return f"Ledger({self.mgr.namespace!r})"

    # ------------------------------------------------------------------ terms

    def instrument(self, key: Hashable) -> Instrument:
        """The terms of ``key``; the defaults (multiplier 1, USD) when never set."""
        row = self._instruments.get(key)
        if row is None:
            return Instrument(key, DEFAULT_MULTIPLIER, DEFAULT_CURRENCY)
        return Instrument(key, row[0], row[1])

    def set_instrument(self, key: Hashable, *, multiplier: Any = DEFAULT_MULTIPLIER, currency: str = DEFAULT_CURRENCY) -> Instrument:
        """Set the terms of ``key``, kept in the portfolio.  An instrument that
        has fills is rebuilt with its new multiplier (its position's
        commissions per unit and every money figure change with it)."""
        check_identifier(key, "key", "set_instrument:")
        self._up_to_date()
        check_multiplier(multiplier, key)
        check_currency(currency, key)
        with self._positions.transaction():
            row = self._instruments.get(key)
            if row is None:
                state = P.new_row(multiplier, currency)
            else:
                state = list(row)
                old = state[MULTIPLIER]
                if old == multiplier and type(old) is type(multiplier) and state[CURRENCY] == currency:
                    return Instrument(key, multiplier, currency)
                rebuild = old != multiplier and state[COUNT]
                state[MULTIPLIER], state[CURRENCY] = multiplier, currency
                if rebuild:
                    self._own_position(key, state)
                    self._replay(key, state, full=True, positions=True)
            self._instruments[key] = tuple(state)
        return Instrument(key, multiplier, currency)

    # ------------------------------------------------------------------ recording

    def record(self, fill: Fill, *, multiplier: Any = None, currency: str | None = None) -> Recorded:
        """Record a fill: ``Recorded.NEW``, or ``Recorded.DUPLICATE`` when its
        fill id is recorded with the same values (a commission not reported on
        either side is no difference).  The same fill id with other values
        raises :class:`FillConflict` and changes nothing.  ``multiplier`` and
        ``currency`` set the instrument's terms with its first fill and must
        agree with them later."""
        if type(fill) is not Fill and not isinstance(fill, Fill):
            raise TypeError(f"record() takes a Fill, not {type(fill).__name__}")
        if multiplier is not None:
            check_multiplier(multiplier, fill.key)
        if currency is not None:
            check_currency(currency, fill.key)
        positions = self._positions
        if positions.in_transaction:
            # Inside the caller's transaction (a batch): no savepoint of its
            # own.  Everything that can refuse the fill runs before the first
            # write, and a write that fails after it fails the whole
            # transaction (see _append).
            return self._record(fill, multiplier, currency)
        with positions.transaction():
            return self._record(fill, multiplier, currency)

    def _record(self, fill: Fill, multiplier: Any, currency: str | None) -> Recorded:
        fill_id = fill.fill_id
        key = fill.key
        fills = self._fills
        stored = fills.get(fill_id)
        if stored is not None:
            recorded = self._fill(fill_id, stored)
            different = differences(recorded, fill)
            if different:
                raise FillConflict(recorded, fill, different)
            if multiplier is not None or currency is not None:
                self._agree(key, list(self._instruments[key]), multiplier, currency)
            return Recorded.DUPLICATE
        row = self._instruments.get(key)
        if row is None:
            state = P.new_row(
                DEFAULT_MULTIPLIER if multiplier is None else multiplier,
                DEFAULT_CURRENCY if currency is None else currency,
            )
        else:
            state = list(row)
            if multiplier is not None or currency is not None:
                self._agree(key, state, multiplier, currency)
        if state[MULTIPLIER] != 1:
            check_notional(fill.price, fill.qty, state[MULTIPLIER], f"Fill {fill_id!r}:")
        arrival = state[ARRIVALS]
        state[ARRIVALS] = arrival + 1
        timestamp = fill.timestamp
        newest = state[NEWEST]
        bulk = self._open_bulk()
        if bulk is not None and (key in bulk.pending or (newest is not None and instant(timestamp) < instant(newest))):
            self._defer(bulk, key, state, fill, arrival)
            self._instruments[key] = tuple(state)
            return Recorded.NEW
        if newest is not None and instant(timestamp) < instant(newest):
            with self._positions.transaction():
                self._insert(key, state, fill, arrival)
                self._instruments[key] = tuple(state)
            return Recorded.NEW
        # A fill at least as new as every fill of its instrument: applied at
        # once.  Reads, checks and figures first; then the writes, the fill's
        # own row first: a value the store cannot hold is refused there, before
        # anything is written, and the later writes hold only values of the
        # same kinds (a failure there is the store's, which fails the
        # transaction).
        positions = self._positions
        position = positions.get(key)
        book = state[BOOK]
        order_id = fill.order_id
        orderid = fill_id if order_id is None else order_id
        if position is None:
            if book is not None:
                self._foreign(key, state, None)
            position = _Position(key)
        else:
            trades = position.trades
            if book is None or len(trades) != state[COUNT] - book:
                self._foreign(key, state, trades)
            if orderid in trades:
                orderid = trade_order_id(trades, order_id, fill_id)
        price, qty, commission = fill.price, fill.qty, fill.commission
        m = state[MULTIPLIER]
        if commission is None:
            trade = _Trade(orderid, price, qty, timestamp=timestamp)
        elif m == 1 and type(m) is int:
            trade = _Trade(orderid, price, qty, commission, timestamp)
        else:
            trade = _Trade(orderid, price, qty, share(commission, 1, m), timestamp)
        previous = state[LAST]
        in_trip, lot, closing, trip, writes = _apply(state, self._lots, key, fill_id, price, qty, commission, timestamp, arrival)
        fills[fill_id] = (key, order_id, price, qty, commission, timestamp, arrival, previous, in_trip, lot, closing)
        undo = None
        try:
            # What OrderMgr.add_trade does, inside the transaction that is
            # already open: the position takes the trade (its book emptied
            # when it goes flat) and is written back, or deleted when flat.
            # The position may be the store's live object, held by callers:
            # its change is put back when this write fails, or the
            # transaction rolls back later.
            open_, undo = self.mgr._add_trade_undoable(position, trade)
            if open_:
                positions[key] = position
            elif state[BOOK] is None and key in positions:
                del positions[key]
        except BaseException:
            if undo is not None:
                undo()
            try:
                del fills[fill_id]
            except Exception:
                pass  # the store failed: the whole transaction is rolled back
            raise
        self._instruments[key] = tuple(state)
        if trip is not None:
            self._trips[(key, in_trip)] = trip
        if writes is not None:
            self._write(key, writes)
        return Recorded.NEW

    def _write(self, key: Hashable, writes: list[Any]) -> None:
        """The writes a fold asked for beyond the instrument's row."""
        lots = self._lots
        for kind, what, lots_of_chunk in writes:
            if kind == P.STORE_CHUNK:
                lots[(key, what)] = lots_of_chunk
            elif kind == P.DROP_CHUNK:
                del lots[(key, what)]
            else:
                self._books[key] = what

    def _book(self, key: Hashable, state: Any) -> tuple[Any, ...] | None:
        """The checkpoint of the instrument's current book, None while flat."""
        return None if state[BOOK] is None else self._books[key]  # type: ignore[no-any-return]

    def _agree(self, key: Hashable, state: list[Any], multiplier: Any, currency: str | None) -> None:
        if multiplier is not None and multiplier != state[MULTIPLIER]:
            raise ValueError(
                f"instrument {key!r} has multiplier {state[MULTIPLIER]!r}; this fill gives {multiplier!r}. "
                f"set_instrument({key!r}, multiplier=...) changes it (and rebuilds the instrument)"
            )
        if currency is not None and currency != state[CURRENCY]:
            raise ValueError(
                f"instrument {key!r} is in {state[CURRENCY]}; this fill gives {currency}. "
                f"set_instrument({key!r}, currency=...) changes it"
            )

    def _insert(self, key: Hashable, state: list[Any], fill: Fill, arrival: int) -> None:
        """A fill older than the newest of its instrument: linked into the
        chain at its place in time order, then the instrument is rebuilt."""
        self._link(key, state, fill, arrival, None)
        self._own_position(key, state)
        self._replay(key, state, full=not P.in_book(self._book(key, state), fill.timestamp, arrival), positions=True)

    def _link(self, key: Hashable, state: list[Any], fill: Fill, arrival: int, after: str | None) -> str | None:
        """Link ``fill`` into its instrument's chain after every fill of a time
        not later than its own, its own row written first.  ``after``, when it
        is a fill of the instrument later than the new one, is where the walk
        back from the newest starts.  Returns the fill now after the new one
        (None when the new one is the newest)."""
        fills = self._fills
        timestamp = fill.timestamp
        moment = instant(timestamp)
        later = None  # the oldest fill that comes after the new one
        current = state[LAST]
        if after is not None:
            row = fills.get(after)
            if row is not None and row[L.KEY] == key and instant(row[L.TIMESTAMP]) > moment:
                later, current = (after, row), row[L.PREVIOUS]
        while current is not None:
            row = fills[current]
            if instant(row[L.TIMESTAMP]) <= moment:
                break
            later = (current, row)
            current = row[L.PREVIOUS]
        fills[fill.fill_id] = (key, fill.order_id, fill.price, fill.qty, fill.commission, timestamp, arrival, current) + L.UNDONE
        if later is None:
            state[LAST], state[NEWEST] = fill.fill_id, timestamp
            return None
        fills[later[0]] = later[1][: L.PREVIOUS] + (fill.fill_id,) + later[1][L.DONE :]
        return later[0]

    # ------------------------------------------------------------------ bulk recording

    @contextmanager
    def bulk(self) -> Iterator[dict[Hashable, int]]:
        """A block of :meth:`record` calls, all in one transaction, in which a
        fill older than the newest of its instrument is only linked into place:
        each instrument given such a fill (and its later fills in the block) is
        rebuilt once, when the block ends, rather than once per fill; so is
        one given a commission that later fills took shares of
        (:meth:`set_commission`), and one given a bust (:meth:`cancel`).
        Until then its position and figures are those from before the block;
        any other operation of the ledger inside the block (but those three)
        brings them up to date first; what the rebuild refuses (an order id
        a bust would leave clashing) fails the block at its end.  Yields a
        dict, filled when the block ends: each key so rebuilt and how many
        round trips its rebuild gained (negative where a bust took some).  A
        block inside another is a savepoint of it, rebuilt with it."""
        store = self._positions
        where = (id(store), get_ident())
        outer = _BULKS.get(where)
        with store.transaction():
            if outer is not None:
                yield outer.rebuilt
                return
            bulk = _BULKS[where] = _Bulk()
            try:
                yield bulk.rebuilt
                self._up_to_date()
            finally:
                del _BULKS[where]

    def _open_bulk(self) -> _Bulk | None:
        """The bulk block open on this ledger's store, if any."""
        return _BULKS.get((id(self._positions), get_ident())) if _BULKS else None

    def _defer(self, bulk: _Bulk, key: Hashable, state: list[Any], fill: Fill, arrival: int) -> None:
        """In a bulk block: the fill linked into its chain, its instrument
        left to be rebuilt when the block ends."""
        pending = self._pending(bulk, key, state, fill.timestamp, arrival)
        pending.after = self._link(key, state, fill, arrival, pending.after)

    def _pending(
        self, bulk: _Bulk, key: Hashable, state: list[Any], timestamp: Any, arrival: int, removed: str | None = None
    ) -> _Pending:
        """The instrument left to be rebuilt when the block ends, from its
        first fill when a change at (``timestamp``, ``arrival``) lies before
        the book it had, or removes (``removed``) the fill that book starts
        at.  What can refuse the change comes before the first write; each
        step is undone with the level that made it."""
        self._own_position(key, state)
        pending = bulk.pending.get(key)
        if pending is None:
            pending = bulk.pending[key] = _Pending(self._book(key, state))
            self._positions.on_rollback(lambda: bulk.pending.pop(key, None))
        book = pending.book
        if not pending.full and (book is None or not P.in_book(book, timestamp, arrival) or book[BOOK_FILL] == removed):
            pending.full = True
            self._positions.on_rollback(lambda: setattr(pending, "full", False))
        return pending

    def _up_to_date(self) -> None:
        """Rebuild the instruments a bulk block left to be rebuilt, in a
        transaction of their own: all of them, or none and the error."""
        bulk = self._open_bulk()
        if bulk is None or not bulk.pending:
            return
        gained = {}
        with self._positions.transaction():
            for key, pending in bulk.pending.items():
                state = list(self._instruments[key])
                before = state[TRIPS]
                self._own_position(key, state)
                self._replay(key, state, full=pending.full, positions=True)
                self._instruments[key] = tuple(state)
                gained[key] = state[TRIPS] - before
        self._settled(bulk, gained)

    def _settled(self, bulk: _Bulk, gained: dict[Hashable, int]) -> None:
        """The pending instruments rebuilt (``gained``: their new round trips)
        or cleared away (empty); undone if the level that did it rolls back."""
        pending, rebuilt = dict(bulk.pending), bulk.rebuilt
        before = {key: rebuilt[key] for key in gained if key in rebuilt}

        def undo() -> None:
            bulk.pending.clear()
            bulk.pending.update(pending)
            for key in gained:
                if key in before:
                    rebuilt[key] = before[key]
                else:
                    rebuilt.pop(key, None)

        for key, n in gained.items():
            rebuilt[key] = rebuilt.get(key, 0) + n
        bulk.pending.clear()
        self._positions.on_rollback(undo)

    def set_commission(self, fill_id: str, commission: Any) -> bool:
        """A commission reported after its fill, in money: replaces the fill's
        commission (its position's trade gets ``commission / multiplier``).
        True when it changed anything; KeyError for a fill id not recorded.
        Inside a bulk block, where working it in takes folding its instrument
        again, or the instrument is to be rebuilt at the block's end anyway,
        that rebuild works it in."""
        check_number(commission, "commission", f"fill {fill_id!r}:")
        bulk = self._open_bulk()
        with self._positions.transaction():
            row = self._fills.get(fill_id)
            if row is None:
                raise KeyError(f"no fill with id {fill_id!r} is recorded")
            old = row[L.COMMISSION]
            if old is not None and type(old) is type(commission) and old == commission:
                return False
            key = row[L.KEY]
            self._fills[fill_id] = row[: L.COMMISSION] + (commission,) + row[L.COMMISSION + 1 :]
            state = list(self._instruments[key])
            if bulk is not None and key in bulk.pending:
                self._pending(bulk, key, state, row[L.TIMESTAMP], row[L.ARRIVAL])
                return True
            book = self._book(key, state)
            in_book = P.in_book(book, row[L.TIMESTAMP], row[L.ARRIVAL])
            if in_book:
                trades = self._own_position(key, state)
                orderid = recorded_order_id(trades, row[L.ORDER_ID], fill_id)
                self.mgr.update_commission(key, orderid, per_unit(commission, state[MULTIPLIER]))
            if not P.amend_commission(state, self._lots, self._trips, key, row[L.DONE :], row[L.QTY], old, commission):
                # Later fills took shares of what it opened: fold them again,
                # inside a bulk block once, when it ends.
                if bulk is not None and self._position_trades(key, state)[1]:
                    self._pending(bulk, key, state, row[L.TIMESTAMP], row[L.ARRIVAL])
                else:
                    self._replay(key, state, full=not in_book, positions=False)
            elif book is not None and not in_book:
                # It lies before the current book, whose checkpoint holds the
                # figures before it: all of it was realized there.
                d = commission - (0 if old is None else old)
                self._books[key] = book[:4] + (book[4] - d, book[5] - d, book[6], book[7] + d) + book[8:]
            self._instruments[key] = tuple(state)
        return True

    def cancel(self, fill_id: str) -> Fill:
        """Bust a fill: remove it and rebuild its instrument.  Returns the
        removed fill; KeyError for a fill id not recorded.  Inside a bulk
        block the instrument is rebuilt at the block's end, with the rest."""
        bulk = self._open_bulk()
        with self._positions.transaction():
            row = self._fills.get(fill_id)
            if row is None:
                raise KeyError(f"no fill with id {fill_id!r} is recorded")
            fill = self._fill(fill_id, row)
            key = row[L.KEY]
            state = list(self._instruments[key])
            self._own_position(key, state)
            fills = self._fills
            # Unlink it from its instrument's chain.
            later = None
            current = state[LAST]
            while current != fill_id:
                later = current
                current = fills[current][L.PREVIOUS]
            before = row[L.PREVIOUS]
            if later is None:
                state[LAST] = before
            else:
                row_later = fills[later]
                fills[later] = row_later[: L.PREVIOUS] + (before,) + row_later[L.DONE :]
            del fills[fill_id]
            if bulk is not None:
                self._pending(bulk, key, state, row[L.TIMESTAMP], row[L.ARRIVAL], removed=fill_id)
            else:
                book = self._book(key, state)
                in_book = book is not None and P.in_book(book, row[L.TIMESTAMP], row[L.ARRIVAL]) and book[BOOK_FILL] != fill_id
                self._replay(key, state, full=not in_book, positions=True)
            self._instruments[key] = tuple(state)
        return fill

    def rebuild(self, key: Hashable) -> None:
        """Rebuild the position of ``key`` and its figures from its fills in
        time order, dropping any trade that was added to the position other
        than through the ledger.  Fills linked out of time order are linked
        in order first (:meth:`_relink`)."""
        self._up_to_date()
        with self._positions.transaction():
            row = self._instruments.get(key)
            if row is None:
                raise KeyError(f"no fills of {key!r} are recorded")
            state = list(row)
            self._relink(state)
            self._replay(key, state, full=True, positions=True)
            self._instruments[key] = tuple(state)

    def adopt(self, key: Hashable, fill_id: Callable[[Hashable, Hashable], str] = trade_fill_id) -> list[Fill]:
        """Make the trades of the position of ``key``, which the ledger has no
        fills of, its fills: each trade becomes a fill with the fill id
        ``fill_id(key, orderid)`` (by default ``KEY:ORDERID``), its order id as
        the order id and its commission times the multiplier as money, and the
        position is rebuilt from them in time order.  Returns the new fills."""
        self._up_to_date()
        with self._positions.transaction():
            row = self._instruments.get(key)
            if row is not None and row[COUNT]:
                raise ValueError(f"the ledger already holds fills of {key!r}; adopt() takes a position it does not know")
            position = self._positions.get(key)
            if position is None:
                return []
            multiplier = DEFAULT_MULTIPLIER if row is None else row[MULTIPLIER]
            fills = [
                Fill(
                    fill_id(key, t.orderid),
                    key,
                    t.price,
                    t.qty,
                    t.commission if multiplier == 1 and type(multiplier) is int else t.commission * multiplier,
                    t.timestamp,
                    t.orderid,
                )
                for t in position.trades.values()
            ]
            del self._positions[key]
            for fill in sorted(fills, key=_timestamp):
                self.record(fill)
        return fills

    def clear(self) -> None:
        """Remove every fill, instrument and round trip, and every position
        (``OrderMgr.clear``), in one transaction."""
        with self._positions.transaction():
            bulk = self._open_bulk()
            if bulk is not None:
                self._settled(bulk, {})
            for store in (self._fills, self._instruments, self._books, self._lots, self._trips):
                store.clear()
            self.mgr.clear()

    # ------------------------------------------------------------------ rebuilding

    def _own_position(self, key: Hashable, state: list[Any]) -> Any:
        """The trades of the position of ``key``, which must be the ledger's
        current book of it."""
        trades, own = self._position_trades(key, state)
        if not own:
            self._foreign(key, state, trades)
        return trades

    def _position_trades(self, key: Hashable, state: list[Any]) -> tuple[Any, bool]:
        """The trades of the position of ``key``, and whether they are the
        ledger's current book of it."""
        position = self._positions.get(key)
        trades = None if position is None else position.trades
        return trades, (0 if trades is None else len(trades)) == P.book_size(state)

    def _foreign(self, key: Hashable, state: list[Any], trades: Any) -> None:
        held = 0 if trades is None else len(trades)
        raise ValueError(
            f"the position of {key!r} holds {held} trade{'s' if held != 1 else ''} where the ledger's "
            f"fills of it make {P.book_size(state)}: trades were added or removed other than through the "
            f"ledger. Ledger.rebuild({key!r}) makes the position its fills again (dropping those trades)"
        )

    def _chain(self, state: Any, stop: str | None) -> list[tuple[str, tuple[Any, ...]]]:
        """The instrument's fills in time order, from ``stop`` (None: the first) on."""
        fills = self._fills
        out = []
        current = state[LAST]
        while current is not None:
            row = fills[current]
            out.append((current, row))
            if current == stop:
                break
            current = row[L.PREVIOUS]
        out.reverse()
        return out

    def _relink(self, state: list[Any]) -> None:
        """Link the instrument's chain in time order, by instant and arrival,
        where it is not: a ledger written while fill times were compared by
        their wall clocks holds the fills of a repeated autumn hour of one
        ZoneInfo in the order of their clocks.  Writes only the rows whose
        link changes (none in a chain that is in order)."""
        fills = self._fills
        chain = self._chain(state, None)
        chain.sort(key=lambda entry: (instant(entry[1][L.TIMESTAMP]), entry[1][L.ARRIVAL]))
        previous = None
        for fill_id, row in chain:
            if row[L.PREVIOUS] != previous:
                fills[fill_id] = row[: L.PREVIOUS] + (previous,) + row[L.DONE :]
            previous = fill_id
        state[LAST] = previous

    def _replay(self, key: Hashable, state: list[Any], *, full: bool, positions: bool) -> None:
        """Fold the instrument's fills again, from the start of its current
        book (or from its first fill when ``full``), rebuilding its position
        from them when ``positions``, and rewrite what changed: its round
        trips, its stored lots, its book's checkpoint and what each fill did."""
        book = None if full else self._book(key, state)
        chain = self._chain(state, None if book is None else book[BOOK_FILL])
        old_trips = state[TRIPS]
        old_chunks = P.stored_chunks(state)
        P.restart(state, book)
        store = self._positions
        multiplier = state[MULTIPLIER]
        # The position is built in memory, as the fold goes, and written once
        # at the end: what add_trade of each fill in turn would leave there.
        position = None
        if positions:
            store.pop(key, None)
        fills = self._fills
        trips = self._trips
        chunks: dict[Any, Any] = {}  # the stored chunks of lots, as the fold goes
        done_at = L.DONE
        for fill_id, row in chain:
            price, qty, commission, timestamp = row[L.PRICE], row[L.QTY], row[L.COMMISSION], row[L.TIMESTAMP]
            if positions:
                orderid = trade_order_id(None if position is None else position.trades, row[L.ORDER_ID], fill_id)
                if commission is None:
                    trade = _om.Trade(orderid, price, qty, timestamp=timestamp)
                else:
                    trade = _om.Trade(orderid, price, qty, per_unit(commission, multiplier), timestamp)
                if position is None:
                    position = _om.Position(key)
                if not position.add_trade(trade):
                    position = None  # flat: its book emptied, the next fill opens a new one
            in_trip, lot, closing, trip, writes = P.apply(state, chunks, key, fill_id, price, qty, commission, timestamp, row[L.ARRIVAL])
            if writes is not None:
                for kind, what, lots_of_chunk in writes:
                    if kind == P.STORE_CHUNK:
                        chunks[(key, what)] = lots_of_chunk
                    elif kind == P.DROP_CHUNK:
                        del chunks[(key, what)]
                    else:
                        book = what
            done = (in_trip, lot, closing)
            if not same(row[done_at:], done):
                fills[fill_id] = row[:done_at] + done
            if trip is not None:
                where = (key, in_trip)
                if not same(trips.get(where), trip):
                    trips[where] = trip
        if position is not None:
            store[key] = position
        for n in range(state[TRIPS], old_trips):
            trips.pop((key, n), None)
        lots = self._lots
        for where, lots_of_chunk in chunks.items():
            if not same(lots.get(where), lots_of_chunk):
                lots[where] = lots_of_chunk
        for n in old_chunks:
            if (key, n) not in chunks:
                lots.pop((key, n), None)
        if state[BOOK] is not None and not same(self._books.get(key), book):
            self._books[key] = book

    # ------------------------------------------------------------------ reading

    @staticmethod
    def _fill(fill_id: str, row: tuple[Any, ...]) -> Fill:
        return Fill._trusted(fill_id, row[L.KEY], row[L.PRICE], row[L.QTY], row[L.COMMISSION], row[L.TIMESTAMP], row[L.ORDER_ID])

    def get(self, fill_id: str) -> Fill | None:
        """The recorded fill with this id, or None."""
        row = self._fills.get(fill_id)
        return None if row is None else self._fill(fill_id, row)

    def fills(self, key: Hashable = None) -> list[Fill]:
        """The recorded fills of ``key`` (None: of every instrument) in time
        order; fills of the same time in the order they were recorded."""
        if key is not None:
            row = self._instruments.get(key)
            if row is None:
                return []
            return [self._fill(fid, r) for fid, r in self._chain(row, None)]
        # The fills map keeps the order fills were recorded in; a stable sort
        # by time keeps it among fills of the same time.
        every = [self._fill(fid, r) for fid, r in self._fills.items()]
        every.sort(key=_timestamp)
        return every

    def count(self, key: Hashable) -> int:
        """How many fills of ``key`` are recorded."""
        self._up_to_date()
        row = self._instruments.get(key)
        return 0 if row is None else row[COUNT]

    def recorded(self, key: Hashable) -> int:
        """How many fills of ``key`` were ever recorded, cancelled ones included,
        by whoever recorded them: it grows with each new fill (0 before the
        first, and again after :meth:`clear`)."""
        row = self._instruments.get(key)
        return 0 if row is None else row[ARRIVALS]

    def round_trips(self, key: Hashable) -> int:
        """How many round trips of ``key`` have closed: ``len(history(key))``,
        without reading them."""
        self._up_to_date()
        row = self._instruments.get(key)
        return 0 if row is None else row[TRIPS]

    def book_size(self, key: Hashable) -> int:
        """How many of the fills of ``key`` its position's current book should hold."""
        self._up_to_date()
        row = self._instruments.get(key)
        return 0 if row is None else P.book_size(row)

    def keys(self) -> list[Hashable]:
        """The keys of every instrument with terms or fills, in the order they
        were first recorded."""
        return list(self._instruments.keys())

    def __len__(self) -> int:
        return len(self._fills)

    def __contains__(self, fill_id: object) -> bool:
        return fill_id in self._fills

    def pnl(self, marks: Mapping[Hashable, Any] | None = None, *, method: str = "average") -> PnlReport:
        """Profit and loss of every instrument with fills, by ``method``
        ("average" cost or "fifo" lots); ``marks`` maps keys to mark prices for
        the unrealized figures."""
        if method not in METHODS:
            raise ValueError(f"method {method!r} is not one of 'average', 'fifo'")
        self._up_to_date()
        rows: list[PnlRow] = []
        for key, row in self._instruments.items():
            if row[COUNT] == 0:
                continue
            mark = None if marks is None else marks.get(key)
            rows.append(_pnl_row(key, row, mark, method, self._lots))
        return PnlReport(method, rows, currency_totals(rows))

    def history(self, key: Hashable = None) -> list[RoundTrip]:
        """Closed round trips of ``key`` (None: of every instrument), in the
        order they closed."""
        self._up_to_date()
        if key is not None:
            row = self._instruments.get(key)
            return [] if row is None else list(self._round_trips(key, row))
        out = [trip for k, row in self._instruments.items() for trip in self._round_trips(k, row)]
        out.sort(key=_closed)
        return out

    def _round_trips(self, key: Hashable, row: tuple[Any, ...]) -> Iterator[RoundTrip]:
        trips = self._trips
        currency, multiplier = row[CURRENCY], row[MULTIPLIER]
        for n in range(row[TRIPS]):
            t = trips[(key, n)]
            yield RoundTrip(key, t[L.OPENED], t[L.CLOSED], t[L.TRIP_QTY], t[L.TRIP_AVERAGE], t[L.TRIP_FIFO], currency, multiplier)


def same(a: Any, b: Any) -> bool:
    """Equal values of the same kinds, element by element (a stored value is
    rewritten when a refold gives an equal value of another kind, such as
    Fraction(2) for 2)."""
    if type(a) is not type(b):
        return False
    if type(a) is tuple:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bool(a == b)


def _timestamp(fill: Fill) -> Any:
    return instant(fill.timestamp)


def _closed(trip: RoundTrip) -> Any:
    return instant(trip.closed)


def _check_mark(key: Hashable, mark: Any) -> None:
    problem = number_error(mark, "mark", f"instrument {key!r}:")
    if problem is not None:
        check_number(mark, "mark", f"instrument {key!r}:")
    if mark < 0:
        raise ValueError(f"instrument {key!r}: mark {mark!r} is negative")


def _pnl_row(key: Hashable, row: tuple[Any, ...], mark: Any, method: str, lots: Any) -> PnlRow:
    qty = P.open_qty(row)
    m = row[MULTIPLIER]
    if mark is not None:
        _check_mark(key, mark)
    if qty == 0:
        unrealized: Any = 0
        average_cost = None
    else:
        cost = P.open_cost(row, method, lots, key)
        unrealized = None if mark is None else mark * qty * m - cost
        average_cost = share(cost, 1, qty * m)
    return PnlRow(
        key,
        row[CURRENCY],
        m,
        qty,
        P.realized(row, method),
        unrealized,
        average_cost,
        mark,
        row[P.COMMISSION],
        row[COUNT],
        row[TRIPS],
    )


__all__ = ["Ledger", "METHODS"]
