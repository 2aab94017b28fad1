"""What the store refuses: links and other users' files at its file names,
directories anyone may write, writes into a file that is no longer at its
path, and writes to a store opened read-only. Read errors that say nothing
about the file are not reported as a file that is not a store."""

import os
import shutil
import stat
import subprocess
import tempfile

import pytest

import zelph.dualcache as dc
from storetools import file_bytes, open_store, prefix, run_py  # noqa: F401

pytestmark = pytest.mark.sqlite_only  # the files of the SQLite store

ROOT = os.geteuid() == 0
NOBODY = 65534


def store_path(prefix, name="test"):
    return prefix + name + ".sqlite"


def snapshot(directory):
    """Names, modes and contents of every file under `directory`."""
    seen = {}
    for dirpath, dirs, files in os.walk(directory):
        for f in dirs + files:
            p = os.path.join(dirpath, f)
            st = os.lstat(p)
            body = file_bytes(p) if stat.S_ISREG(st.st_mode) else os.readlink(p) if stat.S_ISLNK(st.st_mode) else None
            seen[p] = (stat.S_IMODE(st.st_mode), body)
    return seen


# --- links and files of other users ---------------------------------------------


@pytest.fixture
def outside(tmp_path):
    d = tmp_path / "outside"
    d.mkdir()
    return d


def make_store_at(path):
    """A sound store with one entry, at `path` (prefix + name + .sqlite)."""
    d, base = os.path.split(path)
    s = dc.DualCache(cacheName=base[: -len(".sqlite")], cachePrefix=d + "/")
    s["theirs"] = 1
    s.close()


PLANTS = {
    "link to an empty file": lambda target: open(target, "wb").close(),
    "link to another store": make_store_at,
    "dangling link": lambda target: None,
}


@pytest.mark.parametrize("side", ["", "-wal", "-shm"])
@pytest.mark.parametrize("plant", list(PLANTS))
def test_a_link_at_a_store_file_name_is_refused_and_not_followed(prefix, outside, plant, side):
    target = str(outside / "target.sqlite")
    PLANTS[plant](target)
    os.makedirs(os.path.dirname(prefix))
    if side:  # a sound store whose side file is a planted link
        make_store_at(store_path(prefix))
        target += side
    os.symlink(target, store_path(prefix) + side)
    before = snapshot(outside), snapshot(os.path.dirname(prefix))
    for attempt in range(2):  # the second open must not finish what the first began
        with pytest.raises(dc.StoreError, match="symbolic link") as info:
            dc.DualCache(cacheName="test", cachePrefix=prefix)
        assert info.value.filename == store_path(prefix)
    assert (snapshot(outside), snapshot(os.path.dirname(prefix))) == before


def test_what_is_not_a_regular_file_is_refused(prefix):
    os.makedirs(store_path(prefix))
    with pytest.raises(dc.StoreError, match="not a regular file"):
        dc.DualCache(cacheName="test", cachePrefix=prefix)


@pytest.mark.skipif(not ROOT, reason="giving a file to another user needs root")
@pytest.mark.parametrize("side", ["", "-wal"])
def test_a_file_of_another_user_is_refused(prefix, side):
    path = store_path(prefix)
    make_store_at(path)
    if side:
        open(path + side, "wb").close()
    os.chown(path + side, NOBODY, NOBODY)
    before = snapshot(os.path.dirname(prefix))
    with pytest.raises(dc.StoreError, match=f"owned by user {NOBODY}, not by this user"):
        dc.DualCache(cacheName="test", cachePrefix=prefix)
    assert snapshot(os.path.dirname(prefix)) == before


@pytest.mark.parametrize("mode, refused", [(0o777, True), (0o1777, False), (0o775, False), (0o700, False)])
def test_a_directory_anyone_may_write_needs_the_sticky_bit(tmp_path, mode, refused):
    d = tmp_path / "shared"
    d.mkdir()
    os.chmod(d, mode)
    if refused:
        with pytest.raises(dc.StoreError, match="sticky bit"):
            dc.DualCache(cacheName="test", cachePrefix=str(d / "p-"))
        assert os.listdir(d) == []
    else:
        with dc.DualCache(cacheName="test", cachePrefix=str(d / "p-")) as s:
            s["k"] = 1


# --- the file removed or replaced while open --------------------------------------

READ_BACK = """
import sys, zelph.dualcache as dc
s = dc.DualCache(cacheName="test", cachePrefix=sys.argv[1])
print(sorted(s.items()))
"""


def gone_by_rmtree(path, tmp_path):
    shutil.rmtree(os.path.dirname(path))


def gone_by_rename(path, tmp_path):
    os.rename(path, tmp_path / "moved.sqlite")


def replaced(path, tmp_path):
    make_store_at(str(tmp_path / "other" / "test.sqlite"))
    for side in ("", "-wal", "-shm"):
        if os.path.exists(path + side):
            os.unlink(path + side)
    os.rename(tmp_path / "other" / "test.sqlite", path)


@pytest.mark.parametrize("op", ["assign", "delete", "clear", "update", "block"])
@pytest.mark.parametrize("gone", [gone_by_rmtree, gone_by_rename, replaced])
def test_a_write_into_a_file_no_longer_at_its_path_raises(tmp_path, prefix, gone, op):
    s = dc.DualCache(cacheName="test", cachePrefix=prefix)
    s["a"] = 1
    path = s.path
    gone(path, tmp_path)
    with pytest.raises(dc.StoreError, match="no longer at its path") as info:
        if op == "block":
            with s.transaction():
                s["b"] = 2
                s["c"] = 3
        else:
            {"assign": lambda: s.__setitem__("b", 2), "delete": lambda: s.__delitem__("a"),
             "clear": s.clear, "update": lambda: s.update(b=2, c=3)}[op]()
    assert info.value.filename == path
    # Nothing the failed write did shows, here or in a new process.
    assert dict(s.items()) == {"a": 1}
    if gone is replaced:  # the other file is not this store's to delete
        with pytest.raises(dc.StoreError, match="replaced by another file"):
            s.destroy()
    else:
        s.destroy()
    s.close()
    if os.path.exists(path):
        expected = "[('a', 1)]" if gone is not replaced else "[('theirs', 1)]"
        assert run_py(READ_BACK, prefix).stdout.strip() == expected


def test_the_order_manager_does_not_acknowledge_a_lost_fill(om, data_dir):
    mgr = om.OrderMgr("lost")
    mgr.add_trade("IBM", om.Trade(1, 100.0, 10, 1.0))
    shutil.rmtree(data_dir)
    with pytest.raises(dc.StoreError, match="no longer at its path"):
        mgr.add_trade("IBM", om.Trade(2, 101.0, 5, 1.0))
    assert [t.orderid for t in mgr.positions["IBM"].trades.values()] == [1]


# --- read errors are not format errors --------------------------------------------

UNREADABLE = """
import resource, signal, sys, zelph.dualcache as dc
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))   # no file may grow: as a full disk
try:
    dc.DualCache(cacheName="test", cachePrefix=sys.argv[1])
    print("opened")
except dc.StoreError as e:
    print(e.sqlite_errorname, e)
"""


def test_an_io_error_at_open_is_not_called_a_foreign_file(prefix):
    s = dc.DualCache(cacheName="test", cachePrefix=prefix)
    s["kept"] = 1
    s.close()
    before = file_bytes(store_path(prefix))
    out = run_py(UNREADABLE, prefix).stdout.strip()
    assert out.startswith("SQLITE_IOERR") and "cannot read the store" in out, out
    assert "not a DualCache store" not in out
    assert file_bytes(store_path(prefix)) == before
    with dc.DualCache(cacheName="test", cachePrefix=prefix) as s:
        assert dict(s.items()) == {"kept": 1}


# --- read-only copies -------------------------------------------------------------


def sh(cmd):
    return subprocess.run(cmd, shell=True, capture_output=True, text=True)


@pytest.fixture
def mount_point():
    """A tmpfs the test fills and then makes read-only with remount(ro)."""
    d = tempfile.mkdtemp(dir="/tmp")
    if not ROOT or sh(f"mount -t tmpfs -o size=8m,mode=0700 tmpfs {d}").returncode != 0:
        os.rmdir(d)
        pytest.skip("cannot mount a tmpfs here")

    def make_read_only():
        if sh(f"mount -o remount,ro {d}").returncode != 0:
            pytest.skip("cannot remount the tmpfs read-only here")

    yield d, make_read_only
    sh(f"umount {d}")
    os.rmdir(d)


def check_read_only(s, expected):
    assert s.read_only
    assert dict(s.items()) == expected and len(s) == len(expected) and "a" in s
    with s.transaction():  # a block that only reads works
        assert s["a"] == expected["a"]
    lives = {k: s[k] for k in s}
    for write in (lambda: s.__setitem__("b", 1), lambda: s.__delitem__("a"), s.clear, lambda: s.pop("a"),
                  lambda: s.update(z=1), lambda: s.setdefault("n", 1), s.popitem, s.destroy):
        with pytest.raises(dc.StoreError, match="the store is read-only"):
            write()
    with s.transaction():
        with pytest.raises(dc.StoreError, match="the store is read-only"):
            s["b"] = 1
    assert all(s[k] is v for k, v in lives.items())  # nothing forgotten, nothing changed


def test_a_store_on_a_read_only_mount_opens_for_reading(mount_point, tmp_path):
    d, make_read_only = mount_point
    with dc.DualCache(cacheName="closed", cachePrefix=d + "/p-") as s:
        s["a"] = [1, 2.5, "x"]
    # A copy taken while a store was open: its log holds the last write.
    src = tmp_path / "src"
    live = dc.DualCache(cacheName="snapshot", cachePrefix=str(src) + "/p-")
    live["a"] = {"k": (1, 2)}
    for f in os.listdir(src):
        shutil.copy(src / f, d)
    shutil.copy(src / "p-snapshot.sqlite", d + "/p-nolog.sqlite")
    shutil.copy(src / "p-snapshot.sqlite-wal", d + "/p-nolog.sqlite-wal")
    live.close()
    make_read_only()
    before = snapshot(d)

    with dc.DualCache(cacheName="closed", cachePrefix=d + "/p-") as s:
        check_read_only(s, {"a": [1, 2.5, "x"]})
    with dc.DualCache(cacheName="snapshot", cachePrefix=d + "/p-") as s:
        check_read_only(s, {"a": {"k": (1, 2)}})
    # A log without its shared-memory file cannot be read on read-only media.
    with pytest.raises(dc.StoreError, match="write-ahead log"):
        dc.DualCache(cacheName="nolog", cachePrefix=d + "/p-")
    with pytest.raises(dc.StoreError, match="cannot create the store file"):
        dc.DualCache(cacheName="missing", cachePrefix=d + "/p-")
    assert snapshot(d) == before


READ_ONLY_FILE = """
import os, sys, zelph.dualcache as dc
if os.geteuid() == 0:          # root ignores permissions: act as the file's owner
    os.setgid(65534); os.setuid(65534)
s = dc.DualCache(cacheName="test", cachePrefix=sys.argv[1])
print(s.read_only, sorted(s.items()))
try:
    s["b"] = 2
except dc.StoreError as e:
    print(e)
"""


def test_a_read_only_file_opens_for_reading():
    d = tempfile.mkdtemp(dir="/tmp")  # reachable by another user
    try:
        prefix = d + "/p-"
        with dc.DualCache(cacheName="test", cachePrefix=prefix) as s:
            s["a"] = 1
        os.chmod(store_path(prefix), 0o444)
        os.chmod(d, 0o555)
        if ROOT:
            os.chown(store_path(prefix), NOBODY, NOBODY)
        before = snapshot(d)
        out = run_py(READ_ONLY_FILE, prefix).stdout.splitlines()
        assert out[0] == "True [('a', 1)]"
        assert "the store is read-only" in out[1]
        assert snapshot(d) == before
    finally:
        os.chmod(d, 0o755)
        shutil.rmtree(d)
