"""Plain idiomatic Python equivalents of the native records, for comparison."""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Any


@dataclass(slots=True)
class Trade:
    orderid: Any
    price: float = 0.0
    qty: float | int = 0
    commission: float = 0.0
    timestamp: datetime.datetime = field(
        default_factory=lambda: datetime.datetime.now(datetime.timezone.utc)
    )

    def __post_init__(self):
        if self.price < 0:
            raise ValueError(
                "Negative prices are not allowed. Use negative quantities to indicate a short sale."
            )

    @property
    def average_price(self):
        if self.qty == 0:
            return 0.0
        return (self.price * self.qty + (self.commission if self.qty > 0 else -self.commission)) / self.qty


@dataclass(slots=True)
class Position:
    key: Any
    trades: dict = field(default_factory=dict)

    def __hash__(self):
        return hash(self.key)

    def add_trade(self, trade):
        if trade.orderid in self.trades:
            return False
        self.trades[trade.orderid] = trade
        if not self.empty:
            return True
        self.trades.clear()
        return False

    def add_commission(self, orderid, commission):
        if orderid not in self.trades:
            raise KeyError(f"Cannot add commission for orderid {orderid} - no such trade exists in position {self.key}")
        self.trades[orderid].commission = commission

    @property
    def started(self):
        if not self.trades:
            raise ValueError("Cannot get start time for position with no trades")
        return min(t.timestamp for t in self.trades.values())

    @property
    def orderids(self):
        return set(self.trades)

    @property
    def qty(self):
        return sum(t.qty for t in self.trades.values())

    @property
    def empty(self):
        return self.qty == 0

    @property
    def average_price(self):
        pq = 0.0
        tq = 0.0
        for t in self.trades.values():
            pq += t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)
            tq += t.qty
        return pq / tq if tq else pq / 1

    @property
    def total_commission(self):
        return sum(t.commission for t in self.trades.values())

    @property
    def is_long(self):
        return self.qty > 0
