"""DualCache as a mutable mapping: the operations behave as a dict's do, in
insertion order kept across reopening, with dict key semantics."""

import collections.abc as abc
import copy
import gc
import pickle
import weakref

import pytest

import zelph.dualcache as dc
from storetools import open_store, prefix  # noqa: F401


def test_is_a_mutable_mapping(open_store):
    s = open_store()
    assert isinstance(s, abc.MutableMapping)
    assert isinstance(s.keys(), abc.KeysView)
    assert isinstance(s.values(), abc.ValuesView)
    assert isinstance(s.items(), abc.ItemsView)


def test_operations_match_a_dict(open_store):
    s, d = open_store(), {}
    for target in (s, d):
        target["a"] = 1
        target["b"] = [2]
        target.update({"c": 3}, d=4)
        target.update([("e", 5)])
        assert target.setdefault("a", 99) == 1
        assert target.setdefault("f") is None
        assert target.pop("b") == [2]
        assert target.pop("missing", "dflt") == "dflt"
        del target["c"]
    assert dict(s) == d
    assert list(s) == list(d) == list(s.keys())
    assert list(s.values()) == list(d.values())
    assert list(s.items()) == list(d.items())
    assert len(s) == len(d) and bool(s)
    assert s.get("zz") is None and s.get("zz", 7) == 7 and s.get("a") == 1
    assert ("a" in s) and ("zz" not in s)
    assert ("a", 1) in s.items() and 1 in s.values() and "a" in s.keys()
    assert s.popitem() == d.popitem()
    s.clear()
    assert len(s) == 0 and not s and list(s) == []


@pytest.mark.parametrize("op", [lambda s: s["nope"], lambda s: s.pop("nope"), lambda s: s.__delitem__("nope")])
def test_missing_key_raises_key_error(open_store, op):
    with pytest.raises(KeyError) as info:
        op(open_store())
    assert info.value.args == ("nope",)


def test_tuple_key_error_carries_the_key(open_store):
    with pytest.raises(KeyError) as info:
        open_store()[(1, 2)]
    assert info.value.args == ((1, 2),)


def test_popitem_on_empty_store(open_store):
    with pytest.raises(KeyError):
        open_store().popitem()


@pytest.mark.parametrize("key", [[1], {1: 2}, {3}])
def test_unhashable_keys(open_store, key):
    s = open_store()
    for op in (lambda: s.__setitem__(key, 1), lambda: s[key], lambda: key in s, lambda: s.get(key)):
        with pytest.raises(TypeError):
            op()
    assert len(s) == 0


def test_equal_keys_are_one_entry(open_store):
    s = open_store()
    s[1] = "int"
    s[1.0] = "float"
    s[True] = "bool"
    assert len(s) == 1 and s[1] == "bool"
    assert type(next(iter(s))) is int  # the first key object stays, as in a dict
    s.close()
    again = open_store()
    assert list(again.items()) == [(1, "bool")] and type(next(iter(again))) is int


def test_order_replace_keeps_place_reinsert_moves_to_end(open_store):
    s = open_store()
    for k in "abcd":
        s[k] = k
    s["b"] = "B"
    del s["a"]
    s["a"] = "A"
    assert list(s.items()) == [("b", "B"), ("c", "c"), ("d", "d"), ("a", "A")]
    s.close()
    assert list(open_store().items()) == [("b", "B"), ("c", "c"), ("d", "d"), ("a", "A")]


def test_equality_as_a_mapping(open_store):
    s, t = open_store("one"), open_store("two")
    s.update(a=1, b=2)
    t.update(b=2, a=1)
    assert s == {"a": 1, "b": 2} and {"b": 2, "a": 1} == s
    assert s == t and not (s != t)
    t["c"] = 3
    assert s != t
    assert s != [("a", 1), ("b", 2)]
    assert (s == 5) is False


def test_unhashable_and_unpicklable(open_store):
    s = open_store()
    with pytest.raises(TypeError):
        hash(s)
    with pytest.raises(TypeError):
        pickle.dumps(s)
    with pytest.raises(TypeError):
        copy.copy(s)


def test_update_forms(open_store):
    s = open_store()

    class KeysOnly:
        def keys(self):
            return ["x"]

        def __getitem__(self, k):
            return k * 2

    s.update(KeysOnly())
    s.update([("y", 1)], z=2)
    s.update(s)  # itself: a no-op that must not deadlock
    assert dict(s) == {"x": "xx", "y": 1, "z": 2}
    with pytest.raises(ValueError):
        s.update([(1, 2, 3)])
    with pytest.raises(TypeError):
        s.update({}, {})


def test_iteration_is_a_snapshot_that_skips_deleted_keys(open_store):
    s = open_store()
    s.update(a=1, b=2, c=3)
    seen = []
    for k in s:
        seen.append(k)
        if k == "a":
            del s["b"]
            s["d"] = 4
    assert seen == ["a", "c"]
    assert list(s.items()) == [("a", 1), ("c", 3), ("d", 4)]
    for k in s:  # deleting everything while iterating is allowed
        del s[k]
    assert len(s) == 0


def test_context_manager_closes(open_store, prefix):
    with dc.DualCache(cacheName="cm", cachePrefix=prefix) as s:
        s["k"] = 1
    with pytest.raises(dc.StoreError, match="was closed"):
        s["k"]
    s.close()  # closing twice is harmless
    with dc.DualCache(cacheName="cm", cachePrefix=prefix) as s:
        assert s["k"] == 1

    # Closed inside a block, which it rolls back: the block's own exception
    # propagates unchanged; a normal exit says nothing was committed.
    for failing in (True, False):
        s = dc.DualCache(cacheName="cm", cachePrefix=prefix)
        with pytest.raises(ValueError if failing else dc.StoreError, match="mine" if failing else "was closed"):
            with s.batch():
                s["k"] = 2
                s.close()
                if failing:
                    raise ValueError("mine")
    with dc.DualCache(cacheName="cm", cachePrefix=prefix) as s:
        assert s["k"] == 1


def test_destroy_removes_files_and_later_use_raises(open_store, backend):
    import os

    s = open_store()
    s["k"] = 1
    path = s.path
    s.destroy()
    if backend == "sqlite":
        assert not any(os.path.exists(path + x) for x in ("", "-wal", "-shm", "-journal"))
    for op in (lambda: s["k"], lambda: len(s), lambda: s.__setitem__("k", 2), lambda: list(s), s.destroy,
               lambda: s.transaction().__enter__()):
        with pytest.raises(dc.StoreError, match="was destroyed") as info:
            op()
        assert isinstance(info.value, OSError) and info.value.filename == path
    assert "test" in repr(s)
    fresh = open_store()
    assert len(fresh) == 0


class Box:
    pass


dc.register(Box, "tests.mapping.Box", to_fields=lambda b: (), from_fields=lambda cls, f: cls())


def test_store_releases_its_objects(open_store):
    s = open_store()
    box = Box()
    s["box"] = box
    ref = weakref.ref(box)
    del box
    assert ref() is not None  # the memory level keeps the live object
    s.close()
    gc.collect()
    assert ref() is None


def test_cycle_through_the_store_is_collected(prefix):
    s = dc.DualCache(cacheName="cycle", cachePrefix=prefix)
    assert gc.is_tracked(s)
    h = Box()
    h.store = s  # the value refers back to its store
    s["h"] = h
    ref = weakref.ref(s)
    del s, h
    gc.collect()
    assert ref() is None


def test_repr_and_attributes(open_store, prefix, backend):
    s = open_store("n")
    if backend == "sqlite":
        assert repr(s) == f"DualCache(cacheName='n', cachePrefix={prefix!r})"
    else:  # the server and the name prefix, nothing else of the URI
        assert repr(s) == f"DualCache(cacheName='n', cachePrefix={prefix.split('?')[0] + '/store-'!r})"
    assert s.cacheName == "n" and s.cachePrefix == prefix
