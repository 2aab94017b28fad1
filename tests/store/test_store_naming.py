"""Where a store's file goes: readable names stay readable, no name can leave
the prefix's directory or make an invalid file name, and files and
directories are private."""

import os
import stat

import pytest

import zelph.dualcache as dc
from storetools import open_store, prefix, store_file_mode  # noqa: F401

pytestmark = pytest.mark.sqlite_only  # the files of the SQLite store

HOSTILE = [
    "../../../etc/passwd",
    "/absolute/path",
    "a/b/c",
    "..",
    ".",
    ".hidden",
    "",
    "nul\x00inside",
    "line\nfeed\ttab\r",
    "\x7f\x01\x1f",
    "back\\slash",
    "colon:star*question?",
    "percent%2Fslash",
    "sp ace",
    "ünïcødé",
    "\ud800lone surrogate",
    "x" * 300,
    "é" * 200,
    "../" * 100,
]


@pytest.mark.parametrize("name", HOSTILE, ids=lambda n: repr(n)[:30])
def test_hostile_names_stay_in_the_prefix_directory(open_store, prefix, name):
    s = open_store(name)
    s["k"] = name
    directory = os.path.dirname(prefix)
    path = s.path
    assert os.path.dirname(path) == directory
    base = os.path.basename(path)
    assert base.startswith("store-") and base.endswith(".sqlite")
    assert len(os.fsencode(base)) + len("-journal") <= 255
    assert "/" not in base and "\x00" not in base
    assert all(ch.isprintable() for ch in base)
    assert sorted(os.listdir(directory)) == sorted(
        f for f in os.listdir(directory) if f.startswith(base))
    s.close()
    again = open_store(name)
    assert again.path == path and again["k"] == name


def test_ordinary_names_are_readable(open_store, prefix):
    assert os.path.basename(open_store("My-Portfolio").path) == "store-My-Portfolio.sqlite"
    assert os.path.basename(open_store("a_b.c-9").path) == "store-a_b.c-9.sqlite"


def test_names_differing_only_in_unsafe_characters_get_different_files(open_store):
    names = ["a/b", "a%2Fb", "a b", "a\nb", "a:b", "a\x00b", "x" * 400, "x" * 401, "x" * 399 + "y"]
    paths = {open_store(n).path for n in names}
    assert len(paths) == len(names)


def test_long_names_are_cut_with_a_hash(open_store):
    s = open_store("z" * 1000)
    base = os.path.basename(s.path)
    assert "~" in base and base.startswith("store-zzz")


def test_prefix_may_be_a_directory_or_path_like(tmp_path):
    import pathlib

    s = dc.DualCache(cacheName="n", cachePrefix=str(tmp_path) + "/")
    assert s.path == str(tmp_path / "n.sqlite")
    s.close()
    s = dc.DualCache(cacheName="n", cachePrefix=pathlib.Path(tmp_path / "p-"))
    assert s.path == str(tmp_path / "p-n.sqlite")
    s.close()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"cacheName": 5, "cachePrefix": "/tmp/x-"}, TypeError),
        ({"cacheName": "n", "cachePrefix": 5}, TypeError),
        ({"cacheName": "n", "cachePrefix": "/tmp/a\x00b-"}, ValueError),
        ({"cacheName": "n", "cachePrefix": "/tmp/" + "p" * 250}, ValueError),
        ({"cacheName": "n"}, TypeError),
    ],
)
def test_bad_arguments(kwargs, error):
    with pytest.raises(error):
        dc.DualCache(**kwargs)


def test_arguments_are_keyword_only(tmp_path):
    with pytest.raises(TypeError):
        dc.DualCache("n", str(tmp_path) + "/")


def test_files_and_new_directories_are_private(tmp_path):
    old = os.umask(0)
    try:
        s = dc.DualCache(cacheName="n", cachePrefix=str(tmp_path / "a" / "b" / "p-"))
        s["k"] = 1
        assert stat.S_IMODE(os.stat(tmp_path / "a").st_mode) == 0o700
        assert stat.S_IMODE(os.stat(tmp_path / "a" / "b").st_mode) == 0o700
        for suffix in ("", "-wal", "-shm"):
            assert store_file_mode(s.path + suffix) == 0o600, suffix
        s.close()
    finally:
        os.umask(old)


def test_prefix_directory_that_is_a_file(tmp_path):
    (tmp_path / "f").write_text("x")
    with pytest.raises(dc.StoreError, match="not a directory"):
        dc.DualCache(cacheName="n", cachePrefix=str(tmp_path / "f" / "p-"))
