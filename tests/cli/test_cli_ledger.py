"""The tool over the ledger: a pipe's cut-off last row, local times around a
clock change, values that reports cannot use, the old ledger file taken in
once, export then import reproducing everything, marks and currencies."""

import datetime as dt
import json

import pytest

from cli_support import FILLS_DAY, HEADER, requires_store

SPREAD = (
    "fill_id,order_id,key,price,qty,commission,timestamp,multiplier,currency\n"
    "X1,ORD-7,SPY 440P,6.10,12,,2024-03-05T10:02:11-05:00,100,\n"
    "X2,ORD-7,SPY 440P,6.15,8,,2024-03-05T10:02:14-05:00,100,\n"
    "X3,ORD-7,SPY 430P,2.95,-20,,2024-03-05T10:02:14-05:00,100,\n"
    "E1,,SAP,180,5,1.5,2024-03-05T10:31:00+01:00,,EUR\n"
)


@requires_store
def test_a_pipe_that_stops_mid_row_records_nothing_of_that_row(tool, write):
    # The producer died while writing 1.25: the row still parses, as 1.2.
    head = "key,orderid,price,qty,commission\n"
    r = tool("import", "-", stdin=head + "A,1,10,5,1.25\nA,2,11,5,1.2")
    assert r.returncode == 1 and "<stdin>:3: line 3 has no line end" in r.stderr and "nothing was recorded" in r.stderr
    r = tool("import", "--skip-bad", "-", stdin=head + "A,1,10,5,1.25\nA,2,11,5,1.2")
    assert r.returncode == 1 and "1 new fill" in r.stdout
    # A file on disk without a final line end is complete as it is.
    r = tool("import", write("f.csv", HEADER + "B,1,10,5,,2024-03-05T09:30:00Z"))
    assert r.returncode == 0 and "1 new fill" in r.stdout


@pytest.mark.parametrize(
    "stamp, dst, offset",
    [
        ("2024-11-03 01:30:00", None, "is ambiguous in America/New_York"),
        ("2024-11-03 01:30:00", "before", "-04:00"),
        ("2024-11-03 01:30:00", "after", "-05:00"),
        ("2024-03-10 02:30:00", None, "does not exist in America/New_York"),
        ("2024-03-10 02:30:00", "before", "-05:00"),
        ("2024-03-10 02:30:00", "after", "-04:00"),
        ("2024-03-10 03:30:00", None, "-04:00"),
    ],
)
def test_local_times_around_a_clock_change(stamp, dst, offset):
    import io
    import zoneinfo

    from marlovent._cli.fills import ReadOptions, read_file

    options = ReadOptions(fmt="csv", zone=zoneinfo.ZoneInfo("America/New_York"), dst=dst)
    parsed = read_file(io.StringIO(HEADER + f"A,1,10,5,,{stamp}\n", newline=""), "f.csv", options)
    if offset.startswith("-"):
        assert parsed.bad == [] and parsed.fills[0].timestamp.isoformat().endswith(offset)
    else:
        assert offset in parsed.bad[0].reason and "--dst before or --dst after" in parsed.bad[0].reason


@requires_store
def test_values_reports_cannot_use_are_named_in_one_line(tool, om):
    import os

    os.environ["QUENTARIS_DATA_DIR"] = str(tool.data_dir)
    try:
        mgr = om.OrderMgr("default")
        stamp = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
        mgr.add_trade("GOOD", om.Trade("1", 10.0, 5, 0.0, stamp))
        mgr.add_trade("BAD", om.Trade("7", float("nan"), 5, 0.0, stamp))
        mgr.positions.close()
    finally:
        del os.environ["QUENTARIS_DATA_DIR"]
    for command in ("positions", "report", "debug", "orders", "spreads"):
        r = tool(command)
        assert "Traceback" not in r.stderr, command
        if r.returncode:
            assert r.stderr.count("\n") == 1 and "position BAD: trade 7 has price nan" in r.stderr, (command, r.stderr)
    r = tool("health")
    assert r.returncode == 1 and "  - position BAD: trade 7 has price nan is not a finite number" in r.stdout
    assert json.loads(tool("health", "--json").stdout)["position_problems"] == ["position BAD: trade 7 has price nan is not a finite number"]


@requires_store
def test_the_old_ledger_file_is_taken_in_once(tool, write, om):
    import os

    from zelph.dualcache import DualCache

    data = tool.data_dir
    data.mkdir()
    os.environ["QUENTARIS_DATA_DIR"] = str(data)
    try:
        # What earlier versions left: positions, and fills by (key, order id) in a file of their own.
        stamp = dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
        old = DualCache(cacheName="Default", cachePrefix=str(data / "fills-"))
        mgr = om.OrderMgr("default")
        for n, (key, oid, price, qty) in enumerate([("A", "1", 10.0, 5), ("A", "2", 12.0, -5), ("B", "3", 20.0, 7)]):
            trade = om.Trade(oid, price, qty, 1.0, stamp + dt.timedelta(minutes=n))
            mgr.add_trade(key, trade)
            old[(key, oid)] = (price, qty, 1.0, trade.timestamp)
        mgr.add_trade("B", om.Trade("9", 21.0, 1, 0.0, stamp + dt.timedelta(minutes=9)))  # through the library only
        old.close()
        mgr.positions.close()
    finally:
        del os.environ["QUENTARIS_DATA_DIR"]
    assert json.loads(tool("pnl", "--json").stdout)["rows"] == []  # reading takes nothing in
    r = tool("import", write("more.csv", HEADER + "C,1,5,1,,2024-03-05T10:00:00Z\n"))
    assert r.returncode == 0 and "fills-Default.sqlite (4 fills of 2 instruments) were taken into the ledger" in r.stderr
    rows = {row["key"]: row for row in json.loads(tool("pnl", "--json").stdout)["rows"]}
    assert rows["A"]["realized"] == 10 - 2 and rows["B"]["qty"] == 8 and rows["C"]["fills"] == 1
    r = tool("import", write("again.csv", HEADER + "A,1,10.0,5,1.0,2024-03-05T09:30:00Z\n"))
    assert r.returncode == 0 and "1 duplicate" in r.stdout and "taken into" not in r.stderr


@requires_store
@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_export_then_import_into_an_empty_portfolio_reproduces_everything(tool, write, tmp_path, fmt):
    assert tool("import", str(FILLS_DAY)).returncode == 0
    assert tool("import", write("spread.csv", SPREAD)).returncode == 0
    assert tool("import", write("late.csv", "fill_id,key,price,qty,commission\nX1,SPY 440P,,,7.80\nX3,SPY 430P,,,13\n")).returncode == 0
    assert tool("cancel", "TSLA:1017-2").returncode == 0
    out = tmp_path / f"export.{fmt}"
    assert tool("export", "--format", fmt, "-o", str(out)).returncode == 0
    r = tool("--portfolio", "copy", "import", str(out))
    assert r.returncode == 0 and "0 duplicates" in r.stdout, r.stderr
    for command in (["spreads", "--json"], ["pnl", "--json"], ["pnl", "--json", "--method", "fifo"], ["history", "--json"], ["orders", "--json"]):
        a, b = tool(*command), tool("--portfolio", "copy", *command)
        assert a.returncode == b.returncode == 0 and a.stdout == b.stdout, command
    # The same positions (each portfolio lists them in the order its keys were first stored).
    a, b = (json.loads(tool(*p, "positions", "--json").stdout) for p in ([], ["--portfolio", "copy"]))
    assert sorted(a, key=lambda x: x["key"]) == sorted(b, key=lambda x: x["key"]) and len(a) == 23
    assert tool("--portfolio", "copy", "export", "--format", fmt).stdout == out.read_text(encoding="utf-8")


@requires_store
@pytest.mark.parametrize("fill_id, key, refused", [
    ("E100 ", "AA", "fill id 'E100 ' has white space around it"),
    ("E100", "A\rB", "the key 'A\\rB' of fill 'E100' holds a line break"),
])
def test_a_csv_export_that_would_not_read_back_is_refused(tool, om, tmp_path, fill_id, key, refused):
    """A fill recorded through the library under an id CSV would not carry
    back (CSV import would read it as another fill, or not at all): CSV
    export refuses it, while JSON Lines carries it there and back."""
    import os

    from marlovent.ledger import Fill, Ledger

    tool.data_dir.mkdir()
    os.environ["QUENTARIS_DATA_DIR"] = str(tool.data_dir)
    try:
        mgr = om.OrderMgr("default")
        Ledger(mgr).record(Fill(fill_id, key, 10, 5, 1, dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)))
        mgr.positions.close()
    finally:
        del os.environ["QUENTARIS_DATA_DIR"]
    out = tmp_path / "export.csv"
    r = tool("export", "-o", str(out))
    assert r.returncode == 1 and refused in r.stderr and not out.exists(), r.stderr
    r = tool("export", "--format", "jsonl", "-o", str(out.with_suffix(".jsonl")))
    assert r.returncode == 0 and json.loads(out.with_suffix(".jsonl").read_text())["fill_id"] == fill_id
    for portfolio in ("default", "copy"):  # found as recorded, or recorded as it was
        r = tool("--portfolio", portfolio, "import", str(out.with_suffix(".jsonl")))
        assert r.returncode == 0 and ("1 duplicate" if portfolio == "default" else "1 new fill") in r.stdout, r.stderr
    assert tool("--portfolio", "copy", "export", "--format", "jsonl").stdout == out.with_suffix(".jsonl").read_text()


@requires_store
def test_marks_and_currencies_in_the_tables(tool, write):
    assert tool("import", write("spread.csv", SPREAD)).returncode == 0
    marks = write("marks.csv", "key,price\nSPY 440P,8.20\nSPY 430P,3.70\nSAP,181\n")
    table = tool("positions", "--marks", marks).stdout
    assert "| Mark " in table and "| Unrealized " in table and "EUR 181.00" in table and "EUR 3.50" in table
    # 12 x 100 x (8.20 - 6.10) + 8 x 100 x (8.20 - 6.15) = 4,160.00
    assert "$4,160.00" in table
    report = tool("report", "--marks", marks).stdout
    assert "TOTALS (EUR):" in report and "TOTALS (USD):" in report and "  Market Price: EUR 181.00" in report
    summaries = json.loads(tool("report", "--json", "--marks", marks).stdout)
    assert summaries["SAP"]["marketPrice"] == 181 and summaries["SAP"]["currency"] == "EUR"
    assert summaries["SPY 440P"]["multiplier"] == 100


@requires_store
def test_an_import_killed_midway_is_completed_by_importing_again(tool, tmp_path):
    import signal
    import subprocess
    import sys
    import time

    cmd = [sys.executable, "-m", "marlovent", "--data-dir", str(tool.data_dir), "import", str(FILLS_DAY)]
    clean = tool("--portfolio", "clean", "import", str(FILLS_DAY))
    assert clean.returncode == 0
    want = [tool("--portfolio", "clean", *c).stdout for c in (["pnl", "--json"], ["history", "--json"], ["spreads"])]
    for delay in (0.2, 0.6, 1.0, 1.5):
        child = subprocess.Popen(cmd, env=tool.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        # Whatever the kill cut, the portfolio is whole: all of the file, or none of it.
        seen = tool("pnl", "--json")
        if seen.returncode:  # killed before the portfolio was made
            assert "no portfolio 'Default'" in seen.stderr, (delay, seen.stderr)
        else:
            assert json.loads(seen.stdout)["rows"] == [] or seen.stdout == want[0], delay
        r = tool("import", str(FILLS_DAY))
        assert r.returncode == 0, r.stderr
        assert [tool(*c).stdout for c in (["pnl", "--json"], ["history", "--json"], ["spreads"])] == want, delay
        assert tool("clear", "--yes").returncode == 0
