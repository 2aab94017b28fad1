"""Reading fills from CSV or JSON Lines.

A fill is one row: ``key``, ``orderid``, ``price``, ``qty`` and the optional
``commission`` and ``timestamp``.  A row whose ``price`` and ``qty`` are both
empty and whose ``commission`` is given is a late commission for a fill
recorded earlier under the same key and order id.

Numbers keep their kind: ``10`` is the integer 10, ``10.0`` and ``1e3`` are
floats (IEEE doubles, the kind the portfolio's arithmetic works in).
Timestamps are ISO 8601 with a UTC offset; a timestamp without one is refused
unless the caller assumes UTC.  CSV cells are text, so CSV keys and order ids
are strings; JSON Lines keeps JSON's kinds (an integer order id stays an
integer, a list becomes a tuple).

Every problem is reported against its file and line; nothing here touches a
portfolio.
"""

from __future__ import annotations

import csv
import datetime as _dt
import io
import json
import math
import re
from collections.abc import Callable, Hashable
from dataclasses import dataclass
from typing import Any, TextIO

COLUMNS = ("key", "orderid", "price", "qty", "commission", "timestamp")
REQUIRED = ("key", "orderid", "price", "qty")

Number = int | float


@dataclass(frozen=True, slots=True)
class Fill:
    """One parsed row: a fill, or a late commission when price and qty are None."""

    source: str
    line: int
    key: Hashable
    orderid: Hashable
    price: Number | None
    qty: Number | None
    commission: Number | None
    timestamp: _dt.datetime | None

    @property
    def commission_only(self) -> bool:
        return self.price is None and self.qty is None

    def where(self) -> str:
        return f"{self.source}:{self.line}"


@dataclass(frozen=True, slots=True)
class BadRow:
    """A row that cannot be recorded, with the reason."""

    source: str
    line: int
    reason: str

    def __str__(self) -> str:
        return f"{self.source}:{self.line}: {self.reason}"


class FileError(Exception):
    """The file as a whole cannot be read as fills (header, encoding, format)."""


class RowError(ValueError):
    """One cell or row is wrong; the message says which and why."""


# ------------------------------------------------------------------ cell parsing

_INT = re.compile(r"[+-]?[0-9]+\Z")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")


def parse_number(text: str, what: str) -> Number:
    """An integer when the text is one, otherwise a finite float."""
    t = text.strip()
    if _INT.match(t):
        try:
            return int(t)
        except ValueError:  # beyond the interpreter's digit limit
            raise RowError(f"{what} {text!r} has too many digits") from None
    if _FLOAT.match(t):
        value = float(t)
        if math.isfinite(value):
            return value
        raise RowError(f"{what} {text!r} is too large")
    if "," in t or "_" in t:
        raise RowError(f"{what} {text!r} is not a number: write it without separators, e.g. 1234.5")
    raise RowError(f"{what} {text!r} is not a number")


def parse_timestamp(text: str, assume_utc: bool) -> _dt.datetime:
    """An aware datetime from ISO 8601 text ('Z' or an offset such as +02:00)."""
    t = text.strip()
    try:
        value = _dt.datetime.fromisoformat(t)
    except ValueError:
        raise RowError(f"timestamp {text!r} is not ISO 8601, e.g. 2024-03-05T09:30:12+00:00") from None
    if value.tzinfo is None or value.utcoffset() is None:
        if not assume_utc:
            raise RowError(
                f"timestamp {text!r} has no UTC offset: add one (Z or +00:00), or pass --assume-utc"
            )
        value = value.replace(tzinfo=_dt.timezone.utc)
    return value


def _json_number(value: Any, what: str) -> Number:
    if isinstance(value, bool):
        raise RowError(f"{what} {value!r} is not a number")
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise RowError(f"{what} {value!r} is not a finite number")
        return value
    if isinstance(value, str):
        return parse_number(value, what)
    raise RowError(f"{what} {value!r} is not a number")


def _json_identifier(value: Any, what: str) -> Hashable:
    if isinstance(value, str):
        if not value.strip():
            raise RowError(f"{what} is empty")
        return value
    if isinstance(value, bool) or value is None:
        raise RowError(f"{what} {json.dumps(value)} is not usable: give a string or an integer")
    if isinstance(value, (int, float)):
        return value
    if isinstance(value, list):
        return tuple(_json_identifier(v, what) for v in value)
    raise RowError(f"{what} {json.dumps(value)} is not usable: give a string or an integer")


def _build(
    source: str,
    line: int,
    key: Hashable,
    orderid: Hashable,
    number: Callable[[str], Number | None],
    stamp: str | None,
    assume_utc: bool,
) -> Fill:
    """A fill from its cells; ``number(name)`` reads one numeric cell (None when empty)."""
    price, qty, commission = number("price"), number("qty"), number("commission")
    timestamp = parse_timestamp(stamp, assume_utc) if stamp else None
    if price is None and qty is None:
        if commission is None:
            raise RowError("price and qty are empty (a late commission row gives the commission)")
    elif price is None:
        raise RowError("price is empty")
    elif qty is None:
        raise RowError("qty is empty")
    else:
        if price < 0:
            raise RowError(f"price {price} is negative: sells are negative quantities at a positive price")
        if qty == 0:
            raise RowError("qty is zero")
    return Fill(source, line, key, orderid, price, qty, commission, timestamp)


# ------------------------------------------------------------------ CSV


def _csv_header(row: list[str]) -> list[str]:
    names = [cell.strip().lower() for cell in row]
    unknown = [n for n in names if n not in COLUMNS]
    if unknown:
        raise FileError(
            f"unknown column {unknown[0]!r} in the header (columns: {', '.join(COLUMNS)}; "
            "commission and timestamp are optional)"
        )
    missing = [c for c in REQUIRED if c not in names]
    if missing:
        raise FileError(f"the header lacks the column {missing[0]!r} (columns: {', '.join(COLUMNS)})")
    dup = [n for n in names if names.count(n) > 1]
    if dup:
        raise FileError(f"the header names the column {dup[0]!r} twice")
    return names


def _csv_row(source: str, line: int, names: list[str], row: list[str], assume_utc: bool) -> Fill:
    if len(row) != len(names):
        raise RowError(f"has {len(row)} cells, the header has {len(names)}")
    cells = {n: c.strip() for n, c in zip(names, row)}
    key = cells["key"]
    orderid = cells["orderid"]
    if not key:
        raise RowError("key is empty")
    if not orderid:
        raise RowError("orderid is empty")

    def number(name: str) -> Number | None:
        text = cells.get(name, "")
        return parse_number(text, name) if text else None

    stamp = cells.get("timestamp", "")
    return _build(source, line, key, orderid, number, stamp, assume_utc)


def read_csv(stream: TextIO, source: str, assume_utc: bool) -> tuple[list[Fill], list[BadRow]]:
    fills: list[Fill] = []
    bad: list[BadRow] = []
    reader = csv.reader(stream)
    names: list[str] | None = None
    line = 1
    try:
        for row in reader:
            start, line = line, reader.line_num + 1
            if not row or all(not c.strip() for c in row):
                continue
            if names is None:
                names = _csv_header(row)
                continue
            try:
                fills.append(_csv_row(source, start, names, row, assume_utc))
            except RowError as e:
                bad.append(BadRow(source, start, str(e)))
    except csv.Error as e:
        raise FileError(f"line {reader.line_num}: not valid CSV ({e})") from None
    if names is None:
        raise FileError(f"no header line (columns: {', '.join(COLUMNS)})")
    return fills, bad


# ------------------------------------------------------------------ JSON Lines


def _json_row(source: str, line: int, obj: Any, assume_utc: bool) -> Fill:
    if not isinstance(obj, dict):
        raise RowError("is not a JSON object")
    unknown = [k for k in obj if k not in COLUMNS]
    if unknown:
        raise RowError(f"unknown field {unknown[0]!r} (fields: {', '.join(COLUMNS)})")
    for name in ("key", "orderid"):
        if name not in obj:
            raise RowError(f"{name} is missing")
    key = _json_identifier(obj["key"], "key")
    orderid = _json_identifier(obj["orderid"], "orderid")

    def number(name: str) -> Number | None:
        value = obj.get(name)
        if value is None or value == "":
            return None
        return _json_number(value, name)

    stamp = obj.get("timestamp")
    if stamp is not None and not isinstance(stamp, str):
        raise RowError(f"timestamp {json.dumps(stamp)} is not ISO 8601 text")
    return _build(source, line, key, orderid, number, stamp, assume_utc)


def read_jsonl(stream: TextIO, source: str, assume_utc: bool) -> tuple[list[Fill], list[BadRow]]:
    fills: list[Fill] = []
    bad: list[BadRow] = []
    for number, text in enumerate(stream, 1):
        if not text.strip():
            continue
        try:
            obj = json.loads(text)
        except json.JSONDecodeError as e:
            bad.append(BadRow(source, number, f"not valid JSON ({e.msg} at column {e.colno})"))
            continue
        try:
            fills.append(_json_row(source, number, obj, assume_utc))
        except RowError as e:
            bad.append(BadRow(source, number, str(e)))
    return fills, bad


# ------------------------------------------------------------------ dispatch


def detect_format(name: str, head: str) -> str:
    """'csv' or 'jsonl', from the file name or else from the first character."""
    lower = name.lower()
    if lower.endswith((".jsonl", ".ndjson", ".json")):
        return "jsonl"
    if lower.endswith((".csv", ".txt")):
        return "csv"
    return "jsonl" if head.lstrip().startswith("{") else "csv"


def read_fills(
    stream: TextIO, source: str, fmt: str | None, assume_utc: bool
) -> tuple[list[Fill], list[BadRow]]:
    """Parse a whole stream; returns the good fills and the bad rows in file order."""
    try:
        text = stream.read()
    except UnicodeDecodeError as e:
        raise FileError(f"is not UTF-8 text ({e.reason} at byte {e.start})") from None
    fmt = fmt or detect_format(source, text[:256])
    body = io.StringIO(text, newline=None) if fmt == "jsonl" else io.StringIO(text, newline="")
    if fmt == "jsonl":
        return read_jsonl(body, source, assume_utc)
    return read_csv(body, source, assume_utc)


def identifier_text(value: Hashable) -> str:
    """How a key or order id is written in messages."""
    return value if isinstance(value, str) else repr(value)


def describe(price: Any, qty: Any, timestamp: Any) -> str:
    when = f" at {timestamp.isoformat()}" if isinstance(timestamp, _dt.datetime) else ""
    return f"qty {qty} @ {price}{when}"


__all__ = [
    "COLUMNS",
    "Fill",
    "BadRow",
    "FileError",
    "RowError",
    "parse_number",
    "parse_timestamp",
    "read_fills",
    "detect_format",
]
