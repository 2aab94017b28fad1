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
from typing import Any

from .. import ordermgr as _om
from . import layout as L
from .exact import share
from .fills import Fill, FillConflict, Recorded, check_number, differences, number_error
from .instruments import DEFAULT_CURRENCY, DEFAULT_MULTIPLIER, Instrument, check_currency, check_multiplier
from .orderids import recorded_order_id, trade_fill_id, trade_order_id
from .projection import BOOK_FILL, Projection
from .report import CurrencyTotal, PnlReport, PnlRow, RoundTrip

METHODS = ("average", "fifo")


def per_unit(commission: Any, multiplier: Any) -> Any:
    """A money commission as the position keeps it: per unit of the quoted price."""
    if multiplier == 1 and type(multiplier) is int:
        return commission
    return share(commission, 1, multiplier)


class Ledger:
    """Fills, instruments, profit and loss and round trips of the portfolio of
    ``mgr`` (an ``OrderMgr``), kept in its own database beside the positions."""

    __slots__ = ("mgr", "_positions", "_fills", "_instruments", "_trips", "_meta")

    def __init__(self, mgr: Any) -> None:
        self.mgr = mgr
        store = mgr.positions
        self._positions = store
        self._fills = store.map(L.FILLS)
        self._instruments = store.map(L.INSTRUMENTS)
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
        hash(key)
        check_multiplier(multiplier, key)
        check_currency(currency, key)
        with self._positions.transaction():
            row = self._instruments.get(key)
            if row is None:
                state = Projection.new(multiplier, currency)
            else:
                state = Projection.from_row(row)
                if state.multiplier == multiplier and type(state.multiplier) is type(multiplier) and state.currency == currency:
                    return Instrument(key, multiplier, currency)
                rebuild = state.multiplier != multiplier and state.count
                state.multiplier = multiplier
                state.currency = currency
                if rebuild:
                    self._own_position(key, state)
                    self._replay(key, state, full=True, positions=True)
            self._instruments[key] = state.to_row()
        return Instrument(key, multiplier, currency)

    # ------------------------------------------------------------------ recording

    def record(self, fill: Fill, *, multiplier: Any = None, currency: str | None = None) -> Recorded:
        """Record a fill: ``Recorded.NEW``, or ``Recorded.DUPLICATE`` when its
        fill id is recorded with the same values (a commission not reported on
        either side is no difference).  The same fill id with other values
        raises :class:`FillConflict` and changes nothing.  ``multiplier`` and
        ``currency`` set the instrument's terms with its first fill and must
        agree with them later."""
        if not isinstance(fill, Fill):
            raise TypeError(f"record() takes a Fill, not {type(fill).__name__}")
        key = fill.key
        if multiplier is not None:
            check_multiplier(multiplier, key)
        if currency is not None:
            check_currency(currency, key)
        fill_id = fill.fill_id
        with self._positions.transaction():
            stored = self._fills.get(fill_id)
            if stored is not None:
                recorded = self._fill(fill_id, stored)
                different = differences(recorded, fill)
                if different:
                    raise FillConflict(recorded, fill, different)
                if multiplier is not None or currency is not None:
                    self._agree(key, Projection.from_row(self._instruments[key]), multiplier, currency)
                return Recorded.DUPLICATE
            row = self._instruments.get(key)
            if row is None:
                state = Projection.new(
                    DEFAULT_MULTIPLIER if multiplier is None else multiplier,
                    DEFAULT_CURRENCY if currency is None else currency,
                )
            else:
                state = Projection.from_row(row)
                self._agree(key, state, multiplier, currency)
            arrival = state.arrivals
            state.arrivals = arrival + 1
            newest = state.newest
            if newest is not None and fill.timestamp < newest:
                self._insert(key, state, fill, arrival)
            else:
                self._append(key, state, fill, arrival)
            self._instruments[key] = state.to_row()
        return Recorded.NEW

    def _agree(self, key: Hashable, state: Projection, multiplier: Any, currency: str | None) -> None:
        if multiplier is not None and multiplier != state.multiplier:
            raise ValueError(
                f"instrument {key!r} has multiplier {state.multiplier!r}; this fill gives {multiplier!r}. "
                f"set_instrument({key!r}, multiplier=...) changes it (and rebuilds the instrument)"
            )
        if currency is not None and currency != state.currency:
            raise ValueError(
                f"instrument {key!r} is in {state.currency}; this fill gives {currency}. "
                f"set_instrument({key!r}, currency=...) changes it"
            )

    def _append(self, key: Hashable, state: Projection, fill: Fill, arrival: int) -> None:
        """A fill at least as new as every fill of its instrument: applied at once."""
        fill_id = fill.fill_id
        price, qty, commission, timestamp = fill.price, fill.qty, fill.commission, fill.timestamp
        self._fills[fill_id] = (key, fill.order_id, price, qty, commission, timestamp, arrival, state.last)
        position = self._positions.get(key)
        trades = None if position is None else position.trades
        if (0 if trades is None else len(trades)) != state.book_size:
            self._foreign(key, state, trades)
        orderid = trade_order_id(trades, fill.order_id, fill_id)
        if commission is None:
            trade = _om.Trade(orderid, price, qty, timestamp=timestamp)
        else:
            trade = _om.Trade(orderid, price, qty, per_unit(commission, state.multiplier), timestamp)
        self.mgr.add_trade(key, trade)
        trip = state.apply(fill_id, price, qty, commission, timestamp, arrival)
        if trip is not None:
            self._trips[(key, state.trips - 1)] = trip

    def _insert(self, key: Hashable, state: Projection, fill: Fill, arrival: int) -> None:
        """A fill older than the newest of its instrument: linked into the
        chain at its place in time order, then the instrument is rebuilt."""
        fills = self._fills
        timestamp = fill.timestamp
        later = None  # the oldest fill that comes after the new one
        current = state.last
        while current is not None:
            row = fills[current]
            if row[L.TIMESTAMP] <= timestamp:
                break
            later = (current, row)
            current = row[L.PREVIOUS]
        fills[fill.fill_id] = (key, fill.order_id, fill.price, fill.qty, fill.commission, timestamp, arrival, current)
        if later is not None:
            fills[later[0]] = later[1][: L.PREVIOUS] + (fill.fill_id,)
        self._own_position(key, state)
        self._replay(key, state, full=not state.in_book(timestamp, arrival), positions=True)

    def set_commission(self, fill_id: str, commission: Any) -> bool:
        """A commission reported after its fill, in money: replaces the fill's
        commission (its position's trade gets ``commission / multiplier``).
        True when it changed anything; KeyError for a fill id not recorded."""
        check_number(commission, "commission", f"fill {fill_id!r}:")
        with self._positions.transaction():
            row = self._fills.get(fill_id)
            if row is None:
                raise KeyError(f"no fill with id {fill_id!r} is recorded")
            old = row[L.COMMISSION]
            if old is not None and type(old) is type(commission) and old == commission:
                return False
            key = row[L.KEY]
            self._fills[fill_id] = row[: L.COMMISSION] + (commission,) + row[L.COMMISSION + 1 :]
            state = Projection.from_row(self._instruments[key])
            if state.in_book(row[L.TIMESTAMP], row[L.ARRIVAL]):
                trades = self._own_position(key, state)
                orderid = recorded_order_id(trades, row[L.ORDER_ID], fill_id)
                self.mgr.update_commission(key, orderid, per_unit(commission, state.multiplier))
                self._replay(key, state, full=False, positions=False)
            else:
                self._replay(key, state, full=True, positions=False)
            self._instruments[key] = state.to_row()
        return True

    def cancel(self, fill_id: str) -> Fill:
        """Bust a fill: remove it and rebuild its instrument.  Returns the
        removed fill; KeyError for a fill id not recorded."""
        with self._positions.transaction():
            row = self._fills.get(fill_id)
            if row is None:
                raise KeyError(f"no fill with id {fill_id!r} is recorded")
            fill = self._fill(fill_id, row)
            key = row[L.KEY]
            state = Projection.from_row(self._instruments[key])
            self._own_position(key, state)
            fills = self._fills
            # Unlink it from its instrument's chain.
            later = None
            current = state.last
            while current != fill_id:
                later = current
                current = fills[current][L.PREVIOUS]
            before = row[L.PREVIOUS]
            if later is None:
                state.last = before
            else:
                fills[later] = fills[later][: L.PREVIOUS] + (before,)
            del fills[fill_id]
            book = state.book
            in_book = state.in_book(row[L.TIMESTAMP], row[L.ARRIVAL]) and book is not None and book[BOOK_FILL] != fill_id
            self._replay(key, state, full=not in_book, positions=True)
            self._instruments[key] = state.to_row()
        return fill

    def rebuild(self, key: Hashable) -> None:
        """Rebuild the position of ``key`` from its fills, dropping any trade
        that was added to it other than through the ledger."""
        with self._positions.transaction():
            row = self._instruments.get(key)
            if row is None:
                raise KeyError(f"no fills of {key!r} are recorded")
            state = Projection.from_row(row)
            self._replay(key, state, full=True, positions=True)
            self._instruments[key] = state.to_row()

    def adopt(self, key: Hashable, fill_id: Callable[[Hashable, Hashable], str] = trade_fill_id) -> list[Fill]:
        """Make the trades of the position of ``key``, which the ledger has no
        fills of, its fills: each trade becomes a fill with the fill id
        ``fill_id(key, orderid)`` (by default ``KEY:ORDERID``), its order id as
        the order id and its commission times the multiplier as money, and the
        position is rebuilt from them in time order.  Returns the new fills."""
        with self._positions.transaction():
            row = self._instruments.get(key)
            if row is not None and row[2]:
                raise ValueError(f"the ledger already holds fills of {key!r}; adopt() takes a position it does not know")
            position = self._positions.get(key)
            if position is None:
                return []
            multiplier = DEFAULT_MULTIPLIER if row is None else row[0]
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
            for store in (self._fills, self._instruments, self._trips):
                store.clear()
            self.mgr.clear()

    # ------------------------------------------------------------------ rebuilding

    def _own_position(self, key: Hashable, state: Projection) -> Any:
        """The trades of the position of ``key``, which must be the ledger's
        current book of it."""
        position = self._positions.get(key)
        trades = None if position is None else position.trades
        if (0 if trades is None else len(trades)) != state.book_size:
            self._foreign(key, state, trades)
        return trades

    def _foreign(self, key: Hashable, state: Projection, trades: Any) -> None:
        held = 0 if trades is None else len(trades)
        raise ValueError(
            f"the position of {key!r} holds {held} trade{'s' if held != 1 else ''} where the ledger's "
            f"fills of it make {state.book_size}: trades were added or removed other than through the "
            f"ledger. Ledger.rebuild({key!r}) makes the position its fills again (dropping those trades)"
        )

    def _chain(self, state: Projection, stop: str | None) -> list[tuple[str, tuple[Any, ...]]]:
        """The instrument's fills in time order, from ``stop`` (None: the first) on."""
        fills = self._fills
        out = []
        current = state.last
        while current is not None:
            row = fills[current]
            out.append((current, row))
            if current == stop:
                break
            current = row[L.PREVIOUS]
        out.reverse()
        return out

    def _replay(self, key: Hashable, state: Projection, *, full: bool, positions: bool) -> None:
        """Fold the instrument's fills again, from the start of its current
        book (or from its first fill when ``full``), rebuilding its position
        from them when ``positions`` and rewriting its round trips."""
        book = None if full else state.book
        chain = self._chain(state, None if book is None else book[BOOK_FILL])
        old_trips = state.trips
        state.restart_at(book)
        store = self._positions
        mgr = self.mgr
        multiplier = state.multiplier
        if positions:
            store.pop(key, None)
        trips = self._trips
        for fill_id, row in chain:
            price, qty, commission, timestamp = row[L.PRICE], row[L.QTY], row[L.COMMISSION], row[L.TIMESTAMP]
            if positions:
                position = store.get(key)
                orderid = trade_order_id(None if position is None else position.trades, row[L.ORDER_ID], fill_id)
                if commission is None:
                    trade = _om.Trade(orderid, price, qty, timestamp=timestamp)
                else:
                    trade = _om.Trade(orderid, price, qty, per_unit(commission, multiplier), timestamp)
                mgr.add_trade(key, trade)
            trip = state.apply(fill_id, price, qty, commission, timestamp, row[L.ARRIVAL])
            if trip is not None:
                where = (key, state.trips - 1)
                if trips.get(where) != trip:
                    trips[where] = trip
        for n in range(state.trips, old_trips):
            trips.pop((key, n), None)

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
            return [self._fill(fid, r) for fid, r in self._chain(Projection.from_row(row), None)]
        # The fills map keeps the order fills were recorded in; a stable sort
        # by time keeps it among fills of the same time.
        every = [self._fill(fid, r) for fid, r in self._fills.items()]
        every.sort(key=_timestamp)
        return every

    def count(self, key: Hashable) -> int:
        """How many fills of ``key`` are recorded."""
        row = self._instruments.get(key)
        return 0 if row is None else row[2]

    def book_size(self, key: Hashable) -> int:
        """How many of the fills of ``key`` its position's current book should hold."""
        row = self._instruments.get(key)
        return 0 if row is None else Projection.from_row(row).book_size

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
        rows: list[PnlRow] = []
        for key, row in self._instruments.items():
            state = Projection.from_row(row)
            if state.count == 0:
                continue
            mark = None if marks is None else marks.get(key)
            rows.append(_pnl_row(key, state, mark, method))
        return PnlReport(method, rows, _totals(rows))

    def history(self, key: Hashable = None) -> list[RoundTrip]:
        """Closed round trips of ``key`` (None: of every instrument), in the
        order they closed."""
        if key is not None:
            row = self._instruments.get(key)
            return [] if row is None else list(self._round_trips(key, row))
        out = [trip for k, row in self._instruments.items() for trip in self._round_trips(k, row)]
        out.sort(key=_closed)
        return out

    def _round_trips(self, key: Hashable, row: tuple[Any, ...]) -> Iterator[RoundTrip]:
        state = Projection.from_row(row)
        trips = self._trips
        for n in range(state.trips):
            t = trips[(key, n)]
            yield RoundTrip(key, t[L.OPENED], t[L.CLOSED], t[L.TRIP_QTY], t[L.TRIP_AVERAGE], t[L.TRIP_FIFO], state.currency, state.multiplier)


def _timestamp(fill: Fill) -> Any:
    return fill.timestamp


def _closed(trip: RoundTrip) -> Any:
    return trip.closed


def _check_mark(key: Hashable, mark: Any) -> None:
    problem = number_error(mark, "mark", f"instrument {key!r}:")
    if problem is not None:
        check_number(mark, "mark", f"instrument {key!r}:")
    if mark < 0:
        raise ValueError(f"instrument {key!r}: mark {mark!r} is negative")


def _pnl_row(key: Hashable, state: Projection, mark: Any, method: str) -> PnlRow:
    qty = state.qty
    m = state.multiplier
    if mark is not None:
        _check_mark(key, mark)
    if qty == 0:
        unrealized: Any = 0
        average_cost = None
    else:
        cost = state.open_cost(method)
        unrealized = None if mark is None else mark * qty * m - cost
        average_cost = share(cost, 1, qty * m)
    return PnlRow(
        key,
        state.currency,
        m,
        qty,
        state.realized(method),
        unrealized,
        average_cost,
        mark,
        state.commission,
        state.count,
        state.trips,
    )


def _totals(rows: list[PnlRow]) -> dict[str, CurrencyTotal]:
    by_currency: dict[str, list[PnlRow]] = {}
    for r in rows:
        by_currency.setdefault(r.currency, []).append(r)
    totals = {}
    for currency in sorted(by_currency):
        rs = by_currency[currency]
        totals[currency] = CurrencyTotal(
            currency,
            sum(r.realized for r in rs),
            sum(r.unrealized for r in rs if r.unrealized is not None),
            tuple(r.key for r in rs if r.unrealized is None),
        )
    return totals


__all__ = ["Ledger", "METHODS"]
