"""Several processes: each sees the others' commits at its next operation,
a writer killed at any moment leaves a sound file holding every write that
returned, and concurrent writers using transaction() lose nothing."""

import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import open_store, prefix, run_py  # noqa: F401


def spawn(code, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def run_together(code, argument_lists, timeout=120):
    """Starts one process per argument list, lets them go at once, waits."""
    children = [spawn(code, *args) for args in argument_lists]
    for c in children:
        c.stdin.write("go\n")
        c.stdin.flush()
    for c in children:
        _, err = c.communicate(timeout=timeout)
        assert c.returncode == 0, err


def integrity(path):
    if path.startswith("postgresql://"):
        return "ok"  # a server store has no file of its own to check
    con = sqlite3.connect(path)
    try:
        return con.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        con.close()


def test_order_and_values_survive_a_restart(open_store, prefix):
    s = open_store("restart")
    for k in ["b", "a", 3, (1, "x"), "c"]:
        s[k] = om.Position(k, {f"o{k}": om.Trade(f"o{k}", 1.5, 2, 0.25, om.datetime.datetime(2024, 1, 1))})
    del s["a"]
    s["a"] = [1]
    s["b"] = "replaced"
    expected = repr(list(s.items()))
    out = run_py("""
        import sys, zelph.dualcache as dc, marlovent.ordermgr
        print(repr(list(dc.DualCache(cacheName="restart", cachePrefix=sys.argv[1]).items())))
    """, prefix).stdout.strip()
    assert out == expected


PARTNER = """
import sys, zelph.dualcache as dc
s = dc.DualCache(cacheName="pingpong", cachePrefix=sys.argv[1])
for line in sys.stdin:
    print(repr(eval(line, {"s": s})), flush=True)
"""


def test_two_processes_see_each_others_changes(open_store, prefix):
    s = open_store("pingpong")
    child = spawn(PARTNER, prefix)

    def ask(expr):
        child.stdin.write(expr + "\n")
        child.stdin.flush()
        return child.stdout.readline().strip()

    try:
        s["x"] = 1
        assert ask("s['x']") == "1"
        assert ask("s.__setitem__('y', [2])") == "None"
        assert s["y"] == [2] and list(s) == ["x", "y"]
        del s["x"]
        assert ask("list(s)") == "['y']"
        assert ask("s.update(z=3)") == "None"
        with s.transaction():
            s["y"] = s["y"] + [3]
        assert ask("(s['y'], len(s))") == "([2, 3], 2)"
        s.clear()
        assert ask("bool(s)") == "False"
    finally:
        child.communicate(timeout=30)


CRASH_WRITER = """
import sys, datetime as dt, zelph.dualcache as dc, marlovent.ordermgr as om
s = dc.DualCache(cacheName="crash", cachePrefix=sys.argv[1])
p = s.get("pos") or om.Position("pos")
i = len(p.trades)
while True:
    i += 1
    s[f"k{i}"] = "v" * (i % 300)
    p.add_trade(om.Trade(f"t{i}", 1.0 + i, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)))
    s["pos"] = p
    print(i, flush=True)
"""


def test_killed_writer_leaves_every_returned_write(prefix):
    rng = random.Random(1234)
    returned = []
    for _ in range(4):
        child = spawn(CRASH_WRITER, prefix)
        time.sleep(rng.uniform(0.3, 0.9))
        os.kill(child.pid, signal.SIGKILL)
        out, _ = child.communicate()
        returned += [int(x) for x in out.split("\n")[:-1]]  # complete lines only
        s = dc.DualCache(cacheName="crash", cachePrefix=prefix)
        assert integrity(s.path) == "ok"
        assert returned, "the writer never wrote"
        trades = s["pos"].trades
        for i in returned:
            assert s[f"k{i}"] == "v" * (i % 300)
            assert trades[f"t{i}"].price == 1.0 + i
        assert list(trades) == [f"t{i}" for i in range(1, len(trades) + 1)]
        s.close()


CONCURRENT = """
import sys, datetime as dt, zelph.dualcache as dc, marlovent.ordermgr as om
me, n = sys.argv[2], int(sys.argv[3])
s = dc.DualCache(cacheName="busy", cachePrefix=sys.argv[1])
sys.stdin.readline()  # start together
for i in range(n):
    with s.transaction():
        p = s.get("pos") or om.Position("pos")
        p.add_trade(om.Trade(f"{me}-{i}", 1.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)))
        s["pos"] = p
        s["count"] = s.get("count", 0) + 1
    s[f"{me}-{i}"] = i  # plain writes, one transaction each
"""


def test_concurrent_writers_lose_nothing(prefix):
    n, procs = 60, 4
    dc.DualCache(cacheName="busy", cachePrefix=prefix).close()
    run_together(CONCURRENT, [(prefix, f"w{j}", n) for j in range(procs)])
    s = dc.DualCache(cacheName="busy", cachePrefix=prefix)
    assert s["count"] == n * procs
    assert sorted(s["pos"].trades) == sorted(f"w{j}-{i}" for j in range(procs) for i in range(n))
    assert len(s) == 2 + n * procs
    assert integrity(s.path) == "ok"


OPENER = """
import sys, zelph.dualcache as dc
sys.stdin.readline()
s = dc.DualCache(cacheName="race", cachePrefix=sys.argv[1])
s[sys.argv[2]] = 1
"""


@pytest.mark.parametrize("empty_file", [False, True])
def test_processes_creating_one_store_at_once(tmp_path, empty_file):
    for round in range(3):
        prefix = str(tmp_path / f"r{round}" / "s-")
        if empty_file:
            os.makedirs(os.path.dirname(prefix))
            open(prefix + "race.sqlite", "wb").close()
        run_together(OPENER, [(prefix, f"p{j}") for j in range(6)])
        s = dc.DualCache(cacheName="race", cachePrefix=prefix)
        assert sorted(s) == [f"p{j}" for j in range(6)]
        s.close()
        assert os.listdir(os.path.dirname(prefix)) == ["s-race.sqlite"]


def test_threads_with_their_own_stores_write_at_once(prefix):
    import threading

    errors = []

    def worker(me):
        try:
            s = dc.DualCache(cacheName="threads", cachePrefix=prefix)
            for i in range(40):
                with s.transaction():
                    s["count"] = s.get("count", 0) + 1
                s[f"{me}-{i}"] = i
            s.close()
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(f"t{j}",)) for j in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    s = dc.DualCache(cacheName="threads", cachePrefix=prefix)
    assert s["count"] == 120 and len(s) == 121


FORKER = """
import os, sys, sqlite3, zelph.dualcache as dc
s = dc.DualCache(cacheName="fork", cachePrefix=sys.argv[1])
s["before"] = 1
pid = os.fork()
if pid == 0:
    msgs = []
    for op in (lambda: s["before"], lambda: s.__setitem__("child", 1), s.destroy):
        try:
            op()
            msgs.append("no error")
        except dc.StoreError as e:
            msgs.append("fork" in str(e))
    s.close()
    del s  # the inherited connection is left alone
    fresh = dc.DualCache(cacheName="fork", cachePrefix=sys.argv[1])
    fresh["child"] = 2
    fresh.close()
    print(msgs, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
s["after"] = 3
server = s.path.startswith("postgresql://")
print(sorted(s), "ok" if server else sqlite3.connect(s.path).execute("PRAGMA integrity_check").fetchone()[0])
"""


def test_a_forked_child_must_open_its_own_store(prefix):
    lines = run_py(FORKER, prefix).stdout.splitlines()
    assert lines == ["[True, True, True]", "['after', 'before', 'child'] ok"]
