"""Size and cost of the records, and a large portfolio's memory and grouping.

1. One Trade: sys.getsizeof, and made and dropped, beside a 5-tuple of the
   same values (the floor of any record), a slotted dataclass and
   msgspec.Struct with and without gc=False.
2. 100,000 positions of 3 trades each, a tenth of them legs of spreads that
   share an order id: the memory of the objects built in this process, and of
   the portfolio loaded from its store in a fresh process, beside the same
   data in plain Python (slotted dataclasses; pickled for the loaded case).
   RSS growth and tracemalloc, each in its own process. The loaded
   portfolio is held by its store (which keeps every value read), the plain
   one by the dict unpickled.
3. position_groups() on the loaded portfolio, first call (which loads every
   position from the store) and after, beside a plain union-find over the
   same positions loaded from the pickle; and the store's load alone
   (list(items()) in a fresh process), the first call's floor.

Figures are medians; ratios are plain / native (above 1: native is lighter
or faster), except the construction ratios, which are record / tuple.
"""

import datetime
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.dirname(__file__))

import msgspec  # noqa: E402

import _plain  # noqa: E402
from _timing import fmt, median_seconds  # noqa: E402

import marlovent.ordermgr as om  # noqa: E402

UTC = datetime.timezone.utc
STAMP = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)
POSITIONS = 100_000
HERE = os.path.dirname(os.path.abspath(__file__))


class StructTrade(msgspec.Struct):
    orderid: object
    price: float = 0.0
    qty: object = 0
    commission: float = 0.0
    timestamp: object = None


class StructTradeNoGC(msgspec.Struct, gc=False):
    orderid: object
    price: float = 0.0
    qty: object = 0
    commission: float = 0.0
    timestamp: object = None


def made_and_dropped(n=200_000):
    """Seconds per construction; each loop makes one object from five
    locals and drops it at once."""
    o, p, q, c, ts = 1, 100.0, 10, 0.5, STAMP

    def loop(make):
        def go():
            for _ in range(n):
                make(o, p, q, c, ts)
        return go

    def tuples():
        for _ in range(n):
            (o, p, q, c, ts)  # noqa: B018 - a 5-tuple made and dropped

    def default_timestamp(make):
        def go():
            for _ in range(n):
                make(o, p, q, c)
        return go

    rows = [
        ("5-tuple of the same values", tuples),
        ("Trade(...)", loop(om.Trade)),
        ("Trade(...) default timestamp", default_timestamp(om.Trade)),
        ("slotted dataclass", loop(_plain.Trade)),
        ("msgspec.Struct", loop(StructTrade)),
        ("msgspec.Struct, gc=False", loop(StructTradeNoGC)),
    ]
    return [(label, median_seconds(fn, repeat=7) / n) for label, fn in rows]


def sizes():
    values = (1, 100.0, 10, 0.5, STAMP)
    return [
        ("5-tuple", sys.getsizeof(values)),
        ("Trade", sys.getsizeof(om.Trade(*values))),
        ("slotted dataclass", sys.getsizeof(_plain.Trade(*values))),
        ("msgspec.Struct", sys.getsizeof(StructTrade(*values))),
        ("msgspec.Struct, gc=False", sys.getsizeof(StructTradeNoGC(*values))),
    ]


# --- the portfolio ----------------------------------------------------------------

BUILD = """
import datetime, random
UTC = datetime.timezone.utc
T0 = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)

def portfolio(Position, Trade, store, n):
    '''Mostly single instruments; a tenth of the keys in two- to four-leg
    spreads whose first trades share an order id. Every value its own object.'''
    rng = random.Random(n)
    oid = made = 0
    while made < n:
        legs = min(rng.randint(2, 4) if rng.random() < 0.1 else 1, n - made)
        oid += 1
        shared = oid
        for leg in range(legs):
            key = f"K{made:06d}"
            p = Position(key)
            for j in range(3):
                oid += 1
                this = shared if j == 0 else oid
                p.trades[this] = Trade(this, rng.uniform(1, 500), rng.choice((1, 2, 5, -1, -3)),
                                       rng.uniform(0, 2), T0 + datetime.timedelta(seconds=oid))
            store[key] = p
            made += 1
    return store
"""

MEASURE = """
import gc, os, sys, time, tracemalloc
sys.path.insert(0, {here!r})

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

import _plain, pickle
import marlovent.ordermgr as om
{build}
gc.collect()
if {traced}:
    tracemalloc.start()
before = rss()
t0 = time.perf_counter()
{body}
elapsed = time.perf_counter() - t0
gc.collect()
grown = rss() - before
traced = tracemalloc.get_traced_memory()[0] if {traced} else 0
print(grown, traced, elapsed)
"""

BODIES = {
    "native, built": "kept = portfolio(om.Position, om.Trade, {{}}, {n})",
    "plain, built": "kept = portfolio(_plain.Position, _plain.Trade, {{}}, {n})",
    # The store keeps every value it read (as the plain case's dict does).
    "native, loaded": (
        "os.environ['QUENTARIS_DATA_DIR'] = {data!r}\n"
        "kept = om.OrderMgr('bench memory')\n"
        "for _ in kept.positions.values(): pass"
    ),
    "plain, loaded": "kept = pickle.load(open({pickled!r}, 'rb'))",
}


def run_child(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.split()


def measure(which, **paths):
    """RSS growth and time in one process, what tracemalloc sees in another
    (its own bookkeeping would count in the RSS)."""
    body = BODIES[which].format(n=POSITIONS, **paths)
    rss, _, elapsed = run_child(MEASURE.format(here=HERE, build=BUILD, body=body, traced=False))
    _, traced, _ = run_child(MEASURE.format(here=HERE, build=BUILD, body=body, traced=True))
    return int(rss), int(traced), float(elapsed)


def prepare(data):
    """The portfolio written to a store and pickled as plain objects."""
    namespace = {}
    exec(BUILD, namespace)  # noqa: S102 - the benchmark's own builder, shared with the children
    os.environ["QUENTARIS_DATA_DIR"] = data
    mgr = om.OrderMgr("bench memory")
    mgr.clear()
    with mgr.positions.batch():
        namespace["portfolio"](om.Position, om.Trade, mgr.positions, POSITIONS)
    del mgr
    plain = namespace["portfolio"](_plain.Position, _plain.Trade, {}, POSITIONS)
    pickled = os.path.join(data, "plain.pickle")
    with open(pickled, "wb") as f:
        pickle.dump(plain, f, protocol=pickle.HIGHEST_PROTOCOL)
    return pickled


GROUPING = """
import gc, os, sys, time
sys.path.insert(0, {here!r})
import _plain, pickle
import marlovent.ordermgr as om
os.environ['QUENTARIS_DATA_DIR'] = {data!r}
if {plain}:
    store = pickle.load(open({pickled!r}, 'rb'))
    def groups():
        parent = {{}}
        def find(k):
            while parent[k] != k:
                parent[k] = parent[parent[k]]
                k = parent[k]
            return k
        owner = {{}}
        for key, p in store.items():
            parent.setdefault(key, key)
            for oid in p.orderids:
                other = owner.setdefault(oid, key)
                if other != key:
                    parent[find(key)] = find(other)
        out = {{}}
        for key in store:
            out.setdefault(find(key), set()).add(store[key])
        return {{k: out[find(k)] for k in store}}
elif {load_only}:
    mgr = om.OrderMgr('bench memory')
    groups = lambda: list(mgr.positions.items())
else:
    mgr = om.OrderMgr('bench memory')
    groups = mgr.position_groups
t0 = time.perf_counter(); r = groups(); first = time.perf_counter() - t0
times = []
for _ in range(3):
    t0 = time.perf_counter(); groups(); times.append(time.perf_counter() - t0)
print(first, sorted(times)[1], len(r))
"""


FRESH_RUNS = 5


def grouping(data, pickled, plain, load_only=False):
    code = GROUPING.format(here=HERE, data=data, pickled=pickled, plain=plain, load_only=load_only)
    first, after, n = run_child(code)
    return float(first), float(after), int(n)


def main():
    print("One Trade (getsizeof, bytes)")
    for label, size in sizes():
        print(f"  {label:<30} {size:>6}")

    print("\nMade and dropped (per object, median of 7 runs of 200,000)")
    rows = made_and_dropped()
    floor = rows[0][1]
    for label, t in rows:
        print(f"  {label:<30} {fmt(t):>10} {t / floor:>6.2f}x the tuple")

    with tempfile.TemporaryDirectory() as data:
        pickled = prepare(data)
        print(f"\n{POSITIONS:,} positions x 3 trades, a tenth in spreads (each in a fresh process)")
        print(f"  {'':<16} {'RSS growth':>12} {'traced':>12} {'time':>10}")
        figures = {}
        for which in BODIES:
            figures[which] = measure(which, data=data, pickled=pickled)
            rss, traced, elapsed = figures[which]
            print(f"  {which:<16} {rss / 2**20:>8.1f} MiB {traced / 2**20:>8.1f} MiB {fmt(elapsed):>10}")
        for kind in ("built", "loaded"):
            n, p = figures[f"native, {kind}"], figures[f"plain, {kind}"]
            print(f"  {kind}: native / plain  RSS {n[0] / p[0]:.2f}x, traced {n[1] / p[1]:.2f}x")

        print(f"\nposition_groups() on the loaded portfolio (median of {FRESH_RUNS} fresh processes, taken in turn;"
              " range in brackets)")
        runs = {"native": [], "load": [], "plain": []}
        for _ in range(FRESH_RUNS):
            runs["native"].append(grouping(data, pickled, False))
            runs["load"].append(grouping(data, pickled, False, load_only=True))
            runs["plain"].append(grouping(data, pickled, True))
        assert all(r[2] == POSITIONS for got in runs.values() for r in got)

        def figure(which, i):
            got = sorted(r[i] for r in runs[which])
            return f"{fmt(statistics.median(got)):>10} [{fmt(got[0])} - {fmt(got[-1])}]"

        print(f"  {'native first call (loads the store)':<40} {figure('native', 0)}")
        print(f"  {'  of which the load: list(items()) alone':<40} {figure('load', 0)}   (the store's floor)")
        print(f"  {'native after':<40} {figure('native', 1)}")
        print(f"  {'plain union-find (from the pickle)':<40} {figure('plain', 1)}")
        print(f"  {'  its first call':<40} {figure('plain', 0)}")


if __name__ == "__main__":
    main()
