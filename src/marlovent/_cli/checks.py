"""Values in a portfolio that its reports cannot use, found position by position.

Fills recorded through the ledger are checked when they are recorded; a
program can still put anything into a position through ``OrderMgr``
directly (a NaN price, a naive timestamp, a string quantity).  The tool names
such a position in one line instead of failing somewhere inside a report, and
``health`` lists every one.  It also names positions whose trades disagree with
the ledger's fills of them.
"""

from __future__ import annotations

import datetime as _dt
import math
from collections.abc import Hashable
from typing import Any

from ..ledger.fills import number_error
from .fills import identifier_text


def _trade_problem(trade: Any) -> str | None:
    try:
        orderid = identifier_text(trade.orderid)
        values = (("price", trade.price), ("qty", trade.qty), ("commission", trade.commission))
        for field, value in values:
            problem = number_error(value, field, "has")
            if problem is not None:
                return f"trade {orderid} {problem}"
        if trade.price < 0:
            return f"trade {orderid} has a negative price {trade.price!r}"
        stamp = trade.timestamp
        if not isinstance(stamp, _dt.datetime) or stamp.utcoffset() is None:
            return f"trade {orderid} has the timestamp {stamp!r}, not an aware datetime"
    except Exception as e:  # a value whose own comparison or repr fails
        return f"a trade cannot be read ({type(e).__name__}: {e})"
    return None


def position_problem(key: Hashable, position: Any) -> str | None:
    """Why the position's figures cannot be reported, or None."""
    try:
        trades = list(position.trades.values())
    except Exception as e:
        return f"its trades cannot be read ({type(e).__name__}: {e})"
    for trade in trades:
        problem = _trade_problem(trade)
        if problem is not None:
            return problem
    try:
        figures = (position.qty, position.average_price, position.total_commission)
        if trades:
            position.started
        for name, value in zip(("qty", "average price", "total commission"), figures):
            if isinstance(value, float) and not math.isfinite(value):
                return f"its {name} is {value!r}"
            float(value)
    except Exception as e:
        return f"its figures cannot be computed ({type(e).__name__}: {e})"
    return None


def problems(portfolio: Any) -> list[str]:
    """One line per position that reports cannot use or that disagrees with
    the ledger, in store order."""
    out = []
    ledger = portfolio.ledger
    for key, position in portfolio.mgr.positions.items():
        problem = position_problem(key, position)
        if problem is not None:
            out.append(f"position {identifier_text(key)}: {problem}")
            continue
        if ledger.count(key):
            held, book = len(position.trades), ledger.book_size(key)
            if held != book:
                out.append(
                    f"position {identifier_text(key)}: holds {held} trades where the ledger's fills of it "
                    f"make {book} (trades added or removed other than through the ledger)"
                )
    return out


def first_problem(portfolio: Any) -> str | None:
    """The first position whose values reports cannot use, or None."""
    for key, position in portfolio.mgr.positions.items():
        problem = position_problem(key, position)
        if problem is not None:
            return f"position {identifier_text(key)}: {problem}"
    return None


__all__ = ["problems", "first_problem", "position_problem"]
