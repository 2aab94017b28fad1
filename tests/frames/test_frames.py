"""The pandas bridge: one row per position, trade or summary, with the
portfolio's own figures; a clear ImportError without pandas."""

import datetime as dt
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

pd = pytest.importorskip("pandas")
from marlovent.frames import positions_frame, summaries_frame, trades_frame  # noqa: E402

T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone(dt.timedelta(hours=-5)))
FILLS = st.lists(
    st.tuples(st.sampled_from(["AAPL", "MSFT", ("SPY", 510)]), st.integers(1, 400), st.integers(-20, 20).filter(bool), st.sampled_from([0.0, 1.0, 0.35])),
    max_size=25,
)


@given(FILLS)
def test_frames_hold_the_portfolio_figures(om, mgr, fills):
    mgr.clear()
    with mgr.positions.batch():
        for n, (key, price, qty, commission) in enumerate(fills):
            mgr.add_trade(key, om.Trade(n, float(price), qty, commission, T0 + dt.timedelta(minutes=n)))
    positions = positions_frame(mgr)
    trades = trades_frame(mgr)
    summaries = summaries_frame(mgr, stopPct=0.2)
    stored = list(mgr.positions.items())
    assert list(positions["key"]) == [k for k, _ in stored] == list(summaries["key"])
    for row, (key, pos) in zip(positions.itertuples(index=False), stored):
        assert (row.qty, row.average_price, row.is_long, row.total_commission, row.trades) == (
            pos.qty, pos.average_price, pos.is_long, pos.total_commission, len(pos.trades)
        )
        assert row.started == pos.started
    assert len(trades) == sum(len(p.trades) for _, p in stored)
    expect = [(k, t.orderid, t.price, t.qty, t.commission) for k, p in stored for t in p.trades.values()]
    assert [tuple(r)[:5] for r in trades.itertuples(index=False)] == expect
    for row, (key, _) in zip(summaries.itertuples(index=False), stored):
        s = mgr.get_position_summary(key, 0.2)
        assert (row.qty, row.average_price, row.stop, row.stopPct, row.stopPts, row.is_long) == (
            s.qty, s.average_price, s.stop, s.stopPct, s.stopPts, s.is_long
        )


def test_an_empty_portfolio_gives_the_columns(mgr):
    assert list(positions_frame(mgr).columns) == ["key", "qty", "average_price", "is_long", "total_commission", "trades", "started"]
    assert list(trades_frame(mgr).columns) == ["key", "orderid", "price", "qty", "commission", "timestamp"]
    assert "stopPts" in summaries_frame(mgr).columns and len(summaries_frame(mgr)) == 0


def test_without_pandas_the_error_names_the_extra():
    code = "import sys; sys.modules['pandas'] = None\ntry:\n import marlovent.frames\nexcept ImportError as e:\n print(e)"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and "pip install 'marlovent[pandas]'" in r.stdout, r.stderr


USAGE = """
import pandas as pd
from marlovent.frames import positions_frame, summaries_frame, trades_frame
from marlovent.ordermgr import OrderMgr


def frames(mgr: OrderMgr) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    return positions_frame(mgr), trades_frame(mgr), summaries_frame(mgr, stopPct=0.2)
"""


def test_the_frames_are_typed(tmp_path):
    from importlib import metadata

    try:
        metadata.distribution("pandas-stubs")
    except metadata.PackageNotFoundError:
        pytest.skip("pandas-stubs is not installed")
    (tmp_path / "use_frames.py").write_text(USAGE)
    r = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "use_frames.py", "--cache-dir", str(tmp_path / "cache")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert r.returncode == 0, r.stdout + r.stderr
