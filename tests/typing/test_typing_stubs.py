"""The shipped type stubs: checked against the runtime with stubtest, and
used by mypy --strict on an example of the whole API."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
ALLOWLIST = HERE / "stubtest-allowlist.txt"


def installed(package: str, name: str) -> Path:
    found = importlib.util.find_spec(package)
    assert found is not None and found.submodule_search_locations
    return Path(list(found.submodule_search_locations)[0]) / name


# The order manager's stub imports DualCache from the store's own stub.
needs_store_stub = pytest.mark.skipif(
    not installed("zelph", "dualcache.pyi").exists(), reason="zelph/dualcache.pyi is not installed yet"
)


def run(args, tmp_path, **env):
    return subprocess.run(
        [sys.executable, "-m", *args],
        capture_output=True,
        text=True,
        cwd=ROOT,
        env={**os.environ, "QUENTARIS_DATA_DIR": str(tmp_path), **env},
        timeout=600,
    )


def test_stub_and_marker_are_shipped():
    assert installed("marlovent", "ordermgr.pyi").exists()
    assert installed("marlovent", "py.typed").exists()


def test_stub_declares_every_class(om):
    text = installed("marlovent", "ordermgr.pyi").read_text()
    for name in ("OrderId", "Key", "Price", "Qty", "Percent"):
        assert f"\n{name}: TypeAlias = " in text
    classes = [n for n, v in vars(om).items() if isinstance(v, type) and v.__module__ == om.__name__]
    assert len(classes) == 13
    for name in classes:
        assert f"\nclass {name}:" in text, name


@needs_store_stub
def test_stubtest(tmp_path):
    r = run(
        ["mypy.stubtest", "marlovent.ordermgr", "--allowlist", str(ALLOWLIST), "--mypy-config-file", os.devnull],
        tmp_path,
        MYPY_CACHE_DIR=str(tmp_path / "cache"),
    )
    assert r.returncode == 0, r.stdout + r.stderr


@needs_store_stub
def test_mypy_strict_on_the_typed_example(tmp_path):
    r = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "examples/typed_usage.py"], tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


@needs_store_stub
def test_mypy_rejects_misuse(tmp_path):
    """The stubs type the API (a stub of Any would accept all of this)."""
    bad = tmp_path / "misuse.py"
    bad.write_text(
        "from marlovent.ordermgr import OrderMgr, Position, PositionGroup, Trade\n"
        "Position('X').add_trade(5)\n"
        "Trade(1).average_price = 3.0\n"
        "x: str = PositionGroup().qty\n"
        "OrderMgr('p').portfolio_report(stopPct='ten')\n"
        "y: int = OrderMgr('p').positions['X'].trades\n"
    )
    r = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(bad)], tmp_path)
    assert r.returncode == 1
    lines = [ln for ln in r.stdout.splitlines() if ": error:" in ln]
    assert sorted({int(ln.split(":")[1]) for ln in lines}) == [2, 3, 4, 5, 6], r.stdout


def test_typed_example_runs(tmp_path):
    r = run(["marlovent._cli.errors"], tmp_path)  # the package imports cleanly in a fresh process
    assert r.returncode == 0, r.stderr
    r = subprocess.run(
        [sys.executable, "examples/typed_usage.py"],
        capture_output=True,
        text=True,
        cwd=ROOT,
        env={**os.environ, "QUENTARIS_DATA_DIR": str(tmp_path)},
        timeout=120,
    )
    assert r.returncode == 0, r.stderr
