"""Recording parsed rows into a portfolio's ledger, all or nothing per file.

A file's fills are recorded in time order (a stable sort by timestamp; a file
listed newest first is turned round first, so that a newest-first export gives
the same portfolio as an oldest-first one, fills of the same time included),
then its late commission rows, in file order, all in one transaction of the
store.
Each row is recorded in a savepoint of its own: a row the ledger refuses (a
conflicting fill, a commission for an unknown fill) changes nothing, and is
reported against its file and line.  Unless skipping bad rows was asked for,
a file with any bad row is rolled back as a whole.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable, Hashable
from dataclasses import dataclass, field
from typing import Any

from ..ledger import Fill, FillConflict, Recorded
from .fills import BadRow, Row, describe, identifier_text
from .portfolio import Portfolio


@dataclass
class FileResult:
    """What one input file did to the portfolio."""

    source: str
    new: int = 0
    duplicates: int = 0
    commissions: int = 0
    closed: int = 0
    bad: list[BadRow] = field(default_factory=list)
    recorded: bool = False
    adopted: list[Hashable] = field(default_factory=list)


class _RollBack(Exception):
    """Leaves the file's transaction without keeping anything."""


def _conflict_reason(row: Row, e: FillConflict) -> str:
    was = e.recorded
    seen = describe(was.price, was.qty, was.timestamp)
    offered = describe(row.price, row.qty, row.timestamp)
    if row.orderid is not None:
        return (
            f"order id {identifier_text(row.orderid)} of {identifier_text(row.key)} was already recorded as "
            f"{seen}; this row has {offered}. Each fill of an instrument needs its own order id: for partial "
            "fills give the execution id as fill_id and the order as order_id (or use an order id with a "
            f"fill number, e.g. {identifier_text(row.orderid)}-2)"
        )
    if was.key != row.key:
        seen = f"a fill of {identifier_text(was.key)}, {seen}"
    return f"fill id {row.fill_id} was already recorded as {seen}; this row has {offered}"


def _record(portfolio: Portfolio, row: Row, now: _dt.datetime, result: FileResult) -> None:
    ledger = portfolio.ledger
    positions = portfolio.mgr.positions
    recorded = ledger.get(row.fill_id)
    timestamp = row.timestamp
    if timestamp is None:
        # A file without times: the time of the import, or the recorded one.
        timestamp = now if recorded is None else recorded.timestamp
    # A fill already recorded keeps its commission: commission rows change it.
    commission = row.commission if recorded is None else None
    fill = Fill(row.fill_id, row.key, row.price, row.qty, commission, timestamp, row.order_id)
    was_open = row.key in positions
    if ledger.record(fill, multiplier=row.multiplier, currency=row.currency) is Recorded.DUPLICATE:
        result.duplicates += 1
        return
    result.new += 1
    if was_open and row.key not in positions:
        result.closed += 1


def _commission(portfolio: Portfolio, row: Row, result: FileResult) -> None:
    try:
        changed = portfolio.ledger.set_commission(row.fill_id, row.commission)
    except KeyError:
        what = (
            f"order id {identifier_text(row.orderid)} for {identifier_text(row.key)}"
            if row.orderid is not None
            else f"id {row.fill_id}"
        )
        raise LookupError(f"no fill with {what} to apply this commission to (a commission row follows its fill)") from None
    if changed:
        result.commissions += 1
    else:
        result.duplicates += 1


def _adopt(portfolio: Portfolio, rows: list[Row], result: FileResult) -> None:
    """Positions the file records into whose trades were added without the
    ledger (through the library) become the ledger's first (see Ledger.adopt)."""
    ledger = portfolio.ledger
    positions = portfolio.mgr.positions
    seen: set[Any] = set()
    for row in rows:
        key = row.key
        if key in seen:
            continue
        seen.add(key)
        if key in positions and not ledger.count(key):
            ledger.adopt(key)
            result.adopted.append(key)


def in_time_order(rows: list[Row], now: _dt.datetime) -> list[Row]:
    """The fill rows sorted by time, stably.  A file listed newest first (more
    of its neighbouring times fall than rise) is read from its end first, so
    that fills of the same time keep the order in which they happened."""
    times = [r.timestamp for r in rows if r.timestamp is not None]
    falls = sum(1 for a, b in zip(times, times[1:]) if b < a)
    rises = sum(1 for a, b in zip(times, times[1:]) if b > a)
    ordered = rows[::-1] if falls > rises else list(rows)
    ordered.sort(key=lambda r: now if r.timestamp is None else r.timestamp)
    return ordered


def import_fills(
    portfolio: Portfolio,
    source: str,
    rows: list[Row],
    parse_bad: list[BadRow],
    skip_bad: bool,
    advance: Callable[[int], None],
    now: _dt.datetime | None = None,
) -> FileResult:
    """Record one file's rows; nothing is written when a row is bad unless
    ``skip_bad`` is set."""
    result = FileResult(source)
    now = now or _dt.datetime.now(_dt.timezone.utc)
    bad = list(parse_bad)
    fills = in_time_order([r for r in rows if not r.commission_only], now)
    commissions = [r for r in rows if r.commission_only]
    try:
        with portfolio.batch():
            _adopt(portfolio, fills, result)
            for row in fills:
                try:
                    _record(portfolio, row, now, result)
                except FillConflict as e:
                    bad.append(BadRow(row.source, row.line, _conflict_reason(row, e)))
                except (ValueError, TypeError) as e:
                    bad.append(BadRow(row.source, row.line, str(e)))
                advance(1)
            for row in commissions:
                try:
                    _commission(portfolio, row, result)
                except (LookupError, ValueError, TypeError) as e:
                    bad.append(BadRow(row.source, row.line, str(e)))
                advance(1)
            if bad and not skip_bad:
                raise _RollBack
        result.recorded = True
    except _RollBack:
        result.new = result.duplicates = result.commissions = result.closed = 0
        result.adopted = []
    result.bad = sorted(bad, key=lambda b: b.line)
    return result


__all__ = ["FileResult", "import_fills"]
