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


@dataclass(slots=True)
class PositionSummary:
    qty: float
    average_price: float
    stop: float
    total_commission: float
    stopPct: float = field(init=False)
    started: datetime.datetime = None
    marketPrice: float = None
    profit: float = field(init=False)
    stopPts: float = field(init=False)
    age: datetime.timedelta = field(init=False, compare=False)

    @property
    def is_long(self):
        return self.average_price > 0

    def __post_init__(self):
        self.age = datetime.datetime.now(datetime.timezone.utc) - self.started
        if self.marketPrice:
            self.profit = (self.marketPrice - self.average_price if self.is_long
                           else abs(self.average_price) - self.marketPrice)
        else:
            self.profit = None
        a = abs(self.average_price)
        if a == 0:
            self.stopPct = 0.0
        elif self.is_long:
            self.stopPct = round((a - self.stop) / a, 2)
        else:
            self.stopPct = round((self.stop - a) / a, 2)
        self.stopPts = round(self.stop - abs(self.average_price), 8)
        self.stop = round(self.stop, 8)
        self.average_price = round(self.average_price, 8)


def position_summary(position, stopPct=0.1):
    average_price = position.average_price
    stop = abs(average_price * ((1 - stopPct) if position.is_long else (1 + stopPct)))
    return PositionSummary(
        qty=abs(position.qty),
        average_price=position.average_price if position.is_long else -position.average_price,
        stop=stop,
        total_commission=position.total_commission,
        started=position.started,
    )


def portfolio_summary(store, stopPct=0.1):
    return {str(k): position_summary(store[k], stopPct) for k in store.keys()}
