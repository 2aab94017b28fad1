"""The stored format: a checksum on every value (random byte flips in real
store files, each read in a child process, never come back as data), files
and server stores written by the release before (read as they are, upgraded
by the first write, followed by the connections that had them open), a
state machine that runs across that upgrade against a plain model, and
record classes that gain or lose a field."""

import datetime as dt
import decimal
import fractions
import itertools
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import urllib.parse

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition, rule,
                                 run_state_machine_as_test)

import marlovent.ordermgr as om
import zelph.dualcache as dc
from fixtures import format1_data as fixture
from storetools import crc32c, file_bytes, prefix, run_py  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")
UTC = dt.timezone.utc


def read_all(store):
    """Every map of a store's database, canonical."""
    return fixture.canonical_maps({name: store.map(name) for name in store.map_names()})


# --- checksums ---------------------------------------------------------------------


@given(st.binary(max_size=300), st.integers(0, 299))
def test_crc32c_is_the_castagnoli_crc_in_hardware_and_by_table(data, cut):
    assert dc._crc32c(b"123456789") == dc._crc32c(b"123456789", portable=True) == 0xE3069283
    expected = crc32c(data)
    assert dc._crc32c(data) == dc._crc32c(data, portable=True) == expected
    assert crc32c(data[cut:], crc32c(data[:cut])) == expected  # the reference extends as the store does


# --- random byte flips in a real file ---------------------------------------------


class Venue:
    """A class registered by field names."""

    def __init__(self, mic, name=None):
        self.mic, self.name = mic, name


dc.register(Venue, "tests.format.Venue", fields=("mic", "name"))


def canonical_extra(v):
    if type(v) is Venue:
        return ("Venue", fixture.canonical(v.mic), fixture.canonical(v.name))
    return fixture.canonical(v)


def flipped_store_contents():
    """What the file for the byte flips holds: every kind of row, and rows
    deleted and replaced (whose old bytes stay in free pages)."""
    values = {f"P{i}": fixture.position(f"P{i}", [(10 + i, 100.0 + i), (-3, 101.5)]) for i in range(6)}
    values.update({"quote": fixture.Quote("IBM", 1.5, 1.75), "venue": Venue("XNYS", "NYSE"),
                   "money": (decimal.Decimal("1.10"), fractions.Fraction(1, 3), -(2 ** 70)),
                   "when": dt.datetime(2024, 1, 2, 3, 4, 5, 6, tzinfo=fixture.NY), "text": "é" * 40})
    fills = {f"F-{i}": ("IBM", i, 187.5 + i / 8) for i in range(30)}
    return values, fills


def make_flip_file(path_prefix):
    values, fills = flipped_store_contents()
    s = dc.DualCache(cacheName="flips", cachePrefix=path_prefix)
    with s.batch():
        s.update(values)
        for i in range(40):  # rows written and deleted again
            s[f"gone{i}"] = fixture.position(f"gone{i}", [(1, 2.0)] * 3)
        for i in range(40):
            del s[f"gone{i}"]
    p = s["P0"]
    p.add_trade(om.Trade("P0-x", 99.0, 4, 0.5, fixture.T0))
    s["P0"] = p
    s.map("fills").update(fills)
    truth = {name: tuple((canonical_extra(k), canonical_extra(v)) for k, v in s.map(name).items())
             for name in s.map_names()}
    path = s.path
    s.close()
    return path, truth


def read_in_child(path_prefix, truth, older=None):
    """Forks a child that opens and reads the whole store: 'equal', 'older'
    (it reads as `older`), 'error' (StoreError) or a description of anything
    else, through a pipe."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            s = dc.DualCache(cacheName="flips", cachePrefix=path_prefix)
            got = {name: tuple((canonical_extra(k), canonical_extra(v)) for k, v in s.map(name).items())
                   for name in s.map_names()}
            outcome = "equal" if got == truth else "older" if got == older else f"silently changed: {got!r:.3000}"
        except dc.StoreError:
            outcome = "error"
        except BaseException as e:  # noqa: BLE001 - anything else is the finding
            outcome = f"{type(e).__name__}: {e}"
        os.write(w, outcome.encode())
        os._exit(0)
    os.close(w)
    ready, _, _ = select.select([r], [], [], 60)
    if not ready:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(r)
        return "hung"
    chunks = []
    while chunk := os.read(r, 65536):
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return f"crashed (signal {os.WTERMSIG(status)})"
    return b"".join(chunks).decode()


@pytest.fixture(scope="module")
def flip_file(tmp_path_factory):
    base = tmp_path_factory.mktemp("flips")
    path, truth = make_flip_file(str(base) + "/")
    return file_bytes(path), os.path.basename(path), truth


@pytest.mark.sqlite_only
@settings(max_examples=int(os.environ.get("BYTE_FLIPS", "120")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_a_flipped_byte_is_an_error_or_changes_nothing(flip_file, tmp_path_factory, data):
    pristine, name, truth = flip_file
    offset = data.draw(st.integers(0, len(pristine) - 1), label="offset")
    mask = data.draw(st.integers(1, 255), label="xor mask")
    where = tmp_path_factory.mktemp("flip")
    damaged = bytearray(pristine)
    damaged[offset] ^= mask
    (where / name).write_bytes(bytes(damaged))
    outcome = read_in_child(str(where) + "/", truth)
    shutil.rmtree(where)
    assert outcome in ("equal", "error"), f"byte {offset} ^ {mask:#x}: {outcome}"


# --- damage in a live write-ahead log ----------------------------------------------

# Durable writes (map, key, value), one transaction each, that a writer
# killed after the last one returned leaves in the log.
LOGGED_WRITES = [("", "IBM", 100), ("", "IBM", 250), ("fills", "F-1", ("IBM", 150)), ("", "MSFT", 7),
                 ("", "IBM", 300)]

LOG_WRITER = """
import os, signal, sys
import zelph.dualcache as dc
s = dc.DualCache(cacheName="flips", cachePrefix=sys.argv[1])
for m, k, v in eval(sys.argv[2]):
    s.map(m)[k] = v
os.kill(os.getpid(), signal.SIGKILL)
"""


def logged_state(writes):
    """What the store reads after `writes`, as read_in_child reads it."""
    maps = {"": {}, "fills": {}}
    for m, k, v in writes:
        maps[m][k] = v
    return {m: tuple((canonical_extra(k), canonical_extra(v)) for k, v in c.items()) for m, c in maps.items() if c}


@pytest.fixture(scope="module")
def live_log(tmp_path_factory):
    """The directory of the files the killed writer left, and the parts of
    its log: (offset, length, transaction) of the header (transaction -1)
    and of each frame."""
    base = tmp_path_factory.mktemp("live-log")
    proc = run_py(LOG_WRITER, str(base) + "/", repr(LOGGED_WRITES), check=False)
    assert proc.returncode == -signal.SIGKILL, proc.stderr
    wal = (base / "flips.sqlite-wal").read_bytes()
    frame = 24 + int.from_bytes(wal[8:12], "big")
    parts, txn = [(0, 32, -1)], 0
    for at in range(32, len(wal) - frame + 1, frame):
        parts.append((at, frame, txn))
        txn += int.from_bytes(wal[at + 4:at + 8], "big") != 0  # a commit frame ends its transaction
    assert txn == len(LOGGED_WRITES)
    return base, parts


@pytest.mark.sqlite_only
@settings(max_examples=int(os.environ.get("BYTE_FLIPS", "120")) // 2, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_damage_in_a_live_log_before_its_last_transaction_is_an_error(live_log, tmp_path_factory, data):
    """SQLite's recovery drops the log from a damaged frame on, commits that
    later transactions followed (so acknowledged) included: opening the store
    raises instead. Damage in the last transaction cannot be told from a
    crash during its commit: the store may read as before it."""
    left, parts = live_log
    at, length, txn = data.draw(st.sampled_from(parts), label="part of the log")
    offset = at + data.draw(st.integers(0, length - 1), label="offset in it")
    mask = data.draw(st.integers(1, 255), label="xor mask")
    where = tmp_path_factory.mktemp("log-flip")
    for f in left.iterdir():
        content = bytearray(f.read_bytes())
        if f.name.endswith("-wal"):
            content[offset] ^= mask
        (where / f.name).write_bytes(bytes(content))
    outcome = read_in_child(str(where) + "/", logged_state(LOGGED_WRITES), older=logged_state(LOGGED_WRITES[:-1]))
    shutil.rmtree(where)
    expected = ("error", "older") if txn == len(LOGGED_WRITES) - 1 else ("error",)
    assert outcome in expected, f"byte {offset} (transaction {txn}) ^ {mask:#x}: {outcome}"


SPILLED_BATCH_ROLLED_BACK = """
try:
    with s.batch():  # more than the page cache holds: its pages go to the log
        for i in range(20):
            s['big%d' % i] = bytes([i]) * 1_000_000
        raise RuntimeError
except RuntimeError:
    pass
"""
CHECKPOINT = "import sqlite3; sqlite3.connect(s.path).execute('PRAGMA wal_checkpoint(PASSIVE)').fetchall()\n"


@pytest.mark.sqlite_only
@pytest.mark.parametrize("after, damage, expected", [
    # A checkpoint copied every commit into the file, then the log's header
    # was torn (a crash starting the log over): SQLite ignores the log and
    # loses nothing, also where the log holds frames no commit ended.
    (CHECKPOINT, "salt", "equal"),
    (SPILLED_BATCH_ROLLED_BACK + CHECKPOINT, "salt", "equal"),
    # The header and the first frame's lost, nothing copied in: the commits
    # the later frames hold would be lost.
    ("", "first block", "error"),
], ids=["copied in", "copied in, uncommitted frames after", "header and first frame lost"])
def test_a_log_whose_header_is_damaged_opens_only_when_nothing_is_lost(tmp_path, after, damage, expected):
    writer = LOG_WRITER.replace("os.kill(", after + "os.kill(")
    proc = run_py(writer, str(tmp_path) + "/", repr(LOGGED_WRITES), check=False)
    assert proc.returncode == -signal.SIGKILL, proc.stderr
    wal = tmp_path / "flips.sqlite-wal"
    content = bytearray(wal.read_bytes())
    assert len(content) > 4096
    if damage == "salt":
        content[17] ^= 0x10  # the header's checksum fails
    else:
        content[:512] = bytes(512)
    wal.write_bytes(bytes(content))
    assert read_in_child(str(tmp_path) + "/", logged_state(LOGGED_WRITES)) == expected


# --- stores written by the release before: read as they are, then upgraded ---------


def restore_pg_fixture(server):
    """The fixture schema, made again from its dump; the prefix naming it."""
    from pg_server import server_env  # (the children this file starts do not have it on their path)

    server.sql(f"DROP SCHEMA IF EXISTS {fixture.PG_SCHEMA} CASCADE")
    subprocess.run([os.path.join(server.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
                    "-p", str(server.port), "-U", "postgres", "-d", "postgres", "-f",
                    os.path.join(FIXTURES, "format1_pg.sql")], check=True, capture_output=True, timeout=60,
                   env=server_env())
    options = urllib.parse.quote("-csearch_path=" + fixture.PG_SCHEMA, safe="")
    return f"{server.uri}?options={options}/"


# The store files of the releases before, each holding the fixture's
# contents: format 1's, format 2's (the format a store on a server is still
# in) and format 3's.
OLDER_FILES = ["format1.sqlite", "format2.sqlite", "format3.sqlite"]
FILE_FORMAT, SERVER_FORMAT = 4, 2  # what this release writes


@pytest.fixture(params=OLDER_FILES)
def format1(request, backend, tmp_path):
    """(prefix, snapshot()) of a fresh copy of an older format's fixture;
    snapshot gives everything stored (file bytes, or every row of the
    schema)."""
    if backend == "sqlite":
        shutil.copyfile(os.path.join(FIXTURES, request.param), tmp_path / "Format-1%20book.sqlite")
        return str(tmp_path) + "/", lambda: file_bytes(tmp_path / "Format-1%20book.sqlite")
    if request.param != OLDER_FILES[0]:
        pytest.skip("a store on a server is still in format 2")
    server = request.getfixturevalue("pg_server")
    tables = ", ".join(f"(SELECT string_agg(t::text, ';' ORDER BY t::text) FROM {fixture.PG_SCHEMA}.dualcache_{n} t)"
                       for n in ("stores", "tags", "entries", "items"))
    return restore_pg_fixture(server), lambda: server.sql(f"SELECT concat_ws('|', {tables})")


FRESH_READER = """
import sys
sys.path.insert(0, sys.argv[2])
import marlovent.ordermgr, zelph.dualcache as dc
from fixtures import format1_data as fixture
import test_store_format
s = dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=sys.argv[1])
print(repr({name: tuple((test_store_format.canonical_extra(k), test_store_format.canonical_extra(v))
                        for k, v in s.map(name).items()) for name in s.map_names()}))
"""


def canonical_read(store):
    return {name: tuple((canonical_extra(k), canonical_extra(v)) for k, v in store.map(name).items())
            for name in store.map_names()}


def test_a_store_of_the_release_before_is_read_as_it_is_and_upgraded_by_its_first_write(format1, backend, request):
    prefix, snapshot = format1
    before = snapshot()
    expected = {name: tuple((canonical_extra(k), canonical_extra(v)) for k, v in pairs)
                for name, pairs in fixture.expected().items()}
    store = dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=prefix)
    other = dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=prefix)  # had it open all along
    assert canonical_read(store) == canonical_read(other) == expected
    assert snapshot() == before  # opening and reading write nothing

    # A first write that fails leaves the store as it was, and readable.
    store._fail_writes(0)
    with pytest.raises(dc.StoreError, match="injected"):
        store["new"] = Venue("XNAS")
    assert snapshot() == before and canonical_read(store) == expected

    # An upgrade inside a savepoint that rolls back is undone with it; the
    # next write upgrades again, and the block commits.
    with store.batch():
        with pytest.raises(RuntimeError):
            with store.transaction():
                store["rolled back"] = 1
                raise RuntimeError("busted")
        assert "rolled back" not in store
        store.map("fills")["F-9"] = ("MSFT", 7, 410.25)
        store["venue"] = Venue("XNAS", "Nasdaq")
    expected["fills"] += ((canonical_extra("F-9"), canonical_extra(("MSFT", 7, 410.25))),)
    expected[""] += ((canonical_extra("venue"), canonical_extra(Venue("XNAS", "Nasdaq"))),)
    assert canonical_read(store) == canonical_read(other) == expected

    # The connection that had it open follows, and writes the new format too.
    ibm = other["IBM"]
    ibm.add_trade(om.Trade("IBM-4", 190.5, -15, 1.25, fixture.T0))
    other["IBM"] = ibm
    expected[""] = tuple((k, canonical_extra(ibm) if k == canonical_extra("IBM") else v) for k, v in expected[""])
    assert canonical_read(store) == expected
    store.close()
    other.close()

    # What a process of the release before would still run now fails, instead
    # of writing the old format into the new one.
    if backend == "sqlite":
        con = sqlite3.connect(prefix + "Format-1%20book.sqlite")
        for old in ("SELECT id, version, key FROM entries", "SELECT id, tag FROM tags", "SELECT id FROM entries_1",
                    "INSERT INTO maps(name) VALUES (x'00')", "UPDATE map0_entries SET version = version + 1"):
            with pytest.raises(sqlite3.DatabaseError):
                con.execute(old)
        assert con.execute("PRAGMA user_version").fetchone() == (FILE_FORMAT,)
        con.close()
    else:
        sql = request.getfixturevalue("pg_server").sql
        stores = f"{fixture.PG_SCHEMA}.dualcache_stores"
        assert sql(f"SELECT format FROM {stores} WHERE name = '{fixture.STORE_NAME}'::bytea") == "2"
        assert sql(f"SELECT changes FROM {stores} WHERE id = 1") == ""  # the row old writers lock is gone

    out = run_py(FRESH_READER, prefix, HERE).stdout.strip()
    assert out == repr(expected)


def test_a_newer_format_is_refused_by_name(format1, backend, request):
    prefix, snapshot = format1
    current = FILE_FORMAT if backend == "sqlite" else SERVER_FORMAT  # (a file's formats 3 and 4 hold format 2's rows)
    if backend == "sqlite":
        con = sqlite3.connect(prefix + "Format-1%20book.sqlite")
        con.executescript(f"UPDATE meta SET v = {current + 1} WHERE k = 'format'; PRAGMA user_version = {current + 1};")
        con.close()
    else:
        request.getfixturevalue("pg_server").sql(f"UPDATE {fixture.PG_SCHEMA}.dualcache_stores SET format = {current + 1}")
    before = snapshot()
    with pytest.raises(dc.StoreError, match=rf"written in store format {current + 1}, newer than this version reads "
                                            rf"\({current}\)"):
        dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=prefix)
    assert snapshot() == before


# --- a state machine across the upgrade ------------------------------------------------

KEYS = ["IBM", "AAPL", "quote", "new", ("tuple", 1), 17, "F-1"]
MAPS = ["", "fills", "spare"]
trades = st.builds(lambda i, qty, px: om.Trade(f"S-{i}", px, qty, 0.5, fixture.T0 + dt.timedelta(seconds=i)),
                   st.integers(0, 50), st.integers(-50, 50).filter(bool),
                   st.floats(0, 1000, allow_nan=False, allow_infinity=False))
stored_values = st.one_of(
    st.integers(), st.text(max_size=6), st.none(),
    st.tuples(st.sampled_from(["IBM", "AAPL"]), st.integers(-100, 100), st.floats(allow_nan=False)),
    st.builds(Venue, st.sampled_from(["XNYS", "XNAS"]), st.none() | st.text(max_size=4)),
    st.builds(fixture.Quote, st.sampled_from(["IBM", "MSFT"]), st.floats(0, 10), st.floats(0, 10)),
    st.builds(lambda k, ts: om.Position(k, {t.orderid: t for t in ts}), st.sampled_from(["IBM", "AAPL"]),
              st.lists(trades, max_size=4)),
)


class AcrossTheUpgrade(RuleBasedStateMachine):
    """Writes, deletions, batches that commit or roll back, failed writes and
    reopening, starting from a format-1 store, against a dict per map; a
    second connection opened before the upgrade must follow it."""

    make_prefix = None  # set by the test: a fresh copy of the fixture

    @initialize()
    def start(self):
        self.prefix = type(self).make_prefix()
        self.store = dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=self.prefix)
        self.watcher = dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=self.prefix)
        self.watcher._log_from(0)  # (it reads what changed alone wherever the format lets it)
        self.model = {name: {canonical_extra(k): canonical_extra(v) for k, v in pairs}
                      for name, pairs in fixture.expected().items()}
        self.model.setdefault("spare", {})

    def seen(self):
        return {name: tuple(m.items()) for name, m in self.model.items() if m}

    @rule(name=st.sampled_from(MAPS), key=st.sampled_from(KEYS), value=stored_values)
    def write(self, name, key, value):
        self.store.map(name)[key] = value
        self.model[name][canonical_extra(key)] = canonical_extra(value)

    @rule(name=st.sampled_from(MAPS), key=st.sampled_from(KEYS))
    def delete(self, name, key):
        if canonical_extra(key) in self.model[name]:
            del self.store.map(name)[key]
            del self.model[name][canonical_extra(key)]
        else:
            with pytest.raises(KeyError):
                del self.store.map(name)[key]

    @precondition(lambda self: any(v[0] == "Position" for v in self.model[""].values()))
    @rule(data=st.data(), trade=trades)
    def add_trade(self, data, trade):
        key = data.draw(st.sampled_from(sorted(k for k, v in self.model[""].items() if v[0] == "Position")))
        real = next(k for k in self.store if canonical_extra(k) == key)
        p = self.store[real]
        if trade.orderid in p.trades:
            return
        p.add_trade(trade)
        self.store[real] = p
        self.model[""][key] = canonical_extra(p)

    @rule(writes=st.lists(st.tuples(st.sampled_from(MAPS), st.sampled_from(KEYS), stored_values), max_size=4),
          inner=st.tuples(st.sampled_from(MAPS), st.sampled_from(KEYS), stored_values),
          inner_fails=st.booleans(), fails=st.booleans())
    def batch(self, writes, inner, inner_fails, fails):
        staged = {name: dict(m) for name, m in self.model.items()}
        try:
            with self.store.batch():
                for name, key, value in writes:
                    self.store.map(name)[key] = value
                    staged[name][canonical_extra(key)] = canonical_extra(value)
                try:
                    with self.store.transaction():
                        name, key, value = inner
                        self.store.map(name)[key] = value
                        if inner_fails:
                            raise RuntimeError("inner block busted")
                    staged[name][canonical_extra(key)] = canonical_extra(value)
                except RuntimeError:
                    pass
                if fails:
                    raise RuntimeError("batch busted")
        except RuntimeError:
            return
        self.model = staged

    @rule(name=st.sampled_from(MAPS), key=st.sampled_from(KEYS), value=stored_values)
    def failed_write(self, name, key, value):
        self.store._fail_writes(0)
        with pytest.raises(dc.StoreError, match="injected"):
            self.store.map(name)[key] = value

    @rule()
    def reopen(self):
        self.store.close()
        self.store = dc.DualCache(cacheName=fixture.STORE_NAME, cachePrefix=self.prefix)

    @invariant()
    def both_connections_read_the_model(self):
        if hasattr(self, "store"):
            assert canonical_read(self.store) == self.seen()
            assert canonical_read(self.watcher) == self.seen()

    def teardown(self):
        if not hasattr(self, "store"):
            return
        self.store.close()
        self.watcher.close()
        out = run_py(FRESH_READER, self.prefix, HERE).stdout.strip()
        assert out == repr(self.seen())


def test_a_state_machine_across_the_upgrade(request, backend, tmp_path_factory):
    if backend == "sqlite":
        made = itertools.count()

        def make_prefix():  # (each fixture file in turn)
            where = tmp_path_factory.mktemp("machine")
            older = OLDER_FILES[next(made) % len(OLDER_FILES)]
            shutil.copyfile(os.path.join(FIXTURES, older), where / "Format-1%20book.sqlite")
            return str(where) + "/"
    else:
        server = request.getfixturevalue("pg_server")

        def make_prefix():
            return restore_pg_fixture(server)
    machine = type("Machine", (AcrossTheUpgrade,), {"make_prefix": staticmethod(make_prefix)})
    run_state_machine_as_test(machine, settings=settings(max_examples=25 if backend == "sqlite" else 10,
                                                         stateful_step_count=12, deadline=None))


# --- classes that gain or lose a field ------------------------------------------------

WRITER = """
import sys, datetime as dt
import marlovent.ordermgr as om, zelph.dualcache as dc
class Fill:
    def __init__(self, sym, qty):
        self.sym, self.qty = sym, qty
dc.register(Fill, "tests.format.Fill", fields=("sym", "qty"))
s = dc.DualCache(cacheName="fields", cachePrefix=sys.argv[1])
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
s["trade"] = om.Trade("T-1", 101.5, 30, 0.75, T0)
s["position"] = om.Position("IBM", {"T-2": om.Trade("T-2", 187.5, 100, 1.0, T0)})
s["fill"] = Fill("IBM", 100)
"""

# A process of a later release: Trade and Fill each gained a field with a
# default (Trade's stands in for the native class: this process does not
# import it, and registers its own under its tag); then Trade loses fields.
LATER = """
import sys, datetime as dt
import zelph.dualcache as dc
class Trade:
    def __init__(self, orderid, price=0.0, qty=0, commission=0.0, timestamp=None, venue="XNYS"):
        self.orderid, self.price, self.qty, self.commission, self.timestamp, self.venue = (
            orderid, price, qty, commission, timestamp, venue)
class Fill:
    def __init__(self, sym, qty, venue="XNYS"):
        self.sym, self.qty, self.venue = sym, qty, venue
names = ("orderid", "price", "qty", "commission", "timestamp", "venue")
dc.register(Trade, "marlovent.ordermgr.Trade", fields=names)
dc.register(Fill, "tests.format.Fill", fields=("sym", "qty", "venue"))
s = dc.DualCache(cacheName="fields", cachePrefix=sys.argv[1])
t, f = s["trade"], s["fill"]
print(t.orderid, t.price, t.qty, t.commission, t.venue, f.sym, f.qty, f.venue)
s["trade+venue"] = Trade("T-3", 99.0, 5, 0.5, t.timestamp, venue="BATS")
s["fill+venue"] = Fill("AAPL", 5, "XNAS")
dc.register(Trade, "marlovent.ordermgr.Trade", fields=("orderid", "price", "qty", "timestamp"))
s["trade-commission"] = Trade("T-4", 98.0, 7, timestamp=t.timestamp)
dc.register(Trade, "marlovent.ordermgr.Trade", fields=("price", "qty"))
s["trade-orderid"] = Trade(None, 97.0, 9)
"""

READER = """
import sys
import marlovent.ordermgr as om, zelph.dualcache as dc
class Fill:
    def __init__(self, sym, qty):
        self.sym, self.qty = sym, qty
dc.register(Fill, "tests.format.Fill", fields=("sym", "qty"))
s = dc.DualCache(cacheName="fields", cachePrefix=sys.argv[1])
for key in ["trade", "position", "fill", "trade+venue", "fill+venue", "trade-commission", "trade-orderid"]:
    try:
        v = s[key]
        print(key, "->", repr(v) if not isinstance(v, Fill) else (v.sym, v.qty))
    except dc.StoreError as e:
        print(key, "!!", str(e).split(": ", 1)[1])
# The stored Fill read again (by a connection of its own: the first keeps
# what it read) after the class gained a field without a default, refused
# by its constructor or by its own from_fields; then registered without
# field names, whose tuple cannot say which stored field is which.
def gained(self, sym, qty, account):
    self.sym, self.qty, self.account = sym, qty, account
Fill.__init__ = gained
for label, how in [("fill/gained", {"fields": ("sym", "qty", "account")}),
                   ("fill/gained/from_fields", {"fields": ("sym", "qty", "account"), "from_fields": lambda c, m: c(**m)}),
                   ("fill/unnamed", {"to_fields": lambda f: (f.qty, f.sym), "from_fields": lambda c, t: c(*t)})]:
    dc.register(Fill, "tests.format.Fill", **how)
    with dc.DualCache(cacheName="fields", cachePrefix=sys.argv[1]) as again:
        try:
            print(label, "->", vars(again["fill"]))
        except dc.StoreError as e:
            print(label, "!!", str(e).split(": ", 1)[1], "| cause:", type(e.__cause__).__name__)
"""


def test_records_of_a_class_that_gained_or_lost_a_field(prefix):
    run_py(WRITER, prefix)
    later = run_py(LATER, prefix).stdout.split()
    assert later == ["T-1", "101.5", "30", "0.75", "XNYS", "IBM", "100", "XNYS"]  # the new fields' defaults
    out = dict(line.split(" ", 1) for line in run_py(READER, prefix).stdout.splitlines())
    assert out["trade"] == "-> Trade(orderid='T-1', price=101.5, qty=30, commission=0.75, timestamp=" \
                           "datetime.datetime(2024, 3, 5, 9, 30, tzinfo=datetime.timezone.utc))"
    assert out["position"].startswith("-> Position(key='IBM'") and out["fill"] == "-> ('IBM', 100)"
    # A class that lost a field: a clear error naming the class and the field.
    assert out["trade+venue"] == "!! entry 'trade+venue': stored marlovent.ordermgr.Trade records have the field " \
                                 "'venue', which the class as registered now does not have"
    assert out["fill+venue"] == "!! entry 'fill+venue': stored tests.format.Fill records have the field 'venue', " \
                                "which the class as registered now does not have"
    # Fields the stored record lacks take the native class's declared defaults ...
    assert out["trade-commission"].startswith("-> Trade(orderid='T-4', price=98.0, qty=7, commission=0.0, ")
    # ... and one without a default is refused by name.
    assert out["trade-orderid"] == "!! entry 'trade-orderid': stored marlovent.ordermgr.Trade records lack the " \
                                   "field 'orderid', which has no default"
    # So is one a Python class cannot do without (not as damage: the record is sound).
    for label in ("fill/gained", "fill/gained/from_fields"):
        assert out[label] == "!! entry 'fill': stored tests.format.Fill records lack the field 'account', which has " \
                             "no default (TypeError: gained() missing 1 required positional argument: 'account') " \
                             "| cause: TypeError"
    # Fields stored by name are never handed by position to a class registered without names.
    assert out["fill/unnamed"] == "!! entry 'fill': stored tests.format.Fill records hold their fields by name " \
                                  "('sym', 'qty'), but the class is registered without field names: register it " \
                                  "with fields=... to read them | cause: NoneType"
