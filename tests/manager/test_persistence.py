"""The order manager on the real store: restarts, failed writes, crashes and
concurrent processes."""

import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time

import pytest

import support
from support import ts

zelph = pytest.importorskip("zelph.dualcache")
if not hasattr(zelph.DualCache, "transaction"):
    pytest.skip("needs the persistent store", allow_module_level=True)


def python(code, data_dir, *args, **kw):
    env = dict(os.environ, QUENTARIS_DATA_DIR=str(data_dir))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def test_positions_survive_a_new_process(om, mgr, data_dir):
    mgr.add_trade("IBM", om.Trade(1, 100.0, 10, 1.0, ts()))
    mgr.add_trade(("ES", 2024), om.Trade("a", 5000.25, -2, 2.5, ts(1)))
    mgr.add_trade(7, om.Trade(2, 3, 4, 0, ts(2)))
    mgr.update_commission("IBM", 1, 1.5)
    p = python("""
        import marlovent.ordermgr as om
        m = om.OrderMgr("test book")
        print(repr(list(m.positions.items())))
    """, data_dir)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    assert out.strip() == repr(list(mgr.positions.items()))


class HashFails(support.HashFails):
    pass


zelph.register(HashFails, "tests.persistence.HashFails", fields=("n",))


@pytest.mark.parametrize("failing", ["store", "order id"])
@pytest.mark.parametrize("case", ["new key", "write back", "flat reset"])
def test_failed_write_puts_memory_back(om, mgr, case, failing):
    """A fill that fails (the store refuses its write, or its order id's hash
    raises at any one of its calls) leaves the position a caller holds, the
    store's memory and its file as they were."""
    store = mgr.positions
    if case != "new key":
        mgr.add_trade("X", om.Trade(1, 100.0, 10, 0.0, ts()))
        mgr.add_trade("X", om.Trade(2, 101.0, 5, 0.0, ts()))
    before = {k: dict(v.trades) for k, v in store.items()}
    live = store.get("X")
    qty = {"new key": 3, "write back": 1, "flat reset": -15}[case]
    error = zelph.StoreError if failing == "store" else KeyboardInterrupt
    for fail_at in range(1, 100):
        if failing == "store":
            store._fail_writes(0)
        HashFails.calls, HashFails.fail_at = 0, fail_at
        try:
            mgr.add_trade("X", om.Trade(3 if failing == "store" else HashFails(3), 99.0, qty, 0.0, ts()))
        except error:
            pass
        else:
            assert failing == "order id" and fail_at > 1
            break
        finally:
            store._fail_writes(-1)
            HashFails.fail_at = None
        if live is not None:
            assert live.trades == before["X"] and list(live.trades) == list(before["X"])
        assert {k: dict(v.trades) for k, v in store.items()} == before
        reopened = om.OrderMgr(mgr.namespace)
        assert {k: dict(v.trades) for k, v in reopened.positions.items()} == before
        if failing == "store":
            return
    else:
        pytest.fail("the fill never went through")


@pytest.mark.parametrize("qty", [1, -15])
def test_fills_after_a_refused_write_are_kept_and_persisted(om, mgr, qty):
    # The undo removes only what the refused call changed; the figures kept
    # with the book and the store's record of what it wrote follow it.
    for i in range(1, 40):
        mgr.add_trade("X", om.Trade(i, 100.0 + i, 10 if i % 2 else 5, 0.25, ts(i)))
    live = mgr.positions["X"]
    mgr.positions._fail_writes(0)
    try:
        with pytest.raises(zelph.StoreError):
            mgr.add_trade("X", om.Trade("refused", 99.0, qty if qty > 0 else -live.qty, 0.0, ts()))
    finally:
        mgr.positions._fail_writes(-1)
    assert "refused" not in live.trades and live.qty == sum(t.qty for t in live.trades.values())
    assert len(live.trades) == 39
    mgr.add_trade("X", om.Trade("next", 98.0, 3, 0.5, ts(99)))
    mgr.update_commission("X", 5, 2.0)
    now = mgr.positions["X"]
    assert repr(now.average_price) == repr(om.Position("copy", dict(now.trades)).average_price)
    reopened = om.OrderMgr(mgr.namespace).positions["X"]
    assert list(reopened.trades) == list(now.trades) and reopened.trades == now.trades and len(now.trades) == 40


def test_failed_commission_write_restores_commission(om, mgr):
    mgr.add_trade("X", om.Trade(1, 100.0, 10, 1.0, ts()))
    mgr.positions._fail_writes(0)
    try:
        with pytest.raises(zelph.StoreError):
            mgr.update_commission("X", 1, 9.0)
    finally:
        mgr.positions._fail_writes(-1)
    assert mgr.positions["X"].trades[1].commission == 1.0
    assert om.OrderMgr(mgr.namespace).positions["X"].trades[1].commission == 1.0


WRITER = """
    import sys, datetime
    import marlovent.ordermgr as om
    m = om.OrderMgr("crash book")
    stamp = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    i = 0
    while True:
        m.add_trade(f"K{i % 13}", om.Trade(i, 1.0 + i, 1, 0.01, stamp))
        print(i, flush=True)
        i += 1
"""


def test_killed_writer_loses_no_returned_fill(om, data_dir):
    rng = random.Random(5)
    for _ in range(3):
        p = python(WRITER, data_dir)
        time.sleep(rng.uniform(0.3, 1.2))
        p.send_signal(signal.SIGKILL)
        out, _ = p.communicate()
        done = [int(x) for x in out.split()]
        m = om.OrderMgr("crash book")
        stored = {oid for pos in m.positions.values() for oid in pos.trades}
        assert set(done) <= stored
        assert stored <= set(range(max(done, default=-1) + 2))
        if not m.positions.path.startswith("postgresql://"):
            con = sqlite3.connect(m.positions.path)
            assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
            con.close()
        m.clear()


ADDER = """
    import sys, datetime
    import marlovent.ordermgr as om
    worker, count = int(sys.argv[1]), int(sys.argv[2])
    m = om.OrderMgr("shared book")
    stamp = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    for i in range(count):
        m.add_trade(f"K{i % 5}", om.Trade((worker, i), 10.0, 1, 0.0, stamp))
    print("done")
"""


def test_concurrent_processes_lose_nothing(om, data_dir):
    workers, count = 4, 2000
    om.OrderMgr("shared book")  # created before the race
    procs = [python(ADDER, data_dir, w, count) for w in range(workers)]
    for p in procs:
        out, err = p.communicate(timeout=600)
        assert p.returncode == 0, err
    m = om.OrderMgr("shared book")
    stored = {oid for pos in m.positions.values() for oid in pos.trades}
    assert len(stored) == workers * count
    assert sum(pos.qty for pos in m.positions.values()) == workers * count


def test_fraction_quantities_survive_exactly(om, mgr, data_dir):
    from fractions import Fraction

    mgr.add_trade("X", om.Trade(1, 10.0, Fraction(1, 3), 0.0, ts()))
    mgr.add_trade("X", om.Trade(2, 11.0, Fraction(-1, 7), Fraction(1, 10**30), ts(1)))
    p = python("""
        import marlovent.ordermgr as om
        pos = om.OrderMgr("test book").positions["X"]
        print(repr([(t.qty, t.commission) for t in pos.trades.values()]), repr(pos.qty))
    """, data_dir)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 0, err
    assert out.strip() == "[(Fraction(1, 3), 0.0), (Fraction(-1, 7), Fraction(1, 1000000000000000000000000000000))] " \
        "Fraction(4, 21)"
