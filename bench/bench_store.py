"""Store-level figures for zelph.dualcache, each beside a plain-Python
equivalent measured in the same run (dataclasses + the standard library's
sqlite3 and pickle, WAL journal with synchronous=FULL, one transaction per
write).

1. Writing back a position after adding one trade, at 10, 1,000 and 10,000
   trades: microseconds and bytes written per write.
2. Opening a store of 100,000 positions of 10 trades each and reading one:
   time and peak memory (each in a fresh process).
3. Many small writes: one transaction each versus one batch().
4. With BENCH_BASELINE set to the site-packages directory of an earlier
   build: what the stored format costs, both builds measured in the same
   run (alternating, fresh processes): batched intake, file size and open
   time of 100,000 positions.
"""

import dataclasses
import datetime as dt
import os
import pickle
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import marlovent.ordermgr as om
import zelph.dualcache as dc

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)
RUNS = 5


@dataclasses.dataclass
class PTrade:
    orderid: object
    price: float
    qty: float
    commission: float
    timestamp: dt.datetime


@dataclasses.dataclass
class PPosition:
    key: object
    trades: dict = dataclasses.field(default_factory=dict)


class PlainStore:
    """The plain-Python equivalent: pickled values in one SQLite table."""

    def __init__(self, path):
        self.con = sqlite3.connect(path, isolation_level=None)
        self.con.execute("PRAGMA journal_mode=WAL")
        self.con.execute("PRAGMA synchronous=FULL")
        self.con.execute("PRAGMA wal_autocheckpoint=0")  # so that WAL growth measures bytes written
        self.con.execute("CREATE TABLE IF NOT EXISTS kv(k BLOB PRIMARY KEY, v BLOB)")
        self.path = path
        self.in_batch = False

    def __setitem__(self, key, value):
        k, v = pickle.dumps(key), pickle.dumps(value, protocol=5)
        if self.in_batch:
            self.con.execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (k, v))
            return
        self.con.execute("BEGIN IMMEDIATE")
        self.con.execute("INSERT OR REPLACE INTO kv VALUES (?, ?)", (k, v))
        self.con.execute("COMMIT")

    def __getitem__(self, key):
        (v,) = self.con.execute("SELECT v FROM kv WHERE k = ?", (pickle.dumps(key),)).fetchone()
        return pickle.loads(v)

    def begin(self):
        self.con.execute("BEGIN IMMEDIATE")
        self.in_batch = True

    def commit(self):
        self.con.execute("COMMIT")
        self.in_batch = False

    def wal_size(self):
        try:
            return os.path.getsize(self.path + "-wal")
        except FileNotFoundError:
            return 0


def median_us(samples):
    return statistics.median(samples) * 1e6


def line(label, ours, plain, unit):
    ratio = plain / ours if ours else float("inf")
    print(f"  {label:<34} {ours:>12,.1f} {unit:<6} plain {plain:>12,.1f} {unit:<6} plain/ours {ratio:6.2f}x")


# --- 1. write-back of a long-lived position ------------------------------------------


def write_back(tmp):
    print(f"1. Write-back of one position after one more trade (median of {RUNS} runs x 30 writes; "
          "the trade added by the previous write is removed first, so the size stays N)")
    results = {}
    for n in (10, 1_000, 10_000):
        store = dc.DualCache(cacheName=f"wb{n}", cachePrefix=tmp + "/")
        plain = PlainStore(f"{tmp}/plain-wb{n}.db")
        pos = om.Position("K", {f"o{i}": om.Trade(f"o{i}", 100.0 + i % 7, 1, 0.5, T0) for i in range(n)})
        ppos = PPosition("K", {f"o{i}": PTrade(f"o{i}", 100.0 + i % 7, 1, 0.5, T0) for i in range(n)})
        store["K"] = pos
        plain["K"] = ppos
        extra = [None]

        def ours_once(timings):
            if extra[0]:
                del pos.trades[extra[0]]
            extra[0] = f"n{len(timings)}-{time.perf_counter_ns()}"
            t = time.perf_counter()
            pos.add_trade(om.Trade(extra[0], 101.0, 1, 0.5, T0))
            t1 = time.perf_counter()
            store["K"] = pos
            timings.append((t1 - t, time.perf_counter() - t1))

        def plain_once(timings):
            ppos.trades.pop(extra[0], None)
            extra[0] = f"p{len(timings)}-{time.perf_counter_ns()}"
            ppos.trades[extra[0]] = PTrade(extra[0], 101.0, 1, 0.5, T0)
            t = time.perf_counter()
            plain["K"] = ppos
            timings.append(time.perf_counter() - t)

        fig = {k: [] for k in ("add", "write", "nosync", "wal", "payload", "plain", "plain_nosync", "plain_wal")}
        for _ in range(RUNS):
            before, timings = store._stats(), []
            for _ in range(30):
                ours_once(timings)
            after = store._stats()
            fig["add"].append(statistics.median(a for a, _ in timings))
            fig["write"].append(statistics.median(w for _, w in timings))
            fig["wal"].append((after["wal_frames"] - before["wal_frames"]) * after["page_size"] / 30)
            fig["payload"].append((after["bytes_written"] - before["bytes_written"]) / 30)
            timings = []
            with store.batch():
                for _ in range(30):
                    ours_once(timings)
            fig["nosync"].append(statistics.median(w for _, w in timings))
            extra[0] = None
            w0, timings = plain.wal_size(), []
            for _ in range(30):
                plain_once(timings)
            fig["plain_wal"].append(max(plain.wal_size() - w0, 0) / 30)
            fig["plain"].append(statistics.median(timings))
            plain.begin()
            timings = []
            for _ in range(30):
                plain_once(timings)
            plain.commit()
            fig["plain_nosync"].append(statistics.median(timings))
            extra[0] = None
        m = {k: statistics.median(v) for k, v in fig.items()}
        results[n] = m
        print(f"  {n:>6} trades: ours {m['write'] * 1e6:7,.0f} us/write ({m['nosync'] * 1e6:5,.0f} us without the "
              f"sync), {m['wal']:7,.0f} B WAL, {m['payload']:4,.0f} B payload; Position.add_trade "
              f"{m['add'] * 1e6:5,.0f} us")
        print(f"  {'':>6}         plain {m['plain'] * 1e6:6,.0f} us/write ({m['plain_nosync'] * 1e6:5,.0f} us without "
              f"the sync), {m['plain_wal']:7,.0f} B WAL | plain/ours {m['plain'] / m['write']:5.1f}x")
        store.close()
    a, b = results[10_000], results[10]
    print(f"  cost at 10,000 trades / at 10: ours {a['write'] / b['write']:.2f}x (target <= 10x; "
          f"{a['nosync'] / b['nosync']:.0f}x without the sync), plain {a['plain'] / b['plain']:.1f}x "
          f"({a['plain_nosync'] / b['plain_nosync']:.0f}x without the sync)")


# --- 2. opening a large store -------------------------------------------------------

BUILD = """
import sys, pickle, datetime as dt
import marlovent.ordermgr as om, zelph.dualcache as dc
sys.path.insert(0, sys.argv[2])
from bench_store import PlainStore, PPosition, PTrade
tmp, n = sys.argv[1], int(sys.argv[3])
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
with s.batch():
    for i in range(n):
        s[f"K{i}"] = om.Position(f"K{i}", {f"o{i}-{j}": om.Trade(f"o{i}-{j}", 100.0 + j, 1, 0.5, T0) for j in range(10)})
s.close()
p = PlainStore(tmp + "/plain-big.db")
p.begin()
for i in range(n):
    p[f"K{i}"] = PPosition(f"K{i}", {f"o{i}-{j}": PTrade(f"o{i}-{j}", 100.0 + j, 1, 0.5, T0) for j in range(10)})
p.commit()
"""

OPEN = """
import sys, time, tracemalloc, resource, pickle
tmp, which = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
import marlovent.ordermgr, zelph.dualcache as dc
from bench_store import PlainStore, PPosition, PTrade
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
whole = "every value" in which or which in ("ours, key by key", "ours, shuffled")
if not whole:  # tracing a million objects would be most of what is timed
    tracemalloc.start()
t = time.perf_counter()
if which == "ours":
    s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
    v = s["K77777"]
elif which == "ours, every value":  # one read of the whole store
    s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
    every = list(s.values())
    v = s["K77777"]
elif which == "ours, key by key":  # in the store's order: the rest in one pass after a run of reads
    s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
    every = [s[k] for k in s]
    v = s["K77777"]
elif which == "ours, shuffled":  # one read per entry
    import random
    s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
    keys = list(s)
    random.Random(1).shuffle(keys)
    every = [s[k] for k in keys]
    v = s["K77777"]
elif which == "plain, every value":
    s = PlainStore(tmp + "/plain-big.db")
    every = {pickle.loads(k): pickle.loads(b) for k, b in s.con.execute("SELECT k, v FROM kv ORDER BY rowid")}
    v = every["K77777"]
else:
    s = PlainStore(tmp + "/plain-big.db")
    if which == "plain+index":  # a key index as the store keeps one
        index = {pickle.loads(k): None for (k,) in s.con.execute("SELECT k FROM kv")}
    v = s["K77777"]
elapsed = time.perf_counter() - t
peak = tracemalloc.get_traced_memory()[1] if not whole else float("nan")
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
assert len(v.trades) == 10 and v.key == "K77777"
print(elapsed, peak, rss * 1024)
"""


def open_large(tmp, n=100_000):
    here = os.path.dirname(os.path.abspath(__file__))
    t = time.perf_counter()
    subprocess.run([sys.executable, "-c", BUILD, tmp, here, str(n)], check=True)
    print(f"3. Open a store of {n:,} positions x 10 trades and read one "
          f"(built in {time.perf_counter() - t:.1f} s; median of 3 fresh processes)")
    figures = {}
    for which in ("ours", "plain", "plain+index", "ours, every value", "ours, key by key", "ours, shuffled",
                  "plain, every value"):
        runs = []
        for _ in range(3):
            out = subprocess.run([sys.executable, "-c", OPEN, tmp, which, here], check=True,
                                 capture_output=True, text=True).stdout.split()
            runs.append(tuple(float(x) for x in out))
        figures[which] = [statistics.median(r[i] for r in runs) for i in range(3)]
    notes = {"ours": "(key index of every key, one value decoded)", "plain": "(one row read, no key index)",
             "plain+index": "(pickled keys loaded into a dict, one row read)",
             "ours, every value": "(values(): every entry read in one pass)",
             "ours, key by key": "(store[k] for every key in order: the rest in one pass after a run)",
             "ours, shuffled": "(store[k] for every key, shuffled: one read each)",
             "plain, every value": "(every row read and unpickled)"}
    for which, (t, peak, rss) in figures.items():
        traced = "not traced" if peak != peak else f"{peak / 2**20:6.1f} MiB"
        print(f"  {which:<18}: {t * 1e3:8.1f} ms, tracemalloc peak {traced:>10}, "
              f"maxrss growth {rss / 2**20:6.1f} MiB {notes[which]}")
    each, one_pass = figures["ours, shuffled"][0], figures["ours, every value"][0]
    print(f"  every value in one pass: {each / one_pass:.2f}x faster than one read each, "
          f"{figures['plain, every value'][0] / one_pass:.2f}x plain")
    size = os.path.getsize(f"{tmp}/big.sqlite")
    psize = os.path.getsize(f"{tmp}/plain-big.db")
    print(f"  file size: ours {size / 2**20:.1f} MiB, plain {psize / 2**20:.1f} MiB")


# --- 3. many writes -------------------------------------------------------------------


def many_writes(tmp, n=2_000):
    print(f"2. {n:,} small writes (positions of 3 trades under {n:,} keys), median of 3 runs")
    pos = [om.Position(f"K{i}", {f"o{j}": om.Trade(f"o{j}", 100.0, 1, 0.5, T0) for j in range(3)}) for i in range(n)]
    ppos = [PPosition(f"K{i}", {f"o{j}": PTrade(f"o{j}", 100.0, 1, 0.5, T0) for j in range(3)}) for i in range(n)]
    res = {"each": ([], []), "batch": ([], [])}
    for run in range(3):
        store = dc.DualCache(cacheName=f"many{run}", cachePrefix=tmp + "/")
        plain = PlainStore(f"{tmp}/plain-many{run}.db")
        t = time.perf_counter()
        for i, p in enumerate(pos):
            store[i] = p
        res["each"][0].append((time.perf_counter() - t) / n)
        t = time.perf_counter()
        for i, p in enumerate(ppos):
            plain[i] = p
        res["each"][1].append((time.perf_counter() - t) / n)
        t = time.perf_counter()
        with store.batch():
            for i, p in enumerate(pos):
                store[n + i] = p
        res["batch"][0].append((time.perf_counter() - t) / n)
        t = time.perf_counter()
        plain.begin()
        for i, p in enumerate(ppos):
            plain[n + i] = p
        plain.commit()
        res["batch"][1].append((time.perf_counter() - t) / n)
        store.close()
    each, batch = res["each"], res["batch"]
    line("one transaction per write", median_us(each[0]), median_us(each[1]), "us")
    line("inside one batch()", median_us(batch[0]), median_us(batch[1]), "us")
    print(f"  batch speed-up: ours {median_us(each[0]) / median_us(batch[0]):.0f}x, "
          f"plain {median_us(each[1]) / median_us(batch[1]):.0f}x")


# --- 4. the stored format beside an earlier build ------------------------------------

FORMAT_CHILD = """
import os, sys, time, random, datetime as dt
import marlovent.ordermgr as om, zelph.dualcache as dc
what, tmp, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
if what == "intake":
    os.environ["QUENTARIS_DATA_DIR"] = tmp
    rng = random.Random(n)
    fills = [(f"K{rng.randrange(1000)}", om.Trade(i, rng.uniform(10, 20), rng.choice([1, 2, 3]), 0.1, T0))
             for i in range(n)]
    mgr = om.OrderMgr("intake")
    t = time.perf_counter()
    with mgr.positions.batch():
        for key, trade in fills:
            mgr.add_trade(key, trade)
    print(n / (time.perf_counter() - t))
elif what == "build":
    s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
    with s.batch():
        for i in range(n):
            s[f"K{i}"] = om.Position(f"K{i}", {f"o{i}-{j}": om.Trade(f"o{i}-{j}", 100.0 + j, 1, 0.5, T0)
                                                for j in range(10)})
    path = s.path
    s.close()
    print(os.path.getsize(path))
else:
    t = time.perf_counter()
    s = dc.DualCache(cacheName="big", cachePrefix=tmp + "/")
    v = s["K77777" if n > 77777 else "K7"]
    print(time.perf_counter() - t)
"""


def format_cost(tmp, baseline, n=100_000, fills=50_000, runs=3):
    print(f"4. The stored format beside the build in {baseline} (same run, alternating; medians of {runs})")
    builds = {"earlier": dict(os.environ, PYTHONPATH=baseline), "this": dict(os.environ)}
    builds["this"].pop("PYTHONPATH", None)

    def child(build, *args):
        out = subprocess.run([sys.executable, "-c", FORMAT_CHILD, *map(str, args)], env=builds[build],
                             check=True, capture_output=True, text=True).stdout
        return float(out.split()[-1])

    figures = {b: {"intake": [], "open": [], "size": []} for b in builds}
    for run in range(runs):
        for b in builds:
            d = tempfile.mkdtemp(dir=tmp)
            figures[b]["intake"].append(child(b, "intake", d, fills))
    for b in builds:
        d = os.path.join(tmp, f"format-{b}")
        os.mkdir(d)
        figures[b]["size"].append(child(b, "build", d, n))
    for run in range(runs):
        for b in builds:
            figures[b]["open"].append(child(b, "open", os.path.join(tmp, f"format-{b}"), n))
    m = {b: {k: statistics.median(v) for k, v in f.items()} for b, f in figures.items()}
    e, t = m["earlier"], m["this"]
    print(f"  {fills:,} fills inside one batch(): earlier {e['intake']:,.0f} fills/s, this {t['intake']:,.0f} "
          f"fills/s ({(e['intake'] / t['intake'] - 1) * 100:+.1f} % time per fill)")
    print(f"  file of {n:,} positions x 10 trades: earlier {e['size'] / 2**20:.1f} MiB, this "
          f"{t['size'] / 2**20:.1f} MiB ({(t['size'] / e['size'] - 1) * 100:+.1f} %)")
    print(f"  open it and read one position: earlier {e['open'] * 1e3:.1f} ms, this {t['open'] * 1e3:.1f} ms")


def main():
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR")) as tmp:
        if os.environ.get("BENCH_ONLY") != "format":
            write_back(tmp)
            many_writes(tmp)
            open_large(tmp, int(os.environ.get("BENCH_STORE_KEYS", "100000")))
        if os.environ.get("BENCH_BASELINE"):
            format_cost(tmp, os.environ["BENCH_BASELINE"], int(os.environ.get("BENCH_STORE_KEYS", "100000")))


if __name__ == "__main__":
    main()
