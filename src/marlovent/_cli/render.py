"""Text and JSON forms of what the commands print.

JSON: records become objects with their fields in order, datetimes ISO 8601
text, time spans seconds, tuples and sets arrays, keys of other kinds than
strings their text; fractions the nearest float (an int when whole); floats
that JSON cannot carry (NaN, infinities) become null.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import decimal
import fractions
import json
import math
from collections import Counter
from collections.abc import Hashable, Mapping
from typing import Any

from .fills import identifier_text


def to_json(value: Any) -> Any:
    """A value made of JSON's kinds only."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, _dt.datetime):
        return value.isoformat()
    if isinstance(value, _dt.timedelta):
        return value.total_seconds()
    if isinstance(value, decimal.Decimal):
        return str(value)
    if isinstance(value, fractions.Fraction):
        return int(value) if value.denominator == 1 else float(value)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: to_json(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if isinstance(value, Mapping):
        return {key_text(k): to_json(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [to_json(v) for v in value]
    return str(value)


def key_text(key: Hashable) -> str:
    """A mapping key as JSON object keys must be: text."""
    return key if isinstance(key, str) else str(key)


def key_labels(keys: list[Hashable]) -> list[str]:
    """Distinct JSON object keys for instrument keys: each key's text, and for
    a key that is not text whose text another key has (7 beside "7"), the
    text with its type's name, e.g. ``7 (int)``."""
    texts = [key_text(k) for k in keys]
    seen = Counter(texts)
    return [t if seen[t] == 1 or isinstance(k, str) else f"{t} ({type(k).__name__})" for k, t in zip(keys, texts)]


def dumps(value: Any) -> str:
    return json.dumps(to_json(value), indent=2, ensure_ascii=False, allow_nan=False)


def trade_json(trade: Any) -> dict[str, Any]:
    return {
        "orderid": to_json(trade.orderid),
        "price": to_json(trade.price),
        "qty": to_json(trade.qty),
        "commission": to_json(trade.commission),
        "timestamp": to_json(trade.timestamp),
    }


def position_json(key: Hashable, pos: Any) -> dict[str, Any]:
    trades = list(pos.trades.values())
    return {
        "key": to_json(key),
        "qty": to_json(pos.qty),
        "average_price": to_json(pos.average_price),
        "is_long": bool(pos.is_long),
        "total_commission": to_json(pos.total_commission),
        "started": to_json(pos.started) if trades else None,
        "trades": [trade_json(t) for t in trades],
    }


def summary_json(summary: Any) -> dict[str, Any]:
    out = to_json(summary)
    out["is_long"] = bool(summary.is_long)
    return out  # type: ignore[no-any-return]


def health_lines(report: Any) -> list[str]:
    """The health report as the debug summary opens with it."""
    lines = [
        f"SYSTEM HEALTH: {str(report.status).upper()}",
        f"Total Positions: {report.total_positions}",
        f"Total Trades: {report.total_trades}",
    ]
    for title, items in (("WARNINGS:", report.warnings), ("ERRORS:", report.errors)):
        if items:
            lines.append(title)
            lines.extend(f"  - {item}" for item in items)
    return lines


def _when(value: Any) -> str:
    return value.isoformat(sep=" ") if isinstance(value, _dt.datetime) else str(value)


def analysis_lines(analysis: Any) -> list[str]:
    direction = "LONG" if analysis.is_long else "SHORT"
    lines = [
        f"Position {identifier_text(analysis.key)}: {direction}, qty {analysis.qty}, "
        f"average price {analysis.average_price}, commission {analysis.total_commission}",
        f"Started: {_when(analysis.started)}",
        "",
        "Trade flow (time order):",
    ]
    for e in analysis.trade_flow:
        lines.append(
            f"  {_when(e.timestamp)}  order {identifier_text(e.orderid)}: qty {e.qty} @ {e.price}, "
            f"commission {e.commission} -> running qty {e.running_qty}, cost {e.running_cost}, "
            f"average {e.running_avg}"
        )
    c = analysis.calculations
    lines += [
        "",
        "Replay against the position:",
        f"  qty: replayed {c.final_qty}, position {c.position_qty} ({'matches' if c.qty_matches else 'MISMATCH'})",
        f"  average price: replayed {c.final_avg_price}, position {c.position_avg_price} "
        f"({'matches' if c.avg_price_matches else 'MISMATCH'})",
        f"  cost: {c.final_cost}",
        "",
    ]
    if analysis.consistency_errors:
        lines.append("Consistency findings:")
        lines.extend(f"  - {m}" for m in analysis.consistency_errors)
    else:
        lines.append("Consistency findings: none")
    return lines


def group_lines(title: str, describe: Mapping[str, str]) -> list[str]:
    lines = [title]
    width = max(len(n) for n in describe)
    lines.extend(f"  {name.ljust(width)}  {text}" for name, text in describe.items())
    return lines


def box_table(header: list[str], rows: list[list[str]], footer: list[list[str]] | None = None) -> str:
    """A table drawn as the position table is: +---+ rules, | cells |."""
    widths = [len(h) for h in header]
    for row in rows + (footer or []):
        widths = [max(w, len(c)) for w, c in zip(widths, row)]
    rule = "+" + "+".join("-" * (w + 2) for w in widths) + "+"

    def line(cells: list[str]) -> str:
        return "|" + "|".join(f" {c.ljust(w)} " for c, w in zip(cells, widths)) + "|"

    out = [rule, line(header), rule, *(line(r) for r in rows), rule]
    if footer:
        out += [*(line(r) for r in footer), rule]
    return "\n".join(out)


def money(value: Any) -> str:
    return f"${value:,.2f}"
