"""Recording parsed rows into a portfolio's ledger, all or nothing per file.

A file's fills are recorded in time order (a stable sort by timestamp; the
fills of an instrument listed newest first are taken from the last, so that a
newest-first export gives the same portfolio as an oldest-first one, fills of
the same time included), then its late commission rows, in file order, all
in one transaction of the store.
Each row is recorded in a savepoint of its own: a row the ledger refuses (a
conflicting fill, a commission for an unknown fill) changes nothing, and is
reported against its file and line.  Unless skipping bad rows was asked for,
a file with any bad row is rolled back as a whole.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable, Hashable
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Any

from ..ledger import Fill, FillConflict, Recorded
from ..ledger.fills import instant
from .fills import BadRow, Row, as_written, describe, identifier_text, shortened
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


def _value_text(name: str, value: Any) -> str:
    """A fill's field as a conflict message names it."""
    if name in ("key", "order_id"):
        return "none" if value is None else identifier_text(value)
    if name == "timestamp":
        return value.isoformat()
    return str(as_written(value) if name == "qty" else value)


def _differing(e: FillConflict) -> str:
    """Each field in which the row differs from the recorded fill, with both
    values (as Python writes them where the texts are the same: 7 and '7',
    no order id and the order id 'none')."""
    parts = []
    for name in e.differences:
        was, now = getattr(e.recorded, name), getattr(e.offered, name)
        a, b = _value_text(name, was), _value_text(name, now)
        if a == b:
            a, b = repr(was), repr(now)
        parts.append(f"{name} ({shortened(a)} recorded, {shortened(b)} in this row)")
    return ", ".join(parts)


def _conflict_reason(row: Row, e: FillConflict) -> str:
    was = e.recorded
    seen = describe(was.price, was.qty, was.timestamp)
    if row.orderid is not None:
        return (
            f"order id {shortened(identifier_text(row.orderid))} of {shortened(identifier_text(row.key))} was already recorded as "
            f"{seen}; this row differs in {_differing(e)}. Each fill of an instrument needs its own order id: for partial "
            "fills give the execution id as fill_id and the order as order_id (or use an order id with a "
            f"fill number, e.g. {shortened(identifier_text(row.orderid))}-2)"
        )
    if was.key != row.key:
        seen = f"a fill of {shortened(identifier_text(was.key))}, {seen}"
    return f"fill id {shortened(row.fill_id)} was already recorded as {seen}; this row differs in {_differing(e)}"


def _record(portfolio: Portfolio, row: Row, now: _dt.datetime, result: FileResult) -> None:
    ledger = portfolio.ledger
    recorded = ledger.get(row.fill_id)
    timestamp = row.timestamp
    if timestamp is None:
        # A file without times: the time of the import, or the recorded one.
        timestamp = now if recorded is None else recorded.timestamp
    # A fill already recorded keeps its commission: commission rows change it.
    commission = row.commission if recorded is None else None
    qty = row.qty
    if recorded is not None and type(recorded.qty) is float and type(qty) is Fraction and recorded.qty == float(qty):
        # Recorded when decimal quantities were read as floats: the same fill.
        qty = recorded.qty
    fill = Fill(row.fill_id, row.key, row.price, qty, commission, timestamp, row.order_id)
    if ledger.record(fill, multiplier=row.multiplier, currency=row.currency) is Recorded.DUPLICATE:
        result.duplicates += 1
        return
    result.new += 1


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


def _round_trips(portfolio: Portfolio, rows: list[Row]) -> dict[Hashable, int]:
    """How many closed round trips the ledger holds of each instrument of ``rows``."""
    ledger = portfolio.ledger
    return {key: ledger.round_trips(key) for key in dict.fromkeys(r.key for r in rows)}


def in_time_order(rows: list[Row], now: _dt.datetime) -> list[Row]:
    """The fill rows sorted by the moment of their time, stably, except that
    the rows of an instrument listed newest first are taken from the last:
    fills of the same time then keep the order in which they happened.

    Whether an instrument is listed newest first is read from its own rows
    (more of its neighbouring times fall than rise), not from the file's:
    in a file grouped by instrument every step from one group to the next
    can fall while each group is oldest first.  An instrument whose rows
    say nothing (one time only) follows its file's instruments taken
    together; when none says anything, the file's neighbouring times
    decide, whatever their instruments; and the file order when they say
    nothing either."""
    moments = [None if r.timestamp is None else instant(r.timestamp) for r in rows]
    previous: dict[Hashable, _dt.datetime] = {}
    leaning: dict[Hashable, int] = {}  # falls less rises, per instrument
    for row, moment in zip(rows, moments):
        if moment is None:
            continue
        before = previous.get(row.key)
        if before is not None and moment != before:
            leaning[row.key] = leaning.get(row.key, 0) + (1 if moment < before else -1)
        previous[row.key] = moment
    overall = sum(1 if n > 0 else -1 for n in leaning.values() if n)
    if not overall:
        # No instrument's own rows say: the file's neighbouring times do,
        # whatever their instruments.
        times = [m for m in moments if m is not None]
        overall = sum((b < a) - (b > a) for a, b in zip(times, times[1:]))
    at_now = instant(now)

    def place(position: int) -> tuple[_dt.datetime, int]:
        lean = leaning.get(rows[position].key) or overall
        moment = moments[position]
        return at_now if moment is None else moment, -position if lean > 0 else position

    return [rows[i] for i in sorted(range(len(rows)), key=place)]


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
    fills = in_time_order([r for r in rows if not r.commission_only], now)
    commissions = [r for r in rows if r.commission_only]
    bad: list[BadRow] = []
    try:
        with portfolio.batch():
            _adopt(portfolio, fills, result)
            trips = _round_trips(portfolio, fills)
            # One bulk block: an instrument given fills older than its newest
            # is rebuilt once, at the end, not once per fill.
            with portfolio.ledger.bulk():
                for row in fills:
                    try:
                        _record(portfolio, row, now, result)
                    except FillConflict as e:
                        bad.append(BadRow(row.source, row.line, _conflict_reason(row, e)))
                    except (ValueError, TypeError) as e:
                        bad.append(BadRow(row.source, row.line, str(e)))
                    advance(1)
            # The round trips the file's fills closed, whether a fill brought
            # its position to zero or through it, or a rebuild gained them.
            after = _round_trips(portfolio, fills)
            result.closed = sum(max(0, after[k] - n) for k, n in trips.items())
            for row in commissions:
                try:
                    _commission(portfolio, row, result)
                except (LookupError, ValueError, TypeError) as e:
                    bad.append(BadRow(row.source, row.line, str(e)))
                advance(1)
            if (bad or parse_bad) and not skip_bad:
                raise _RollBack
        result.recorded = True
    except _RollBack:
        result.new = result.duplicates = result.commissions = result.closed = 0
        result.adopted = []
    bad += parse_bad
    result.bad = sorted(bad, key=lambda b: b.line)
    return result


__all__ = ["FileResult", "import_fills"]
