"""Reference counting and memory: the store holds exactly one reference to
each live object, releases it when the entry goes, and repeated use does
not grow memory."""

import datetime as dt
import gc
import sys
import tracemalloc

import pytest

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import open_store, prefix  # noqa: F401

UTC = dt.timezone.utc


def test_reference_counts_are_balanced(open_store):
    s = open_store()
    key, value = ("k", 10**30), [1.5, "x"]
    before = sys.getrefcount(key), sys.getrefcount(value)
    s[key] = value
    assert sys.getrefcount(value) == before[1] + 1  # the live object
    assert s[key] is value and s.get(key) is value and key in s
    assert len(list(s.items())) == 1 and len(list(s.values())) == 1
    assert sys.getrefcount(value) == before[1] + 1
    del s[key]
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before
    s[key] = value
    s.close()
    assert (sys.getrefcount(key), sys.getrefcount(value)) == before


def test_failed_writes_keep_no_reference(open_store):
    s = open_store()
    value = [object()]  # unstorable
    before = sys.getrefcount(value)
    for _ in range(3):
        with pytest.raises(TypeError):
            s["k"] = value
    assert sys.getrefcount(value) == before


def grows(action, rounds=300):
    action()
    gc.collect()
    tracemalloc.start()
    first = tracemalloc.take_snapshot()
    for _ in range(rounds):
        action()
    gc.collect()
    second = tracemalloc.take_snapshot()
    tracemalloc.stop()
    return sum(stat.size_diff for stat in second.compare_to(first, "filename"))


def test_repeated_use_does_not_grow_memory(open_store, prefix):
    s = open_store()
    p = om.Position("p")
    counter = iter(range(10**9))

    def write_back():
        n = next(counter)
        p.add_trade(om.Trade(f"o{n}", 1.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=UTC)))
        s["p"] = p
        s["x"] = [n]
        del s["x"]
        s.get("p")
        with pytest.raises(KeyError):
            s["missing"]

    def open_close():
        t = dc.DualCache(cacheName="test", cachePrefix=prefix)
        t["p"]
        list(t.items())
        t.close()

    assert grows(write_back) < 300 * 2000  # the trades added, not more
    assert grows(open_close, 100) < 100_000


def test_uninitialised_object():
    s = dc.DualCache.__new__(dc.DualCache)
    with pytest.raises(dc.StoreError, match="never opened"):
        len(s)
    with pytest.raises(dc.StoreError):
        s["k"]
