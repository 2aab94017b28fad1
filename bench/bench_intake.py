"""OrderMgr.add_trade on the persistent store, beside a plain-Python order
manager built from dataclasses, the standard library's sqlite3 and pickle with
the same durability (WAL journal, synchronous=FULL, one transaction per fill,
or one for a whole back-fill)."""

import datetime
import os
import pickle
import random
import sqlite3
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _plain  # noqa: E402

import marlovent.ordermgr as om  # noqa: E402

STAMP = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc)


class PlainMgr:
    """The order manager's intake in idiomatic Python over sqlite3 + pickle."""

    def __init__(self, path):
        self.db = sqlite3.connect(path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=FULL")
        self.db.execute("CREATE TABLE IF NOT EXISTS positions (key BLOB PRIMARY KEY, value BLOB)")
        self.cache = {}
        self.batch = False

    def get(self, key):
        if key in self.cache:
            return self.cache[key]
        row = self.db.execute("SELECT value FROM positions WHERE key = ?", (pickle.dumps(key),)).fetchone()
        value = pickle.loads(row[0]) if row else None
        if value is not None:
            self.cache[key] = value
        return value

    def add_trade(self, key, trade):
        if not self.batch:
            self.db.execute("BEGIN IMMEDIATE")
        pos = self.get(key)
        existing = pos is not None
        if pos is None:
            pos = _plain.Position(key)
        if pos.add_trade(trade):
            self.db.execute("INSERT OR REPLACE INTO positions VALUES (?, ?)",
                            (pickle.dumps(key), pickle.dumps(pos, protocol=5)))
            self.cache[key] = pos
        elif existing and pos.empty:
            self.db.execute("DELETE FROM positions WHERE key = ?", (pickle.dumps(key),))
            self.cache.pop(key, None)
        if not self.batch:
            self.db.execute("COMMIT")

    def begin_batch(self):
        self.db.execute("BEGIN IMMEDIATE")
        self.batch = True

    def end_batch(self):
        self.db.execute("COMMIT")
        self.batch = False


def fills(mod, n, keys):
    rng = random.Random(n)
    return [(f"K{rng.randrange(keys)}", mod.Trade(i, rng.uniform(10, 20), rng.choice([1, 2, 3]), 0.1, STAMP))
            for i in range(n)]


def rate(label, n, ours, plain):
    print(f"  {label:<46} ours {n / ours:>10,.0f} fills/s   plain {n / plain:>10,.0f} fills/s   "
          f"ratio {plain / ours:5.1f}x")


def intake(tmp):
    print("OrderMgr.add_trade over 1,000 keys")
    os.environ["QUENTARIS_DATA_DIR"] = tmp
    n = 2_000
    ours_fills, plain_fills = fills(om, n, 1_000), fills(_plain, n, 1_000)
    mgr = om.OrderMgr("durable")
    plain = PlainMgr(os.path.join(tmp, "plain-durable.sqlite"))
    t0 = time.perf_counter()
    for key, trade in ours_fills:
        mgr.add_trade(key, trade)
    t_ours = time.perf_counter() - t0
    t0 = time.perf_counter()
    for key, trade in plain_fills:
        plain.add_trade(key, trade)
    t_plain = time.perf_counter() - t0
    rate(f"{n:,} fills, one durable transaction each", n, t_ours, t_plain)

    n = 100_000
    ours_fills, plain_fills = fills(om, n, 1_000), fills(_plain, n, 1_000)
    mgr = om.OrderMgr("backfill")
    plain = PlainMgr(os.path.join(tmp, "plain-backfill.sqlite"))
    t0 = time.perf_counter()
    with mgr.positions.batch():
        for key, trade in ours_fills:
            mgr.add_trade(key, trade)
    t_ours = time.perf_counter() - t0
    t0 = time.perf_counter()
    plain.begin_batch()
    for key, trade in plain_fills:
        plain.add_trade(key, trade)
    plain.end_batch()
    t_plain = time.perf_counter() - t0
    rate(f"{n:,} fills inside one batch()", n, t_ours, t_plain)


def long_lived(tmp):
    print("One long-lived position: cost of one more add_trade (median of 30)")
    os.environ["QUENTARIS_DATA_DIR"] = tmp
    base = None
    for size in (10, 1_000, 10_000):
        mgr = om.OrderMgr(f"long {size}")
        with mgr.positions.batch():
            for i in range(size):
                mgr.add_trade("K", om.Trade(i, 10.0, 1, 0.0, STAMP))
        samples, written = [], []
        for i in range(size, size + 30):
            before = mgr.positions._stats()["bytes_written"]
            t0 = time.perf_counter()
            mgr.add_trade("K", om.Trade(i, 10.0, 1, 0.0, STAMP))
            samples.append(time.perf_counter() - t0)
            written.append(mgr.positions._stats()["bytes_written"] - before)
        us = statistics.median(samples) * 1e6
        base = base or us
        print(f"  {size:>6,} trades held: {us:9,.0f} us per add_trade, {statistics.median(written):6,.0f} bytes "
              f"written   ({us / base:4.1f}x the cost at 10)")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        intake(tmp)
        long_lived(tmp)


if __name__ == "__main__":
    main()
