"""Arithmetic on the number kinds fills hold, in Python's own rules.

Two helpers the money figures need beyond ``+``, ``-`` and ``*``:

* :func:`share` — ``amount * part / whole``, the piece of a basis or a
  commission that goes with part of a quantity.  Python's true division turns
  two ints into a float; when every operand is exact (``int`` or
  ``Fraction``) the share is kept exact instead, as an ``int`` when it is
  whole and as a ``Fraction`` otherwise, so that a book of integer prices and
  quantities never picks up rounding from a partial close.  Any float (or
  other kind) among the operands gives Python's own ``amount * part / whole``.
* :class:`RunningSum` — the built-in ``sum`` continued one item at a time:
  exact ints in a machine word, then Neumaier-compensated doubles from the
  first float on (ints added uncompensated), then ``result + item`` for
  anything else, exactly as CPython 3.12 does.  A position's ``qty`` is the
  built-in sum of its book's quantities and goes flat only when that sum is
  exactly zero, so the ledger folds quantities the same way to find the same
  flat points.
"""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Any

_EXACT = (int, Fraction)

# The range of a C long, in which the built-in sum keeps an int running total.
_LONG_MIN = -(2**63)
_LONG_MAX = 2**63 - 1


def share(amount: Any, part: Any, whole: Any) -> Any:
    """``amount * part / whole``: exact for int and Fraction operands."""
    if type(amount) is float or type(part) is float or type(whole) is float:
        return amount * part / whole
    if isinstance(amount, _EXACT) and isinstance(part, _EXACT) and isinstance(whole, _EXACT):
        value = Fraction(amount * part) / whole
        if value.denominator == 1 and not (isinstance(amount, Fraction) or isinstance(part, Fraction) or isinstance(whole, Fraction)):
            return int(value)
        return value
    return amount * part / whole


# RunningSum phases, as stored.
INT, FLOAT, OBJECT = 0, 1, 2

ZERO_SUM = (INT, 0, 0.0)


def _long(value: Any) -> int | None:
    """The value of an int within C long range, else None."""
    v = int(value)
    return v if _LONG_MIN <= v <= _LONG_MAX else None


def sum_add(state: tuple[int, Any, float], item: Any) -> tuple[int, Any, float]:
    """The state of ``sum(items + [item])`` from the state of ``sum(items)``."""
    phase, value, comp = state
    if phase == INT:
        if type(item) is int or type(item) is bool:
            if _LONG_MIN <= item <= _LONG_MAX:
                total = value + item
                if _LONG_MIN <= total <= _LONG_MAX:
                    return (INT, total, 0.0)
        result = value + item
        if type(result) is float:
            return (FLOAT, result, 0.0)
        return (OBJECT, result, 0.0)
    if phase == FLOAT:
        if type(item) is float:
            t = value + item
            if abs(value) >= abs(item):
                comp += (value - t) + item
            else:
                comp += (item - t) + value
            return (FLOAT, t, comp)
        if isinstance(item, int):
            v = _long(item)
            if v is not None:
                return (FLOAT, value + float(v), comp)
        return (OBJECT, _compensated(value, comp) + item, 0.0)
    return (OBJECT, value + item, 0.0)


def _compensated(value: float, comp: float) -> float:
    return value + comp if comp != 0.0 and math.isfinite(comp) else value


def sum_value(state: tuple[int, Any, float]) -> Any:
    """What ``sum`` returns for the items folded into ``state``."""
    phase, value, comp = state
    if phase == FLOAT:
        return _compensated(value, comp)
    return value


class RunningSum:
    """The built-in sum as an object: ``add(item)``, ``value``."""

    __slots__ = ("state",)

    def __init__(self, state: tuple[int, Any, float] = ZERO_SUM) -> None:
        self.state = state

    def add(self, item: Any) -> None:
        self.state = sum_add(self.state, item)

    @property
    def value(self) -> Any:
        return sum_value(self.state)


__all__ = ["share", "RunningSum", "sum_add", "sum_value", "ZERO_SUM"]
