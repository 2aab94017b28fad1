"""Broker exports: a column map, a strptime format, a time zone, negative
commissions; whole-header reports; bounded lines; the import summary."""

import datetime as dt
import io
import json

import pytest

from cli_support import HEADER, requires_store
from marlovent._cli.fills import MAX_LINE, FileError, ReadOptions, read_file

BROKER = (
    "ClientAccountID,Symbol,DateTime,Buy/Sell,Quantity,TradePrice,IBCommission,TradeID,Exchange\n"
    "U1234567,AAPL,20240305;093012,BUY,100,187.5,-1.0,9001,NASDAQ\n"
    "U1234567,AAPL,20240311;153000,SELL,-40,189.25,-0.35,9002,NASDAQ\n"
    "U1234567,MSFT,20240305;100000,SELL,-10,402,0,9003,ARCA\n"
)
MAP = "Symbol=key,TradeID=orderid,TradePrice=price,Quantity=qty,IBCommission=commission,DateTime=timestamp"
NY = ["--time-format", "%Y%m%d;%H%M%S", "--tz", "America/New_York"]
COLUMNS = {
    "symbol": "key",
    "tradeid": "orderid",
    "tradeprice": "price",
    "quantity": "qty",
    "ibcommission": "commission",
    "datetime": "timestamp",
}


def parse(text, fmt="csv", **options):
    return read_file(io.StringIO(text, newline=""), f"f.{fmt}", ReadOptions(fmt=fmt, **options))


def test_a_mapped_export_reads_with_its_zone_and_sign():
    from zoneinfo import ZoneInfo

    p = parse(BROKER, columns=COLUMNS, time_format="%Y%m%d;%H%M%S", zone=ZoneInfo("America/New_York"), negate_commission=True)
    assert p.bad == []
    a, b, c = p.fills
    assert (a.key, a.orderid, a.price, a.qty, a.commission) == ("AAPL", "9001", 187.5, 100, 1.0)
    # Standard time before the 10 March 2024 change, daylight time after it.
    assert a.timestamp == dt.datetime(2024, 3, 5, 9, 30, 12, tzinfo=dt.timezone(dt.timedelta(hours=-5)))
    assert b.timestamp.utcoffset() == dt.timedelta(hours=-4) and b.commission == 0.35
    assert c.commission == 0 and type(c.commission) is int
    assert p.notes == ["columns not mapped, ignored: ClientAccountID, Buy/Sell, Exchange"]


def test_negative_commissions_without_the_flag_are_kept_and_noted():
    p = parse(BROKER, columns=COLUMNS, time_format="%Y%m%d;%H%M%S", assume_utc=True)
    assert [f.commission for f in p.fills] == [-1.0, -0.35, 0]
    assert any("2 commissions are negative" in n and "--negate-commission" in n for n in p.notes)


@pytest.mark.parametrize(
    "header, columns, pieces",
    [
        ("key,orderid,prise,qtty,comission\n", None, ["'prise', 'qtty', 'comission'", "lacks the columns 'price', 'qty'"]),
        ("key,key,orderid\n", None, ["'price', 'qty'", "'key' twice"]),
        ("Symbol,Price\n", {"symbol": "key", "tradeid": "orderid", "price": "price"}, ["mapped column 'tradeid'", "no column for 'qty'"]),
    ],
)
def test_every_header_problem_is_reported_at_once(header, columns, pieces):
    with pytest.raises(FileError) as e:
        parse(header + "X,1,1,1,1\n", columns=columns)
    for piece in pieces:
        assert piece in str(e.value)


def test_jsonl_fields_are_mapped_too():
    text = json.dumps({"Symbol": "AAPL", "TradeID": 7, "TradePrice": 1.5, "Quantity": 2, "Venue": "X"}) + "\n"
    p = parse(text, fmt="jsonl", columns=COLUMNS)
    assert p.bad == [] and (p.fills[0].key, p.fills[0].orderid) == ("AAPL", 7)
    assert p.notes == ["fields not mapped, ignored: Venue"]


@pytest.mark.parametrize("stamp, message", [("2024-03-05 09:30", "does not match --time-format"), ("20240305;093012", "--tz ZONE")])
def test_timestamp_problems_name_the_option(stamp, message):
    p = parse(HEADER + f"A,1,10,5,,{stamp}\n", time_format="%Y%m%d;%H%M%S")
    assert len(p.bad) == 1 and message in p.bad[0].reason


@pytest.mark.parametrize(
    "stamp, offset",
    [("2024-01-15T09:30:00", -5), ("2024-07-15 09:30:00", -4), ("2024-07-15T09:30:00+02:00", 2), ("2024-07-15T09:30:00Z", 0)],
)
def test_iso_times_without_an_offset_take_the_zone(stamp, offset):
    from zoneinfo import ZoneInfo

    p = parse(HEADER + f"A,1,10,5,,{stamp}\n", zone=ZoneInfo("America/New_York"))
    assert p.bad == [] and p.fills[0].timestamp.utcoffset() == dt.timedelta(hours=offset)
    assert p.fills[0].timestamp.replace(tzinfo=None) == dt.datetime.fromisoformat(stamp).replace(tzinfo=None)


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_a_huge_line_is_refused_without_reading_it_whole(fmt):
    class Counting(io.StringIO):
        largest = 0

        def readline(self, size=-1):
            assert size != -1, "a line was read without a bound"
            text = super().readline(size)
            Counting.largest = max(Counting.largest, len(text))
            return text

    good = "A,1,10,5,,\n" if fmt == "csv" else '{"key": "A", "orderid": 1, "price": 10, "qty": 5}\n'
    head = HEADER if fmt == "csv" else ""
    text = head + good + "B," + "9" * (MAX_LINE * 20) + "\n" + good.replace("1", "2", 1)
    p = read_file(Counting(text, newline=""), f"f.{fmt}", ReadOptions(fmt=fmt, assume_utc=True))
    huge = 3 if fmt == "csv" else 2
    assert [f.line for f in p.fills] == [huge - 1, huge + 1]
    assert [b.line for b in p.bad] == [huge] and "longer than" in p.bad[0].reason
    assert Counting.largest <= MAX_LINE + 1


@requires_store
def test_a_broker_export_end_to_end(tool, write):
    path = write("trades.csv", BROKER)
    r = tool("import", path)
    assert r.returncode == 1 and "unknown columns 'ClientAccountID', 'Symbol'" in r.stderr and "--map" in r.stderr
    r = tool("import", "-", "--map", MAP, *NY, "--negate-commission", stdin=BROKER)
    assert r.returncode == 0, r.stderr
    assert r.stderr.count("ignored: ClientAccountID, Buy/Sell, Exchange") == 1
    positions = {p["key"]: p for p in json.loads(tool("positions", "--json").stdout)}
    assert positions["AAPL"]["qty"] == 60 and positions["AAPL"]["total_commission"] == 1.35
    assert positions["AAPL"]["trades"][1]["timestamp"] == "2024-03-11T15:30:00-04:00"
    # Again: every row is a duplicate, and every count is printed.
    r = tool("import", path, "--map", MAP, *NY, "--negate-commission")
    assert r.stdout.strip() == (
        "Portfolio Default: 0 new fills, 3 duplicates ignored, 0 commissions updated, 0 positions closed"
    )


@requires_store
def test_the_summary_says_rows_were_skipped(tool, write):
    path = write("bad.csv", HEADER + "A,1,10,5,,\nA,2,x,1,,\n")
    r = tool("import", "--skip-bad", path)
    assert r.returncode == 1
    assert r.stdout.strip().endswith("0 positions closed, 1 bad row skipped")
    r = tool("import", path)
    assert r.returncode == 1 and r.stdout.strip().endswith("1 file not recorded")
