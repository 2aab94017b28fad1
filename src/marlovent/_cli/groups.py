"""Position groups as the tool shows them: the same every run.

The library's groups keep their legs in a set, which iterates in the order of
the keys' hashes; string hashing changes from process to process, and so would
the order of the legs, the group key and even the last bits of a group's
average price (a float sum taken in leg order).  The tool therefore rebuilds
each group over its legs sorted by the text of their keys, with stand-in keys
that hash by that rank, and lets the library compute every figure and order
line from it.  Groups themselves are listed in the order of their legs' texts.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from .. import ordermgr as _om
from .fills import identifier_text


def key_order(key: Hashable) -> tuple[str, str, str]:
    """Sort key for instrument keys: their text, then kind and repr for ties."""
    return (str(key), type(key).__name__, repr(key))


class LegKey:
    """A leg's key inside a rebuilt group: hashes by its rank, reads as the key."""

    __slots__ = ("key", "rank")

    def __init__(self, key: Hashable, rank: int) -> None:
        self.key = key
        self.rank = rank

    def __hash__(self) -> int:
        return self.rank

    def __eq__(self, other: object) -> bool:
        return self is other

    def __str__(self) -> str:
        return str(self.key)

    def __format__(self, format_spec: str) -> str:
        return format(self.key, format_spec)

    def __repr__(self) -> str:
        return repr(self.key)


@dataclass
class Group:
    """One distinct group: the keys that map to it, and its legs in order."""

    keys: list[Hashable]  # the keys whose group this is, in key-text order
    legs: list[Any]  # the member positions, in key-text order
    group: Any  # a PositionGroup over the legs, iterating in that order

    @property
    def names(self) -> list[str]:
        return [identifier_text(k) for k in self.keys]

    @property
    def leg_names(self) -> list[str]:
        return [identifier_text(p.key) for p in self.legs]

    def fractional_legs(self) -> str | None:
        """Why the legs cannot be re-traded as one unit, or None when they can."""
        size = self.group.qty
        if size == 0:
            return "its size is zero"
        odd = [p for p in self.legs if (p.qty / size) != int(p.qty / size)]
        if not odd:
            return None
        shown = ", ".join(f"{identifier_text(p.key)} {p.qty}" for p in self.legs)
        return (
            f"the legs ({shown}) are not whole multiples of the group size {size}, "
            "so it cannot be re-traded as one unit; trade its legs one by one "
            "(or bring them to whole ratios first)"
        )


def ordered(positions: Iterable[Any]) -> tuple[list[Any], Any]:
    """The positions sorted by key text and a group over them in that order."""
    legs = sorted(positions, key=lambda p: key_order(p.key))
    members = {_om.Position(LegKey(p.key, rank), p.trades) for rank, p in enumerate(legs)}
    return legs, _om.PositionGroup(positions=members)


def distinct_groups(groups: Mapping[Hashable, Any]) -> list[Group]:
    """The distinct groups of ``position_groups()``, each with its keys, sorted."""
    unique: dict[int, tuple[Any, list[Hashable]]] = {}
    for key, group in groups.items():
        unique.setdefault(id(group), (group, []))[1].append(key)
    out = []
    for group, keys in unique.values():
        legs, rebuilt = ordered(group.positions)
        out.append(Group(sorted(keys, key=key_order), legs, rebuilt))
    out.sort(key=lambda g: ([key_order(k) for k in g.keys], [key_order(p.key) for p in g.legs]))
    return out


__all__ = ["Group", "LegKey", "distinct_groups", "key_order", "ordered"]
