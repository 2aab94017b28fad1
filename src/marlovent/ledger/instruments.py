"""An instrument's terms: contract multiplier and currency."""

from __future__ import annotations

import dataclasses
from collections.abc import Hashable
from typing import Any

from .fills import number_error

DEFAULT_MULTIPLIER = 1
DEFAULT_CURRENCY = "USD"


@dataclasses.dataclass(frozen=True, slots=True)
class Instrument:
    """The terms of one instrument key: money = price x qty x ``multiplier``,
    in ``currency``."""

    key: Hashable
    multiplier: Any = DEFAULT_MULTIPLIER
    currency: str = DEFAULT_CURRENCY


def check_multiplier(value: Any, key: Hashable) -> None:
    problem = number_error(value, "multiplier", f"instrument {key!r}:")
    if problem is not None:
        raise (TypeError if "not a number" in problem or "Decimal" in problem else ValueError)(
            problem.replace("not a number", "not a positive number")
        )
    if not value > 0:
        raise ValueError(f"instrument {key!r}: multiplier {value!r} is not a positive number")


def check_currency(value: Any, key: Hashable) -> None:
    if not isinstance(value, str):
        raise TypeError(f"instrument {key!r}: currency {value!r} is not a string such as 'USD'")
    if not value or value != value.strip():
        raise ValueError(f"instrument {key!r}: currency {value!r} is not a currency code such as 'USD'")


__all__ = ["Instrument", "DEFAULT_MULTIPLIER", "DEFAULT_CURRENCY", "check_multiplier", "check_currency"]
