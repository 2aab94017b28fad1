"""Failures: files that are not stores are refused untouched, failed writes
leave disk and memory as they were, transactions roll back as a unit."""

import datetime as dt
import gc
import os
import sqlite3
import tempfile
import threading
import time

import pytest

import marlovent.ordermgr as om
import support
import zelph.dualcache as dc
from storetools import file_bytes, open_store, prefix, run_py  # noqa: F401


def store_path(prefix, name="test"):
    return prefix + name + ".sqlite"


# --- files that are not stores -----------------------------------------------------


def foreign_db(path, wal):
    con = sqlite3.connect(path)
    if wal:
        con.execute("PRAGMA journal_mode=WAL")
    con.execute("CREATE TABLE t(x)")
    con.execute("INSERT INTO t VALUES ('precious')")
    con.commit()
    con.close()


@pytest.mark.sqlite_only
@pytest.mark.parametrize("kind", ["garbage", "short garbage", "sqlite header only", "foreign", "foreign wal"])
def test_files_that_are_not_stores_are_refused_untouched(prefix, kind):
    path = store_path(prefix)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    garbage = {"garbage": os.urandom(8192), "short garbage": b"hello",
               "sqlite header only": b"SQLite format 3\x00" + b"\x00" * 84}
    if kind in garbage:
        with open(path, "wb") as f:
            f.write(garbage[kind])
    else:
        foreign_db(path, wal=kind == "foreign wal")
    before = file_bytes(path)
    with pytest.raises(dc.StoreError, match="not a DualCache store") as info:
        dc.DualCache(cacheName="test", cachePrefix=prefix)
    assert info.value.filename == path
    assert file_bytes(path) == before
    if kind.startswith("foreign"):
        con = sqlite3.connect(path)
        assert con.execute("SELECT x FROM t").fetchall() == [("precious",)]
        con.close()


def fill(prefix, n=300):
    s = dc.DualCache(cacheName="test", cachePrefix=prefix)
    with s.batch():
        for i in range(n):
            s[f"key{i}"] = "v" * 200
    s.close()
    return store_path(prefix)


@pytest.mark.sqlite_only
@pytest.mark.parametrize("keep", [0.5, 0.9, 200])
def test_truncated_store_is_refused_untouched(prefix, keep):
    path = fill(prefix)
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.truncate(int(size * keep) if keep < 1 else keep)
    before = file_bytes(path)
    with pytest.raises(dc.StoreError):
        s = dc.DualCache(cacheName="test", cachePrefix=prefix)
        list(s.values())
    assert file_bytes(path) == before


@pytest.mark.sqlite_only
def test_empty_file_becomes_a_new_store(prefix):
    path = store_path(prefix)
    os.makedirs(os.path.dirname(path))
    open(path, "wb").close()
    s = dc.DualCache(cacheName="test", cachePrefix=prefix)
    s["k"] = 1
    assert len(s) == 1


@pytest.mark.sqlite_only
def test_newer_format_is_refused(prefix):
    path = fill(prefix, 1)
    con = sqlite3.connect(path)
    con.execute("UPDATE meta SET v = 99 WHERE k = 'format'")
    con.commit()
    con.close()
    with pytest.raises(dc.StoreError, match="newer"):
        dc.DualCache(cacheName="test", cachePrefix=prefix)


# --- read-only directory and full disk ---------------------------------------------

AS_OTHER_USER = """
import os, sys
import zelph.dualcache as dc
if os.geteuid() == 0:          # root ignores permissions: act as nobody
    os.setgid(65534); os.setuid(65534)
prefix = sys.argv[1]
try:
    s = dc.DualCache(cacheName=sys.argv[2], cachePrefix=prefix)
    s["new"] = 1
    print("wrote")
except dc.StoreError as e:
    print("StoreError", e)
"""


@pytest.fixture
def readonly_dir():
    d = tempfile.mkdtemp(dir="/tmp")
    yield d
    os.chmod(d, 0o755)
    for f in os.listdir(d):
        os.unlink(os.path.join(d, f))
    os.rmdir(d)


@pytest.mark.sqlite_only
def test_read_only_directory(readonly_dir):
    prefix = readonly_dir + "/s-"
    s = dc.DualCache(cacheName="old", cachePrefix=prefix)
    s["k"] = 1
    s.close()
    path = store_path(prefix, "old")
    os.chmod(path, 0o666)
    if os.geteuid() == 0:
        os.chown(path, 65534, 65534)
    before = sorted(os.listdir(readonly_dir)), file_bytes(path)
    os.chmod(readonly_dir, 0o555)
    for name in ("new", "old"):
        out = run_py(AS_OTHER_USER, prefix, name).stdout
        assert out.startswith("StoreError") and prefix in out, out
    assert (sorted(os.listdir(readonly_dir)), file_bytes(path)) == before


DISK_FULL = """
import resource, signal, sys, sqlite3
import zelph.dualcache as dc
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
s = dc.DualCache(cacheName="full", cachePrefix=sys.argv[1])
s["small"] = "ok"
resource.setrlimit(resource.RLIMIT_FSIZE, (360_000, 360_000))
done = 0
try:
    for i in range(1000):
        s[f"k{i}"] = "x" * 5000
        done += 1
except dc.StoreError as e:
    failed = f"k{done}"
    assert failed not in s and len(s) == done + 1, (len(s), done)
try:
    with s.transaction():
        try:
            s["big"] = "y" * 400_000
        except dc.StoreError:
            pass
        s["after"] = 1
    print("committed?!")
except dc.StoreError as e:
    pass  # failed inside (the rest refused) or at commit: rolled back either way
assert "after" not in s and "big" not in s
print(done)
"""


@pytest.mark.sqlite_only
def test_full_disk_leaves_every_returned_write_and_nothing_else(prefix):
    out = run_py(DISK_FULL, prefix).stdout.split()
    done = int(out[-1])
    assert 10 < done < 1000
    s = dc.DualCache(cacheName="full", cachePrefix=prefix)
    assert list(s) == ["small"] + [f"k{i}" for i in range(done)]
    assert all(s[f"k{i}"] == "x" * 5000 for i in range(done))
    con = sqlite3.connect(s.path)
    assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    con.close()


# --- fault injection ------------------------------------------------------------


WRITES = {
    "insert": lambda s: s.__setitem__("new", [1]),
    "replace": lambda s: s.__setitem__("a", [9]),
    "delete": lambda s: s.__delitem__("b"),
    "clear": lambda s: s.clear(),
    "update": lambda s: s.update(a=[7], z=[8]),
    "pop": lambda s: s.pop("a"),
    "setdefault": lambda s: s.setdefault("n", [3]),
}


@pytest.mark.parametrize("op", list(WRITES))
def test_injected_failure_leaves_disk_and_memory_unchanged(open_store, op):
    s = open_store()
    s.update(a=[1], b=[2], c=[3])
    lives = {k: s[k] for k in s}
    s._fail_writes(0)
    with pytest.raises(dc.StoreError, match="injected"):
        WRITES[op](s)
    assert dict(s) == {"a": [1], "b": [2], "c": [3]} == dict(open_store())
    assert list(s) == ["a", "b", "c"]
    # Entries the failed write touched are forgotten (reloaded); others stay live.
    assert (s["c"] is lives["c"]) == (op != "clear")
    assert (s["a"] is lives["a"]) == (op not in ("clear", "replace", "update", "pop"))
    WRITES[op](s)  # the hook fired once; the same write now succeeds
    assert dict(s) == dict(open_store())


def test_injected_failure_counts_successful_writes(open_store):
    s = open_store()
    s._fail_writes(3)
    for i in range(3):
        s[i] = i
    with pytest.raises(dc.StoreError):
        s[3] = 3
    s[4] = 4
    s._fail_writes(0)
    s._fail_writes(-1)
    s[5] = 5
    assert list(open_store()) == [0, 1, 2, 4, 5]


def test_injected_failure_inside_a_transaction(open_store):
    s = open_store()
    s["a"] = [1]
    live = s["a"]
    s._fail_writes(1)
    with pytest.raises(dc.StoreError, match="injected"):
        with s.transaction():
            s["b"] = [2]
            s["a"].append(2)
            s["a"] = s["a"]  # fails; the whole block is rolled back
    assert dict(s) == {"a": [1]} == dict(open_store())
    assert s["a"] is not live


def test_a_failed_write_spoils_its_transaction(open_store):
    s = open_store()
    s._fail_writes(0)
    with pytest.raises(dc.StoreError, match="rolled back"):
        with s.transaction():
            with pytest.raises(dc.StoreError, match="injected"):
                s["a"] = 1
            with pytest.raises(dc.StoreError, match="leave the transaction block"):
                s["b"] = 2
    assert dict(s) == {} == dict(open_store())
    s["c"] = 3
    assert dict(open_store()) == {"c": 3}


class HashFails(support.HashFails):
    pass


dc.register(HashFails, "tests.failures.HashFails", fields=("n",))


def test_a_write_whose_key_raises_leaves_the_rest_of_its_block(open_store):
    """Whichever call of the key's hash raises, the write raises to its
    caller before anything of it is written: the block's other writes
    commit."""
    s = open_store()
    for fail_at in range(1, 6):
        HashFails.calls, HashFails.fail_at = 0, fail_at
        raised = False
        with s.batch():
            s["fill"] = fail_at
            try:
                s[HashFails(fail_at)] = "x"
            except KeyboardInterrupt:
                raised = True
        HashFails.fail_at = None
        assert s["fill"] == fail_at and (HashFails(fail_at) in s) is not raised
    assert dict(open_store())["fill"] == 5


# --- transactions -------------------------------------------------------------


def test_batch_rollback(open_store):
    s = open_store()
    s.update(keep=[0], changed=[1], gone=[2])
    keep, changed = s["keep"], s["changed"]
    with pytest.raises(ZeroDivisionError):
        with s.batch() as same:
            assert same is s
            s["changed"] = [10]
            del s["gone"]
            s["new"] = [3]
            1 / 0
    assert list(s.items()) == [("keep", [0]), ("changed", [1]), ("gone", [2])]
    assert dict(open_store()) == dict(s)
    assert s["keep"] is keep and s["changed"] is not changed
    with pytest.raises(ZeroDivisionError):
        with s.batch():
            s.clear()
            s["newer"] = [4]
            1 / 0
    assert list(s.items()) == [("keep", [0]), ("changed", [1]), ("gone", [2])]
    s["after"] = 5
    assert list(open_store()) == ["keep", "changed", "gone", "after"]


T = dt.datetime(2024, 3, 5, 14, 30, tzinfo=dt.timezone.utc)


class Price(float):
    pass


def position(key, *prices):
    return om.Position(key, {i: om.Trade(i, p, 5, 0.5, T) for i, p in enumerate(prices, 1)})


@pytest.mark.parametrize("change, given_back", [
    (lambda p: None, True),
    (lambda p: setattr(p.trades[1], "price", Price(10.0)), False),  # equal, of a subclass
    (lambda p: setattr(p.trades[1], "price", 10), False),  # equal, of another type
    (lambda p: setattr(p.trades[1], "timestamp", T.astimezone(dt.timezone(dt.timedelta(hours=1)))), False),
    (lambda p: p.trades.update({3: p.trades.pop(2)}), False),  # one trade under another key
])
def test_a_position_held_through_a_rolled_back_block_is_given_back_only_as_stored(open_store, change, given_back):
    s = open_store()
    s.update(p=position("p", 10.0, 11.0), q=position("q", 12.0))
    held, gone = s["p"], s["q"]
    with pytest.raises(ZeroDivisionError):
        with s.batch():
            held.add_trade(om.Trade(9, 13.0, 1, 0.5, T))
            s["p"] = held
            del s["q"]
            del held.trades[9]  # the caller puts back what it changed
            change(held)
            1 / 0
    stored = open_store()
    assert (s["p"] is held) == given_back and s["q"] is gone
    assert s["p"] == stored["p"] and [type(t.price) for t in s["p"].trades.values()] == [float, float]
    s["p"].add_trade(om.Trade(4, 14.0, 1, 0.5, T))  # later writes write the rows they change
    s["p"] = s["p"]
    assert open_store()["p"] == s["p"]


def test_what_a_rolled_back_block_added_or_removed_is_kept_no_longer_than_needed(open_store):
    s = open_store()
    s.update({k: position(k, 1.0) for k in "abcdefgh"})
    mine = position("new", 2.0)
    with pytest.raises(ZeroDivisionError):
        with s.batch():
            s["new"] = mine
            del s["new"]  # a row the block added: its id may serve another key later
            for k in "abcdefgh":
                s[k] = s[k]
            1 / 0
    open_store()["other"] = position("new", 2.0)  # (SQLite gives the id back)
    assert s["other"] is not mine
    loads = s._stats()["bulk_loads"]
    assert list(s.values()) == list(open_store().values()) and s._stats()["bulk_loads"] == loads + 1
    held = s["a"]
    with pytest.raises(ZeroDivisionError):
        with s.batch():
            s["a"] = held
            1 / 0
    assert any(o is held for o in gc.get_referents(s))  # kept for the next read
    del s["a"]
    assert not any(o is held for o in gc.get_referents(s))  # not once it is removed


def test_nested_failure_rolls_back_only_the_inner_level(open_store):
    s = open_store()
    with s.transaction():
        s["outer"] = [1]
        with pytest.raises(KeyError):
            with s.transaction():
                s["outer"] = [2]
                s["inner"] = 1
                del s["missing"]
        assert s["outer"] == [1] and "inner" not in s
        with s.transaction():
            s["inner2"] = 2
    assert dict(open_store()) == {"outer": [1], "inner2": 2}


def test_rows_of_a_rolled_back_level_do_not_haunt_later_inserts(open_store):
    s = open_store()
    s["first"] = 1
    with s.transaction():
        with pytest.raises(KeyError):
            with s.transaction():
                s["ghost"] = "rolled back"
                raise KeyError
        s["real"] = "kept"  # may take the row id the ghost had
        assert list(s.items()) == [("first", 1), ("real", "kept")]
    assert list(s.items()) == [("first", 1), ("real", "kept")] == list(open_store().items())


def test_transaction_is_atomic_for_other_connections(open_store):
    s, other = open_store(), open_store()
    with s.transaction():
        s["a"] = 1
        s["b"] = 2
        seen = dict(other)
    assert seen == {} and dict(other) == {"a": 1, "b": 2}


def test_reads_inside_a_transaction_see_the_latest_commit(open_store):
    s, other = open_store(), open_store()
    s["n"] = 1
    assert s["n"] == 1
    other["n"] = 2
    with s.transaction():
        assert s["n"] == 2
        s["n"] = s["n"] + 1
    assert other["n"] == 3


def test_transaction_misuse(open_store):
    s = open_store()
    tx = s.transaction()
    with pytest.raises(RuntimeError):
        tx.__exit__(None, None, None)
    outer, inner = s.transaction(), s.transaction()
    outer.__enter__()
    inner.__enter__()
    with pytest.raises(RuntimeError, match="nest"):
        outer.__exit__(None, None, None)
    inner.__exit__(None, None, None)
    outer.__exit__(None, None, None)
    with tx:
        with pytest.raises(RuntimeError, match="already entered"):
            tx.__enter__()
    # A block belongs to the thread that opened it: another thread's use of
    # the database meanwhile (any map) is refused, having changed nothing.
    s["kept"], other_map = 0, s.map("other")
    calls = [lambda: s["kept"], lambda: s.__setitem__("theirs", 1), lambda: other_map.get("x"),
             lambda: other_map.__setitem__("x", 1), lambda: s.transaction().__enter__(),
             lambda: s.on_rollback(print)]
    outcomes = []

    def from_another_thread(calls=calls):
        for call in calls:
            try:
                outcomes.append(call())
            except RuntimeError as e:
                outcomes.append(str(e))

    with pytest.raises(ZeroDivisionError):
        with s.transaction():
            s["mine"] = 1
            t = threading.Thread(target=from_another_thread)
            t.start()
            t.join()
            s["mine"] = 2
            1 / 0
    assert outcomes == ["DualCache has a transaction block open in another thread "
                        "(a DualCache object is for one thread at a time)"] * len(calls)
    assert dict(s) == {"kept": 0} == dict(open_store()) and len(other_map) == 0
    outcomes.clear()
    t = threading.Thread(target=from_another_thread, args=(calls[:4],))  # the block ended: they run
    t.start()
    t.join()
    assert outcomes == [0, None, None, None] and s["theirs"] == 1 and dict(other_map) == {"x": 1}

    # Ending a block is no use of it: a generator holding one may be finished,
    # or closed (as when collected), in another thread than the one it began in.
    def holding(value):
        with s.transaction():
            s["held"] = value
            yield

    for value, end in [("committed", lambda g: next(g, None)), ("rolled back", lambda g: g.close())]:
        g = holding(value)
        t = threading.Thread(target=next, args=(g,))
        t.start()
        t.join()
        end(g)
        assert not s.in_transaction
    assert open_store()["held"] == "committed"


def test_close_inside_a_transaction_rolls_back(open_store):
    s = open_store()
    with pytest.raises(dc.StoreError, match="closed"):
        with s.transaction():
            s["a"] = 1
            s.close()
    assert dict(open_store()) == {}


@pytest.mark.sqlite_only
def test_a_writer_waits_for_the_lock_instead_of_failing(open_store):
    s = open_store()
    s["k"] = 0
    locked = threading.Event()

    def hold_lock():
        con = sqlite3.connect(s.path, isolation_level=None)
        con.execute("BEGIN IMMEDIATE")
        locked.set()
        time.sleep(0.3)
        con.execute("COMMIT")
        con.close()

    t = threading.Thread(target=hold_lock)
    t.start()
    locked.wait()
    start = time.monotonic()
    s["k"] = 1  # waits without holding the GIL, then succeeds
    assert time.monotonic() - start >= 0.2
    t.join()
    assert open_store()["k"] == 1


def test_reentry_from_a_key_is_refused(open_store):
    s = open_store()

    class Nasty:
        def __hash__(self):
            return 1

        def __eq__(self, other):
            len(s)
            return True

    s[1] = "x"
    with pytest.raises(RuntimeError, match="in use"):
        s[Nasty()] = 2
    assert dict(s) == {1: "x"}
