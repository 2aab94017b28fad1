"""A broker's fill as the ledger takes it, and what recording one can say.

A :class:`Fill` is checked when it is made: every value that would later
break a position's figures, a report or the money arithmetic is refused here,
with the field named, before anything reaches the portfolio.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import enum
import math
from collections.abc import Hashable
from decimal import Decimal
from fractions import Fraction
from typing import Any


class _Required:
    """Stands for a parameter without a default in a signature."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<required>"


REQUIRED: Any = _Required()

_UTC = _dt.timezone.utc


class Recorded(enum.StrEnum):
    """What :meth:`Ledger.record` did with a fill."""

    NEW = "new"
    DUPLICATE = "duplicate"


def shown(value: Any, limit: int = 60) -> str:
    """``repr(value)``, cut in the middle when it is long (a huge int)."""
    text = repr(value)
    return text if len(text) <= limit else f"{text[: limit // 2]}...{text[-limit // 4 :]}"


def number_error(value: Any, field: str, whose: str) -> str | None:
    """Why ``value`` cannot be a money or quantity figure, or None when it can.

    Accepted: int, float and Fraction (and their subclasses), finite and within
    the range of a double, since every report formats figures as floats.
    Decimal is refused: a position's average price is accumulated in floats,
    which Python does not mix with Decimal."""
    if isinstance(value, bool) or not isinstance(value, (int, float, Fraction)):
        if isinstance(value, Decimal):
            return (
                f"{whose} {field} {value!r} is a Decimal: a position's figures are computed in floats, "
                "which cannot be mixed with Decimal; give a float, an int or a Fraction "
                f"(Fraction({value!r}) keeps it exact)"
            )
        return f"{whose} {field} {shown(value)} is not a number (int, float or Fraction)"
    try:
        as_float = float(value)
    except OverflowError:
        return f"{whose} {field} {shown(value)} is too large for a double"
    if not math.isfinite(as_float):
        return f"{whose} {field} {value!r} is not a finite number"
    return None


def check_number(value: Any, field: str, whose: str) -> None:
    problem = number_error(value, field, whose)
    if problem is not None:
        numeric = isinstance(value, (int, float, Fraction)) and not isinstance(value, bool)
        raise (ValueError if numeric else TypeError)(problem)


def check_notional(price: Any, qty: Any, multiplier: Any, whose: str) -> None:
    """Refuses a fill whose value, price times qty times the multiplier (each
    a checked number), a double cannot hold: its position's figures would be
    infinite."""
    if math.isinf(float(price) * float(qty) * float(multiplier)):
        times = "" if multiplier == 1 else f" times multiplier {shown(multiplier)}"
        raise ValueError(f"{whose} price {shown(price)} times qty {shown(qty)}{times} is too large for a double")


def nonexistent_local_time(value: _dt.datetime) -> bool:
    """Whether an aware datetime names a wall time its zone skips (inside a
    spring-forward gap): it does not come back from a round trip through UTC."""
    tz = value.tzinfo
    if tz is None or type(tz) is _dt.timezone:
        return False
    back = value.astimezone(_dt.timezone.utc).astimezone(tz)
    return back.replace(tzinfo=None, fold=0) != value.replace(tzinfo=None, fold=0)


def check_timestamp(value: Any, whose: str) -> None:
    if not isinstance(value, _dt.datetime):
        raise TypeError(f"{whose} timestamp {value!r} is not a datetime")
    if value.utcoffset() is None:
        raise ValueError(
            f"{whose} timestamp {value.isoformat()} has no time zone: give an aware datetime "
            "(for example with tzinfo=datetime.timezone.utc)"
        )
    try:
        instant(value)
    except OverflowError:
        raise ValueError(f"{whose} timestamp {value.isoformat()} is out of the range of datetimes in UTC") from None
    if nonexistent_local_time(value):
        raise ValueError(
            f"{whose} timestamp {value.isoformat()} does not exist in time zone {value.tzinfo}: "
            "the clocks skip that hour; give the time in UTC or with its offset"
        )


def instant(timestamp: _dt.datetime) -> _dt.datetime:
    """The moment an aware timestamp names, as a UTC datetime: what the ledger
    orders and compares fill times by.  Python compares two datetimes that
    share one tzinfo object (every time of one ``ZoneInfo``) by their wall
    clocks, ignoring ``fold``, so the two 01:30s of a repeated autumn hour
    compare equal and 01:15 fold=1 comes before 01:45 fold=0; their UTC
    instants compare as the times they are."""
    return timestamp if timestamp.tzinfo is _UTC else timestamp.astimezone(_UTC)


def same_time(a: _dt.datetime, b: _dt.datetime) -> bool:
    """Whether two fill timestamps name the same instant (in whatever zone
    each is written: a fill re-offered in UTC is the same fill)."""
    return instant(a) == instant(b)


def holds_nan(value: Any) -> bool:
    """Whether ``value`` is a NaN (float, Decimal or complex) or holds one in
    its tuples and frozensets, at any depth.  A NaN equals nothing, itself
    included: a key or an order id holding one is not found again once the
    store has given back a copy of it."""
    todo = [value]
    for v in todo:  # grows as tuples are opened
        t = type(v)
        if t is str or t is int:
            continue
        if isinstance(v, (tuple, frozenset)):
            todo.extend(v)
        elif isinstance(v, (float, complex)):
            if v != v:
                return True
        elif isinstance(v, Decimal) and v.is_nan():
            return True
    return False


def check_identifier(value: Any, field: str, whose: str) -> None:
    """A key or an order id: hashable, and equal to itself (no NaN in it)."""
    try:
        hash(value)
    except TypeError:
        raise TypeError(f"{whose} {field} {value!r} is not hashable") from None
    if holds_nan(value):
        raise ValueError(
            f"{whose} {field} {shown(value)} {'holds' if isinstance(value, (tuple, frozenset)) else 'is'} a NaN, which equals "
            "nothing, itself included: it could not be looked up again; give another value"
        )


# Plain values that need no closer look: a finite double in this range (a
# price times a qty then stays well inside a double), and ints inside it
# (larger ones take the full check).
_LARGE = 1e150


def _check_fill(
    fill_id: Any, key: Any, price: Any, qty: Any, commission: Any, timestamp: Any, order_id: Any
) -> None:
    """Every check of a fill, with the message that names the field."""
    if not isinstance(fill_id, str):
        raise TypeError(f"Fill fill_id {fill_id!r} is not a string (the broker's execution id)")
    if not fill_id.strip():
        raise ValueError("Fill fill_id is empty: give the broker's execution id")
    whose = f"Fill {fill_id!r}:"
    if timestamp is REQUIRED:
        raise TypeError("Fill() missing required argument: 'timestamp'")
    if key is None:
        raise ValueError(f"{whose} key is None: give the instrument's key")
    check_identifier(key, "key", whose)
    check_identifier(order_id, "order_id", whose)
    check_number(price, "price", whose)
    if price < 0:
        raise ValueError(f"{whose} price {price!r} is negative: a sell is a negative qty at a positive price")
    check_number(qty, "qty", whose)
    if qty == 0:
        raise ValueError(f"{whose} qty is zero: a fill buys (qty > 0) or sells (qty < 0)")
    check_notional(price, qty, 1, whose)
    if commission is not None:
        check_number(commission, "commission", whose)
    check_timestamp(timestamp, whose)


@dataclasses.dataclass(frozen=True, slots=True, init=False)
class Fill:
    """One execution reported by a broker.

    ``fill_id`` is the broker's execution id (unique); ``order_id`` is shared by
    the partial fills and the legs of one order (None: the fill is an order of
    its own); ``price`` is per unit of the quoted price, never negative;
    ``qty`` is signed (negative for a sell), never zero; ``commission`` is
    money in the instrument's currency, or None while it is not reported yet
    (it counts as 0 until :meth:`Ledger.set_commission`); ``timestamp`` is an
    aware datetime.  Every value is checked here: a fill that exists can be
    recorded.
    """

    fill_id: str
    key: Hashable
    price: Any
    qty: Any
    commission: Any
    timestamp: _dt.datetime
    order_id: Hashable

    def __init__(
        self,
        fill_id: str,
        key: Hashable,
        price: Any,
        qty: Any,
        commission: Any = None,
        timestamp: _dt.datetime = REQUIRED,
        order_id: Hashable = None,
    ) -> None:
        # The usual values pass a few cheap tests; anything else gets the
        # full check, which names what is wrong.
        tp, tq, tc = type(price), type(qty), type(commission)
        if not (
            type(fill_id) is str
            and fill_id
            and not fill_id.isspace()
            and key is not None
            and (tp is float or tp is int)
            and 0 <= price < _LARGE
            and (tq is float or tq is int)
            and -_LARGE < qty < _LARGE
            and qty != 0
            and (commission is None or ((tc is float or tc is int) and -_LARGE < commission < _LARGE))
            and type(timestamp) is _dt.datetime
            and timestamp.tzinfo is _UTC
        ):
            _check_fill(fill_id, key, price, qty, commission, timestamp, order_id)
        else:
            tk, to = type(key), type(order_id)
            if not ((tk is str or tk is int) and (order_id is None or to is str or to is int)):
                # Another kind of key or order id: it must be hashable, and a
                # float, a Decimal or a tuple may be or hold a NaN.
                whose = f"Fill {fill_id!r}:"
                check_identifier(key, "key", whose)
                check_identifier(order_id, "order_id", whose)
        _set_fill_id(self, fill_id)
        _set_key(self, key)
        _set_price(self, price)
        _set_qty(self, qty)
        _set_commission(self, commission)
        _set_timestamp(self, timestamp)
        _set_order_id(self, order_id)

    @classmethod
    def _trusted(
        cls, fill_id: str, key: Hashable, price: Any, qty: Any, commission: Any, timestamp: Any, order_id: Hashable
    ) -> Fill:
        """A fill rebuilt from what the ledger stored (checked when it was recorded)."""
        fill = object.__new__(cls)
        _set_fill_id(fill, fill_id)
        _set_key(fill, key)
        _set_price(fill, price)
        _set_qty(fill, qty)
        _set_commission(fill, commission)
        _set_timestamp(fill, timestamp)
        _set_order_id(fill, order_id)
        return fill


# The slots' own setters: a frozen record is written only here.
_set_fill_id = Fill.__dict__["fill_id"].__set__
_set_key = Fill.__dict__["key"].__set__
_set_price = Fill.__dict__["price"].__set__
_set_qty = Fill.__dict__["qty"].__set__
_set_commission = Fill.__dict__["commission"].__set__
_set_timestamp = Fill.__dict__["timestamp"].__set__
_set_order_id = Fill.__dict__["order_id"].__set__


class FillConflict(ValueError):
    """A fill id that is already recorded with other values."""

    def __init__(self, recorded: Fill, offered: Fill, differences: list[str]) -> None:
        super().__init__(
            f"fill id {recorded.fill_id!r} is already recorded as {recorded!r}; "
            f"the fill offered now differs in {', '.join(differences)}: {offered!r}. "
            "Nothing was changed (cancel the recorded fill first to replace it)"
        )
        self.recorded = recorded
        self.offered = offered
        self.differences = differences  # the fields that differ, as differences() names them


def differences(recorded: Fill, offered: Fill) -> list[str]:
    """The fields in which ``offered`` is another fill than ``recorded``; a
    commission not reported (None) on either side is no difference, and a
    timestamp is the same when it is the same instant (:func:`same_time`)."""
    out = []
    for name in ("key", "price", "qty", "timestamp", "order_id"):
        a, b = getattr(recorded, name), getattr(offered, name)
        if not (same_time(a, b) if name == "timestamp" else _same(a, b)):
            out.append(name)
    if recorded.commission is not None and offered.commission is not None:
        if not _same(recorded.commission, offered.commission):
            out.append("commission")
    return out


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except Exception:
        return False


__all__ = [
    "Fill",
    "FillConflict",
    "Recorded",
    "REQUIRED",
    "check_number",
    "check_timestamp",
    "differences",
    "instant",
    "same_time",
]
