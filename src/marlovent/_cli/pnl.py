"""Profit and loss of the fills in the tool's ledger.

A position forgets its trades when it goes flat; the ledger keeps every fill
the tool imported, in import order, which is the order the positions saw them.
Per instrument the fills are cut into round trips: a round trip runs from its
first fill to the fill that makes the net quantity exactly zero (the same rule,
and the same sum, by which a position resets).  For each closed round trip

    realized = -(sum of price * qty) - (sum of commissions)

and for the open one, with a mark price,

    unrealized = mark * net qty - (sum of price * qty) - (sum of commissions).
"""

from __future__ import annotations

import csv
from collections.abc import Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, TextIO

from .fills import FileError, RowError, identifier_text, parse_number
from .groups import key_order

Number = Any  # whatever the fills hold: int, float


@dataclass
class InstrumentPnl:
    """The P&L of one instrument."""

    key: Hashable
    qty: Number  # net quantity of the open round trip (0 when flat)
    realized: Number
    unrealized: Number | None  # None: open without a mark, or nothing open
    round_trips: int  # closed round trips
    open_cost: Number  # sum of price * qty over the open round trip
    open_commission: Number


class _Trip:
    """The fills of one instrument's current round trip."""

    __slots__ = ("qtys", "products", "commissions", "int_net")

    def __init__(self) -> None:
        self.qtys: list[Number] = []
        self.products: list[Number] = []
        self.commissions: list[Number] = []
        # The exact running net while every quantity is an int (None after a float).
        self.int_net: int | None = 0

    def add(self, price: Number, qty: Number, commission: Number) -> None:
        self.qtys.append(qty)
        self.products.append(price * qty)
        self.commissions.append(commission)
        if self.int_net is not None:
            self.int_net = self.int_net + qty if type(qty) is int else None

    def net(self) -> Number:
        # The built-in sum over the round trip, as the position takes it.
        return self.int_net if self.int_net is not None else sum(self.qtys)

    def cost(self) -> Number:
        return sum(self.products)

    def commission(self) -> Number:
        return sum(self.commissions)


def round_trips(fills: Iterable[tuple[Hashable, Number, Number, Number]]) -> dict[Hashable, InstrumentPnl]:
    """Fold ``(key, price, qty, commission)`` fills, in order, into P&L per key
    (without marks)."""
    trips: dict[Hashable, _Trip] = {}
    result: dict[Hashable, InstrumentPnl] = {}
    for key, price, qty, commission in fills:
        entry = result.get(key)
        if entry is None:
            entry = result[key] = InstrumentPnl(key, 0, 0, None, 0, 0, 0)
            trips[key] = _Trip()
        trip = trips[key]
        trip.add(price, qty, commission)
        if trip.net() == 0:
            entry.realized = entry.realized + (-trip.cost() - trip.commission())
            entry.round_trips += 1
            trips[key] = _Trip()
    for key, trip in trips.items():
        entry = result[key]
        entry.qty = trip.net()
        entry.open_cost = trip.cost()
        entry.open_commission = trip.commission()
    return result


def apply_marks(pnl: Mapping[Hashable, InstrumentPnl], marks: Mapping[Hashable, Number]) -> list[Hashable]:
    """Set the unrealized P&L of every open instrument that has a mark;
    returns the open keys without one."""
    unmarked = []
    for key, entry in pnl.items():
        if entry.qty == 0:
            entry.unrealized = None
            continue
        mark = marks.get(key)
        if mark is None:
            entry.unrealized = None
            unmarked.append(key)
        else:
            entry.unrealized = mark * entry.qty - entry.open_cost - entry.open_commission
    return unmarked


def totals(rows: Iterable[InstrumentPnl]) -> tuple[Number, Number]:
    rows = list(rows)
    realized = sum(r.realized for r in rows)
    unrealized = sum(r.unrealized for r in rows if r.unrealized is not None)
    return realized, unrealized


def sorted_rows(pnl: Mapping[Hashable, InstrumentPnl]) -> list[InstrumentPnl]:
    return sorted(pnl.values(), key=lambda r: key_order(r.key))


class MarksError(FileError):
    """Rows of a marks file that cannot be used, one message each."""

    def __init__(self, rows: list[str]) -> None:
        super().__init__(f"{len(rows)} bad row{'s' if len(rows) != 1 else ''} (listed above)")
        self.rows = rows


def read_marks(stream: TextIO, source: str) -> dict[str, Number]:
    """Mark prices from CSV with the columns key and price; the key is text."""
    reader = csv.reader(stream)
    header: list[str] | None = None
    marks: dict[str, Number] = {}
    problems: list[str] = []
    try:
        for row in reader:
            line = reader.line_num
            if not row or all(not c.strip() for c in row):
                continue
            if header is None:
                header = [c.strip().lower() for c in row]
                if sorted(header) != ["key", "price"]:
                    raise FileError(f"line {line}: the header must name the columns key and price, not {', '.join(row)}")
                continue
            if len(row) != 2:
                problems.append(f"{source}:{line}: has {len(row)} cells, the header has 2")
                continue
            cells = dict(zip(header, (c.strip() for c in row)))
            key = cells["key"]
            try:
                if not key:
                    raise RowError("key is empty")
                if not cells["price"]:
                    raise RowError("price is empty")
                price = parse_number(cells["price"], "price")
                if price < 0:
                    raise RowError(f"price {price} is negative")
            except RowError as e:
                problems.append(f"{source}:{line}: {e}")
                continue
            if key in marks:
                problems.append(f"{source}:{line}: a second mark for {key}")
                continue
            marks[key] = price
    except csv.Error as e:
        raise FileError(f"line {reader.line_num}: not valid CSV ({e})") from None
    if header is None:
        raise FileError("no header line (columns: key, price)")
    if problems:
        raise MarksError(problems)
    return marks


def marks_by_key(marks: Mapping[str, Number], keys: Iterable[Hashable]) -> tuple[dict[Hashable, Number], list[str]]:
    """The marks of the given keys (a mark names a key by its text), and the
    marked texts that name no key."""
    by_text: dict[str, list[Hashable]] = {}
    for key in keys:
        by_text.setdefault(identifier_text(key), []).append(key)
        if str(key) != identifier_text(key):
            by_text.setdefault(str(key), []).append(key)
    found: dict[Hashable, Number] = {}
    unknown: list[str] = []
    for text, price in marks.items():
        matches = by_text.get(text)
        if not matches:
            unknown.append(text)
            continue
        for key in matches:
            found.setdefault(key, price)
    return found, unknown


__all__ = ["MarksError", "InstrumentPnl", "round_trips", "apply_marks", "totals", "sorted_rows", "read_marks", "marks_by_key"]
