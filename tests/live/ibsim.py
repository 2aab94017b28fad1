"""The broker's side of an ib_async connection, offline.

`Gateway` holds the day's executions and commission reports of an account and
hands them to a real `ib_async.IB` object through its wrapper's callbacks, the
way the socket decoder does: live executions as `execDetails(-1, ...)`, the
answer to `reqExecutions` under its request id, each message a fresh copy of
the broker's objects (as decoded from the wire).  ib_async's own code then
builds the fills, joins the reports, decides what to emit and keeps its state;
a lost connection resets it, a reconnect replays the day.  Nothing touches a
socket.
"""

from __future__ import annotations

import copy
import datetime as dt
import itertools
import zlib

from ib_async import IB, Bag, ComboLeg, CommissionReport, Contract, Execution, Option, Order, OrderState, Stock
from ib_async import util as ib_util

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 6, 3, 13, 30, tzinfo=UTC)


def stock(symbol, currency="USD"):
    return Stock(symbol, "SMART", currency, conId=zlib.crc32(symbol.encode()) % 10**8 + 1, localSymbol=symbol)


def option(symbol, expiry, strike, right, conId):
    occ = f"{symbol:<6}{expiry[2:]}{right}{int(strike * 1000):08d}"
    return Option(
        symbol, expiry, strike, right, "SMART", multiplier="100", currency="USD", conId=conId, localSymbol=occ
    )


def combo(symbol, legs):
    """A BAG contract over (option contract, action, ratio) legs."""
    return Bag(
        symbol=symbol,
        exchange="SMART",
        currency="USD",
        conId=28812380,
        comboLegs=[ComboLeg(conId=c.conId, ratio=r, action=a, exchange="SMART") for c, a, r in legs],
    )


_exec_serial = itertools.count(1)


def execution(perm_id, side, shares, price, when, *, order_id=0, client_id=1, exec_id=None, suffix="01"):
    """An Execution as the decoder builds it; exec ids look like IB's (`0000e0d5.665d8a01.01.01`)."""
    exec_id = exec_id or f"0000e0d5.{0x665D0000 + next(_exec_serial):08x}.01.{suffix}"
    return Execution(
        execId=exec_id,
        time=when,
        acctNumber="DU123456",
        exchange="SMART",
        side=side,
        shares=float(shares),
        price=price,
        permId=perm_id,
        clientId=client_id,
        orderId=order_id,
    )


def report(exec_id, commission, currency="USD"):
    return CommissionReport(execId=exec_id, commission=commission, currency=currency)


class Gateway:
    """One account's day at the broker, wired to a real IB object."""

    def __init__(self, ib: IB | None = None, client_id: int = 1):
        self.ib = ib or IB()
        self.client_id = client_id
        self.connected = False
        self.day: list[tuple[Contract, Execution]] = []  # every execution of the day, in the broker's order
        self.reports: dict[str, CommissionReport] = {}  # execId -> the report the broker holds
        self.orders: list[tuple[Contract, Order]] = []  # orders placed by this client
        self.requests = 0
        client = self.ib.client
        client.isReady = lambda: self.connected
        client.isConnected = lambda: self.connected
        client.reqExecutions = self._answer_executions
        client.placeOrder = lambda *args: None  # the order is written to the socket

    # -- the connection ----------------------------------------------------------------------

    def connect(self):
        """What `IB.connect` does on its side: the open orders, the start-up
        request for the day's executions, then `connectedEvent`."""
        self.connected = True
        for contract, order in self.orders:
            self._open_order(contract, order)
        ib_util.run(self.ib.reqExecutionsAsync())
        self.ib.connectedEvent.emit()

    def drop(self):
        """The connection is lost: ib_async forgets the session."""
        self.connected = False
        self.ib.wrapper.connectionClosed()
        self.ib.disconnectedEvent.emit()

    def reconnect(self):
        self.drop()
        self.connect()

    # -- the account's day -------------------------------------------------------------------

    def place(self, contract, order_id, perm_id, *, action="BUY", qty=1, placed=None):
        """An order of `contract`; with `placed`, one this program placed in
        this session, through `IB.placeOrder` with that contract (by conId
        alone, say), which ib_async keeps as the order's until a reconnect."""
        order = Order(orderId=order_id, clientId=self.client_id, permId=perm_id, action=action, totalQuantity=qty)
        if placed is not None:
            self.ib.placeOrder(placed, order)
        self.orders.append((contract, order))
        if self.connected:
            self._open_order(contract, order)
        return order

    def execute(self, contract, ex, *, live=True):
        """An execution at the broker; sent to this client when it is connected
        and `live` (an order of another client, or one filled while this one is
        down, is only seen by asking)."""
        self.day.append((contract, ex))
        if live and self.connected:
            self.ib.wrapper.execDetails(-1, copy.deepcopy(contract), copy.deepcopy(ex))
            self.ib.wrapper.tcpDataProcessed()

    def commission(self, rep, *, live=True):
        """The broker's commission report for an execution (kept for replays)."""
        self.reports[rep.execId] = rep
        if live and self.connected:
            self.ib.wrapper.commissionReport(copy.deepcopy(rep))
            self.ib.wrapper.tcpDataProcessed()

    def _open_order(self, contract, order):
        self.ib.wrapper.openOrder(order.orderId, copy.deepcopy(contract), copy.deepcopy(order), OrderState("Submitted"))

    def _answer_executions(self, req_id, exec_filter):
        self.requests += 1
        wrapper = self.ib.wrapper
        for contract, ex in self.day:
            wrapper.execDetails(req_id, copy.deepcopy(contract), copy.deepcopy(ex))
        wrapper.execDetailsEnd(req_id)
        # The reports of the replayed executions follow the answer.
        for contract, ex in self.day:
            if ex.execId in self.reports:
                wrapper.commissionReport(copy.deepcopy(self.reports[ex.execId]))
        wrapper.tcpDataProcessed()


__all__ = ["Gateway", "T0", "UTC", "combo", "execution", "option", "report", "stock"]
