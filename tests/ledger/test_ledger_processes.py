"""The ledger across processes, on both stores: a day recorded in one process
reads back the same in a fresh one; a writer killed (SIGKILL) between any two
of its writes leaves ledger and positions agreeing, and running the day again
completes it; on PostgreSQL a connection cut after COMMIT was sent leaves them
agreeing too."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import ledger_stream
from marlovent.ledger import Fill, Ledger

HERE = Path(__file__).resolve().parent


def child(data_dir, limit):
    return subprocess.run(
        [sys.executable, str(HERE / "ledger_stream.py"), data_dir, str(limit)], capture_output=True, text=True, timeout=120
    )


def fresh_digest(data_dir, name):
    code = (
        f"import os, sys; sys.path.insert(0, {str(HERE)!r}); os.environ['QUENTARIS_DATA_DIR'] = {data_dir!r}\n"
        "import marlovent.ordermgr as om, ledger_stream\nfrom marlovent.ledger import Ledger\n"
        f"print(ledger_stream.digest(Ledger(om.OrderMgr({name!r}))))"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


def replayed(om, ledger, name):
    """A scratch portfolio given ``ledger``'s fills and terms, in time order."""
    copy = Ledger(om.OrderMgr(name))
    copy.clear()
    for key in ledger.keys():
        terms = ledger.instrument(key)
        copy.set_instrument(key, multiplier=terms.multiplier, currency=terms.currency)
    for f in ledger.fills():
        copy.record(f)
    return copy


def test_a_day_reads_back_the_same_in_a_fresh_process(om, any_data_dir):
    r = child(any_data_dir, 0)
    assert r.returncode == 0, r.stderr
    ledger = Ledger(om.OrderMgr("killed day"))
    seen = ledger_stream.digest(ledger)
    assert fresh_digest(any_data_dir, "killed day") == seen
    # Every figure is what the fills, recorded afresh in time order, give.
    assert ledger_stream.digest(replayed(om, ledger, "replayed")) == seen
    assert [t.key for t in ledger.history()] == ["SPY 440P", "AAPL", "SPY 440P"]
    ledger.mgr.positions.close()


def test_a_writer_killed_between_any_two_writes(om, any_data_dir, backend):
    writes = int(child(any_data_dir, 0).stdout)
    reference = ledger_stream.digest(Ledger(om.OrderMgr("killed day")))
    om.OrderMgr("killed day").positions.destroy()
    # Every write on SQLite; every third on the server (each child pays for its connections).
    for limit in range(1, writes + 1, 1 if backend == "sqlite" else 3):
        r = child(any_data_dir, limit)
        assert r.returncode == -9, (limit, r.stdout, r.stderr)
        ledger = Ledger(om.OrderMgr("killed day"))
        # What the killed run left is whole: the positions are what its fills make.
        assert ledger_stream.digest(ledger) == ledger_stream.digest(replayed(om, ledger, "replayed")), limit
        # Running the day again completes it.
        ledger_stream.run(ledger, tolerant=True)
        assert ledger_stream.digest(ledger) == reference, limit
        ledger.mgr.positions.destroy()


def test_a_connection_cut_after_commit(om, pg_server, monkeypatch):
    sys.path.insert(0, str(HERE.parent / "store"))
    from test_store_server import CutAfterCommit

    uri = pg_server.schema_uri()
    relay = CutAfterCommit(pg_server.port)
    try:
        via = uri.replace(f":{pg_server.port}/", f":{relay.port}/") + "&sslmode=disable"
        monkeypatch.setenv("QUENTARIS_DATA_DIR", via)
        ledger = Ledger(om.OrderMgr("cut"))
        ops = ledger_stream.OPS
        ledger_stream.run(ledger, ops[:4])
        relay.armed = True
        from zelph.dualcache import StoreError

        with pytest.raises(StoreError) as info:
            ledger_stream.run(ledger, ops[4:6])
        assert relay.cut.is_set() and info.value.sqlstate == "08007"
        # Whether the cut transaction was stored is unknown; either way the
        # ledger and the positions agree, and the day run again completes.
        monkeypatch.setenv("QUENTARIS_DATA_DIR", uri)
        direct = Ledger(om.OrderMgr("cut"))
        assert ledger_stream.digest(direct) == ledger_stream.digest(replayed(om, direct, "cut replayed"))
        ledger_stream.run(direct, tolerant=True)
        clean = Ledger(om.OrderMgr("clean"))
        ledger_stream.run(clean)
        assert ledger_stream.digest(direct) == ledger_stream.digest(clean)
        assert isinstance(direct.get("F1"), Fill)
    finally:
        relay.close()
        sys.path.remove(str(HERE.parent / "store"))
