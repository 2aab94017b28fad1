"""The order manager on a portfolio shared through a PostgreSQL server, beside
the same on an SQLite file and beside a plain client (psycopg) writing the
same rows to the same server, in one run: durable add_trade latency, batched
fills per second, 1 to 8 writer processes on one portfolio (nothing lost),
round trips per fill, and opening a portfolio of 100,000 positions.

Starts a throwaway server of its own (initdb into a temporary directory,
fsync on, loopback); needs PostgreSQL installed (make test installs it) and
psycopg (requirements-dev.txt) for the plain client's rows."""

import datetime
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from pg_server import PgServer, bin_dir, server_env  # noqa: E402

import marlovent.ordermgr as om  # noqa: E402
import zelph.dualcache as dc  # noqa: E402

STAMP = datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc)


def fill(oid, qty=1):
    return om.Trade(oid, 100.0 + (oid % 7), qty, 0.5, STAMP)


def manager(data_dir, name):
    os.environ["QUENTARIS_DATA_DIR"] = data_dir
    return om.OrderMgr(name)


def round_trips(store):
    return store._stats().get("round_trips", 0)


def durable_latency(data_dir, n=300, beside=None):
    """Seconds per durable add_trade (median, mean) and round trips per fill;
    with `beside` (a callable doing one plain durable write), that write's
    seconds too, measured in turn with each fill so that both meet the same
    disk."""
    m = manager(data_dir, "latency")
    # The portfolio made first (its row, its statements prepared), as the
    # plain client's table is made before its rows are timed.
    m.add_trade("opened", fill(n))
    times, plain = [], []
    trips = round_trips(m.positions)
    for i in range(n):
        t0 = time.perf_counter()
        m.add_trade(f"K{i % 20}", fill(i))
        times.append(time.perf_counter() - t0)
        if beside:
            t0 = time.perf_counter()
            beside(i)
            plain.append(time.perf_counter() - t0)
    trips = (round_trips(m.positions) - trips) / n
    m.positions.destroy()
    summary = (statistics.median(times), sum(times) / n, trips)
    if beside:
        summary += (statistics.median(plain), sum(plain) / n)
    return summary


N_BATCH = 20_000


def batched_rate(data_dir, n=N_BATCH, keep=False):
    m = manager(data_dir, "batched")
    trips = round_trips(m.positions)
    t0 = time.perf_counter()
    with m.positions.batch():
        for i in range(n):
            m.add_trade(f"K{i % 50}", fill(i))
    rate = n / (time.perf_counter() - t0)
    trips = round_trips(m.positions) - trips
    if not keep:
        m.positions.destroy()
    return rate, trips, m


# --- the plain client: the same item rows, the same server -------------------

def plain_rows(server):
    """The item rows the batch above stored (one per fill)."""
    import psycopg

    with psycopg.connect(server.uri) as con:
        return con.execute("SELECT entry, ord, ikey, value FROM bench.dualcache_items ORDER BY entry, ord").fetchall()


def plain_table(con):
    con.execute("CREATE SCHEMA IF NOT EXISTS plain")
    con.execute("DROP TABLE IF EXISTS plain.items")
    con.execute("CREATE TABLE plain.items (LIKE bench.dualcache_items INCLUDING ALL)")
    con.commit()


INSERT = "INSERT INTO plain.items(store, entry, ord, ikey, value) VALUES (1, %s, %s, %s, %s)"


def plain_batches(server, rows):
    """Rows per second into one transaction: pipelined, executemany, COPY."""
    import psycopg

    out = {}
    with psycopg.connect(server.uri) as con:
        for how in ("pipeline", "executemany", "copy"):
            plain_table(con)
            t0 = time.perf_counter()
            with con.transaction():
                if how == "pipeline":
                    with con.pipeline():
                        for r in rows:
                            con.execute(INSERT, r)
                elif how == "executemany":
                    con.cursor().executemany(INSERT, rows)
                else:
                    with con.cursor().copy("COPY plain.items(store, entry, ord, ikey, value) FROM STDIN") as cp:
                        for r in rows:
                            cp.write_row((1, *r))
            out[how] = len(rows) / (time.perf_counter() - t0)
    return out


def plain_writer(server, rows):
    """One plain transaction per row (autocommit): a callable writing row i."""
    import psycopg

    con = psycopg.connect(server.uri, autocommit=True)
    plain_table(con)
    return con, lambda i: con.execute(INSERT, rows[i])


WRITER = """
import os, sys, datetime, time
import marlovent.ordermgr as om
worker, count = int(sys.argv[1]), int(sys.argv[2])
m = om.OrderMgr("writers")
stamp = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
trades = [om.Trade((worker, i), 10.0, 1, 0.0, stamp) for i in range(count)]
sys.stdout.write("ready\\n"); sys.stdout.flush()
sys.stdin.readline()
cpu = time.process_time()
stats = m.positions._stats()
for i, t in enumerate(trades):
    m.add_trade(f"K{i % 8}", t)
after = m.positions._stats()
print(time.process_time() - cpu, *(after.get(k, 0) - stats.get(k, 0) for k in ("round_trips", "conflicts")))
"""


def writers(data_dir, procs, count):
    os.environ["QUENTARIS_DATA_DIR"] = data_dir
    m = om.OrderMgr("writers")
    m.clear()
    children = [subprocess.Popen([sys.executable, "-c", WRITER, str(w), str(count)], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True) for w in range(procs)]
    for c in children:
        assert c.stdout.readline() == "ready\n"
    t0 = time.perf_counter()
    for c in children:
        c.stdin.write("go\n")
        c.stdin.flush()
    cpu = trips = conflicts = 0.0
    for c in children:
        out, _ = c.communicate(timeout=600)
        assert c.returncode == 0
        cpu, trips, conflicts = (a + float(b) for a, b in zip((cpu, trips, conflicts), out.split()))
    elapsed = time.perf_counter() - t0
    m = om.OrderMgr("writers")
    stored = sum(len(p.trades) for p in m.positions.values())
    m.positions.destroy()
    n = procs * count
    return n / elapsed, stored == n, cpu / n, trips / n, conflicts / n


# --- the server's own share: one plain row against a fill's rows ---------------

FLOOR_PLAIN = "INSERT INTO floor.items VALUES (1, 1, nextval('floor.ord'), int8send(currval('floor.ord')), {value});\n"
# What a one-round-trip fill asks of the server, in the same shapes: the
# counted lock on the portfolio's row, the trade's row, the position's head.
FLOOR_FILL = """\\startpipeline
BEGIN;
WITH counted AS (UPDATE floor.stores SET changes = changes + 1 WHERE id = 1 AND changes >= 0 RETURNING 1) SELECT 1 / (SELECT count(*) FROM counted)::int;
INSERT INTO floor.items VALUES (1, 1, nextval('floor.ord'), int8send(currval('floor.ord')), {value});
UPDATE floor.entries SET version = version + 1, value = {head} WHERE store = 1 AND id = 1;
COMMIT;
\\endpipeline
"""

# What a fill asks of the server when other writers wrote since this one
# last looked (after reading, without the lock, what changed): the lock with
# the check of the position's version, the trade's row, the position's head,
# the change count and the commit; with the sync to disk inside the lock, or
# after it (the commit asynchronous, then a record of its own committed
# synchronously in the same pipeline).
FLOOR_CONTENDED = """\\set k random(1, 8)
\\startpipeline
BEGIN;
{sync}WITH held AS (SELECT 1 FROM floor.stores WHERE id = 1 FOR UPDATE) SELECT 1 / (SELECT count(*) FROM held)::int;
SELECT 1 / (SELECT count(*) FROM floor.entries WHERE store = 1 AND id = :k AND version >= 0)::int;
INSERT INTO floor.items VALUES (1, :k, nextval('floor.ord'), int8send(currval('floor.ord')), {value});
UPDATE floor.entries SET version = version + 1, value = {head} WHERE store = 1 AND id = :k;
UPDATE floor.stores SET changes = changes + 1 WHERE id = 1;
COMMIT;
{flush}\\endpipeline
"""
SYNC_AFTER = {"sync": "SET LOCAL synchronous_commit = off;\n",
              "flush": "SELECT pg_logical_emit_message(true, 'dualcache', '');\n"}
# Writers as the server alone serves them (label, clients, script): one
# writer's one-round-trip fill; four writers on eight positions, the lock
# for one round trip, with the sync inside it and after it.
FLOOR_WRITERS = (("1 writer, one round trip", 1, "fill"),
                 ("4 writers, the sync inside the lock", 4, "inside"),
                 ("4 writers, the sync after the lock", 4, "after"))


def run_pgbench(server, path, clients, seconds):
    """pgbench's latency average (µs) and transactions per second, or None."""
    out = subprocess.run([os.path.join(server.bin, "pgbench"), "-n", "-M", "prepared", "-c", str(clients),
                          "-j", str(min(clients, 2)), "-T", str(seconds), "-f", path, "-h", "127.0.0.1",
                          "-p", str(server.port), "-U", "postgres", "postgres"],
                         capture_output=True, text=True, env=server_env(), timeout=120)
    lines = out.stdout.splitlines()
    latency = next((ln for ln in lines if ln.startswith("latency average")), None)
    tps = next((ln for ln in lines if ln.startswith("tps")), None)
    if out.returncode or latency is None or tps is None:
        return None
    return float(latency.split("=")[1].split()[0]) * 1e3, float(tps.split("=")[1].split()[0])


def server_floor(server, seconds=4, rounds=2):
    """Microseconds of one durable transaction as the server alone serves it
    (pgbench, one client, prepared statements, pipelined): one plain row,
    and a fill's three rows; and fills per second of the FLOOR_WRITERS
    cases. None where pgbench is not installed."""
    pgbench = os.path.join(server.bin, "pgbench")
    if not os.path.exists(pgbench):
        return None
    server.sql("CREATE SCHEMA floor; CREATE SEQUENCE floor.ord;"
               " CREATE TABLE floor.stores (LIKE bench.dualcache_stores INCLUDING ALL);"
               " CREATE TABLE floor.entries (LIKE bench.dualcache_entries INCLUDING ALL);"
               " CREATE TABLE floor.items (LIKE bench.dualcache_items INCLUDING ALL);"
               " INSERT INTO floor.stores(id, name, format) VALUES (1, '\\x00', 1);"
               " INSERT INTO floor.entries(store, id, version, key, value)"
               " SELECT 1, g, 1, int8send(g), '\\x00' FROM generate_series(1, 8) g")
    value = "'\\x" + "ab" * 60 + "'::bytea"  # about a stored trade's size
    head = "'\\x" + "cd" * 90 + "'::bytea"  # about a stored position head's
    scripts = {}
    with tempfile.TemporaryDirectory() as d:
        os.chmod(d, 0o755)
        for name, text, extra in (("plain", FLOOR_PLAIN, {}), ("fill", FLOOR_FILL, {}),
                                  ("inside", FLOOR_CONTENDED, {"sync": "", "flush": ""}),
                                  ("after", FLOOR_CONTENDED, SYNC_AFTER)):
            scripts[name] = os.path.join(d, name + ".sql")
            with open(scripts[name], "w") as f:
                f.write(text.format(value=value, head=head, **extra))
        got = {name: [] for name in ("plain", "fill")}
        rates = {label: [] for label, _, _ in FLOOR_WRITERS}
        for _ in range(rounds):
            for name in got:
                r = run_pgbench(server, scripts[name], 1, seconds)
                if r is None:
                    return None
                got[name].append(r[0])
            for label, clients, name in FLOOR_WRITERS:
                r = run_pgbench(server, scripts[name], clients, seconds)
                if r is None:
                    return None
                rates[label].append(r[1])
    floor = {name: min(v) for name, v in got.items()}
    floor["writers"] = {label: max(v) for label, v in rates.items()}
    return floor


def big_portfolio(data_dir, n):
    """A portfolio of a template and n positions of two trades each, written
    through the store in one batch (every stored value carries a checksum
    bound to its row, so rows cannot be copied by SQL)."""
    m = manager(data_dir, "big")
    with m.positions.batch():
        for oid in (1, 2):
            m.add_trade("template", fill(oid))
        for k in range(1, n + 1):
            key = f"K{k:06d}"
            m.add_trade(key, fill(2 * k + 1))
            m.add_trade(key, fill(2 * k + 2))
    m.positions.close()
    return data_dir


def open_big(data_dir):
    t0 = time.perf_counter()
    m = manager(data_dir, "big")
    opened = time.perf_counter() - t0
    reads = []
    for k in range(50_000, 50_020):
        t0 = time.perf_counter()
        pos = m.positions[f"K{k:06d}"]
        reads.append(time.perf_counter() - t0)
        assert len(pos.trades) == 2
    read = statistics.median(reads)
    assert len(m.positions) == N_BIG + 1
    m.positions.close()
    return opened, read


N_BIG = 100_000


def turns_then_reads(sides, key_of, fills, reads, onlooker=None):
    """Two connections filling in turn (fill i on position `key_of(i)`),
    then the first one filling and the other reading that position after
    each fill (and then `onlooker`, a connection that only reads): seconds
    per fill and per read, in order."""
    turns, after, looked = [], [], []
    for i in range(fills):
        t0 = time.perf_counter()
        sides[i % 2].add_trade(key_of(i), fill(10 * N_BIG + i))
        turns.append(time.perf_counter() - t0)
    for i in range(reads):
        sides[0].add_trade(key_of(i), fill(11 * N_BIG + i))
        for reader, times in ((sides[1], after), (onlooker, looked)):
            if reader is not None:
                t0 = time.perf_counter()
                assert 11 * N_BIG + i in reader.positions[key_of(i)].trades
                times.append(time.perf_counter() - t0)
    return turns, after, looked


def turns_on_big(data_dir, fills=40):
    """Two connections filling the big portfolio in turn: each fill first
    reads what the other's last fill changed; then one fills and the other
    reads a position after each fill. Medians per fill, and per read."""
    sides = [manager(data_dir, "big") for _ in range(2)]
    turns, reads, _ = turns_then_reads(sides, lambda i: f"K{1 + i % 7:06d}", fills, fills)
    for m in sides:
        m.positions.close()
    return statistics.median(turns[2:]), statistics.median(reads[2:])


def deep_positions(data_dir, name, depth):
    """A connection that wrote 5 positions of `depth` trades each (in one
    batch) into portfolio `name`."""
    m = manager(data_dir, name)
    with m.positions.batch():
        for k in range(5 * depth):
            m.add_trade(f"D{k % 5}", fill(k))
    return m


def holding_deep(m):
    """`m`, having read each of the 5 positions."""
    for k in range(5):
        m.positions[f"D{k}"]
    return m


def turns_on_deep(data_dir, depth, fills=60):
    """Two connections filling 5 positions of `depth` trades each in turn:
    each fill reads the other's last trade of its position first; then one
    fills and the other reads the position after each fill, and so does a
    third connection that holds the positions but never writes. Medians
    per fill, per read, and per read of the third."""
    m = deep_positions(data_dir, f"deep{depth}", depth)
    sides = [m, manager(data_dir, f"deep{depth}")]
    onlooker = holding_deep(manager(data_dir, f"deep{depth}"))
    turns, reads, looked = turns_then_reads(sides, lambda i: f"D{i % 5}", fills, fills // 2, onlooker)
    sides[1].positions.close()
    onlooker.positions.close()
    m.positions.destroy()
    return statistics.median(turns[10:]), statistics.median(reads[5:]), statistics.median(looked[5:])


def random_turns_on_deep(data_dir, depth=2000, fills=200, seed=1):
    """Two connections filling 5 positions of `depth` trades in a random
    order (a writer that wrote last tries a one-round-trip commit, refused
    when the other wrote since): mean and 90th percentile per fill, and
    refused commits per fill."""
    m = deep_positions(data_dir, f"random{depth}", depth)
    sides = [m, holding_deep(manager(data_dir, f"random{depth}"))]
    refused = sum(s.positions._stats().get("conflicts", 0) for s in sides)
    rnd = random.Random(seed)
    times = []
    for i in range(fills):
        side, k = rnd.randrange(2), rnd.randrange(5)
        t0 = time.perf_counter()
        sides[side].add_trade(f"D{k}", fill(12 * N_BIG + i))
        times.append(time.perf_counter() - t0)
    refused = sum(s.positions._stats().get("conflicts", 0) for s in sides) - refused
    sides[1].positions.close()
    m.positions.destroy()
    times.sort()
    return sum(times) / fills, times[int(fills * 0.9)], refused / fills


def writers_only(rounds=3):
    """`bench_pg_store.py writers`: the writers figure alone, on PostgreSQL
    (a data directory on tmpfs when TMPDIR names one), `rounds` times."""
    server = PgServer(fsync=True)
    server.start()
    try:
        pg = server.schema_uri("bench")
        for procs in (1, 2, 4, 8):
            got = [writers(pg, procs, 150) for _ in range(rounds)]
            ok = "nothing lost" if all(g[1] for g in got) else "FILLS LOST"
            print(f"{f'{procs} writer process(es), durable fills per second':<52} "
                  f"{' / '.join(f'{g[0]:,.0f}' for g in got)}   {ok}; client CPU per fill "
                  f"{' / '.join(f'{g[2] * 1e3:.2f}' for g in got)} ms; round trips per fill "
                  f"{' / '.join(f'{g[3]:.2f}' for g in got)}, refused optimistic commits per fill "
                  f"{' / '.join(f'{g[4]:.2f}' for g in got)}")
    finally:
        server.remove()


def main():
    if bin_dir() is None:
        print("PostgreSQL is not installed: nothing to measure")
        return
    if sys.argv[1:] == ["writers"]:
        return writers_only()
    server = PgServer(fsync=True)
    server.start()
    tmp = tempfile.TemporaryDirectory()
    try:
        pg = server.schema_uri("bench")
        backends = [("SQLite file", tmp.name), ("PostgreSQL", pg)]
        print(f"{'':<52} {'SQLite':>12} {'PostgreSQL':>12} {'plain client':>14}")
        rate, batch_trips, kept = batched_rate(pg, keep=True)
        rows = plain_rows(server)
        kept.positions.destroy()
        con, plain_write = plain_writer(server, rows)
        lat = [durable_latency(tmp.name), durable_latency(pg, beside=plain_write)]
        con.close()
        plain_lat = lat[1][3:]
        print(f"{'durable add_trade, median per fill':<52} {lat[0][0] * 1e6:>9.0f} µs {lat[1][0] * 1e6:>9.0f} µs"
              f" {plain_lat[0] * 1e6:>11.0f} µs  (one transaction per row)")
        print(f"{'durable add_trade, mean per fill':<52} {lat[0][1] * 1e6:>9.0f} µs {lat[1][1] * 1e6:>9.0f} µs"
              f" {plain_lat[1] * 1e6:>11.0f} µs")
        print(f"{'durable fills per second (from the mean)':<52} {1 / lat[0][1]:>12,.0f} {1 / lat[1][1]:>12,.0f}"
              f" {1 / plain_lat[1]:>14,.0f}")
        print(f"{'round trips per durable fill':<52} {'':>12} {lat[1][2]:>12.2f}")
        rates = [batched_rate(tmp.name)[0], rate]
        plain = plain_batches(server, rows)
        print(f"{f'fills per second inside one batch() ({N_BATCH:,} fills)':<52} {rates[0]:>12,.0f} {rates[1]:>12,.0f}"
              f" {plain['pipeline']:>14,.0f}  (pipelined)")
        print(f"{'':<52} {'':>12} {'':>12} {plain['executemany']:>14,.0f}  (executemany)")
        print(f"{'':<52} {'':>12} {'':>12} {plain['copy']:>14,.0f}  (COPY)")
        print(f"{'round trips for that batch':<52} {'':>12} {batch_trips:>12}")
        print(f"batch rate against the pipelined plain client: {rates[1] / plain['pipeline']:.2f}x;"
              f" durable fill against one plain transaction per row: {plain_lat[1] / lat[1][1]:.2f}x (mean)")
        floor = server_floor(server)
        if floor:
            print(f"{'the server alone, one durable transaction (pgbench)':<52} {'':>12} {floor['fill']:>9.0f} µs"
                  f" {floor['plain']:>11.0f} µs  (one row)")
            print(f"the fill's three rows (counted lock, trade, position head) against one plain row, on the server"
                  f" alone: {floor['plain'] / floor['fill']:.2f}x the plain rate")
            for label, rate in floor["writers"].items():
                print(f"{'the server alone, ' + label:<52} {'':>12} {rate:>12,.0f}  fills per second (pgbench)")
        # Each count of writers in three rounds, the counts taking turns
        # (load on this shared machine falls on all of them): the median.
        rounds = {procs: [] for procs in (1, 2, 4, 8)}
        for _ in range(3):
            for procs, got in rounds.items():
                got.append([writers(d, procs, 300) for _, d in backends])
        for procs, got in rounds.items():
            ok = "nothing lost" if all(g[1] for r in got for g in r) else "FILLS LOST"
            rate = [statistics.median(r[b][0] for r in got) for b in (0, 1)]
            trips = statistics.median(r[1][3] for r in got)
            print(f"{f'{procs} writer process(es), durable fills per second':<52} {rate[0]:>12,.0f} "
                  f"{rate[1]:>12,.0f}   {ok}; PostgreSQL round trips per fill {trips:.2f}"
                  f" (median of 3 rounds; PostgreSQL {' / '.join(f'{r[1][0]:,.0f}' for r in got)})")
        big = [big_portfolio(os.path.join(tmp.name, "big"), N_BIG), big_portfolio(server.schema_uri("big"), N_BIG)]
        opened = [open_big(d) for d in big]
        print(f"{'open a portfolio of 100,000 positions':<52} {opened[0][0] * 1e3:>9.0f} ms {opened[1][0] * 1e3:>9.0f} ms")
        print(f"{'then read a position (cold, median of 20)':<52} {opened[0][1] * 1e6:>9.0f} µs {opened[1][1] * 1e6:>9.0f} µs")
        turns = [turns_on_big(d) for d in big]
        print(f"{'two writers filling it in turn, median per fill':<52} {turns[0][0] * 1e6:>9.0f} µs"
              f" {turns[1][0] * 1e6:>9.0f} µs")
        print(f"{'a reader after each fill of another, per read':<52} {turns[0][1] * 1e6:>9.0f} µs"
              f" {turns[1][1] * 1e6:>9.0f} µs")
        for depth in (20, 2000):
            deep = [turns_on_deep(d, depth) for _, d in backends]
            print(f"{f'two writers in turn, positions of {depth:,} trades':<52} {deep[0][0] * 1e6:>9.0f} µs"
                  f" {deep[1][0] * 1e6:>9.0f} µs")
            print(f"{'  the other one reading after each fill, per read':<52} {deep[0][1] * 1e6:>9.0f} µs"
                  f" {deep[1][1] * 1e6:>9.0f} µs")
            print(f"{'  a connection that never wrote them, per read':<52} {deep[0][2] * 1e6:>9.0f} µs"
                  f" {deep[1][2] * 1e6:>9.0f} µs")
        rnd = [random_turns_on_deep(d) for _, d in backends]
        print(f"{'two writers in random order on them (2,000 trades)':<52} {rnd[0][0] * 1e6:>9.0f} µs"
              f" {rnd[1][0] * 1e6:>9.0f} µs  (mean per fill)")
        print(f"{'':<52} {rnd[0][1] * 1e6:>9.0f} µs {rnd[1][1] * 1e6:>9.0f} µs  (90th percentile;"
              f" {rnd[1][2]:.2f} refused commits a fill on PostgreSQL)")
        print(f"PostgreSQL-to-SQLite ratio of the durable latency: {lat[1][0] / lat[0][0]:.1f}x;"
              f" of the batched rate: {rates[1] / rates[0]:.2f}x")
    finally:
        tmp.cleanup()
        server.remove()


if __name__ == "__main__":
    main()
