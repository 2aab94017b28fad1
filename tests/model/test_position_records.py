"""Position and PositionSummary as declared records: what subclasses, copies,
the collector and long construction loops see. (A copy of a subclass carries
the record's fields, as a slotted dataclass's does.)"""
import copy
import gc
import pickle
import weakref

import pytest

from support import assert_flat_memory, ts

HOUR_AGO = ts(-60)

clones = [copy.copy, copy.deepcopy, lambda x: pickle.loads(pickle.dumps(x))]


class Book(dict):
    pass


class Flagged:
    def __init__(self):
        self.flags = []


@pytest.fixture
def subclasses(om):
    # Module-level names so that pickle finds them.
    global OwnPosition, OwnSummary

    class OwnPosition(om.Position):
        pass

    class OwnSummary(om.PositionSummary):
        pass

    OwnPosition.__qualname__ = "OwnPosition"
    OwnSummary.__qualname__ = "OwnSummary"
    return OwnPosition, OwnSummary


@pytest.mark.parametrize("clone", clones)
def test_subclass_copies_keep_fields_and_own_attributes(om, subclasses, clone):
    OwnPosition, OwnSummary = subclasses
    p = OwnPosition("K", Book())
    p.add_trade(om.Trade(1, 100.0, 5, 1.0, ts()))
    q = clone(p)
    assert type(q) is OwnPosition and type(q.trades) is Book
    assert q == p and hash(q) == hash(p) and list(q.trades) == [1]

    s = OwnSummary(10, -100.0, 110.0, 0, HOUR_AGO, 95.0)
    r = clone(s)
    assert type(r) is OwnSummary and r == s
    # Derived figures are carried over, not derived again.
    assert (r.profit, r.stopPct, r.stopPts, r.age) == (s.profit, s.stopPct, s.stopPts, s.age)


def test_summary_subclass_post_init_and_init_overrides_are_honoured(om):
    calls = []

    class Logged(om.PositionSummary):
        __slots__ = ()

        def __post_init__(self):
            calls.append(("post", self.average_price))
            super().__post_init__()

    s = Logged(1, 100.123456789, 90.0, 0, HOUR_AGO)
    assert calls == [("post", 100.123456789)] and s.average_price == 100.12345679

    class Skipping(om.PositionSummary):
        __slots__ = ()

        def __post_init__(self):
            pass

    raw = Skipping(1, 100.123456789, 90.0, 0, HOUR_AGO)
    assert raw.average_price == 100.123456789
    with pytest.raises(AttributeError, match="stopPct"):
        raw.stopPct

    class Fixed(om.PositionSummary):
        __slots__ = ()

        def __init__(self, qty):
            super().__init__(qty, 50.0, 45.0, 0, HOUR_AGO, marketPrice=55.0)

    f = Fixed(3)
    assert (f.qty, f.profit, f.stopPct) == (3, 5.0, 0.1)
    assert f == Fixed(3) and f != om.PositionSummary(3, 50.0, 45.0, 0, HOUR_AGO, 55.0)


def test_cycles_through_either_record_are_collected(om, subclasses):
    OwnPosition, OwnSummary = subclasses
    for make in (
        lambda m: om.Position(m),
        lambda m: OwnPosition(m),
        lambda m: om.PositionSummary(1, 1.0, 1.0, 0, HOUR_AGO, None),
        lambda m: OwnSummary(1, 1.0, 1.0, 0, HOUR_AGO, None),
    ):
        marker = Flagged()
        alive = weakref.ref(marker)
        rec = make(marker)
        marker.flags.append(rec)  # the record's field refers back to itself
        if isinstance(rec, om.PositionSummary):
            rec.profit = marker
        assert gc.is_tracked(rec)
        del rec, marker
        gc.collect()
        assert alive() is None


def test_atomic_summary_stays_untracked_until_a_container_arrives(om):
    s = om.PositionSummary(1, 1.0, 1.0, 0, HOUR_AGO, 2.0)
    assert not gc.is_tracked(s)
    s.__init__(1, 1.0, 1.0, [0], HOUR_AGO)
    assert gc.is_tracked(s)
    # A position's book is a dict: always something for the collector.
    assert gc.is_tracked(om.Position("K"))


def _construct(om, n):
    stamp = ts()
    for i in range(n):
        p = om.Position(i)
        p.add_trade(om.Trade(i, 10.0, 1, 0.5, stamp))
        om.Position(key=i, trades={})
        om.PositionSummary(i, 10.0 + i, 9.0, 0.5, stamp, 11.0 if i % 2 else None)
        om.PositionSummary(qty=i, average_price=-10.0, stop=11.0, total_commission=0, started=stamp)
        hash(p), p == p, repr(p)
        try:
            om.PositionSummary(i, "x", 9.0, 0.5, stamp, 1.0)
        except TypeError:
            pass


def test_construction_loops_do_not_leak(om):
    assert_flat_memory(lambda n: _construct(om, n), 100_000, warmup=2000)
