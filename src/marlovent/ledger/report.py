"""The ledger's answers: profit and loss per instrument and per currency, and
closed round trips."""

from __future__ import annotations

import dataclasses
import datetime as _dt
from collections.abc import Hashable
from typing import Any


@dataclasses.dataclass(frozen=True, slots=True)
class PnlRow:
    """One instrument's profit and loss, in money of its ``currency``.

    ``qty``: the open quantity (0 when flat); ``realized``: every reducing
    fill's profit so far; ``unrealized``: ``mark * qty * multiplier`` minus
    the open cost (None when open without a mark, 0 when flat);
    ``average_cost``: the open cost per unit of the quoted price (every
    commission counted as a cost; None when flat) — a broker's average cost
    divided by the multiplier. A position's own ``average_price`` differs from
    it: there a sell's commission lowers the basis instead of counting as a cost.
    ``commission``: every fill's commission; ``fills``: fills recorded;
    ``round_trips``: round trips closed.
    """

    key: Hashable
    currency: str
    multiplier: Any
    qty: Any
    realized: Any
    unrealized: Any
    average_cost: Any
    mark: Any
    commission: Any
    fills: int
    round_trips: int


@dataclasses.dataclass(frozen=True, slots=True)
class CurrencyTotal:
    """Totals of one currency: the built-in sum of its rows' figures.
    ``unrealized`` adds the rows that have a mark; ``unmarked`` lists the open
    instruments without one (left out of ``unrealized``)."""

    currency: str
    realized: Any
    unrealized: Any
    unmarked: tuple[Hashable, ...]


@dataclasses.dataclass(frozen=True, slots=True)
class PnlReport:
    """Profit and loss by ``method`` ("average" or "fifo"): a row per
    instrument (in the order instruments were first recorded) and totals per
    currency, never added across currencies."""

    method: str
    rows: list[PnlRow]
    totals: dict[str, CurrencyTotal]


@dataclasses.dataclass(frozen=True, slots=True)
class RoundTrip:
    """A closed round trip of one instrument: from the fill that opened it from
    flat to the fill that brought it back to flat (or through zero). ``qty``
    is the quantity opened in it (signed: negative for a short round trip);
    ``realized_average`` and ``realized_fifo`` its profit by each method (equal
    but for float rounding: a closed round trip realizes everything)."""

    key: Hashable
    opened: _dt.datetime
    closed: _dt.datetime
    qty: Any
    realized_average: Any
    realized_fifo: Any
    currency: str
    multiplier: Any


def currency_totals(rows: list[PnlRow]) -> dict[str, CurrencyTotal]:
    """Totals per currency (sorted by currency code) over ``rows``, in their order."""
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


__all__ = ["PnlRow", "CurrencyTotal", "PnlReport", "RoundTrip", "currency_totals"]
