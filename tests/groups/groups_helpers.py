"""Builders shared by the group tests."""
import datetime as dt

from marlovent import ordermgr as om

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 1, 14, 30, tzinfo=UTC)


def position(key, *fills, start=T0):
    """A Position from (qty, price[, commission]) fills, one minute apart."""
    p = om.Position(key)
    for i, fill in enumerate(fills):
        qty, price, *rest = fill
        commission = rest[0] if rest else 0.0
        p.add_trade(om.Trade(f"{key}#{i}", price, qty, commission, start + dt.timedelta(minutes=i)))
    return p


def group(*positions):
    g = om.PositionGroup()
    for p in positions:
        g.add(p)
    return g


class Leg(str):
    """A string key with a fixed small hash, so that a set of such keys (and
    of positions keyed by them) iterates in the order of that number."""

    def __new__(cls, text, order):
        self = super().__new__(cls, text)
        self.order = order
        return self

    def __hash__(self):
        return self.order

    def __eq__(self, other):
        return str.__eq__(self, other)

    def __getnewargs__(self):
        return str(self), self.order


LEG1 = Leg("LEG1", 1)
LEG2 = Leg("LEG2", 2)
LEG3 = Leg("LEG3", 3)
