"""The named maps of one database: one object per name, names that stay
names, close() and destroy() acting on the whole database, readers that may
not write reading every map, files made before there were maps, and the
documented example."""

import gc
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import uuid
import weakref
from pathlib import Path

import pytest

import zelph.dualcache as dc
from storetools import file_bytes, open_store, prefix, run_py  # noqa: F401

ROOT_USER = os.geteuid() == 0
NOBODY = 65534


def test_one_object_per_map_and_the_database_they_share(open_store, prefix, backend):
    book = open_store("book")
    fills = book.map("fills")
    assert book.map("fills") is fills and fills.map("fills") is fills
    assert book.map("") is book and fills.map("") is book
    assert book.map(type("Name", (str,), {})("fills")) is fills  # a str subclass names the same map
    assert (book.mapName, fills.mapName) == ("", "fills")
    assert repr(fills) == repr(book) + ".map('fills')"
    assert (fills.path, fills.cacheName, fills.cachePrefix, fills.read_only) == (
        book.path, book.cacheName, book.cachePrefix, book.read_only)
    for bad, error, words in ((1, TypeError, "map name must be str, not int"), (b"f", TypeError, "not bytes"),
                              (None, TypeError, "not NoneType"), ("a\x00b", ValueError, "NUL")):
        with pytest.raises(error, match=words):
            book.map(bad)

    # A map never written reads empty; its first write creates it.
    assert len(fills) == 0 and not fills and fills.get("F-1") is None and "F-1" not in fills
    assert list(fills.items()) == [] and fills == {} and book.map_names() == []
    with pytest.raises(KeyError):
        fills.pop("F-1")
    fills.clear()
    if backend == "sqlite":
        book["IBM"] = 1
        tables = {n for n, in sqlite3.connect(book.path).execute("SELECT name FROM sqlite_master WHERE type='table'")}
        assert not any(t.startswith("map1_") for t in tables)  # a named map's tables come with its first write
    fills.update({"F-1": (1, 2.5)}, **{"F-2": None})
    book["IBM"] = 2
    assert dict(fills) == {"F-1": (1, 2.5), "F-2": None} and dict(book) == {"IBM": 2} and fills != book
    assert book.map_names() == ["", "fills"]
    fills.clear()  # that map only
    assert dict(book) == {"IBM": 2} and book.map_names() == [""]

    # close() on any map closes the database: every map of it, and map() itself.
    fills["F-3"] = 3
    other = book.map("other")
    fills.close()
    for m in (book, fills, other):
        with pytest.raises(dc.StoreError, match="was closed"):
            len(m)
    with pytest.raises(dc.StoreError, match="was closed"):
        book.map("fills")

    # destroy() removes every map.
    again = open_store("book")
    assert dict(again.map("fills")) == {"F-3": 3} and again.map_names() == ["", "fills"]
    again.map("fills").destroy()
    with pytest.raises(dc.StoreError, match="was destroyed"):
        again["IBM"]
    fresh = open_store("book")
    assert fresh.map_names() == [] and len(fresh.map("fills")) == 0 and len(fresh) == 0

    # Objects nobody holds any more are freed, maps and connection together.
    s = dc.DualCache(cacheName="dropped", cachePrefix=prefix)
    s.map("a")["k"] = [1]
    refs = [weakref.ref(s), weakref.ref(s.map("a"))]
    del s
    gc.collect()
    assert all(r() is None for r in refs)


# --- readers that may not write ---------------------------------------------------

MAPS = {"": {"IBM": 100}, "fills": {"F-1": ("IBM", 100, 187.5)}, "é \udc80": {1: [2.5]}}

READ_EVERY_MAP = """
import json, os, sys
import zelph.dualcache as dc
if sys.argv[2] == "as-owner" and os.geteuid() == 0:  # root ignores permissions: act as the file's owner
    os.setgid(65534); os.setuid(65534)
s = dc.DualCache(cacheName="book", cachePrefix=sys.argv[1])
names = ["", "fills", "é \\udc80", "never written"]
out = {"maps": [repr(sorted(s.map(m).items(), key=repr)) for m in names], "names": s.map_names()}
for m in names:
    try:
        s.map(m)["x"] = 1
        out[m] = "written"
    except dc.StoreError as e:
        out[m] = "refused"
print(json.dumps(out))
"""


def test_a_reader_that_may_not_write_reads_every_map(backend, request, tmp_path):
    if backend == "sqlite":
        d = tempfile.mkdtemp(dir="/tmp")  # reachable by another user
        base = d + "/p-"
        snapshot = lambda: {f: file_bytes(os.path.join(d, f)) for f in sorted(os.listdir(d))}  # noqa: E731
    else:
        server = request.getfixturevalue("pg_server")
        schema, reader = "ro_" + uuid.uuid4().hex[:8], "reader_" + uuid.uuid4().hex[:8]
        base = server.schema_uri(schema) + "/p-"
        tables = [f"{schema}.dualcache_{t}" for t in ("stores", "tags", "entries", "items")]
        snapshot = lambda: [server.sql(f"SELECT * FROM {t} ORDER BY 1, 2") for t in tables]  # noqa: E731
    try:
        with dc.DualCache(cacheName="book", cachePrefix=base) as s:
            for m, content in MAPS.items():
                s.map(m).update(content)
        if backend == "sqlite":
            os.chmod(base + "book.sqlite", 0o444)
            os.chmod(d, 0o555)
            if ROOT_USER:
                os.chown(base + "book.sqlite", NOBODY, NOBODY)
            reader_base, mode = base, "as-owner"
        else:
            server.sql(f"CREATE ROLE {reader} LOGIN; GRANT USAGE ON SCHEMA {schema} TO {reader};"
                       f"GRANT SELECT ON {', '.join(tables)} TO {reader}")
            reader_base, mode = base.replace("postgresql://postgres@", f"postgresql://{reader}@"), "role"
        before = snapshot()
        out = json.loads(run_py(READ_EVERY_MAP, reader_base, mode).stdout)
        assert out["maps"] == [repr(sorted(c.items(), key=repr)) for c in MAPS.values()] + ["[]"]
        assert out["names"] == sorted(MAPS)
        assert [out[m] for m in ("", "fills", "é \udc80", "never written")] == ["refused"] * 4
        assert snapshot() == before
    finally:
        if backend == "sqlite":
            os.chmod(d, 0o755)
            shutil.rmtree(d)


# --- the documented example -------------------------------------------------------


def test_the_documented_example_runs_as_written(tmp_path):
    text = (Path(__file__).parents[2] / "docs" / "store.md").read_text(encoding="utf-8")
    section = text.split("## Several maps in one database", 1)[1].split("\n## ", 1)[0]
    code, = re.findall(r"```python\n(.*?)```", section, re.S)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert run.returncode == 0, run.stderr
    wanted = [line.split("  # ", 1)[1] for line in code.splitlines() if line.startswith("print(")]
    assert run.stdout.splitlines() == wanted
