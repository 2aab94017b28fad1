"""A DualCache driven by random operations behaves exactly as a plain dict,
through reopening, a second connection writing too, transactions that
commit or roll back, and writes that fail."""

import datetime as dt

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import same

UTC = dt.timezone.utc
KEYS = st.sampled_from([1, 1.0, True, 0, "a", "b", (1, "x"), b"k", None, 2.5, dt.date(2024, 1, 1)])


def positions():
    return st.builds(
        lambda key, orders: om.Position(key, {o: om.Trade(o, 1.0 + i, 1 + i, 0.0, dt.datetime(2024, 1, 1, tzinfo=UTC))
                                            for i, o in enumerate(orders)}),
        st.text(max_size=3), st.lists(st.text(max_size=2), max_size=5, unique=True))


VALUES = st.one_of(st.integers(), st.lists(st.integers(), max_size=3), st.text(max_size=5), positions())
OPS = st.lists(st.tuples(st.sampled_from(["set", "del"]), KEYS, VALUES), max_size=5)


class Abort(Exception):
    pass


class StoreVersusDict(RuleBasedStateMachine):
    def __init__(self, server_uri=None):
        super().__init__()
        import tempfile
        import uuid

        self.dir = tempfile.TemporaryDirectory()
        # A store of its own for every run: a new file, or a new name on the server.
        self.prefix = f"{server_uri}/m{uuid.uuid4().hex[:8]}-" if server_uri else self.dir.name + "/m-"
        self.store = dc.DualCache(cacheName="model", cachePrefix=self.prefix)
        self.other = dc.DualCache(cacheName="model", cachePrefix=self.prefix)
        self.model = {}

    def teardown(self):
        self.store.close()
        self.other.close()
        self.dir.cleanup()

    def apply(self, target, op, key, value):
        if op == "set":
            target[key] = value
        elif key in target:
            del target[key]

    @rule(key=KEYS, value=VALUES)
    def set(self, key, value):
        self.store[key] = value
        self.model[key] = value
        assert self.store[key] is value

    @rule(key=KEYS, value=VALUES)
    def set_elsewhere(self, key, value):
        self.other[key] = value
        self.model[key] = value

    @rule(key=KEYS)
    def delete(self, key):
        if key in self.model:
            del self.store[key]
            del self.model[key]
        else:
            with pytest.raises(KeyError):
                del self.store[key]

    @rule(key=KEYS)
    def pop_elsewhere(self, key):
        assert same(self.other.pop(key, "missing"), self.model.pop(key, "missing"))

    @rule()
    def clear(self):
        self.store.clear()
        self.model.clear()

    @rule(ops=OPS)
    def transaction_commits(self, ops):
        with self.store.transaction():
            for op in ops:
                self.apply(self.store, *op)
        for op in ops:
            self.apply(self.model, *op)

    @rule(ops=OPS, inner=OPS)
    def transaction_rolls_back(self, ops, inner):
        with pytest.raises(Abort):
            with self.store.batch():
                for op in ops:
                    self.apply(self.store, *op)
                with pytest.raises(Abort):
                    with self.store.transaction():
                        for op in inner:
                            self.apply(self.store, *op)
                        raise Abort
                raise Abort

    @rule(key=KEYS, value=VALUES)
    def failing_write(self, key, value):
        self.store._fail_writes(0)
        with pytest.raises(dc.StoreError):
            self.store[key] = value

    @rule()
    def reopen(self):
        self.store.close()
        self.store = dc.DualCache(cacheName="model", cachePrefix=self.prefix)

    @invariant()
    def same_content_in_the_same_order(self):
        items = list(self.store.items())
        expected = list(self.model.items())
        assert len(items) == len(expected) == len(self.store)
        for (k1, v1), (k2, v2) in zip(items, expected):
            assert k1 == k2 and v1 == v2
        assert bool(self.store) == bool(self.model)


def test_store_behaves_as_a_dict(pg_uri):
    run_state_machine_as_test(lambda: StoreVersusDict(pg_uri),
                              settings=settings(max_examples=40, stateful_step_count=25, deadline=None))
