"""Reading a whole map ahead on a worker thread changes nothing a caller
sees: over stores with damaged rows and with classes whose hooks raise,
re-enter the store or fork the process while the map is read, iterating
yields the same entries and raises the same error as the plain read, and
no thread is left behind (the process can still fork and exit cleanly)."""

import datetime as dt
import os
import sqlite3
import time
import warnings

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zelph.dualcache as dc

pytestmark = pytest.mark.sqlite_only  # edits the SQLite file directly; the worker reads SQLite only


class Hooked:
    """A record whose rebuilding runs what the test planned for its value."""
    plan = {}  # x -> what its from_fields does
    store = None  # the store being read
    children = []  # pids of processes forked by a hook

    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return type(other) is Hooked and other.x == self.x


def _rebuild(cls, fields):
    what = Hooked.plan.get(fields[0])
    if what == "raise":
        raise LookupError("refused")
    if what == "interrupt":
        raise KeyboardInterrupt
    if what == "reenter":
        len(Hooked.store.get("K00", ()))  # refused: an operation on the store is running
    if what == "stats":
        Hooked.store._stats()  # not an operation: it uses the connection beside the read
    if what == "fork":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # "multi-threaded, use of fork()"
            pid = os.fork()
        if pid == 0:
            Hooked.children = None  # the child: finishes the read, then leaves (see read)
        else:
            Hooked.children.append(pid)
    return cls(*fields)


dc.register(Hooked, "tests.read_ahead.Hooked", to_fields=lambda o: (o.x,), from_fields=_rebuild)


def threads():
    return len(os.listdir("/proc/self/task"))


def read(prefix, ahead_from, batch_rows=4096):
    """What iterating over items() of a freshly opened store yields and
    raises, with the read ahead from `ahead_from` entries, `batch_rows` rows
    handed over at a time."""
    before = dc._prefetch_from(ahead_from)
    rows_before = dc._prefetch_batch_rows(batch_rows)
    got, error = [], None
    try:
        with dc.DualCache(cacheName="test", cachePrefix=prefix) as t:
            Hooked.store = t
            try:
                for k, v in t.items():
                    got.append((k, v))
            except BaseException as e:  # KeyboardInterrupt from a hook too
                error = (type(e), str(e), type(e.__cause__))
    finally:
        Hooked.store = None
        dc._prefetch_from(before)
        dc._prefetch_batch_rows(rows_before)
        if Hooked.children is None:  # a child forked by a hook: it got here without hanging
            os._exit(0)
    return got, error


def wait_clean(pid, timeout=60):
    """The child exits with status 0 in time (a worker it waits for would hang it)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            assert os.waitstatus_to_exitcode(status) == 0
            return
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    raise AssertionError("a child forked during the read hung")


def damage(con, how, entry):
    if how == "value":  # undecodable bytes
        con.execute("UPDATE map0_stamped_entries SET value = substr(value, 1, 2) || x'55' || substr(value, 4) WHERE id = ?",
                    (entry,))
    elif how == "checksum":  # sound bytes, but not those written
        con.execute("UPDATE map0_stamped_entries SET value = substr(value, 1, length(value) - 1) || x'00' WHERE id = ?",
                    (entry,))
    else:  # one item row, or the last item row gone
        sql = ("UPDATE map0_items SET value = x'55' || substr(value, 2)" if how == "item"
               else "DELETE FROM map0_items") + \
              " WHERE entry = ? AND ord = (SELECT max(ord) FROM map0_items WHERE entry = ?)"
        con.execute(sql, (entry, entry))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(kinds=st.lists(st.one_of(st.integers(0, 5), st.sampled_from(["hooked", "list"])), min_size=1, max_size=60),
       damaged=st.dictionaries(st.integers(0, 59), st.sampled_from(["value", "checksum", "item", "lost item"]), max_size=3),
       hooks=st.dictionaries(st.integers(0, 59), st.sampled_from(["raise", "interrupt", "reenter", "stats", "fork"]),
                             max_size=2),
       ahead_from=st.integers(1, 12), batch_rows=st.integers(1, 9))
def test_reading_ahead_yields_and_raises_what_the_plain_read_does(tmp_path_factory, om, kinds, damaged, hooks,
                                                                  ahead_from, batch_rows):
    prefix = str(tmp_path_factory.mktemp("ahead")) + "/"
    t0 = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    written = {}
    for i, kind in enumerate(kinds):
        k = f"K{i:02d}"
        written[k] = (Hooked(i) if kind == "hooked" else [i, str(i)] if kind == "list" else
                      om.Position(k, {o: om.Trade(o, 1.5 * o, o, 0.25, t0) for o in range(1, kind + 1)}))
    with dc.DualCache(cacheName="test", cachePrefix=prefix) as s:
        with s.batch():
            s.update(written)
        path = s.path
    con = sqlite3.connect(path, isolation_level=None)
    damaged = {i % len(kinds): how for i, how in damaged.items()}
    for i, how in damaged.items():
        if (how in ("value", "checksum") or isinstance(kinds[i], int) and kinds[i] > 0):
            damage(con, how, i + 1)
    con.close()

    Hooked.plan = {i % len(kinds): what for i, what in hooks.items() if kinds[i % len(kinds)] == "hooked"}
    Hooked.children = []
    running = threads()
    try:
        plain = read(prefix, 10**9)
        ahead = read(prefix, ahead_from, batch_rows)
    finally:
        Hooked.plan = {}
        for pid in Hooked.children:
            wait_clean(pid)
    assert ahead == plain
    if plain[1] is None:
        assert plain[0] == list(written.items())
    assert threads() == running  # the worker was joined on every path
    # and the reads left the arena reserve: the arenas made ready that nobody took were unmapped
    assert dc._arena_reserve()[1::2] == (0, 0)
    pid = os.fork()  # and the process forks and exits cleanly
    if pid == 0:
        os._exit(0)
    wait_clean(pid)
