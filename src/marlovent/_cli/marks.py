"""Mark prices for the P&L and the reports: a CSV file of ``key,price``.

Keys in the file are text; a mark names a stored key by its text form (an
integer key 7 is marked as ``7``).
"""

from __future__ import annotations

import csv
from collections.abc import Hashable, Iterable, Mapping
from typing import Any, TextIO

from .fills import FileError, RowError, identifier_text, not_utf8, parse_number, shortened

Number = Any


class MarksError(FileError):
    """Rows of a marks file that cannot be used, one message each."""

    def __init__(self, rows: list[str]) -> None:
        super().__init__(f"{len(rows)} bad row{'s' if len(rows) != 1 else ''} (listed above)")
        self.rows = rows


def _header_text(row: list[str], shown: int = 4) -> str:
    """A header as a message quotes it: its first cells, each shortened."""
    text = ", ".join(shortened(c) for c in row[:shown])
    return text if len(row) <= shown else f"{text}, ... ({len(row):,} columns)"


def read_marks(stream: TextIO, source: str) -> dict[str, Number]:
    """Mark prices from CSV with the columns key and price; the key is text."""
    reader = csv.reader(stream)
    header: list[str] | None = None
    marks: dict[str, Number] = {}
    problems: list[str] = []
    try:
        for row in reader:
            line = reader.line_num
            if not row or all(not c.strip() for c in row):
                continue
            if header is None:
                header = [c.strip().lower() for c in row]
                if sorted(header) != ["key", "price"]:
                    raise FileError(f"line {line}: the header must name the columns key and price, not {_header_text(row)}")
                continue
            if len(row) != 2:
                problems.append(f"{source}:{line}: has {len(row)} cells, the header has 2")
                continue
            cells = dict(zip(header, (c.strip() for c in row)))
            key = cells["key"]
            try:
                if not key:
                    raise RowError("key is empty")
                if not cells["price"]:
                    raise RowError("price is empty")
                price = parse_number(cells["price"], "price")
                if price < 0:
                    raise RowError(f"price {price} is negative")
            except RowError as e:
                problems.append(f"{source}:{line}: {e}")
                continue
            if key in marks:
                problems.append(f"{source}:{line}: a second mark for {key}")
                continue
            marks[key] = price
    except csv.Error as e:
        raise FileError(f"line {reader.line_num}: not valid CSV ({e})") from None
    except UnicodeDecodeError as e:
        raise not_utf8(stream, e) from None
    if header is None:
        raise FileError("no header line (columns: key, price)")
    if problems:
        raise MarksError(problems)
    return marks


def marks_by_key(marks: Mapping[str, Number], keys: Iterable[Hashable]) -> tuple[dict[Hashable, Number], list[str]]:
    """The marks of the given keys (a mark names a key by its text), and the
    marked texts that name no key."""
    by_text: dict[str, list[Hashable]] = {}
    for key in keys:
        by_text.setdefault(identifier_text(key), []).append(key)
        if str(key) != identifier_text(key):
            by_text.setdefault(str(key), []).append(key)
    found: dict[Hashable, Number] = {}
    unknown: list[str] = []
    for text, price in marks.items():
        matches = by_text.get(text)
        if not matches:
            unknown.append(text)
            continue
        for key in matches:
            found.setdefault(key, price)
    return found, unknown


__all__ = ["MarksError", "read_marks", "marks_by_key"]
