"""The ledger's open positions beside the broker's.

IB's position objects (``ib.positions()``: account, contract, position,
avgCost) carry the average cost per contract with the multiplier and the
commissions folded in: an option bought at 2.50 a share with a commission of
1.30 on 2 contracts shows ``avgCost`` (2.50 * 100 * 2 + 1.30) / 2 = 250.65.
Divided by the multiplier that is 2.5065 a share, the figure the ledger's
``average_cost`` gives for the same fills, so the two are compared directly.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable
from dataclasses import dataclass
from enum import StrEnum
from typing import Any

from ._ib_execution import KeyFunction, contract_key, key_of, multiplier_of

# Largest difference of average cost per unit of the quoted price (a hundredth
# of a cent) still taken as the same figure.
PRICE_TOLERANCE = 1e-4
# Quantities are compared exactly (whole contracts); fractional sizes may differ
# by float rounding this much.
QTY_TOLERANCE = 1e-9


class Status(StrEnum):
    OK = "ok"
    MISSING_FILLS = "missing fills"  # both sides hold it, in different quantities
    PRICE_DIFFERS = "price differs"  # same quantity, average cost beyond the tolerance
    UNKNOWN_HERE = "unknown here"  # the broker holds it, the ledger does not
    UNKNOWN_AT_BROKER = "unknown at the broker"  # the ledger holds it, the broker does not


@dataclass(frozen=True, slots=True)
class ReconcileRow:
    """One instrument on both sides.  Quantities are signed; average costs are
    per unit of the quoted price with commissions included (the broker's
    avgCost divided by the multiplier); a side that does not hold the
    instrument has quantity 0 and average cost None."""

    key: Hashable
    status: Status
    qty: int | float
    broker_qty: int | float
    average_cost: float | None
    broker_average_cost: float | None
    multiplier: int | float
    account: str | None = None


def _broker_side(positions: Iterable[Any], key: KeyFunction) -> dict[Hashable, tuple[Any, int | float | None]]:
    """key -> (position, the contract's multiplier, None when the contract leaves it empty)."""
    theirs: dict[Hashable, tuple[Any, int | float | None]] = {}
    for position in positions:
        k = key_of(key, position.contract)
        if k in theirs:
            raise ValueError(
                f"two broker positions for {k!r} (accounts {theirs[k][0].account!r} and {position.account!r}): "
                "reconcile one account at a time, with ib.positions(account)"
            )
        theirs[k] = (position, multiplier_of(position.contract) if position.contract.multiplier else None)
    return theirs


def reconcile(
    ledger: Any,
    broker_positions: Iterable[Any],
    *,
    key: KeyFunction = contract_key,
    tolerance: float = PRICE_TOLERANCE,
) -> list[ReconcileRow]:
    """Compare the ledger's open positions with the broker's position objects
    (``ib.positions(account)``; one account at a time).  One row per
    instrument held on either side: first the ledger's, in its order, then
    those only the broker holds.  ``key`` must be the key function the fills
    were recorded with.  Average costs differing by more than ``tolerance``
    per unit of the quoted price give "price differs"."""
    ours = {row.key: row for row in ledger.pnl().rows if row.qty != 0}
    theirs = _broker_side(broker_positions, key)
    rows = []
    for k, row in ours.items():
        found = theirs.pop(k, None)
        if found is None:
            rows.append(
                ReconcileRow(k, Status.UNKNOWN_AT_BROKER, row.qty, 0, row.average_cost, None, row.multiplier)
            )
            continue
        position, multiplier = found
        multiplier = multiplier or row.multiplier
        broker_qty, broker_cost = position.position, position.avgCost / multiplier
        if abs(row.qty - broker_qty) > QTY_TOLERANCE:
            status = Status.MISSING_FILLS
        elif not abs(row.average_cost - broker_cost) <= tolerance:
            status = Status.PRICE_DIFFERS
        else:
            status = Status.OK
        rows.append(
            ReconcileRow(
                k, status, row.qty, broker_qty, row.average_cost, broker_cost if broker_qty else None, multiplier,
                position.account,
            )
        )
    for k, (position, multiplier) in theirs.items():
        multiplier = multiplier or 1
        if position.position:
            rows.append(
                ReconcileRow(
                    k, Status.UNKNOWN_HERE, 0, position.position, None, position.avgCost / multiplier, multiplier,
                    position.account,
                )
            )
    return rows
