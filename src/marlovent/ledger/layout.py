"""How the ledger is kept in the portfolio's database: four named maps beside
the positions (the default map), committed with them in one transaction.

``ledger.fills``        fill id -> (key, order_id, price, qty, commission,
                        timestamp, arrival, previous fill id)
    Every fill, with the number of fills of its instrument recorded before it
    (``arrival``, which orders fills of the same time) and the fill before it
    in its instrument's time order: each instrument's fills form a chain, read
    from its newest fill back, so an instrument is rebuilt from its own fills
    without reading any other.
``ledger.instruments``  key -> the instrument's terms and figures
    (:meth:`.projection.Projection.to_row`): one row written per fill.
``ledger.trips``        (key, n) -> (opened, closed, qty, realized_average,
                        realized_fifo), the instrument's n-th closed round trip.
``ledger.meta``         "layout" -> the layout version (absent: 1); "legacy"
                        -> what became of the command-line tool's old ledger file.

Values are tuples of plain values: the kinds the store encodes fastest.
"""

from __future__ import annotations

FILLS = "ledger.fills"
INSTRUMENTS = "ledger.instruments"
TRIPS = "ledger.trips"
META = "ledger.meta"

LAYOUT = 1

# A stored fill.
KEY, ORDER_ID, PRICE, QTY, COMMISSION, TIMESTAMP, ARRIVAL, PREVIOUS = range(8)

# A stored round trip.
OPENED, CLOSED, TRIP_QTY, TRIP_AVERAGE, TRIP_FIFO = range(5)

__all__ = ["FILLS", "INSTRUMENTS", "TRIPS", "META", "LAYOUT"]
