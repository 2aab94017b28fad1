"""The summaries read `datetime` and `PositionSummary` from the module's
namespace each time they build a summary, and the class's `__post_init__`
each time they construct one: a rebinding made between two calls, or in the
middle of one (from the store's __getitem__ or from a trade's arithmetic),
is seen by exactly the summaries built after it. The same holds for the
store's own `__getitem__`."""
import contextlib
import datetime as dt

import pytest
from hypothesis import given, settings, strategies as st

T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
NOW = dt.datetime(2024, 3, 6, 12, 0, tzinfo=dt.timezone.utc)


def fake_clock(k):
    """A stand-in for the datetime module whose clock reads NOW + k seconds."""

    class Clock:
        @staticmethod
        def now(tz=None):
            assert tz is dt.timezone.utc
            return NOW + dt.timedelta(seconds=k)

    return type(f"Clock{k}", (), {"datetime": Clock, "timezone": dt.timezone})


class Trigger(float):
    """A price that runs `action` (once) the first time it is multiplied."""

    action = None

    def __mul__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return float(self) * other

    __rmul__ = __mul__


class Store(dict):
    """The store, running the action planned for a key when it is read."""

    def __init__(self, *, cacheName, cachePrefix):
        super().__init__()
        self.on_read = {}

    def __getitem__(self, key):
        action = self.on_read.pop(key, None)
        if action:
            action()
        return super().__getitem__(key)


@contextlib.contextmanager
def namespace_as_it_was(om):
    """Puts back every binding of the namespace, in its order (a name deleted
    and bound again moves to the end)."""
    namespace = vars(om)
    saved = dict(namespace)
    try:
        yield
    finally:
        namespace.clear()
        namespace.update(saved)


@pytest.fixture
def store_mgr(om, tmp_path, monkeypatch):
    monkeypatch.setenv("QUENTARIS_DATA_DIR", str(tmp_path))
    with namespace_as_it_was(om):
        om.DualCache = Store
        yield om.OrderMgr("namespace reads")


# A rebinding: `datetime` to a fake clock or back to the module, the class
# to a subclass or back, an unrelated name, or `datetime` deleted and bound
# again to the same module.
rebinding = st.one_of(
    st.tuples(st.just("clock"), st.integers(0, 3)),
    st.tuples(st.sampled_from(["real clock", "subclass", "own class", "unrelated", "delete and restore",
                               "step replaced", "own step"]), st.just(0)),
)
# Per key: nothing, or a rebinding made from the store's read or from the
# position's arithmetic.
plan = st.lists(st.one_of(st.none(), st.tuples(st.sampled_from(["read", "arithmetic"]), rebinding)),
                min_size=1, max_size=6)


def found_after(kind, k, found):
    """What lookups of (clock, class, step) find once the rebinding is made."""
    clock, cls, step = found
    if kind == "clock":
        return k, cls, step
    if kind == "real clock":
        return None, cls, step
    if kind in ("subclass", "own class"):
        return clock, kind, step
    if kind in ("step replaced", "own step"):
        return clock, cls, kind
    return found


@settings(max_examples=60, deadline=None)
@given(first=plan, between=st.lists(rebinding, max_size=2), second=plan)
def test_rebinding_is_seen_from_the_next_summary_on(om, store_mgr, first, between, second):
    real_datetime, own_class = om.datetime, om.PositionSummary

    class Sub(own_class):
        pass

    classes = {"subclass": Sub, "own class": own_class}
    own_step = own_class.__dict__["__post_init__"]
    stepped = []

    def replaced_step(self):
        stepped.append(self)
        own_step(self)

    def rebind(kind, k):
        if kind == "clock":
            om.datetime = fake_clock(k)
        elif kind == "real clock":
            om.datetime = real_datetime
        elif kind in classes:
            om.PositionSummary = classes[kind]
        elif kind == "step replaced":
            own_class.__post_init__ = replaced_step
        elif kind == "own step":
            own_class.__post_init__ = own_step
        elif kind == "unrelated":
            om._unrelated_name = k
        else:
            held = om.datetime
            del om.datetime
            om.datetime = held

    def run(steps, found):
        store = store_mgr.positions
        store.clear()
        expected = []
        for i, step in enumerate(steps):
            key = f"K{i}"
            p = om.Position(key)
            # An exact float price unless the arithmetic rebinds (the summary
            # of exact floats is built natively).
            arithmetic = step and step[0] == "arithmetic"
            price = Trigger(10.0 + i) if arithmetic else 10.0 + i
            p.trades[i] = om.Trade(i, price, 1 if i % 2 == 0 else -1, 0.5, T0)
            if step:
                where, (kind, k) = step
                action = lambda kind=kind, k=k: rebind(kind, k)  # noqa: E731
                if where == "read":
                    store.on_read[key] = action
                else:
                    p.trades[i].price.action = action
                found = found_after(kind, k, found)
            dict.__setitem__(store, key, p)
            expected.append(found)
        before = dt.datetime.now(dt.timezone.utc)
        stepped.clear()
        result = store_mgr.get_portfolio_summary()
        after = dt.datetime.now(dt.timezone.utc)
        assert list(result) == [f"K{i}" for i in range(len(steps))]
        for (key, summary), (clock, cls, step) in zip(result.items(), expected):
            assert type(summary) is classes[cls], key
            assert any(s is summary for s in stepped) == (step == "step replaced"), key
            if clock is None:
                assert before - T0 <= summary.age <= after - T0, key
            else:
                assert summary.age == NOW + dt.timedelta(seconds=clock) - T0, key
        return found

    try:
        with namespace_as_it_was(om):
            found = run(first, (None, "own class", "own step"))
            for kind, k in between:
                rebind(kind, k)
                found = found_after(kind, k, found)
            run(second, found)
    finally:
        own_class.__post_init__ = own_step


def test_a_key_that_is_not_a_str_keeps_every_lookup(om, store_mgr):
    """A key of another type in the namespace, equal in hash to "datetime",
    is compared with it at every lookup that probes past it: each summary
    still makes its comparison."""
    compared = []

    class Colliding:
        def __hash__(self):
            return hash("datetime")

        def __eq__(self, other):
            compared.append(other)
            return False

    for i in range(5):
        p = om.Position(f"K{i}")
        p.trades[i] = om.Trade(i, 10.0, 1, 0.0, T0)
        dict.__setitem__(store_mgr.positions, f"K{i}", p)
    with namespace_as_it_was(om):
        # Bound again after the colliding key, so that lookups meet it first.
        real = om.datetime
        del om.datetime
        vars(om)[Colliding()] = "colliding"
        om.datetime = real
        store_mgr.get_portfolio_summary()
    assert compared.count("datetime") >= 5


def test_store_subscript_is_looked_up_at_each_read(om, tmp_path, monkeypatch):
    """A dict subclass store: its reads go to dict's subscript (and its
    __missing__) until a __getitem__ is given to the class in the middle of
    the summary; the reads after that go through it."""
    fallback = om.Position("fallback")
    fallback.trades[99] = om.Trade(99, 99.0, 1, 0.0, T0)
    reads = []

    class Plain(dict):
        def __init__(self, *, cacheName, cachePrefix):
            super().__init__()

        def __missing__(self, key):
            return fallback

    def own_getitem(self, key):
        reads.append(key)
        return dict.__getitem__(self, key)

    def trigger():
        del store["K2"]
        Plain.__getitem__ = own_getitem

    monkeypatch.setenv("QUENTARIS_DATA_DIR", str(tmp_path))
    with namespace_as_it_was(om):
        om.DualCache = Plain
        mgr = om.OrderMgr("store reads")
    store = mgr.positions
    for i in range(4):
        p = om.Position(f"K{i}")
        p.trades[i] = om.Trade(i, Trigger(10.0 + i) if i == 0 else 10.0 + i, 1, 0.0, T0)
        store[f"K{i}"] = p
    store["K0"].trades[0].price.action = trigger
    result = mgr.get_portfolio_summary()
    assert reads == ["K1", "K2", "K3"]
    assert [s.average_price for s in result.values()] == [10.0, 11.0, 99.0, 13.0]
