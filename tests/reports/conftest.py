"""The order manager the report tests run against.

`StandInMgr` plays the order manager, with plain-Python summaries and
position groups written as the order manager, PositionSummary and
PositionGroup define them. Switch `make_mgr` to the real OrderMgr once it
exists; `Group` and `Summary` are duck-typed stand-ins the reports read.
"""
import datetime as dt

import pytest

from marlovent import ordermgr as om

T0 = dt.datetime(2024, 3, 5, 9, 30, 12, tzinfo=dt.timezone.utc)
NOW = T0 + dt.timedelta(days=1, hours=1, minutes=2, seconds=3)


def fill(orderid, price, qty, commission=0.0, minute=0):
    return om.Trade(orderid, price, qty, commission, T0 + dt.timedelta(minutes=minute))


def position(key, *trades):
    return om.Position(key, {t.orderid: t for t in trades})


class Summary:
    """The display record: derived figures as PositionSummary computes them."""

    def __init__(self, qty, average_price, stop, total_commission, started, marketPrice=None, now=NOW):
        self.qty, self.total_commission, self.started, self.marketPrice = qty, total_commission, started, marketPrice
        self.age = now - started
        is_long = average_price > 0
        a = abs(average_price)
        self.stopPct = 0.0 if a == 0 else round(((a - stop) if is_long else (stop - a)) / a, 2)
        self.stopPts = round(stop - a, 8)
        self.stop = round(stop, 8)
        self.average_price = round(average_price, 8)

    @property
    def is_long(self):
        return self.average_price > 0


class Group:
    """A bag of positions with the combined figures the spread report reads."""

    def __init__(self, *positions):
        self.positions = set(positions)

    def add(self, p):
        self.positions.add(p)

    @property
    def qty(self):
        return min(abs(p.qty) for p in self.positions)

    @property
    def average_price(self):
        total_qty, total_value = self.qty, 0.0
        for p in self.positions:
            considered = 0.0
            for t in sorted(p.trades.values(), key=lambda t: t.timestamp):
                if considered >= total_qty:
                    break
                size = abs(t.qty)
                part = min(size, total_qty - considered)
                if not part > 0:
                    continue
                ratio = part / size if size != 0 else 0
                value, commission = t.price * t.qty * ratio, t.commission * ratio
                total_value += value + (commission if t.qty > 0 else -commission)
                considered += part
        return total_value / total_qty

    @property
    def is_long(self):
        return self.average_price > 0


class StandInMgr:
    def __init__(self, positions=(), groups=None):
        self.positions = dict(positions)
        self.groups = groups  # a hand-built result for position_groups, if given
        self.summary_calls = []

    def get_position_summary(self, key, stopPct=0.1):
        position = self.positions[key]
        factor = (1 - stopPct) if position.is_long else (1 + stopPct)
        stop = abs(position.average_price * factor)
        return Summary(qty=abs(position.qty),
                       average_price=position.average_price if position.is_long else -position.average_price,
                       stop=stop, total_commission=position.total_commission, started=position.started)

    def get_portfolio_summary(self, stopPct=0.1):
        self.summary_calls.append(stopPct)
        return {str(k): self.get_position_summary(k, stopPct) for k in self.positions}

    def position_groups(self, orderid=None):
        if self.groups is not None:
            return self.groups
        mapping = {k: p.orderids for k, p in self.positions.items()}
        to_group = {}
        for k in mapping:
            pos = self.positions[k]
            group = to_group.get(k)
            if group is None:
                group = to_group[k] = Group(pos)
            for nk in mapping:
                npos = self.positions[nk]
                if k != nk and pos.orderids & npos.orderids:
                    group.add(npos)
                    to_group[nk] = group
        return dict(to_group)


@pytest.fixture(scope="session")
def make_mgr():
    """make_mgr(*positions, groups=None): a manager storing each position under its key."""

    def make(*positions, groups=None):
        return StandInMgr(((p.key, p) for p in positions), groups)

    return make
