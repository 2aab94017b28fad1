"""pandas DataFrames of a portfolio: positions, stored trades, summaries.

    from marlovent.frames import positions_frame, trades_frame, summaries_frame

    positions_frame(mgr)          # one row per position
    trades_frame(mgr)             # one row per stored trade, with its key
    summaries_frame(mgr, 0.1)     # one row per key: the PositionSummary fields

Rows follow the store's order (trades within a position in its book order).
Each column gets the dtype pandas infers from the values the portfolio holds:
integer quantities int64, floats float64, timestamps datetime64 with their
offset when they all share one (object otherwise), keys and order ids of
mixed kinds object.  Needs pandas, the optional extra
``pip install 'marlovent[pandas]'``.
"""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any

try:
    import pandas as pd
except ImportError as e:  # pragma: no cover - exercised in a subprocess without pandas
    raise ImportError(
        "marlovent.frames needs pandas, which is not installed: pip install 'marlovent[pandas]'",
        name=__name__,
    ) from e

from . import ordermgr as _om

if TYPE_CHECKING:
    from .ordermgr import OrderMgr

POSITION_COLUMNS = ("key", "qty", "average_price", "is_long", "total_commission", "trades", "started")
TRADE_COLUMNS = ("key", "orderid", "price", "qty", "commission", "timestamp")
SUMMARY_COLUMNS = ("key", *(f.name for f in dataclasses.fields(_om.PositionSummary)), "is_long")


def _frame(rows: list[tuple[Any, ...]], columns: tuple[str, ...]) -> pd.DataFrame:
    # Built column by column as object arrays first, so that pandas infers
    # each column's type from the values rather than from a mix of rows.
    data = {name: pd.Series([row[i] for row in rows], dtype=object) for i, name in enumerate(columns)}
    return pd.DataFrame(data, columns=list(columns)).infer_objects()


def positions_frame(mgr: OrderMgr) -> pd.DataFrame:
    """One row per stored position: key, qty, average_price, is_long,
    total_commission, trades (how many), started (None for a position
    without trades)."""
    rows = []
    for key, pos in mgr.positions.items():
        trades = len(pos.trades)
        rows.append(
            (
                key,
                pos.qty,
                pos.average_price,
                bool(pos.is_long),
                pos.total_commission,
                trades,
                pos.started if trades else None,
            )
        )
    return _frame(rows, POSITION_COLUMNS)


def trades_frame(mgr: OrderMgr) -> pd.DataFrame:
    """One row per stored trade, with the key of its position."""
    rows = [
        (key, t.orderid, t.price, t.qty, t.commission, t.timestamp)
        for key, pos in mgr.positions.items()
        for t in pos.trades.values()
    ]
    return _frame(rows, TRADE_COLUMNS)


def summaries_frame(mgr: OrderMgr, stopPct: float = 0.1) -> pd.DataFrame:
    """One row per stored key: the fields of its ``PositionSummary`` at
    ``stopPct`` (stop, stopPct, stopPts, age, ...) and ``is_long``."""
    rows = []
    for key in mgr.positions.keys():
        s = mgr.get_position_summary(key, stopPct)
        rows.append((key, *(getattr(s, f) for f in SUMMARY_COLUMNS[1:-1]), bool(s.is_long)))
    return _frame(rows, SUMMARY_COLUMNS)


__all__ = ["positions_frame", "trades_frame", "summaries_frame"]
