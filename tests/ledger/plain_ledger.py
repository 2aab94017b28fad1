"""A plain model of the ledger: the fills it holds and, computed from scratch in
exact Fractions, what they add up to per instrument.

It is written for clarity, not speed, and apart from the ledger's own fold:
each instrument's fills are sorted by (their instant in UTC, arrival) and
walked once; the average cost keeps (open quantity, open cost), FIFO a list of
[qty, cost] lots; a fill through zero is cut in two by quantity, commission
included.  A fill offered again has the same time when it names the same
instant, in whatever zone."""

import datetime as dt
from dataclasses import dataclass, field
from fractions import Fraction as F


@dataclass
class Figures:
    qty: F = F(0)
    basis: F = F(0)  # average cost of the open quantity
    lots: list = field(default_factory=list)  # FIFO: [qty, cost], oldest first
    realized_average: F = F(0)
    realized_fifo: F = F(0)
    commission: F = F(0)
    trips: list = field(default_factory=list)  # (opened, closed, qty, realized_average, realized_fifo)
    book: list = field(default_factory=list)  # the fills of the position's current book


def _sign(x):
    return (x > 0) - (x < 0)


def figures(fills, multiplier):
    """The figures of one instrument's fills, given in time order."""
    m = F(multiplier)
    f = Figures()
    trip = None  # [opened, qty, realized_average, realized_fifo]
    for fill in fills:
        price, qty, c = F(fill.price), F(fill.qty), F(fill.commission or 0)
        f.commission += c
        pieces = [(qty, c)]
        if f.qty and _sign(qty) != _sign(f.qty) and abs(qty) > abs(f.qty):
            closing = -f.qty
            pieces = [(closing, c * closing / qty), (qty - closing, c - c * closing / qty)]
        for q, cq in pieces:
            if f.qty == 0 or _sign(q) == _sign(f.qty):
                if f.qty == 0:
                    trip = [fill.timestamp, F(0), F(0), F(0)]
                trip[1] += q
                f.basis += price * q * m + cq
                f.lots.append([q, price * q * m + cq])
                f.qty += q
                continue
            proceeds = -price * q * m - cq
            share = -q / f.qty
            r_avg = proceeds - f.basis * share
            f.basis -= f.basis * share
            r_fifo = proceeds
            left = -q
            while left:
                lot = f.lots[0]
                take = lot[0] if abs(lot[0]) <= abs(left) else left
                cost = lot[1] * take / lot[0]
                r_fifo -= cost
                lot[0] -= take
                lot[1] -= cost
                left -= take
                if lot[0] == 0:
                    f.lots.pop(0)
            f.qty += q
            f.realized_average += r_avg
            f.realized_fifo += r_fifo
            trip[2] += r_avg
            trip[3] += r_fifo
            if f.qty == 0:
                f.trips.append((trip[0], fill.timestamp, trip[1], trip[2], trip[3]))
                trip = None
        f.book.append(fill)
        if f.qty == 0:
            f.book = []
    return f


class PlainLedger:
    """Fills by id in arrival order, terms per key; everything else derived."""

    def __init__(self):
        self.fills = {}  # fill_id -> (fill, arrival)
        self.terms = {}  # key -> (multiplier, currency)
        self.arrivals = 0

    def record(self, fill, multiplier=None, currency=None):
        """'new', 'duplicate', or the name of the exception the ledger raises."""
        old = self.fills.get(fill.fill_id)
        if old is not None:
            was = old[0]
            same = [getattr(was, n) == getattr(fill, n) for n in ("key", "price", "qty", "order_id")]
            same.append(was.timestamp.astimezone(dt.timezone.utc) == fill.timestamp.astimezone(dt.timezone.utc))
            if was.commission is not None and fill.commission is not None:
                same.append(was.commission == fill.commission)
            if not all(same):
                return "FillConflict"
            key = was.key
        else:
            key = fill.key
        terms = self.terms.get(key)
        if terms is not None:
            if (multiplier is not None and multiplier != terms[0]) or (currency is not None and currency != terms[1]):
                return "ValueError"
        if old is not None:
            return "duplicate"
        if terms is None:
            self.terms[key] = (1 if multiplier is None else multiplier, "USD" if currency is None else currency)
        self.fills[fill.fill_id] = (fill, self.arrivals)
        self.arrivals += 1
        return "new"

    def of(self, key):
        """The fills of ``key`` in time order (ties: arrival)."""
        mine = [(f.timestamp.astimezone(dt.timezone.utc), n, f) for f, n in self.fills.values() if f.key == key]
        return [f for _, _, f in sorted(mine, key=lambda x: (x[0], x[1]))]

    def keys(self):
        return sorted({f.key for f, _ in self.fills.values()}, key=repr)

    def figures(self, key):
        return figures(self.of(key), self.terms[key][0])
