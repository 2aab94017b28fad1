"""How the ledger is kept in the portfolio's database: named maps beside the
positions (the default map), committed with them in one transaction.

``ledger.fills``        fill id -> (key, order_id, price, qty, commission,
                        timestamp, arrival, previous fill id,
                        round trip, lot, closed qty)
    Every fill, with the number of fills of its instrument recorded before it
    (``arrival``, which orders fills of the same time) and the fill before it
    in its instrument's time order: each instrument's fills form a chain, read
    from its newest fill back, so an instrument is rebuilt from its own fills
    without reading any other.  The last three say what the fill did in its
    instrument's figures (:mod:`.projection`), for a late commission.
``ledger.instruments``  key -> the instrument's terms and figures, a row of
                        fixed size (:mod:`.projection`): one written per fill.
``ledger.books``        key -> the checkpoint of the instrument's current book:
                        where it began and the figures just before it; written
                        when a book opens from flat.
``ledger.lots``         (key, n) -> the n-th chunk of the instrument's open FIFO
                        lots, ``(qty, cost, qty, cost, ...)``, for the full
                        chunks between the oldest and the newest (those two are
                        in the instrument's row).
``ledger.trips``        (key, n) -> (opened, closed, qty, realized_average,
                        realized_fifo), the instrument's n-th closed round trip.
``ledger.meta``         "layout" -> the layout version (absent: 1); "legacy"
                        -> what became of the command-line tool's old ledger file.

Values are tuples of plain values: the kinds the store encodes fastest.
"""

from __future__ import annotations

FILLS = "ledger.fills"
INSTRUMENTS = "ledger.instruments"
BOOKS = "ledger.books"
LOTS = "ledger.lots"
TRIPS = "ledger.trips"
META = "ledger.meta"

LAYOUT = 1

# A stored fill: what it is, where it sits in its instrument's chain, and what
# it did there (projection.apply's first result).
KEY, ORDER_ID, PRICE, QTY, COMMISSION, TIMESTAMP, ARRIVAL, PREVIOUS, DONE = range(9)
UNDONE = (None, None, None)  # what a fill did before it is folded in

# A stored round trip.
OPENED, CLOSED, TRIP_QTY, TRIP_AVERAGE, TRIP_FIFO = range(5)

__all__ = ["FILLS", "INSTRUMENTS", "BOOKS", "LOTS", "TRIPS", "META", "LAYOUT"]
