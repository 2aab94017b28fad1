"""Trades and positions with fixed timestamps, for the diagnostics tests."""
import datetime as dt

from marlovent import ordermgr as om

T0 = dt.datetime(2024, 3, 5, 9, 30, 12, tzinfo=dt.timezone.utc)


def at(minute):
    return T0 + dt.timedelta(minutes=minute)


def fill(orderid, price, qty, commission=0.0, minute=0):
    return om.Trade(orderid, price, qty, commission, at(minute))


def position(key, *trades, cls=om.Position):
    """A position holding exactly these trades (no reset when flat), so any
    trade history, consistent or not, can be expressed."""
    return cls(key, {t.orderid: t for t in trades})
