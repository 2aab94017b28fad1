"""Records with an itemized mapping (a position's trades): writing one back
writes only the items that changed, and what is read back equals what was
written, in the mapping's order."""

import datetime as dt

import pytest

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import open_store, prefix, run_py  # noqa: F401

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)


def trade(oid, price=10.0, qty=1, commission=0.5):
    return om.Trade(oid, price, qty, commission, T0)


def rows(store, action):
    before = store._stats()["rows_written"]
    action()
    return store._stats()["rows_written"] - before


def reread(open_store, key="p", name="test"):
    return open_store(name)[key]


@pytest.mark.parametrize("n", [10, 1000])
def test_adding_one_trade_writes_two_rows_whatever_the_size(open_store, n):
    s = open_store()
    p = om.Position("p")
    for i in range(n):
        p.add_trade(trade(f"o{i}"))
    s["p"] = p
    p.add_trade(trade("new"))
    assert rows(s, lambda: s.__setitem__("p", p)) == 2  # head and the new trade
    assert rows(s, lambda: s.__setitem__("p", p)) == 0  # nothing changed
    back = reread(open_store)
    assert back == p and list(back.trades) == list(p.trades)


def test_commission_update_rewrites_one_trade(open_store):
    s = open_store()
    s["p"] = om.Position("p", {f"o{i}": trade(f"o{i}") for i in range(50)})
    live = s["p"]
    live.add_commission("o7", 2.5)
    assert rows(s, lambda: s.__setitem__("p", s["p"])) == 2
    assert reread(open_store).trades["o7"].commission == 2.5


def test_removed_and_reordered_items(open_store):
    s = open_store()
    p = om.Position("p", {k: trade(k) for k in "abcdef"})
    s["p"] = p
    del p.trades["b"]
    p.trades["a"] = p.trades.pop("a")  # moves to the end
    p.trades["c"] = trade("c", price=99.0)  # changed in place, keeps its position
    s["p"] = p
    back = reread(open_store)
    assert list(back.trades) == ["c", "d", "e", "f", "a"]
    assert back.trades["c"].price == 99.0 and back == p


def test_a_new_trades_dict_with_equal_content(open_store):
    s = open_store()
    p = om.Position("p", {k: trade(k) for k in "abc"})
    s["p"] = p
    q = om.Position("p", {k: trade(k) for k in "cab"})
    s["p"] = q
    assert list(reread(open_store).trades) == ["c", "a", "b"]


def test_equal_item_key_of_another_type(open_store):
    s = open_store()
    s["p"] = om.Position("p", {1: trade(1)})
    s["p"] = om.Position("p", {1.0: trade(1.0)})
    (k,) = reread(open_store).trades
    assert type(k) is float


class Box:
    def __init__(self, items):
        self.items = items

    def __eq__(self, other):
        return type(other) is Box and self.items == other.items


dc.register(Box, "tests.itemized.Box", to_fields=lambda b: (b.items,), from_fields=lambda cls, f: cls(*f))


@pytest.mark.parametrize("mutate", [
    lambda p: p.trades["x"].append(3),                 # a list value changed in place
    lambda p: p.trades["box"].items.append(3),         # a record whose field changed in place
    lambda p: setattr(p.trades["t"], "price", 42.0),   # a trade field replaced
    lambda p: setattr(p, "key", "renamed"),            # the head changed
])
def test_changes_inside_items_are_written(open_store, mutate):
    s = open_store()
    s["p"] = om.Position("p", {"x": [1, 2], "box": Box([1]), "t": trade("t")})
    live = s["p"]
    mutate(live)
    s["p"] = live
    assert reread(open_store) == live


def test_non_dict_mapping_field_is_stored_whole(open_store):
    import collections

    s = open_store()
    p = om.Position("p", collections.OrderedDict(b=trade("b"), a=trade("a")))
    s["p"] = p
    back = reread(open_store)
    assert type(back.trades) is dict and list(back.trades) == ["b", "a"]
    s["p"] = om.Position("p", {"z": trade("z")})  # itemized again
    assert list(reread(open_store).trades) == ["z"]


def test_switching_between_itemized_and_plain_values(open_store):
    s = open_store()
    s["p"] = om.Position("p", {"a": trade("a")})
    s["p"] = [1, 2]
    s.close()
    s = open_store()
    assert s["p"] == [1, 2]
    s["p"] = om.Position("p", {"b": trade("b")})
    assert list(reread(open_store).trades) == ["b"]


def test_write_back_after_another_process_changed_the_position(open_store, prefix):
    s = open_store("shared")
    s["p"] = om.Position("p", {"a": trade("a")})
    run_py("""
        import sys, datetime as dt, zelph.dualcache as dc, marlovent.ordermgr as om
        s = dc.DualCache(cacheName="shared", cachePrefix=sys.argv[1])
        with s.transaction():
            p = s["p"]
            p.add_trade(om.Trade("b", 1.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)))
            s["p"] = p
    """, prefix)
    with s.transaction():
        p = s["p"]
        assert list(p.trades) == ["a", "b"]
        p.add_trade(trade("c"))
        s["p"] = p
    assert list(reread(open_store, "p", "shared").trades) == ["a", "b", "c"]


def test_rolled_back_write_back_is_forgotten(open_store):
    s = open_store()
    s["p"] = om.Position("p", {"a": trade("a")})
    with pytest.raises(RuntimeError):
        with s.transaction():
            p = s["p"]
            p.add_trade(trade("b"))
            s["p"] = p
            raise RuntimeError("abort")
    assert list(s["p"].trades) == ["a"]
    p = s["p"]
    p.add_trade(trade("c"))
    s["p"] = p
    assert list(reread(open_store).trades) == ["a", "c"]
