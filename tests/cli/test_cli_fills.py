"""Reading fills: numbers keep their kind, timestamps need an offset, every
bad row is reported with its line."""

import datetime as dt
import io
import struct
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from marlovent._cli.fills import FileError, RowError, detect_format, parse_number, parse_timestamp, read_fills

HEADER = "key,orderid,price,qty,commission,timestamp\n"


def csv_fills(text, assume_utc=False):
    return read_fills(io.StringIO(text, newline=""), "f.csv", "csv", assume_utc)


def jsonl_fills(text, assume_utc=False):
    return read_fills(io.StringIO(text), "f.jsonl", "jsonl", assume_utc)


@given(st.integers(min_value=-(10**40), max_value=10**40))
def test_integers_stay_integers(n):
    value = parse_number(str(n), "qty")
    assert type(value) is int and value == n


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_floats_come_back_bit_for_bit(x):
    value = parse_number(repr(x), "price")
    assert type(value) is float
    assert struct.pack("<d", value) == struct.pack("<d", x)


@pytest.mark.parametrize(
    "text, kind, value",
    [("10", int, 10), ("-7", int, -7), ("+3", int, 3), ("10.0", float, 10.0), ("1e3", float, 1000.0), (".5", float, 0.5), (" 2.5 ", float, 2.5)],
)
def test_number_kinds(text, kind, value):
    got = parse_number(text, "qty")
    assert type(got) is kind and got == value


@pytest.mark.parametrize(
    "text, hint",
    [("1,000", "without separators"), ("1_000", "without separators"), ("nan", "not a number"), ("inf", "not a number"), ("abc", "not a number"), ("1e999", "too large"), ("0x10", "not a number")],
)
def test_numbers_refused(text, hint):
    with pytest.raises(RowError, match=hint):
        parse_number(text, "price")


@pytest.mark.parametrize(
    "text, offset",
    [("2024-03-05T09:30:00+00:00", 0), ("2024-03-05T09:30:00Z", 0), ("2024-03-05 09:30:00-05:00", -5 * 3600), ("2024-03-05T09:30:00.123456+05:30", 19800)],
)
def test_timestamps_keep_their_offset(text, offset):
    value = parse_timestamp(text, False)
    assert value.utcoffset() == dt.timedelta(seconds=offset)


def test_naive_timestamp_needs_assume_utc():
    with pytest.raises(RowError, match="--assume-utc"):
        parse_timestamp("2024-03-05T09:30:00", False)
    value = parse_timestamp("2024-03-05T09:30:00", True)
    assert value == dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone.utc)
    with pytest.raises(RowError, match="ISO 8601"):
        parse_timestamp("05/03/2024 09:30", True)


def test_csv_rows_and_kinds():
    fills, bad = csv_fills(
        " Key , ORDERID,price,qty,commission,timestamp\n"
        "AAPL,1,187.5,100,1.0,2024-03-05T09:30:00Z\n"
        "\n"
        "AAPL,2,188,-40,,\n"
        "AAPL,1,,,2.5,\n"
    )
    assert bad == []
    first, second, late = fills
    assert (first.key, first.orderid, first.price, first.qty, first.commission) == ("AAPL", "1", 187.5, 100, 1.0)
    assert type(first.qty) is int and type(first.price) is float
    assert type(second.price) is int and second.commission is None and second.timestamp is None
    assert second.line == 4 and late.commission_only and late.commission == 2.5


def test_csv_columns_in_any_order_and_optional_ones_missing():
    fills, bad = csv_fills("qty,price,orderid,key\n5,10.5,A1,X\n")
    assert bad == [] and (fills[0].key, fills[0].qty, fills[0].price) == ("X", 5, 10.5)


@pytest.mark.parametrize(
    "header, message",
    [
        ("key,orderid,price,qty,comission\n", "unknown column 'comission'"),
        ("key,orderid,price\n", "lacks the column 'qty'"),
        ("key,orderid,price,qty,qty\n", "twice"),
        ("\n\n", "no header"),
        # Longer than a line is read: named as the header, not taken from the first row.
        ("key,orderid,price,qty" + ",x" * 40000 + "\n", "line 1: the header line is longer than 65,536 characters"),
    ],
)
def test_csv_bad_header_rejects_the_file(header, message):
    with pytest.raises(FileError, match=message):
        csv_fills(header + ("X,1,1,1\n" if header.strip() else ""))


def test_every_bad_row_is_reported_with_its_line():
    text = HEADER + (
        "A,1,10,5,,\n"  # 2: good
        "A,2,-1,5,,\n"  # 3: negative price
        "A,3,10,0,,\n"  # 4: zero quantity
        ",4,10,1,,\n"  # 5: no key
        "A,,10,1,,\n"  # 6: no order id
        "A,6,10,,,\n"  # 7: no qty
        "A,7,ten,1,,\n"  # 8: not a number
        "A,8,10,1,,2024-03-05T09:30:00\n"  # 9: naive time
        "A,9,10,1\n"  # 10: short row
        'A,"1\n0",10,1,,\n'  # 11-12: a quoted cell over two lines is still line 11
        "A,10,,,,\n"  # 13: nothing to record
    )
    fills, bad = csv_fills(text)
    assert [f.line for f in fills] == [2, 11]
    assert [b.line for b in bad] == [3, 4, 5, 6, 7, 8, 9, 10, 13]
    reasons = [b.reason for b in bad]
    assert "negative" in reasons[0] and "zero" in reasons[1] and "key is empty" in reasons[2]
    assert "orderid is empty" in reasons[3] and "qty is empty" in reasons[4]
    assert "--assume-utc" in reasons[6] and "cells" in reasons[7]
    assert str(bad[0]).startswith("f.csv:3: ")


def test_jsonl_keeps_json_kinds():
    fills, bad = jsonl_fills(
        '{"key": "AAPL", "orderid": 17, "price": 187, "qty": 10.0, "timestamp": "2024-03-05T09:30:00Z"}\n'
        "\n"
        '{"key": ["SPY", 510, "C"], "orderid": "V1", "price": "5.1", "qty": -3}\n'
        '{"key": "X", "orderid": true, "price": 1, "qty": 1}\n'
        '{"key": "X", "orderid": 1, "price": 1, "qty": 1, "size": 3}\n'
        "not json\n"
        '{"key": "X", "orderid": 2, "price": NaN, "qty": 1}\n'
        "[1, 2]\n"
    )
    assert [f.line for f in fills] == [1, 3]
    a, b = fills
    # A decimal quantity is the number written: 10.0 is the integer 10.
    assert type(a.orderid) is int and type(a.price) is int and type(a.qty) is int and a.qty == 10
    assert b.key == ("SPY", 510, "C") and b.price == 5.1
    assert [x.line for x in bad] == [4, 5, 6, 7, 8]
    assert "unknown field 'size'" in bad[1].reason and "not valid JSON" in bad[2].reason


@pytest.mark.parametrize(
    "name, head, fmt",
    [("a.csv", "{", "csv"), ("a.jsonl", "key", "jsonl"), ("a.ndjson", "", "jsonl"), ("<stdin>", ' {"key"', "jsonl"), ("<stdin>", "key,", "csv")],
)
def test_format_detection(name, head, fmt):
    assert detect_format(name, head) == fmt


def test_finite_floats_only_from_json():
    _, bad = jsonl_fills(
        '{"key": "X", "orderid": 1, "price": 1e400, "qty": 1}\n'
        '{"key": "X", "orderid": 2, "price": 1, "qty": 1e-400}\n'
        '{"key": 1e-400, "orderid": 3, "price": 1, "qty": 1}\n'
    )
    assert [b.reason for b in bad] == [  # as written, not as inf or 0
        "price 1e400 is too large",
        "qty 1e-400 is too small for a double (it would read as 0)",
        "key 1e-400 is not usable: give a string or a finite number a double holds",
    ]


# One more digit than int() reads (Python's int_max_str_digits).
LONG = "1" * (sys.get_int_max_str_digits() + 1)
TOO_LONG = f"has {len(LONG):,} digits"
JSON_FILL = '{"key": "A", "orderid": 1, "price": 1, "qty": 1}'


@pytest.mark.parametrize(
    "fmt, row, reason",
    [
        ("jsonl", JSON_FILL.replace('"A"', "[" * 900 + '"A"' + "]" * 900), "nested too deeply"),
        ("jsonl", "[" * 30000 + "]" * 30000, "nested too deeply"),
        ("jsonl", JSON_FILL.replace('"qty": 1', f'"qty": {LONG}'), TOO_LONG),
        ("jsonl", JSON_FILL.replace('"price": 1', f'"price": "1/{LONG}"'), TOO_LONG + " in its denominator"),
        ("csv", f"A,2,1/{LONG},1,,", TOO_LONG + " in its denominator"),
        ("csv", f"A,2,-{LONG}/3,1,,", TOO_LONG + " in its numerator"),
        ("csv", f"A,2,1,{LONG},,", TOO_LONG),
        ("csv", f"A,2,1,{LONG}.5,,", "is too large"),
        ("csv", "A,2,1,1e-400,,", "too small for a double"),
        # Times whose UTC instant is beyond the years datetime holds.
        ("csv", "A,2,1,1,,9999-12-31T23:59:59-05:00", "timestamp '9999-12-31T23:59:59-05:00' is out of range"),
        ("jsonl", JSON_FILL.replace('"qty": 1', '"qty": 1, "timestamp": "0001-01-01T00:00:00+05:00"'), "is out of range"),
        # What no store or report could hold as a key or an id.
        ("jsonl", JSON_FILL.replace('"A"', "1e999"), "finite number"),
        ("jsonl", JSON_FILL.replace('"A"', '"\\ud800"'), "lone surrogate"),
        ("jsonl", JSON_FILL.replace('"orderid": 1', '"fill_id": "x\\udfff"'), "lone surrogate"),
    ],
)
def test_rows_beyond_what_python_reads_are_bad_rows_of_their_line(fmt, row, reason):
    """Too deep or too long for the interpreter, or no text: a bad row like
    any other, between good rows that are still read."""
    if fmt == "jsonl":
        fills, bad = jsonl_fills(f"{JSON_FILL}\n{row}\n{JSON_FILL.replace('"A"', '"B"')}\n")
    else:
        fills, bad = csv_fills(f"{HEADER}A,1,1,1,,\n{row}\nB,1,1,1,,\n")
    assert [f.key for f in fills] == ["A", "B"]
    bad_line = 3 if fmt == "csv" else 2
    assert [b.line for b in bad] == [bad_line] and reason in bad[0].reason and len(bad[0].reason) < 200
