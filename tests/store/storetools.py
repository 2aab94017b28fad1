"""Helpers shared by the store tests: opening stores under a temporary
prefix, running code in a fresh interpreter, and exact comparison of
decoded values (type, float bits, time zone)."""

import datetime as dt
import decimal
import math
import os
import struct
import subprocess
import sys
import textwrap
import zoneinfo

import pytest

import zelph.dualcache as dc


@pytest.fixture
def prefix(tmp_path, pg_uri):
    """Where the test's stores go: a directory, or (postgresql backend) a
    schema of the test's own on the test server."""
    if pg_uri:
        return pg_uri + "/store-"
    return str(tmp_path / "data" / "store-")


@pytest.fixture
def open_store(prefix):
    """open_store(name="test", prefix=<tmp>) -> DualCache, closed after the test."""
    opened = []

    def make(name="test", prefix=prefix):
        s = dc.DualCache(cacheName=name, cachePrefix=prefix)
        opened.append(s)
        return s

    yield make
    for s in opened:
        try:
            s.close()
        except dc.StoreError:
            pass


def run_py(code, *args, timeout=60, check=True, env=None):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True, text=True, timeout=timeout, env=env,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def file_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def same(a, b):
    """Equal with the same types all the way down, floats bit for bit,
    datetimes with the same fold and time zone."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(k1, k2) and same(a[k1], b[k2]) for k1, k2 in zip(a, b))
    if isinstance(a, (set, frozenset)):
        return a == b and all(same(x, next(y for y in b if y == x)) for x in a)
    if isinstance(a, (dt.datetime, dt.time)):
        return a == b and a.fold == b.fold and same_tz(a.tzinfo, b.tzinfo) and (
            not isinstance(a, dt.datetime) or a.replace(tzinfo=None) == b.replace(tzinfo=None))
    if isinstance(a, decimal.Decimal):
        return str(a) == str(b)
    return a == b


def same_tz(a, b):
    if a is None or b is None:
        return a is b
    if type(a) is not type(b):
        return False
    if isinstance(a, zoneinfo.ZoneInfo):
        return a.key == b.key
    return a == b and a.tzname(None) == b.tzname(None)


def nan_payload(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)


def store_file_mode(path):
    return os.stat(path).st_mode & 0o777


# --- the stored format, for tests that write rows by hand ---------------------------

def _crc32c_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


_CRC_TABLE = _crc32c_table()


def crc32c(data, crc=0):
    """CRC-32C, bit by bit from its definition (the store's reference)."""
    c = crc ^ 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ _CRC_TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def _seal(context, payload):
    return payload + crc32c(context + payload).to_bytes(4, "little")


def _int8(n):
    return n.to_bytes(8, "little", signed=True)


def sealed_key(payload, map_id=0):
    """An entry key's column as format 2 stores it (map 0: the default map)."""
    return _seal(b"K" + _int8(map_id), payload)


def sealed_value(payload, map_id=0):
    return _seal(b"V" + _int8(map_id), payload)


def sealed_item(ord_, ikey, payload, map_id=0):
    """An item row's value column (its checksum covers the order number and key)."""
    return _seal(b"I" + _int8(map_id) + _int8(ord_) + varint(len(ikey)) + ikey, payload)


def sealed_shape(shape_id, tag, names=None):
    """A row of the shapes table: the tag and, when given, the field names."""
    t = tag.encode()
    payload = varint(len(t)) + t + varint(0 if names is None else len(names) + 1)
    for n in names or ():
        b = n.encode()
        payload += varint(len(b)) + b
    return _seal(b"S" + _int8(shape_id), payload)


def unsealed(blob):
    return blob[:-4]
