"""The maps of one DualCache database, driven by random operations, behave
exactly as a dict of plain dicts: through reopening, a second connection
writing too, transactions that span maps and commit or roll back (nested),
writes that fail, and finally a fresh process reading every store back."""

import datetime as dt
import json
import subprocess
import sys
import uuid

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import same

UTC = dt.timezone.utc
KEYS = st.sampled_from([1, 1.0, True, 0, "a", "b", (1, "x"), b"k", None, 2.5, dt.date(2024, 1, 1)])
MAPS = ["", "fills", "ü \udc80;'"]  # the default map and two named ones
MAP = st.sampled_from(MAPS)


def positions():
    return st.builds(
        lambda key, orders: om.Position(key, {o: om.Trade(o, 1.0 + i, 1 + i, 0.0, dt.datetime(2024, 1, 1, tzinfo=UTC))
                                            for i, o in enumerate(orders)}),
        st.text(max_size=3), st.lists(st.text(max_size=2), max_size=5, unique=True))


VALUES = st.one_of(st.integers(), st.lists(st.integers(), max_size=3), st.text(max_size=5), positions())
OPS = st.lists(st.tuples(MAP, st.sampled_from(["set", "del", "clear"]), KEYS, VALUES), max_size=6)


class Abort(Exception):
    pass


class MapsVersusDicts(RuleBasedStateMachine):
    # Every run's stores, read back by one fresh process after the runs.
    finished = []

    def __init__(self, base):
        super().__init__()
        # A database of its own for every run: a new file, or a new name on the server.
        self.prefix = f"{base}/m{uuid.uuid4().hex[:8]}-"
        self.store = dc.DualCache(cacheName="model", cachePrefix=self.prefix)
        self.other = dc.DualCache(cacheName="model", cachePrefix=self.prefix)  # a second connection
        self.model = {m: {} for m in MAPS}

    def teardown(self):
        self.store.close()
        self.other.close()
        self.finished.append((self.prefix, {m: repr(list(d.items())) for m, d in self.model.items()}))

    @staticmethod
    def apply(maps, ops):
        """Runs `ops` on `maps` (name -> mapping): a DualCache's maps or the model."""
        for m, op, key, value in ops:
            target = maps(m)
            if op == "set":
                target[key] = value
            elif op == "clear":
                target.clear()
            elif key in target:
                del target[key]

    @rule(m=MAP, key=KEYS, value=VALUES)
    def set(self, m, key, value):
        target = self.store.map(m)
        target[key] = value
        self.model[m][key] = value
        assert self.store.map(m) is target and target.map("") is self.store and target.mapName == m
        assert target[key] is value

    @rule(m=MAP, key=KEYS, value=VALUES)
    def set_elsewhere(self, m, key, value):
        self.other.map(m)[key] = value
        self.model[m][key] = value

    @rule(m=MAP, key=KEYS)
    def delete(self, m, key):
        if key in self.model[m]:
            del self.store.map(m)[key]
            del self.model[m][key]
        else:
            with pytest.raises(KeyError):
                del self.store.map(m)[key]

    @rule(m=MAP, key=KEYS)
    def pop_elsewhere(self, m, key):
        assert same(self.other.map(m).pop(key, "missing"), self.model[m].pop(key, "missing"))

    @rule(m=MAP)
    def clear(self, m):
        self.store.map(m).clear()
        self.model[m].clear()

    @rule(on=MAP, elsewhere=st.booleans(), ops=OPS, inner=OPS, inner_fails=st.booleans(), outer_fails=st.booleans())
    def transaction(self, on, elsewhere, ops, inner, inner_fails, outer_fails):
        """A block entered on any map, by either connection, writing to
        every map, with a nested block; either level may roll back."""
        conn = self.other if elsewhere else self.store
        with pytest.raises(Abort) if outer_fails else _nothing():
            with conn.map(on).batch():
                self.apply(conn.map, ops)
                with pytest.raises(Abort) if inner_fails else _nothing():
                    with conn.map(on).transaction():
                        self.apply(conn.map, inner)
                        if inner_fails:
                            raise Abort
                if outer_fails:
                    raise Abort
        if not outer_fails:
            self.apply(self.model.__getitem__, ops + ([] if inner_fails else inner))

    @rule(ops=OPS, m=MAP, key=KEYS, value=VALUES)
    def write_fails_in_a_transaction(self, ops, m, key, value):
        with pytest.raises(dc.StoreError, match="transaction rolled back"):
            with self.store.transaction():
                self.apply(self.store.map, ops)
                self.store._fail_writes(0)
                with pytest.raises(dc.StoreError, match="injected"):
                    self.store.map(m)[key] = value

    @rule(m=MAP, n=st.integers(1, 200), kept=st.integers(0, 4), elsewhere=st.booleans(), fails=st.booleans())
    def many_keys(self, m, n, kept, elsewhere, fails):
        """Many keys written and most deleted again in one block, that may
        roll back: ints, pairs of unequal ints of one hash, and floats equal
        to some of them; a later reload, or this connection's next operation,
        sees the map as the block left it."""
        twin = sys.hash_info.modulus  # i and i + twin hash alike, never equal
        keys = [k for i in range(n) for k in (i + 10, i + 10 + twin, float(i + 10) if i % 3 == 0 else -1)]
        ops = [(m, "set", k, i) for i, k in enumerate(keys)]
        ops += [(m, "del", k, None) for i, k in enumerate(keys) if i % 5 >= kept]
        conn = self.other if elsewhere else self.store
        with pytest.raises(Abort) if fails else _nothing():
            with conn.map(m).batch():
                self.apply(conn.map, ops)
                if fails:
                    raise Abort
        if not fails:
            self.apply(self.model.__getitem__, ops)

    @rule(m=MAP, key=KEYS, value=VALUES)
    def failing_write(self, m, key, value):
        self.store._fail_writes(0)
        with pytest.raises(dc.StoreError):
            self.store.map(m)[key] = value

    @rule(m=MAP)
    def reopen(self, m):
        held = self.store.map(m)
        held.close()  # closes the database with all its maps
        for closed in (held, self.store):
            with pytest.raises(dc.StoreError, match="was closed"):
                len(closed)
        self.store = dc.DualCache(cacheName="model", cachePrefix=self.prefix)

    @rule(m=MAP, items=st.booleans(), at=st.integers(0, 4), elsewhere=st.booleans(),
          ops=st.lists(st.tuples(st.sampled_from(["set", "del", "clear"]), KEYS, VALUES), max_size=4))
    def iterate_while_writing(self, m, items, at, elsewhere, ops):
        """Iteration over values or items (which reads what is not in memory
        in one pass) interleaved with writes from either connection: the keys
        as they were at the start, in order; through this connection, exactly
        what the map then holds; another's writes are seen or not, but never
        a value the key did not have."""
        target = self.store.map(m)
        start = list(self.model[m])
        history = {k: [v] for k, v in self.model[m].items()}  # what each key held meanwhile
        it = iter(target.items() if items else target.values())
        got = [next(it) for _ in range(min(at, len(start)))]
        conn = self.other if elsewhere else self.store
        self.apply(conn.map, [(m, *op) for op in ops])
        self.apply(self.model.__getitem__, [(m, *op) for op in ops])
        for op, key, value in ops:
            if op == "set" and key in history:
                history[key].append(value)
        got += list(it)
        if not items:  # the values, matched with the keys they belong to below
            got = list(zip(start, got)) if not ops else [(None, v) for v in got]
        now = self.model[m]
        if not elsewhere:
            expected = list(self.model_at_start(start, got[:at], now))
            assert len(got) == len(expected)
            for (k1, v1), (k2, v2) in zip(got, expected):
                assert (k1 is None or k1 == k2) and same(v1, v2)
            return
        keys = iter(start)  # a subsequence of the keys at the start
        touched = {key for _, key, _ in ops}
        cleared = any(op == "clear" for op, _, _ in ops)
        for k, v in got:
            if k is None:
                assert any(same(v, x) for h in history.values() for x in h)
                continue
            assert any(k == s for s in keys)
            assert any(same(v, x) for x in history[k])
        if items and not cleared:
            assert [k for k in start if k not in touched] == [k for k, _ in got if k not in touched]

    @staticmethod
    def model_at_start(start, first, now):
        """What iterating through this connection yields: the pairs fetched
        before the writes, then each later starting key still there, with
        what it holds now."""
        yield from first
        for k in start[len(first):]:
            if k in now:
                yield k, now[k]

    @invariant()
    def every_map_holds_what_its_dict_holds_in_order(self):
        for m, expected in self.model.items():
            target = self.store.map(m)
            items = list(target.items())
            assert len(items) == len(expected) == len(target)
            for (k1, v1), (k2, v2) in zip(items, expected.items()):
                assert k1 == k2 and v1 == v2
            assert bool(target) == bool(expected)
        assert self.store.map_names() == sorted(m for m, d in self.model.items() if d)


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


READ_BACK = """
import json, sys
import marlovent.ordermgr, zelph.dualcache as dc
out = []
for prefix, names in json.loads(sys.stdin.read()):
    with dc.DualCache(cacheName="model", cachePrefix=prefix) as s:
        out.append(({m: repr(list(s.map(m).items())) for m in names}, s.map_names()))
print(json.dumps(out))
"""


def test_maps_behave_as_dicts(pg_uri, tmp_path):
    MapsVersusDicts.finished = []
    base = pg_uri or str(tmp_path)
    run_state_machine_as_test(lambda: MapsVersusDicts(base),
                              settings=settings(max_examples=40, stateful_step_count=25, deadline=None))
    # A fresh process reads every run's database back.
    runs = MapsVersusDicts.finished
    child = subprocess.run([sys.executable, "-c", READ_BACK], input=json.dumps([(p, MAPS) for p, _ in runs]),
                           capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr
    for (prefix, expected), (seen, names) in zip(runs, json.loads(child.stdout), strict=True):
        assert seen == expected, prefix
        assert names == sorted(m for m in MAPS if expected[m] != "[]")
