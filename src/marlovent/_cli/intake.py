"""Recording parsed fills into a portfolio, all or nothing per file.

First every row is checked against the portfolio as it will be at that row
(a dry run over the trade books, with the same reset-when-flat rule the
positions apply), so that a conflicting duplicate or a commission for a fill
that is gone is known before anything is written.  Then, unless bad rows were
found and skipping them was not asked for, the good rows are recorded in one
transaction of the store.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable
from dataclasses import dataclass, field
from typing import Any

from .. import ordermgr as _om
from .fills import BadRow, Fill, describe, identifier_text
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


@dataclass(frozen=True, slots=True)
class _Action:
    kind: str  # "trade", "commission" or "duplicate"
    fill: Fill
    trade: Any = None


class _Book:
    """The dry-run state of one key: order id -> (price, qty, commission, timestamp)."""

    __slots__ = ("trades",)

    def __init__(self, position: Any) -> None:
        self.trades: dict[Hashable, tuple[Any, Any, Any, Any]] = {}
        if position is not None:
            for oid, t in position.trades.items():
                self.trades[oid] = (t.price, t.qty, t.commission, t.timestamp)

    def add(self, orderid: Hashable, entry: tuple[Any, Any, Any, Any]) -> bool:
        """Record a new fill; True when it brings the book to exactly zero."""
        self.trades[orderid] = entry
        # The same sum the position takes: the built-in, over the book's order.
        if sum(e[1] for e in self.trades.values()) == 0:
            self.trades.clear()
            return True
        return False


def _same_fill(fill: Fill, entry: tuple[Any, Any, Any, Any]) -> bool:
    price, qty, _commission, timestamp = entry
    if fill.price != price or fill.qty != qty:
        return False
    return fill.timestamp is None or fill.timestamp == timestamp


def _conflict(fill: Fill, entry: tuple[Any, Any, Any, Any]) -> str:
    return (
        f"order id {identifier_text(fill.orderid)} of {identifier_text(fill.key)} was already recorded as "
        f"{describe(entry[0], entry[1], entry[3])}; this row has {describe(fill.price, fill.qty, fill.timestamp)}. "
        "Each fill of an instrument needs its own order id (for partial fills use the execution id, "
        f"e.g. {identifier_text(fill.orderid)}-2)"
    )


def plan(portfolio: Portfolio, fills: list[Fill]) -> tuple[list[_Action], list[BadRow]]:
    """Decide what every row does, without writing anything."""
    positions = portfolio.mgr.positions
    ledger = portfolio.ledger
    books: dict[Hashable, _Book] = {}
    seen: dict[tuple[Hashable, Hashable], tuple[Any, Any, Any, Any]] = {}
    actions: list[_Action] = []
    bad: list[BadRow] = []

    def book_of(key: Hashable) -> _Book:
        book = books.get(key)
        if book is None:
            book = books[key] = _Book(positions.get(key))
        return book

    def recorded(key: Hashable, orderid: Hashable) -> tuple[Any, Any, Any, Any] | None:
        entry = seen.get((key, orderid))
        return entry if entry is not None else ledger.get(key, orderid)

    def commission(fill: Fill, book: _Book, entry: tuple[Any, Any, Any, Any] | None) -> None:
        oid = fill.orderid
        if oid in book.trades:
            current = book.trades[oid]
            if current[2] == fill.commission:
                actions.append(_Action("duplicate", fill))
                return
            book.trades[oid] = (current[0], current[1], fill.commission, current[3])
            seen[(fill.key, oid)] = book.trades[oid]
            actions.append(_Action("commission", fill))
        elif entry is not None and entry[2] == fill.commission:
            actions.append(_Action("duplicate", fill))
        elif entry is not None:
            bad.append(
                BadRow(
                    fill.source,
                    fill.line,
                    f"the position of {identifier_text(fill.key)} that held order id {identifier_text(oid)} "
                    "has been closed since; its commission can no longer change",
                )
            )
        else:
            bad.append(
                BadRow(
                    fill.source,
                    fill.line,
                    f"no fill with order id {identifier_text(oid)} for {identifier_text(fill.key)} "
                    "to apply this commission to (a commission row follows its fill)",
                )
            )

    for fill in fills:
        try:
            hash(fill.key), hash(fill.orderid)
        except TypeError:
            bad.append(BadRow(fill.source, fill.line, "key and orderid must be hashable"))
            continue
        book = book_of(fill.key)
        entry = recorded(fill.key, fill.orderid)
        if entry is None and fill.orderid in book.trades:
            entry = book.trades[fill.orderid]
        if fill.commission_only:
            commission(fill, book, entry)
            continue
        if entry is not None:
            # A repeated fill is a duplicate whatever its commission: commissions
            # reported later come as commission rows, so importing a file again
            # changes nothing.
            if _same_fill(fill, entry):
                actions.append(_Action("duplicate", fill))
            else:
                bad.append(BadRow(fill.source, fill.line, _conflict(fill, entry)))
            continue
        try:
            trade = _make_trade(fill)
        except (ValueError, TypeError) as e:
            bad.append(BadRow(fill.source, fill.line, str(e)))
            continue
        stored = (trade.price, trade.qty, trade.commission, trade.timestamp)
        seen[(fill.key, fill.orderid)] = stored
        book.add(fill.orderid, stored)
        actions.append(_Action("trade", fill, trade))
    return actions, bad


def _make_trade(fill: Fill) -> Any:
    kwargs: dict[str, Any] = {"orderid": fill.orderid, "price": fill.price, "qty": fill.qty}
    if fill.commission is not None:
        kwargs["commission"] = fill.commission
    if fill.timestamp is not None:
        kwargs["timestamp"] = fill.timestamp
    return _om.Trade(**kwargs)


def apply(
    portfolio: Portfolio, actions: list[_Action], result: FileResult, advance: Callable[[int], None]
) -> None:
    """Record the planned rows in one transaction; counts go into ``result``."""
    mgr = portfolio.mgr
    positions = mgr.positions
    ledger = portfolio.ledger
    with portfolio.batch():
        for action in actions:
            fill = action.fill
            if action.kind == "duplicate":
                result.duplicates += 1
            elif action.kind == "commission":
                mgr.update_commission(fill.key, fill.orderid, fill.commission)
                trade = positions[fill.key].trades[fill.orderid]
                ledger.set_commission(fill.key, fill.orderid, fill.commission, trade)
                result.commissions += 1
            else:
                trade = action.trade
                was_stored = fill.key in positions
                mgr.add_trade(fill.key, trade)
                if was_stored and fill.key not in positions:
                    result.closed += 1
                ledger.record(fill.key, fill.orderid, trade.price, trade.qty, trade.commission, trade.timestamp)
                result.new += 1
            advance(1)
    result.recorded = True


def import_fills(
    portfolio: Portfolio,
    source: str,
    fills: list[Fill],
    parse_bad: list[BadRow],
    skip_bad: bool,
    advance: Callable[[int], None],
) -> FileResult:
    """Check and record one file's rows; nothing is written when a row is bad
    unless ``skip_bad`` is set."""
    result = FileResult(source)
    actions, plan_bad = plan(portfolio, fills)
    result.bad = sorted(parse_bad + plan_bad, key=lambda b: b.line)
    if result.bad and not skip_bad:
        return result
    apply(portfolio, actions, result, advance)
    return result
