"""The memory level: a key is decoded once and the live object is handed out
until the key is written or deleted, here or by another process."""

import datetime as dt
import uuid

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import open_store, prefix, run_py  # noqa: F401

UTC = dt.timezone.utc


def position(key, *orders):
    p = om.Position(key)
    for i, o in enumerate(orders):
        p.add_trade(om.Trade(o, 10.0 + i, 1, 0.5, dt.datetime(2024, 3, 5, 9, 30 + i, tzinfo=UTC)))
    return p


def test_reads_return_the_same_live_object(open_store):
    s = open_store()
    s["p"] = position("p", "a", "b")
    s.close()
    s = open_store()
    first = s["p"]
    assert s["p"] is first and s.get("p") is first
    assert next(iter(s.values())) is first and dict(s.items())["p"] is first
    assert s.pop("p") is first


KEY_TEXT = st.text(st.sampled_from("aZ0 éÃ©€\udc80😀"), max_size=4)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(keys=st.lists(st.tuples(KEY_TEXT, st.none() | KEY_TEXT), min_size=1, max_size=40, unique_by=lambda t: t[0]),
       bulk=st.booleans())
@example(keys=[("Ã©", "é"), ("é", "Ã©"), ("ab", "ab")], bulk=True)
@example(keys=[("Ã©", "é"), ("é", "Ã©"), ("ab", "ab")], bulk=False)
def test_a_loaded_positions_key_is_its_entrys_key_object(open_store, keys, bulk):
    """Read one by one or in one pass, a position whose key equals its
    entry's comes back holding the entry's key object (one string per key),
    and any other key as the str it was (ASCII, Latin-1 whose bytes spell
    another key's UTF-8, wider, lone surrogates)."""
    name = f"keys{uuid.uuid4().hex[:8]}"
    s = open_store(name)
    with s.batch():
        for k, other in keys:
            s[k] = position(k if other is None else other)
    s.close()
    s = open_store(name)
    pairs = list(s.items()) if bulk else [(k, s[k]) for k in list(s)]
    assert [k for k, _ in pairs] == [k for k, _ in keys]
    for (k, p), (_, other) in zip(pairs, keys):
        expected = k if other is None else other
        assert type(p.key) is str and p.key == expected
        assert (p.key is k) == (expected == k)


def test_assignment_keeps_the_assigned_object(open_store):
    s = open_store()
    p = position("p", "a")
    s["p"] = p
    assert s["p"] is p
    q = position("p", "b")
    s["p"] = q
    assert s["p"] is q


def test_changes_to_a_live_object_persist_only_when_assigned_back(open_store):
    s = open_store()
    s["p"] = position("p", "a")
    live = s["p"]
    live.add_trade(om.Trade("b", 11.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=UTC)))
    assert list(open_store()["p"].trades) == ["a"]
    s["p"] = s["p"]  # the commission-update pattern: read again, assign back
    assert list(open_store()["p"].trades) == ["a", "b"]


def test_opening_decodes_no_value(open_store):
    s = open_store()
    with s.batch():
        for i in range(200):
            s[f"k{i}"] = position(f"k{i}", "a", "b", "c")
    s.close()
    s = open_store()
    assert len(s) == 200 and "k7" in s and list(s)[:2] == ["k0", "k1"]
    assert s._stats()["loads"] == 0
    s["k7"]
    s["k7"]
    assert s._stats()["loads"] == 1


def test_other_process_changes_replace_only_changed_entries(open_store, prefix):
    s = open_store("shared")
    s.update(a=[1], b=[2], c=[3])
    a, b = s["a"], s["b"]
    run_py("""
        import sys, zelph.dualcache as dc
        s = dc.DualCache(cacheName="shared", cachePrefix=sys.argv[1])
        s["a"] = [10]
        del s["c"]
        s["d"] = [4]
    """, prefix)
    assert s["a"] == [10] and s["a"] is not a
    assert s["b"] is b  # unchanged elsewhere: still the live object
    assert list(s) == ["a", "b", "d"]
    assert "c" not in s and s.get("c") is None


def test_clear_elsewhere_then_reinsert(open_store):
    s, t = open_store("x"), open_store("x")
    s["k"] = [1]
    live = s["k"]
    t.clear()
    t["k"] = [2]
    assert s["k"] == [2] and s["k"] is not live


def test_failed_write_forgets_the_live_object(open_store):
    s = open_store()
    s["p"] = position("p", "a")
    live = s["p"]
    live.add_trade(om.Trade("b", 11.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=UTC)))
    s._fail_writes(0)
    with pytest.raises(dc.StoreError, match="injected"):
        s["p"] = live
    reread = s["p"]
    assert reread is not live and list(reread.trades) == ["a"]
