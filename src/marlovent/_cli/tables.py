"""The money reports of the tool: positions, the risk report, P&L and round trips.

Prices stay per unit of the quoted price; money is price x qty x the
instrument's multiplier, in its currency.  Money in US dollars is written as
the library writes it (``$1,234.50``, ``$-12.00``); any other currency is
named (``EUR 1,234.50``) and never added to dollars: totals come per currency.
For a portfolio of dollar instruments with multiplier 1 and no marks, the
position table and the risk report are the library's own text.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Hashable, Mapping
from dataclasses import dataclass
from typing import Any

from .. import ordermgr as _om
from .fills import as_written, identifier_text
from .render import box_table

USD = "USD"


def money(value: Any, currency: str = USD) -> str:
    return f"${value:,.2f}" if currency == USD else f"{currency} {value:,.2f}"


def quantity_text(value: Any) -> str:
    """A quantity as the tool writes it everywhere outside the library's own
    layouts: the decimal it was written as (0.0025, not a rounded 0.0)."""
    return str(as_written(value))


def when(value: _dt.datetime) -> str:
    return value.strftime("%Y-%m-%d %H:%M")


@dataclass
class Held:
    """One position with its instrument's terms and, when given, its mark."""

    key: Hashable
    position: Any
    multiplier: Any
    currency: str
    mark: Any = None
    unrealized: Any = None


def held_positions(portfolio: Any, marks: Mapping[Hashable, Any] | None = None) -> list[Held]:
    """The stored positions in store order, each with its terms; with marks,
    the unrealized P&L by average cost (the ledger's figure for its
    instruments; for a position recorded without the ledger, mark minus its
    average price, times qty and multiplier)."""
    ledger = portfolio.ledger
    rows = {}
    if marks:
        rows = {r.key: r for r in ledger.pnl({k: v for k, v in marks.items()}).rows}
    out = []
    for key, position in portfolio.mgr.positions.items():
        terms = ledger.instrument(key)
        held = Held(key, position, terms.multiplier, terms.currency)
        if marks and key in marks:
            held.mark = marks[key]
            row = rows.get(key)
            if row is not None and row.qty == position.qty:
                held.unrealized = row.unrealized
            else:
                held.unrealized = (held.mark - position.average_price) * position.qty * held.multiplier
        out.append(held)
    return out


def position_table(held: list[Held], marked: bool) -> str:
    """The library's position table, money in each instrument's currency and
    the commission in money; with marks, two more columns."""
    if not held:
        return "No positions found."
    header = ["Key", "Qty", "Avg Price", "Direction", "Commission", "Trades", "Started"]
    if marked:
        header += ["Mark", "Unrealized"]
    rows = []
    for h in held:
        p = h.position
        row = [
            str(h.key),
            f"{p.qty:,.1f}",
            money(p.average_price, h.currency),
            "LONG" if p.is_long else "SHORT",
            money(p.total_commission * h.multiplier, h.currency),
            str(len(p.trades)),
            when(p.started),
        ]
        if marked:
            row += [
                "" if h.mark is None else money(h.mark, h.currency),
                "no mark" if h.unrealized is None else money(h.unrealized, h.currency),
            ]
        rows.append(row)
    return box_table(header, rows)


def summary_of(position: Any, stop_pct: float, mark: Any = None) -> Any:
    """The position's summary as ``OrderMgr.get_position_summary`` makes it,
    with a market price."""
    average = position.average_price
    long = position.is_long
    stop = abs(average * ((1 - stop_pct) if long else (1 + stop_pct)))
    return _om.PositionSummary(
        qty=abs(position.qty),
        average_price=average if long else -average,
        stop=stop,
        total_commission=position.total_commission,
        started=position.started,
        marketPrice=mark,
    )


def portfolio_report(held: list[Held], stop_pct: float) -> str:
    """The library's risk report, with money in each instrument's currency
    (value and risk times the multiplier), the market price and profit of
    marked positions, and totals per currency."""
    if not held:
        return "No positions found."
    lines = ["PORTFOLIO SUMMARY", "=" * 50, ""]
    net: dict[str, float] = {}
    risk: dict[str, float] = {}
    for h in held:
        s = summary_of(h.position, stop_pct, h.mark)
        cur, m = h.currency, h.multiplier
        value = s.qty * abs(s.average_price) * m
        amount = value * abs(s.stopPct)
        net[cur] = net.get(cur, 0.0) + (value if s.is_long else -value)
        risk[cur] = risk.get(cur, 0.0) + amount
        lines += [
            f"Position: {h.key}",
            f"  Direction: {'LONG' if s.is_long else 'SHORT'}",
            f"  Quantity: {s.qty:,.1f}",
            f"  Avg Price: {money(abs(s.average_price), cur)}",
            f"  Stop Price: {money(s.stop, cur)}",
            f"  Stop %: {s.stopPct:.1%}",
            f"  Position Value: {money(value, cur)}",
            f"  Risk Amount: {money(amount, cur)}",
        ]
        if h.mark is not None:
            lines.append(f"  Market Price: {money(h.mark, cur)}")
            profit = None if s.profit is None else s.profit * s.qty * m
            lines.append(f"  Profit: {'none' if profit is None else money(profit, cur)}")
        lines += [f"  Age: {s.age}", ""]
    for cur in sorted(net, key=lambda c: (c != USD, c)):
        lines.append("TOTALS:" if list(net) == [USD] else f"TOTALS ({cur}):")
        lines.append(f"  Net Position Value: {money(net[cur], cur)}")
        lines.append(f"  Total Risk Amount: {money(risk[cur], cur)}")
        share = risk[cur] / abs(net[cur]) if net[cur] != 0 else 0
        lines.append(f"  Risk as % of Total: {share:.1%}")
    return "\n".join(lines)


AVERAGE_COST_NOTE = (
    "Avg Cost: the open cost per unit of the price, every commission counted as a cost (a broker's "
    "average cost divided by the multiplier); `ordermgr positions` shows the position's own Avg Price, "
    "in which a sell's commission lowers the basis instead."
)


def pnl_table(report: Any) -> str:
    header = ["Key", "Qty", "Mult", "Avg Cost", "Mark", "Realized", "Unrealized", "Round Trips"]
    rows = []
    for r in report.rows:
        cur = r.currency
        unrealized = "" if r.qty == 0 else ("no mark" if r.unrealized is None else money(r.unrealized, cur))
        rows.append(
            [
                identifier_text(r.key),
                quantity_text(r.qty),
                str(r.multiplier),
                "" if r.average_cost is None else money(r.average_cost, cur),
                "" if r.mark is None else money(r.mark, cur),
                money(r.realized, cur),
                unrealized,
                str(r.round_trips),
            ]
        )
    footer = [
        [f"Total {cur}", "", "", "", "", money(t.realized, cur), money(t.unrealized, cur), ""]
        for cur, t in report.totals.items()
    ]
    method = "FIFO lots" if report.method == "fifo" else "average cost"
    return "\n".join([f"Realized by {method}.", box_table(header, rows, footer), AVERAGE_COST_NOTE])


def history_table(trips: list[Any]) -> str:
    header = ["Key", "Opened", "Closed", "Qty", "Realized (avg)", "Realized (FIFO)"]
    rows = [
        [
            identifier_text(t.key),
            when(t.opened),
            when(t.closed),
            quantity_text(t.qty),
            money(t.realized_average, t.currency),
            money(t.realized_fifo, t.currency),
        ]
        for t in trips
    ]
    totals: dict[str, list[Any]] = {}
    for t in trips:
        totals.setdefault(t.currency, []).append(t)
    footer = [
        [
            f"Total {cur}",
            "",
            "",
            "",
            money(sum(t.realized_average for t in ts), cur),
            money(sum(t.realized_fifo for t in ts), cur),
        ]
        for cur, ts in sorted(totals.items())
    ]
    return box_table(header, rows, footer)


__all__ = ["money", "held_positions", "position_table", "portfolio_report", "pnl_table", "history_table", "summary_of"]
