"""How one of ib_async's executions becomes a ledger fill.

The position key of a contract, the instrument's terms (multiplier, currency),
the signed quantity, the price, the time in UTC, the order id, and whether a
commission report holds a commission yet.  Everything here reads ib_async's
objects by attribute only, so the rules can be checked without a connection;
every refusal is a ``ValueError`` (or ``TypeError``) naming the execution and
the value.
"""

from __future__ import annotations

import datetime as _dt
import math
import sys
from collections.abc import Callable, Hashable
from typing import Any

# The API's "no value" markers (ib_async.util.UNSET_DOUBLE / UNSET_INTEGER).
UNSET_DOUBLE = sys.float_info.max
UNSET_INTEGER = 2**31 - 1

COMBO = "BAG"
# Security types whose price is per share of a multiplier the broker always sends: without it
# the instrument's money would be off by that factor.
MULTIPLIED = frozenset({"OPT", "FUT", "FOP"})
SIGNS = {"BOT": 1, "SLD": -1}
RIGHTS = {"C": "C", "CALL": "C", "P": "P", "PUT": "P"}
UTC = _dt.timezone.utc

KeyFunction = Callable[[Any], Hashable]


def _strike_text(strike: float) -> str:
    text = repr(float(strike))
    return text[:-2] if text.endswith(".0") else text


def contract_key(contract: Any) -> str:
    """The default position key of a contract: its ``localSymbol`` (stripped
    of outer blanks: ``AAPL``, ``ESZ4``, an option's OCC symbol
    ``SPY   240621C00450000``), else its ``symbol`` followed, for anything but a
    stock, by ``secType``, expiry, and strike with right: ``ES FUT 20241220``,
    ``SPY OPT 20240621 450C``.  ``ValueError`` for a contract that has neither."""
    local = contract.localSymbol
    if isinstance(local, str) and local.strip():
        return local.strip()
    symbol = contract.symbol
    if not isinstance(symbol, str) or not symbol.strip():
        raise ValueError(f"cannot key the contract {contract!r}: it has neither a localSymbol nor a symbol")
    parts = [symbol.strip()]
    sec_type = contract.secType or ""
    if sec_type not in ("", "STK"):
        parts.append(sec_type)
        if contract.lastTradeDateOrContractMonth:
            parts.append(str(contract.lastTradeDateOrContractMonth))
        right = RIGHTS.get(str(contract.right or "").upper(), str(contract.right or ""))
        if contract.strike or right:
            parts.append(_strike_text(contract.strike or 0.0) + right)
    return " ".join(parts)


def key_of(key: KeyFunction, contract: Any) -> Hashable:
    """``key(contract)``, refused when it is empty or cannot key a position."""
    value = key(contract)
    if value is None or value == "":
        raise ValueError(f"cannot key the contract {contract!r}: the key function gave {value!r}")
    try:
        hash(value)
    except TypeError:
        raise TypeError(f"cannot key the contract {contract!r}: the key {value!r} is not hashable") from None
    return value


_multipliers: dict[Any, int | float] = {"": 1, None: 1}


def multiplier_of(contract: Any) -> int | float:
    """The contract's multiplier as a number: the API sends it as text, empty
    for stocks (1); an option's or a future's without one is refused.  An
    integral text gives an int."""
    text = contract.multiplier
    if not text and contract.secType in MULTIPLIED:
        raise ValueError(f"the contract {contract!r} has no multiplier: a {contract.secType} is not counted as 1")
    try:
        return _multipliers[text]
    except (KeyError, TypeError):
        pass
    try:
        value: int | float = int(text)
    except (TypeError, ValueError):
        try:
            value = float(text)
        except (TypeError, ValueError):
            value = math.nan
        if math.isfinite(value) and value.is_integer():
            value = int(value)
    if not (isinstance(value, int) or math.isfinite(value)) or value <= 0:
        raise ValueError(f"the contract {contract!r} has a multiplier that is not a positive number: {text!r}")
    if isinstance(text, str) and len(_multipliers) < 256:
        _multipliers[text] = value
    return value


def currency_of(contract: Any) -> str | None:
    """The contract's currency, None when the contract leaves it empty."""
    return contract.currency or None


def execution_id(execution: Any) -> str:
    exec_id = execution.execId
    if not isinstance(exec_id, str) or not exec_id:
        raise ValueError(f"an execution without an execution id: {execution!r}")
    return exec_id


def signed_qty(execution: Any) -> int | float:
    """The execution's shares with the side's sign (BOT +, SLD -); an
    integral float count gives an int, so positions in whole contracts stay
    exact integers."""
    sign = SIGNS.get(execution.side)
    if sign is None:
        raise ValueError(f"execution {execution.execId}: unknown side {execution.side!r} (expected 'BOT' or 'SLD')")
    shares = execution.shares
    if isinstance(shares, bool) or not isinstance(shares, int | float) or not (0 < shares < math.inf):
        raise ValueError(f"execution {execution.execId}: shares must be a positive number, not {shares!r}")
    if isinstance(shares, float) and shares.is_integer():
        shares = int(shares)
    return sign * shares


def price_of(execution: Any) -> int | float:
    price = execution.price
    if isinstance(price, bool) or not isinstance(price, int | float) or not math.isfinite(price):
        raise ValueError(f"execution {execution.execId}: price must be a finite number, not {price!r}")
    if price < 0:
        raise ValueError(f"execution {execution.execId}: negative price {price!r}")
    return price


def utc_time(execution: Any) -> _dt.datetime:
    when = execution.time
    if not isinstance(when, _dt.datetime) or when.utcoffset() is None:
        raise ValueError(f"execution {execution.execId}: time {when!r} is not a timezone-aware datetime")
    return when.astimezone(UTC)


def order_id_of(execution: Any) -> int | None:
    """The order's permanent id, stable across sessions and shared by the
    legs and partial fills of one order; None when the API left it unset."""
    perm_id = execution.permId
    if isinstance(perm_id, int) and perm_id not in (0, -1, UNSET_INTEGER):
        return perm_id
    return None


def reported_commission(report: Any, exec_id: str) -> float | None:
    """The commission a report carries for ``exec_id``, or None while there is
    none: a fill's report before the broker sent it (ib_async's default, with
    an empty execId and commission 0.0) and the API's "unset" double are not
    commissions.  A real report of 0.0 is a commission of 0.0."""
    if report is None or report.execId != exec_id:
        return None
    commission = report.commission
    if commission == UNSET_DOUBLE:
        return None
    if isinstance(commission, bool) or not isinstance(commission, int | float) or not math.isfinite(commission):
        raise ValueError(f"execution {exec_id}: commission must be a finite number, not {commission!r}")
    return commission


def check_commission_currency(report: Any, currency: str | None) -> None:
    """A commission is added to the instrument's money: refuse one reported
    in another currency (an empty report currency is taken as the
    instrument's)."""
    reported = report.currency
    if reported and currency and reported != currency:
        raise ValueError(
            f"execution {report.execId}: commission {report.commission!r} is in {reported}, "
            f"the instrument is in {currency}: record it converted with ledger.set_commission"
        )


def correction_of(exec_id: str) -> tuple[str, int] | None:
    """IB publishes a correction of an execution as a new execution whose id
    differs only in the number after the last period (``...01.01`` corrected
    by ``...01.02``, that by ``...01.03``).  Gives (the id before that
    number, the number), or None for an id without such a number."""
    base, dot, serial = exec_id.rpartition(".")
    if not dot or not serial.isdigit() or not serial.isascii():
        return None
    return base, int(serial)


def corrected_ids(exec_id: str, base: str, number: int) -> list[str]:
    """The ids of the executions that ``exec_id`` (``base`` and ``number``,
    from :func:`correction_of`) corrects, the latest first."""
    width = len(exec_id) - len(base) - 1
    return [f"{base}.{n:0{width}d}" for n in range(number - 1, 0, -1)]
