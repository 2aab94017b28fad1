"""The order id a fill's trade gets in its position.

A position keeps its trades by order id, and ``OrderMgr.position_groups()``
puts positions that share an order id into one group.  So:

* the first fill of an order in a position's current book is kept under the
  order id itself: the legs of one order share it and are grouped;
* a further fill of the same order in that book (a partial fill) is kept under
  ``(order_id, fill_id)``, which never collides;
* a fill without an order id is an order of its own: its fill id is the order
  id (and ``(None, fill_id)`` in the unlikely case that some order is called
  by that fill id in the same book).

The choice depends only on the fills of the book before it in time order, so
the same fills give the same order ids in every process and after every
rebuild.  A position that goes flat starts a new book, in which the order id
is free again.
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any


def trade_order_id(trades: Any, order_id: Hashable, fill_id: str) -> Hashable:
    """The order id for a new fill, given the trades of the position's current
    book (None when there is no position)."""
    first = fill_id if order_id is None else order_id
    if trades is None or first not in trades:
        return first
    second = (order_id, fill_id)
    if second in trades:
        raise ValueError(
            f"fill {fill_id!r}: the position already holds trades under both {first!r} and {second!r}; "
            "an order id that looks like (order id, fill id) cannot be told apart from a partial fill"
        )
    return second


def recorded_order_id(trades: Any, order_id: Hashable, fill_id: str) -> Hashable:
    """The order id under which a fill of the current book was recorded."""
    second = (order_id, fill_id)
    return second if second in trades else (fill_id if order_id is None else order_id)



def trade_fill_id(key: Hashable, orderid: Hashable) -> str:
    """The fill id of a trade that has none of its own: a trade a position
    holds without the ledger (see :meth:`Ledger.adopt`), or a row of a fills
    file that names only its key and order id.  ``KEY:ORDERID``, each a
    string as it is (a key ``AAPL`` and order id ``1001`` give
    ``AAPL:1001``) and anything else as ``=`` and its repr; a backslash, a
    colon and an equals sign inside are escaped with a backslash, so two
    different (key, order id) pairs never give the same text."""
    return f"{_id_text(key)}:{_id_text(orderid)}"


def _id_text(value: Hashable) -> str:
    text = value if isinstance(value, str) else repr(value)
    text = text.replace("\\", "\\\\").replace(":", "\\:").replace("=", "\\=")
    return text if isinstance(value, str) else "=" + text


__all__ = ["trade_order_id", "recorded_order_id", "trade_fill_id"]
