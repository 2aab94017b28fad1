"""OrderMgr as a record: the post-construction step that opens the store, as
subclasses see and override it, and the record's lifetime."""
import gc

import pytest

from support import assert_flat_memory


@pytest.fixture
def dict_store(om, data_dir, restore_module_attrs):
    """The store class replaced by a plain dict (construction stays cheap)."""
    om.DualCache = lambda *, cacheName, cachePrefix: {"name": cacheName}


def test_post_init_opens_the_store(om, dict_store):
    m = om.OrderMgr.__new__(om.OrderMgr)
    with pytest.raises(AttributeError):
        m.positions
    m.namespace = "late start"
    m.__post_init__()
    assert (m.namespace, m.positions) == ("Late-Start", {"name": "Late-Start"})
    assert om.OrderMgr.__match_args__ == ("namespace",)
    assert om.OrderMgr("a") == om.OrderMgr("A") and om.OrderMgr("a") != om.OrderMgr("b")


def test_subclass_hooks_are_honoured(om, dict_store):
    calls = []

    class Audited(om.OrderMgr):
        def __post_init__(self):
            calls.append(self.namespace)
            super().__post_init__()
            self.positions["audited"] = True

    class Renamed(om.OrderMgr):
        def __init__(self, first, last):
            super().__init__(f"{first} {last}")
            self.extra = first

    a = Audited("raw name")
    assert calls == ["raw name"] and a.namespace == "Raw-Name" and a.positions["audited"] is True
    r = Renamed("jo", "doe")
    assert (r.namespace, r.extra, type(r)) == ("Jo-Doe", "jo", Renamed)
    with Audited.temp("t") as t:
        assert type(t) is Audited and t.positions == {"name": "T", "audited": True}
        t.positions = _Destroyable()
    assert t.positions == {"destroyed": True}


class _Destroyable(dict):
    def destroy(self):
        self["destroyed"] = True


def test_cycle_through_the_store_is_collected(om, dict_store):
    collected = []

    class Canary:
        def __del__(self):
            collected.append(True)

    m = om.OrderMgr("cycle")
    m.positions["self"] = m
    m.positions["canary"] = Canary()
    assert gc.is_tracked(m)
    del m
    gc.collect()
    assert collected == [True]


def test_constructions_do_not_leak(om, dict_store):
    def work(n):
        for _ in range(n):
            om.OrderMgr("leak check")

    assert_flat_memory(work, 100_000, warmup=2000)
