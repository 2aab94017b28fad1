"""The spread analysis and the debug summary, in the library's layout but
with groups and legs in key-text order (see :mod:`.groups`), so that the same
portfolio prints the same text in every process."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from . import render
from .fills import identifier_text
from .groups import Group
from .tables import money

RULE_50 = "=" * 50
RULE_80 = "=" * 80


def _dollars(key: Any) -> str:
    return "USD"


def spread_lines(groups: list[Group], currency: Callable[[Any], str] = _dollars) -> list[str]:
    """The library's spread analysis; prices in a currency other than dollars
    (``currency(key)``) are named (a group of legs in several currencies has
    no one price currency: its price is named as the first leg's)."""
    if not groups:
        return ["No position groups found."]
    lines = ["SPREAD ANALYSIS", RULE_50, ""]
    spreads = singles = 0
    for g in groups:
        if len(g.keys) < 2:
            singles += 1
            continue
        spreads += 1
        pg = g.group
        lines.append(f"SPREAD #{spreads}: " + ", ".join(str(k) for k in g.keys))
        lines.append(f"  Positions: {len(g.legs)}")
        lines.append(f"  Group Qty: {pg.qty}")
        lines.append(f"  Group Avg Price: {money(pg.average_price, currency(g.legs[0].key))}")
        lines.append(f"  Direction: {'LONG' if pg.is_long else 'SHORT'}")
        for p in g.legs:
            lines.append(f"    {p.key}: qty={p.qty}, price={money(p.average_price, currency(p.key))}")
        lines.append("")
    lines.append(f"Summary: {spreads} spreads, {singles} single positions")
    return lines


def spread_json(groups: list[Group]) -> dict[str, Any]:
    spreads = []
    singles = []
    for g in groups:
        if len(g.keys) < 2:
            singles.append(render.to_json(g.keys[0]))
            continue
        pg = g.group
        spreads.append(
            {
                "keys": [render.to_json(k) for k in g.keys],
                "qty": render.to_json(pg.qty),
                "average_price": render.to_json(pg.average_price),
                "is_long": bool(pg.is_long),
                "total_commission": render.to_json(pg.total_commission),
                "legs": [
                    {
                        "key": render.to_json(p.key),
                        "qty": render.to_json(p.qty),
                        "average_price": render.to_json(p.average_price),
                    }
                    for p in g.legs
                ],
            }
        )
    return {"spreads": spreads, "single_positions": singles}


def debug_text(
    mgr: Any, groups: list[Group], position_table: str, portfolio_report: str, currency: Callable[[Any], str] = _dollars
) -> str:
    """The library's debug summary, with the tool's position table and risk
    report (money in each instrument's currency, see :mod:`.tables`)."""
    health = mgr.health_check()
    lines = [
        "ORDERMGR DEBUG SUMMARY",
        RULE_80,
        "",
        f"SYSTEM HEALTH: {str(health.status).upper()}",
        f"Total Positions: {health.total_positions}",
        f"Total Trades: {health.total_trades}",
        "",
    ]
    for title, items in (("WARNINGS:", health.warnings), ("ERRORS:", health.errors)):
        if items:
            lines.append(title)
            lines.extend(f"  - {item}" for item in items)
            lines.append("")
    lines += ["POSITION TABLE:", position_table, ""]
    lines += [portfolio_report, ""]
    lines.append("\n".join(spread_lines(groups, currency)))
    return "\n".join(lines)


def order_lines(g: Group, stop_pct: float, algo: str) -> dict[str, str]:
    pg = g.group
    return {
        "open": pg.open(),
        "close": pg.close(),
        "start": pg.start(stop_pct, algo),
        "stop": pg.stop(stop_pct, algo),
    }


def group_title(g: Group) -> str:
    return "Group " + ", ".join(g.leg_names)


def describe_group(g: Group) -> str:
    return "group of " + ", ".join(identifier_text(p.key) for p in g.legs)


__all__ = ["spread_lines", "spread_json", "debug_text", "order_lines", "group_title", "describe_group"]
