"""Records holding only atomic values stay out of the collector's way, and a
default timestamp is made when it is first read, once."""
import copy
import datetime as dt
import gc
import pickle
import subprocess
import sys
import weakref
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from support import UTC, ts

# Atomic as the host's collector counts them (a dict holding only such values
# stays untracked): a Decimal is on 3.12, not on 3.13, whose decimal types
# are collected heap types.
ATOMIC = [v for v in (1, 2.5, 10**40, "x", None, Decimal("1.5"), ts(), True) if not gc.is_tracked({"v": v})]


class Marker:
    pass


@pytest.mark.parametrize("field", ["orderid", "price", "qty", "commission", "timestamp"])
def test_trade_is_tracked_once_a_field_may_need_it(om, field):
    t = om.Trade(1, 100.0, 10, 0.5, ts())
    assert not gc.is_tracked(t) and not gc.is_tracked(om.Trade(2))
    for value in ATOMIC:
        setattr(t, field, value)
        assert not gc.is_tracked(t)
    value = [Marker()]
    before = sys.getrefcount(value)
    setattr(t, field, value)
    assert gc.is_tracked(t) and sys.getrefcount(value) == before + 1
    setattr(t, field, 1)
    assert sys.getrefcount(value) == before


@pytest.mark.parametrize("orderid", [[1], {"a": 1}, Marker(), (1, [2])])
def test_trade_built_with_a_container_is_tracked(om, orderid):
    assert gc.is_tracked(om.Trade(orderid, 1.0, 1, 0.0, ts()))


TRADE_FIELDS = ("orderid", "price", "qty", "commission", "timestamp")


@given(values=st.lists(st.sampled_from(ATOMIC + ["container"]), min_size=1, max_size=5),
       by_keyword=st.integers(0, 5))
def test_trade_is_built_tracked_exactly_when_a_given_value_may_need_it(om, values, by_keyword):
    # Any field, given by position or by keyword, the rest left to their defaults.
    values = [[Marker()] if v == "container" else v for v in values]
    values[1:2] = [2.5] * len(values[1:2])  # a price must compare with zero
    args = values[:by_keyword]
    kwargs = dict(zip(TRADE_FIELDS[len(args):], values[len(args):]))
    t = om.Trade(*args, **kwargs)
    assert gc.is_tracked(t) == any(isinstance(v, list) for v in values)


def test_add_commission_tracks_the_trade(om):
    p = om.Position("K")
    p.add_trade(om.Trade(1, 1.0, 1, 0.0, ts()))
    assert not gc.is_tracked(p.trades[1])
    p.add_commission(1, [0.5])
    assert gc.is_tracked(p.trades[1])


def test_cycles_made_later_through_a_field_are_collected(om):
    marker = Marker()
    alive = weakref.ref(marker)
    p = om.Position("K")
    t = om.Trade(1, 1.0, 1, 0.0, ts())
    p.add_trade(t)
    p.add_commission(1, [p, marker])  # trade -> list -> position -> trades -> trade
    t.qty = [t]  # and straight back to itself
    s = om.PositionSummary(1, 1.0, 1.0, 0, ts())
    s.marketPrice = [s, marker]
    del p, t, s, marker
    gc.collect()
    assert alive() is None


def test_a_book_of_atomic_trades_gives_the_collector_nothing_to_walk(om):
    p = om.Position("K", {i: om.Trade(i, 1.0, 1) for i in range(1000)})
    assert not any(map(gc.is_tracked, p.trades.values()))
    assert gc.is_tracked(p)  # the position itself holds a dict


def test_default_timestamp_is_made_once(om):
    before = dt.datetime.now(UTC)
    t = om.Trade(1, 1.0, 1)
    after = dt.datetime.now(UTC)
    stamp = t.timestamp
    assert stamp is t.timestamp and before <= stamp <= after and stamp.tzinfo is UTC
    assert type(stamp) is dt.datetime


@pytest.mark.parametrize("first", ["repr", "eq", "pickle", "copy", "deepcopy", "started"])
def test_every_reader_sees_the_same_default_timestamp(om, first):
    t = om.Trade(1, 1.0, 1)
    other = om.Trade(1, 1.0, 1)
    seen = {"repr": lambda: repr(t), "eq": lambda: t == other, "pickle": lambda: pickle.loads(pickle.dumps(t)),
            "copy": lambda: copy.copy(t), "deepcopy": lambda: copy.deepcopy(t),
            "started": lambda: om.Position("K", {1: t}).started}[first]()
    stamp = t.timestamp
    assert f"timestamp={stamp!r}" in repr(t)
    if first in ("pickle", "copy", "deepcopy"):
        assert seen == t and seen.timestamp == stamp
    if first == "started":
        assert seen is stamp


def test_the_store_sees_the_same_default_timestamp(om, mgr):
    t = om.Trade(1, 1.0, 1)
    mgr.add_trade("K", t)  # written before anything read the timestamp
    stamp = t.timestamp
    code = ("from marlovent import ordermgr as om\n"
            "print(repr(om.OrderMgr('test book').positions['K'].trades[1].timestamp))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == repr(stamp)


def test_the_clock_in_force_at_construction_is_the_one_used(om, restore_module_attrs):
    fixed = dt.datetime(2001, 2, 3, 4, 5, 6, tzinfo=UTC)

    class FakeModule:
        class datetime:
            @staticmethod
            def now(tz=None):
                return fixed

        timezone = dt.timezone

    real = om.datetime
    early = om.Trade(1)  # read from the real clock, made later
    om.datetime = FakeModule
    faked = om.Trade(2)
    assert early.timestamp.year > 2001 and faked.timestamp is fixed
    om.datetime = real
    assert om.Trade(3).timestamp.year > 2001


def test_subclass_instances_with_their_own_attributes_stay_collectable(om):
    class T(om.Trade):
        pass

    class S(om.PositionSummary):
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    t, s = T(1, 1.0, 1), S(1, 1.0, 1.0, 0, ts())
    t.extra, s.extra = [t, marker], [s, marker]  # in the instance dicts, unseen by the records
    del t, s, marker
    gc.collect()
    assert alive() is None


# One step of a made-and-dropped stream: make a trade (exact or a subclass;
# atomic values, a container, or a default timestamp), keep it or drop it,
# or drop a kept one.
steps = st.lists(st.tuples(st.sampled_from(["make", "make", "drop"]), st.booleans(),
                           st.sampled_from(ATOMIC + ["container", "default"]), st.booleans()), max_size=60)


@given(steps)
def test_released_trades_come_back_as_new(om, steps):
    """Trades released and made again (their memory is reused) start with
    the given values alone, tracked exactly when one of them may need it,
    and hold their class as any other object does."""
    class Sub(om.Trade):
        pass

    refs_before = [None, sys.getrefcount(Sub)]
    kept = []
    for action, subclass, value, keep in steps:
        if action == "drop":
            if kept:
                kept.pop(0)
            continue
        v = [Marker()] if value == "container" else value
        cls = Sub if subclass else om.Trade
        t = cls(7, 1.5, 3, 0.25) if value == "default" else cls(v, 1.5, 3, 0.25, ts())
        assert type(t) is cls and t.price == 1.5 and t.qty == 3 and t.commission == 0.25
        if value == "default":
            assert t.orderid == 7 and t.timestamp.tzinfo is UTC and not gc.is_tracked(t) == (cls is om.Trade)
        else:
            assert t.orderid is v and t.timestamp == ts()
            assert gc.is_tracked(t) == (cls is Sub or gc.is_tracked({"v": v}))
        assert t == cls(t.orderid, 1.5, 3, 0.25, t.timestamp)
        if keep:
            kept.append(t)
        del t
    kept.clear()
    cls = None
    gc.collect()
    # (the released trades kept for reuse hold the exact class)
    assert sys.getrefcount(Sub) == refs_before[1]
