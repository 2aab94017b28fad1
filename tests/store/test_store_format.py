"""The stored format: a checksum on every value (random byte flips in real
store files, each read in a child process, never come back as data), files
and server stores written by the release before (read as they are, upgraded
by the first write, followed by the connections that had them open), a
state machine that runs across that upgrade against a plain model, and
record classes that gain or lose a field."""

import datetime as dt
import decimal
import fractions
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


def read_in_child(path_prefix, truth):
    """Forks a child that opens and reads the whole store: 'equal', 'error'
    (StoreError) or a description of anything else, through a pipe."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            s = dc.DualCache(cacheName="flips", cachePrefix=path_prefix)
            got = {name: tuple((canonical_extra(k), canonical_extra(v)) for k, v in s.map(name).items())
                   for name in s.map_names()}
            outcome = "equal" if got == truth else f"silently changed: {got!r:.3000}"
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
