"""Reading fills from CSV or JSON Lines.

A fill is one row: ``key``, ``price``, ``qty``, and either ``fill_id`` (the
broker's execution id) with an optional ``order_id`` (shared by the partial
fills and the legs of one order), or ``orderid`` (a file without fill ids:
each row is then the trade of its own order id, its fill id being
``KEY:ORDERID``); optional ``commission``, ``timestamp``, ``multiplier`` and
``currency``.  A row whose ``price`` and ``qty`` are both empty and whose
``commission`` is given is a late commission for a fill recorded earlier.

Numbers keep their kind: ``10`` is the integer 10, ``10.0`` and ``1e3`` are
floats (IEEE doubles, the kind the portfolio's arithmetic works in).
Timestamps are ISO 8601 with a UTC offset; a timestamp without one is refused
unless the caller assumes UTC.  CSV cells are text, so CSV keys and order ids
are strings; JSON Lines keeps JSON's kinds (an integer order id stays an
integer, a list becomes a tuple).

A broker's export is read through a column map (``--map SRC=FIELD``: with a
map, unmapped columns are ignored), a ``strptime`` format for its timestamps,
a time zone for timestamps without an offset, and commissions that it reports
as negative numbers.

Every problem is reported against its file and line; nothing here touches a
portfolio.  Input is read line by line and a line longer than ``MAX_LINE``
characters is refused without being held in memory whole.
"""

from __future__ import annotations

import csv
import datetime as _dt
import itertools
import json
import math
import re
import sys
from fractions import Fraction
from collections.abc import Callable, Hashable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, TextIO

from ..ledger.fills import instant
from ..ledger.orderids import trade_fill_id

COLUMNS = ("key", "orderid", "fill_id", "order_id", "price", "qty", "commission", "timestamp", "multiplier", "currency")
REQUIRED = ("key", "price", "qty")
# One of these names each fill: the execution id, or (without one) the trade's own order id.
IDENTIFIERS = ("fill_id", "orderid")

Number = int | float | Fraction

# The longest line read (characters); a fill takes a few dozen.
MAX_LINE = 65536


@dataclass(frozen=True)
class ReadOptions:
    """How to read one run's files: format, column map, time and commission rules."""

    fmt: str | None = None
    assume_utc: bool = False
    columns: Mapping[str, str] | None = None  # source column (lower case) -> field
    time_format: str | None = None
    zone: _dt.tzinfo | None = None
    negate_commission: bool = False
    dst: str | None = None  # "before" / "after": the offset for a local time a clock change makes ambiguous or skips
    require_line_end: bool = False  # a pipe: a last line without its line end is a row cut short


@dataclass(frozen=True, slots=True)
class Row:
    """One parsed row: a fill, or a late commission when price and qty are None.

    ``fill_id`` is the row's own or, for a row that gives only ``orderid``,
    ``KEY:ORDERID``; ``order_id`` is the order the fill belongs to (the
    ``orderid`` of such a row)."""

    source: str
    line: int
    key: Hashable
    orderid: Hashable  # the row's orderid cell (None when it gives fill_id)
    price: Number | None
    qty: Number | None
    commission: Number | None
    timestamp: _dt.datetime | None
    fill_id: str = ""
    order_id: Hashable = None
    multiplier: Number | None = None
    currency: str | None = None

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


@dataclass
class Parsed:
    """What one file gave: the good fills, the bad rows (file order) and notes."""

    fills: list[Row] = field(default_factory=list)
    bad: list[BadRow] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


class FileError(Exception):
    """The file as a whole cannot be read as fills (header, encoding, format)."""


class RowError(ValueError):
    """One cell or row is wrong; the message says which and why."""


# ------------------------------------------------------------------ cell parsing

_INT = re.compile(r"[+-]?[0-9]+\Z")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_FRACTION = re.compile(r"[+-]?[0-9]+/[0-9]+\Z")


def _underflows(value: float, text: str) -> bool:
    """Whether a number written with a digit other than 0 read as 0."""
    return value == 0 and any(c in "123456789" for c in text.lower().partition("e")[0])


def parse_number(text: str, what: str) -> Number:
    """An integer when the text is one, a Fraction for ``N/D`` (as an export of
    fractions recorded through the library writes them), otherwise a finite float."""
    t = text.strip()
    if _INT.match(t):
        try:
            return int(t)
        except ValueError:  # beyond the interpreter's digit limit
            raise too_many_digits(what, t, t.lstrip("+-")) from None
    if _FLOAT.match(t):
        value = float(t)
        if _underflows(value, t):
            raise RowError(f"{what} {shortened(t)!r} is too small for a double (it would read as 0)")
        if math.isfinite(value):
            return value
        raise RowError(f"{what} {shortened(t)!r} is too large")
    if _FRACTION.match(t):
        try:
            exact = Fraction(t)
            float(exact)
        except ZeroDivisionError:
            raise RowError(f"{what} {shortened(text)!r} divides by zero") from None
        except ValueError:  # the numerator or the denominator is beyond the digit limit
            numerator, denominator = t.lstrip("+-").split("/")
            if len(denominator) > len(numerator):
                raise too_many_digits(what, t, denominator, "denominator") from None
            raise too_many_digits(what, t, numerator, "numerator") from None
        except OverflowError:
            raise RowError(f"{what} {shortened(text)!r} is too large") from None
        return exact
    if "," in t or "_" in t:
        raise RowError(f"{what} {shortened(text)!r} is not a number: write it without separators, e.g. 1234.5")
    raise RowError(f"{what} {shortened(text)!r} is not a number")


def written_decimal(value: float) -> int | Fraction:
    """The decimal a float quantity was written as (the shortest text that
    reads back as it), exactly.  Quantities written in decimals then add up
    as written: 0.1 + 0.2 - 0.3 closes a position, where floats leave
    5.6e-17 of it open at an average price in the quadrillions."""
    exact = Fraction(repr(value))
    return exact.numerator if exact.denominator == 1 else exact


def as_written(value: Any) -> Any:
    """A quantity as it was written: a fraction read from a decimal as that
    decimal (a float, for text and export); anything else as it is."""
    if type(value) is Fraction:
        try:
            if written_decimal(float(value)) == value:
                return float(value)
        except OverflowError:
            pass
    return value


def shortened(text: str) -> str:
    """A cell's text as a message quotes it: its ends when it is long."""
    return text if len(text) <= 32 else f"{text[:16]}...{text[-8:]}"


def too_many_digits(what: str, text: str, digits: str, part: str = "") -> RowError:
    """``text`` holds the integer ``digits`` (its ``part``), longer than int() reads."""
    limit = sys.get_int_max_str_digits()
    shown = shortened(text)
    where = f" in its {part}" if part else ""
    return RowError(f"{what} {shown!r} has {len(digits):,} digits{where}, more than the {limit:,} a number may have")


DST_CHOICES = ("before", "after")


def in_zone(value: _dt.datetime, zone: _dt.tzinfo, dst: str | None = None) -> _dt.datetime:
    """A local time of ``zone`` with that zone's offset at that moment, kept as
    a fixed offset.  A time a clock change skips (spring forward) or repeats
    (fall back) has two candidate offsets: ``dst`` "before" takes the one in
    force before the change, "after" the one after it; without ``dst`` such a
    time is refused."""
    naive = value.replace(tzinfo=None)
    first = naive.replace(tzinfo=zone, fold=0).utcoffset()
    second = naive.replace(tzinfo=zone, fold=1).utcoffset()
    if first is None or second is None:
        raise RowError(f"time zone {zone} gives no UTC offset for {value.isoformat()}")
    if first != second:
        if dst is None:
            if _skipped(naive, zone):
                why = f"does not exist in {zone} (the clocks skip it when they spring forward)"
            else:
                why = f"is ambiguous in {zone} (it occurs twice when the clocks fall back)"
            raise RowError(
                f"local time {naive.isoformat(sep=' ')} {why}; pass --dst before or --dst after "
                f"to take the UTC offset in force before ({_offset(first)}) or after ({_offset(second)}) the change"
            )
        return naive.replace(tzinfo=_dt.timezone(first if dst == "before" else second))
    return naive.replace(tzinfo=_dt.timezone(first))


def _skipped(naive: _dt.datetime, zone: _dt.tzinfo) -> bool:
    local = naive.replace(tzinfo=zone)
    return local.astimezone(_dt.timezone.utc).astimezone(zone).replace(tzinfo=None) != naive


def _offset(delta: _dt.timedelta) -> str:
    return _dt.datetime(2000, 1, 1, tzinfo=_dt.timezone(delta)).strftime("%:z")


def parse_timestamp(
    text: str,
    assume_utc: bool,
    time_format: str | None = None,
    zone: _dt.tzinfo | None = None,
    dst: str | None = None,
) -> _dt.datetime:
    """An aware datetime from ISO 8601 text ('Z' or an offset such as +02:00),
    or from ``time_format``; a time without an offset is taken in ``zone``
    (see :func:`in_zone` for ``dst``), else as UTC when ``assume_utc``."""
    t = text.strip()
    if time_format is not None:
        try:
            value = _dt.datetime.strptime(t, time_format)
        except ValueError:
            raise RowError(f"timestamp {text!r} does not match --time-format {time_format!r}") from None
    else:
        try:
            value = _dt.datetime.fromisoformat(t)
        except ValueError:
            raise RowError(
                f"timestamp {text!r} is not ISO 8601, e.g. 2024-03-05T09:30:12+00:00 "
                "(--time-format FMT reads other forms)"
            ) from None
    if value.tzinfo is None or value.utcoffset() is None:
        if zone is not None:
            value = in_zone(value.replace(tzinfo=None), zone, dst)
        elif not assume_utc:
            raise RowError(
                f"timestamp {text!r} has no UTC offset: add one (Z or +00:00), "
                "or pass --tz ZONE (e.g. --tz America/New_York) or --assume-utc"
            )
        else:
            value = value.replace(tzinfo=_dt.timezone.utc)
    try:
        instant(value)  # fills are ordered and compared by their UTC instant
    except OverflowError:
        raise RowError(
            f"timestamp {shortened(text)!r} is out of range: in UTC it falls outside the years 1 to 9999"
        ) from None
    return value


def _json_number(value: Any, what: str) -> Number:
    if isinstance(value, bool):
        raise RowError(f"{what} {value!r} is not a number")
    if isinstance(value, int):
        return value
    if isinstance(value, _WrittenFloat):
        if value == 0:
            raise RowError(f"{what} {written(value)} is too small for a double (it would read as 0)")
        raise RowError(f"{what} {written(value)} is too large")
    if isinstance(value, float):
        if not math.isfinite(value):
            raise RowError(f"{what} {written(value)} is too large")
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
    if isinstance(value, _WrittenFloat) or (isinstance(value, float) and not math.isfinite(value)):
        raise RowError(f"{what} {written(value)} is not usable: give a string or a finite number a double holds")
    if isinstance(value, (int, float)):
        return value
    if isinstance(value, list):
        return tuple(_json_identifier(v, what) for v in value)
    raise RowError(f"{what} {json.dumps(value)} is not usable: give a string or an integer")


def _build(
    source: str,
    line: int,
    key: Hashable,
    ids: tuple[Hashable, str | None, Hashable],
    number: Callable[[str], Number | None],
    stamp: str | None,
    currency: str | None,
    options: ReadOptions,
) -> Row:
    """A fill from its cells; ``ids`` is (orderid, fill_id, order_id) as
    given, ``number(name)`` reads one numeric cell (None when empty)."""
    orderid, fill_id, order_id = ids
    if fill_id is None:
        fill_id = trade_fill_id(key, orderid)
        order_id = orderid
    price, qty, commission = number("price"), number("qty"), number("commission")
    if type(qty) is float:
        qty = written_decimal(qty)
    multiplier = number("multiplier")
    if multiplier is not None and not multiplier > 0:
        raise RowError(f"multiplier {multiplier} is not a positive number")
    if commission is not None and options.negate_commission:
        commission = -commission + 0  # + 0 turns -0.0 into 0.0; ints stay ints
    timestamp = (
        parse_timestamp(stamp, options.assume_utc, options.time_format, options.zone, options.dst) if stamp else None
    )
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
    return Row(source, line, key, orderid, price, qty, commission, timestamp, fill_id, order_id, multiplier, currency)


# ------------------------------------------------------------------ CSV


def _plural(n: int, word: str) -> str:
    return f"{n} {word}{'' if n == 1 else 's'}"


def first_few(texts: list[str], quote: bool = False, shown: int = 5) -> str:
    """Texts as a message lists them: the first few, each shortened (and
    quoted), and how many more there are."""
    listed = ", ".join(repr(shortened(t)) if quote else shortened(t) for t in texts[:shown])
    return listed + (f" and {len(texts) - shown:,} more" if len(texts) > shown else "")


def _quoted(names: list[str]) -> str:
    return first_few(names, quote=True)


def missing_fields(fields: Iterable[str | None]) -> list[str]:
    """The required fields that ``fields`` lack (orderid standing for either identifier)."""
    present = set(fields)
    named = bool(present & set(IDENTIFIERS))
    return [c for c in ("key", "orderid", "price", "qty") if not (named if c == "orderid" else c in present)]


def identifier_problems(fields: Iterable[Any]) -> list[str]:
    """Identifier columns that cannot go together."""
    present = set(fields)
    if "fill_id" in present and "orderid" in present:
        return [
            "the header has both fill_id and orderid: orderid is the trade's own order id of a file "
            "without fill ids; beside fill_id, name the order with order_id"
        ]
    if "order_id" in present and "fill_id" not in present:
        return ["the header has order_id but no fill_id: partial fills of one order need their execution ids (fill_id)"]
    return []


def csv_header(row: list[str], columns: Mapping[str, str] | None) -> tuple[list[str | None], list[str]]:
    """The field each column holds (None: ignored) and the ignored columns.

    Every problem of the header is reported at once, in one FileError."""
    names = [cell.strip() for cell in row]
    problems: list[str] = []
    ignored: list[str] = []
    fields: list[str | None]
    if columns is None:
        fields = [n.lower() for n in names]
        unknown = [n for n in names if n.lower() not in COLUMNS]
        if unknown:
            problems.append(
                f"unknown {'column' if len(unknown) == 1 else 'columns'} {_quoted(unknown)} "
                f"(columns: {', '.join(COLUMNS)}; key, price, qty and fill_id or orderid are needed; "
                "--map SRC=FIELD reads columns of other names)"
            )
        missing = missing_fields(fields)
        if missing:
            problems.append(
                f"the header lacks the {'column' if len(missing) == 1 else 'columns'} {_quoted(missing)}"
                + (" (or fill_id)" if "orderid" in missing else "")
            )
        problems.extend(identifier_problems(fields))
        dup = sorted({n for n in fields if fields.count(n) > 1 and n in COLUMNS})
        if dup:
            problems.append(f"the header names {'the column' if len(dup) == 1 else 'the columns'} {_quoted(dup)} twice")
    else:
        fields = [columns.get(n.lower()) for n in names]
        ignored = [n for n, f in zip(names, fields) if f is None and n]
        lowered = [n.lower() for n in names]
        absent = [src for src in columns if src not in lowered]
        if absent:
            problems.append(f"the header lacks the mapped {'column' if len(absent) == 1 else 'columns'} {_quoted(absent)}")
        repeated = sorted({n for n in lowered if lowered.count(n) > 1 and n in columns})
        if repeated:
            problems.append(f"the header names the mapped {'column' if len(repeated) == 1 else 'columns'} {_quoted(repeated)} twice")
        unmapped = missing_fields(columns.values())
        if unmapped:
            hints = ", ".join(f"SRC={c}" for c in unmapped)
            problems.append(f"--map gives no column for {_quoted(unmapped)} (add {hints})")
        problems.extend(identifier_problems(columns.values()))
    if problems:
        raise FileError("; ".join(problems))
    return fields, ignored


def _csv_row(source: str, line: int, fields: list[str | None], row: list[str], options: ReadOptions) -> Row:
    if len(row) != len(fields):
        raise RowError(f"has {len(row)} cells, the header has {len(fields)}")
    cells = {f: c.strip() for f, c in zip(fields, row) if f is not None}
    key = cells["key"]
    if not key:
        raise RowError("key is empty")
    ids: tuple[Hashable, str | None, Hashable]
    if "fill_id" in cells:
        fill_id = cells["fill_id"]
        if not fill_id:
            raise RowError("fill_id is empty")
        ids = (None, fill_id, cells.get("order_id") or None)
    else:
        orderid = cells["orderid"]
        if not orderid:
            raise RowError("orderid is empty")
        ids = (orderid, None, None)

    def number(name: str) -> Number | None:
        text = cells.get(name, "")
        return parse_number(text, name) if text else None

    stamp = cells.get("timestamp", "")
    return _build(source, line, key, ids, number, stamp, cells.get("currency") or None, options)


def _header_too_long(too_long: list[int], limit: int) -> FileError:
    return FileError(
        f"line {too_long[0]}: the header line is longer than {limit:,} characters (a header takes a few dozen); "
        "it was not read"
    )


def read_csv(
    lines: Iterator[str], source: str, options: ReadOptions, parsed: Parsed, bounded: BoundedLines | None = None
) -> None:
    """``bounded``: the lines' reader, whose lines too long to read are
    blank here; one before the first row was the header."""
    reader = csv.reader(lines)
    fields: list[str | None] | None = None
    line = 1
    try:
        for row in reader:
            start, line = line, reader.line_num + 1
            if not row or all(not c.strip() for c in row):
                continue
            if fields is None:
                if bounded is not None and bounded.too_long:
                    raise _header_too_long(bounded.too_long, bounded.limit)
                fields, ignored = csv_header(row, options.columns)
                if ignored:
                    parsed.notes.append(f"columns not mapped, ignored: {', '.join(ignored)}")
                continue
            if len(row) != len(fields) and line - start > 1:
                # A quote left open takes the lines after it into one cell:
                # skipping that "row" would drop them unseen.
                raise FileError(
                    f"line {start}: a quoted cell opened there runs to line {line - 1} "
                    f"({len(row)} cells, the header has {len(fields)}): close the quote"
                )
            try:
                parsed.fills.append(_csv_row(source, start, fields, row, options))
            except RowError as e:
                parsed.bad.append(BadRow(source, start, str(e)))
    except csv.Error as e:
        raise FileError(f"line {reader.line_num}: not valid CSV ({e})") from None
    if fields is None:
        if bounded is not None and bounded.too_long:
            raise _header_too_long(bounded.too_long, bounded.limit)
        raise FileError(f"no header line (columns: {', '.join(COLUMNS)})")


# ------------------------------------------------------------------ JSON Lines


def _json_row(source: str, line: int, obj: Any, options: ReadOptions, ignored: dict[str, None]) -> Row:
    if not isinstance(obj, dict):
        raise RowError("is not a JSON object")
    if options.columns is not None:
        mapped: dict[str, Any] = {}
        for name, value in obj.items():
            target = options.columns.get(str(name).lower())
            if target is None:
                ignored.setdefault(str(name))
            else:
                mapped[target] = value
        obj = mapped
    unknown = [k for k in obj if k not in COLUMNS]
    if unknown:
        raise RowError(f"unknown field {shortened(unknown[0])!r} (fields: {', '.join(COLUMNS)}; --map SRC=FIELD reads others)")
    if "key" not in obj:
        raise RowError("key is missing")
    problems = identifier_problems(obj)
    if problems:
        raise RowError(problems[0].replace("the header has", "the row has"))
    key = _json_identifier(obj["key"], "key")
    ids: tuple[Hashable, str | None, Hashable]
    if "fill_id" in obj:
        fill_id = obj["fill_id"]
        if not isinstance(fill_id, str):
            raise RowError(f"fill_id {json.dumps(fill_id)} is not text")
        if not fill_id.strip():
            raise RowError("fill_id is empty")
        order_id = obj.get("order_id")
        ids = (None, fill_id, None if order_id is None else _json_identifier(order_id, "order_id"))
    elif "orderid" in obj:
        ids = (_json_identifier(obj["orderid"], "orderid"), None, None)
    else:
        raise RowError("fill_id (or orderid) is missing")
    currency = obj.get("currency")
    if currency is not None and not isinstance(currency, str):
        raise RowError(f"currency {json.dumps(currency)} is not text")

    def number(name: str) -> Number | None:
        value = obj.get(name)
        if value is None or value == "":
            return None
        return _json_number(value, name)

    stamp = obj.get("timestamp")
    if stamp is not None and not isinstance(stamp, str):
        raise RowError(f"timestamp {json.dumps(stamp)} is not text")
    return _build(source, line, key, ids, number, stamp, currency or None, options)


def _json_int(text: str) -> int:
    try:
        return int(text)
    except ValueError:  # beyond the interpreter's digit limit
        raise too_many_digits("integer", text, text.lstrip("-")) from None


class _WrittenFloat(float):
    """A JSON number a double cannot hold (1e400 reads as inf, 1e-400 as 0),
    with its text, so that messages name the number written."""

    text: str

    def __new__(cls, value: float, text: str) -> _WrittenFloat:
        self = super().__new__(cls, value)
        self.text = text
        return self


def _json_float(text: str) -> float:
    value = float(text)
    return value if math.isfinite(value) and not _underflows(value, text) else _WrittenFloat(value, text)


def written(value: Any) -> str:
    """A JSON value as the line wrote it, shortened."""
    return shortened(value.text) if isinstance(value, _WrittenFloat) else repr(value)


_JSON = json.JSONDecoder(parse_int=_json_int, parse_float=_json_float)
_TOO_DEEP = "arrays or objects nested too deeply to read"
_NOT_TEXT = "a \\u escape names half of a character (a lone surrogate), which no text can hold"
_HALF_CHARACTER = re.compile(r"\\u[dD][89a-fA-F]")


def _is_text(value: Any) -> bool:
    """Whether every string in a decoded line can be written as UTF-8."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return False
        return True
    if isinstance(value, dict):
        return all(_is_text(k) and _is_text(v) for k, v in value.items())
    if isinstance(value, list):
        return all(_is_text(v) for v in value)
    return True


def read_jsonl(lines: Iterator[str], source: str, options: ReadOptions, parsed: Parsed) -> None:
    ignored: dict[str, None] = {}
    for number, text in enumerate(lines, 1):
        if not text.strip():
            continue
        try:
            obj = _JSON.decode(text)
        except json.JSONDecodeError as e:
            parsed.bad.append(BadRow(source, number, f"not valid JSON ({e.msg} at column {e.colno})"))
            continue
        except RowError as e:
            parsed.bad.append(BadRow(source, number, str(e)))
            continue
        except RecursionError:
            parsed.bad.append(BadRow(source, number, _TOO_DEEP))
            continue
        if _HALF_CHARACTER.search(text) and not _is_text(obj):
            parsed.bad.append(BadRow(source, number, _NOT_TEXT))
            continue
        try:
            parsed.fills.append(_json_row(source, number, obj, options, ignored))
        except RowError as e:
            parsed.bad.append(BadRow(source, number, str(e)))
        except RecursionError:  # a key or order id of arrays within arrays
            parsed.bad.append(BadRow(source, number, _TOO_DEEP))
    if ignored:
        parsed.notes.append(f"fields not mapped, ignored: {', '.join(ignored)}")


# ------------------------------------------------------------------ dispatch


def detect_format(name: str, head: str) -> str:
    """'csv' or 'jsonl', from the file name or else from the first character."""
    lower = name.lower()
    if lower.endswith((".jsonl", ".ndjson", ".json")):
        return "jsonl"
    if lower.endswith((".csv", ".txt")):
        return "csv"
    return "jsonl" if head.lstrip().startswith("{") else "csv"


class BoundedLines:
    """The lines of a text stream, none held longer than ``limit`` characters.

    A longer line is skipped to its end in pieces and stands as an empty line
    (so that line numbers stay right); its number is kept in ``too_long``."""

    def __init__(self, stream: TextIO, limit: int = MAX_LINE) -> None:
        self.stream = stream
        self.limit = limit
        self.number = 0
        self.too_long: list[int] = []
        self.ended = True  # whether the last line read ended with its line end

    def __iter__(self) -> Iterator[str]:
        readline = self.stream.readline
        while True:
            text = readline(self.limit + 1)
            if not text:
                return
            self.number += 1
            if len(text) > self.limit and text[-1] not in "\r\n":
                while True:
                    rest = readline(self.limit)
                    if not rest or rest[-1] in "\r\n":
                        break
                self.too_long.append(self.number)
                self.ended = True
                yield "\n"
                continue
            self.ended = text[-1] in "\r\n"
            yield text


def read_file(stream: TextIO, source: str, options: ReadOptions) -> Parsed:
    """Parse a whole stream, line by line."""
    parsed = Parsed()
    lines = BoundedLines(stream)
    try:
        it = iter(lines)
        head: list[str] = []
        for text in it:
            head.append(text)
            if text.strip():
                break
        fmt = options.fmt or detect_format(source, "".join(head)[:256])
        rows = itertools.chain(head, it)
        if fmt == "jsonl":
            read_jsonl(rows, source, options, parsed)
        else:
            read_csv(rows, source, options, parsed, lines)
    except UnicodeDecodeError as e:
        raise not_utf8(stream, e) from None
    if options.require_line_end and not lines.ended:
        _cut_short(parsed, source, lines.number)
    for number in lines.too_long:
        parsed.bad.append(
            BadRow(source, number, f"line is longer than {lines.limit:,} characters (a fill takes a few dozen); it was not read")
        )
    parsed.bad.sort(key=lambda b: b.line)
    if not options.negate_commission:
        negative = sum(1 for f in parsed.fills if f.commission is not None and f.commission < 0)
        if negative:
            parsed.notes.append(
                f"{_plural(negative, 'commission')} {'is' if negative == 1 else 'are'} negative; "
                "if the broker reports commissions as negative numbers, import with --negate-commission"
            )
    return parsed


def not_utf8(stream: TextIO, e: UnicodeDecodeError) -> FileError:
    """The decoding error of a text stream, placed in its file when the file
    can tell where it is: the error's offset counts from the chunk being
    decoded, which ends where the file stands now."""
    where = ""
    try:
        where = f" at byte {stream.buffer.tell() - len(e.object) + e.start:,}"
    except (AttributeError, OSError, ValueError):  # a pipe cannot tell
        pass
    return FileError(f"is not UTF-8 text ({e.reason}{where})")


def _cut_short(parsed: Parsed, source: str, last: int) -> None:
    """The row holding the input's last line, which has no line end: a producer
    that stopped in the middle of a row.  It is refused, not recorded."""
    reason = (
        f"line {last} has no line end: the input stopped in the middle of a row "
        "(a producer that died?); the row was not recorded"
    )
    starts = [f.line for f in parsed.fills if f.line <= last]
    bad_starts = [b.line for b in parsed.bad if b.line <= last]
    if starts and (not bad_starts or max(starts) > max(bad_starts)):
        row = next(f for f in reversed(parsed.fills) if f.line == max(starts))
        parsed.fills.remove(row)
        parsed.bad.append(BadRow(source, row.line, reason))
    elif bad_starts:
        parsed.notes.append(reason.replace("the row was not recorded", "that row was bad anyway"))


def read_fills(
    stream: TextIO, source: str, fmt: str | None = None, assume_utc: bool = False
) -> tuple[list[Row], list[BadRow]]:
    """Parse a whole stream; returns the good fills and the bad rows in file order."""
    parsed = read_file(stream, source, ReadOptions(fmt=fmt, assume_utc=assume_utc))
    return parsed.fills, parsed.bad


def identifier_text(value: Hashable) -> str:
    """How a key or order id is written in messages."""
    return value if isinstance(value, str) else repr(value)


def describe(price: Any, qty: Any, timestamp: Any) -> str:
    when = f" at {timestamp.isoformat()}" if isinstance(timestamp, _dt.datetime) else ""
    return f"qty {as_written(qty)} @ {price}{when}"


__all__ = [
    "COLUMNS",
    "MAX_LINE",
    "ReadOptions",
    "Parsed",
    "BoundedLines",
    "read_file",
    "csv_header",
    "Row",
    "BadRow",
    "FileError",
    "RowError",
    "parse_number",
    "as_written",
    "parse_timestamp",
    "read_fills",
    "detect_format",
]
