"""Dataclass metadata and call signatures for the native classes.

The classes of :mod:`marlovent.ordermgr` behave as data records but are native
types, so two things that Python code expects of a record have to be added
after import:

* ``dataclasses`` metadata: ``__dataclass_fields__`` (real ``Field`` objects
  with the field order, default, ``init`` and ``compare`` flags of each field)
  and ``__dataclass_params__``, so that ``is_dataclass``, ``fields``,
  ``asdict``, ``astuple`` and ``replace`` work as on the equivalent dataclass;
  plus ``__annotations__`` for ``typing.get_type_hints``.
* a constructor signature: each class gets a ``__signature__`` naming its
  fields with their defaults (a factory default shows as ``<factory>``).
  Methods need nothing here: each carries its own text signature.

:func:`install` is called once by ``marlovent/__init__.py``; it touches only the
classes the module defines and is idempotent.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import inspect
import sys
import types
import weakref
from collections.abc import Callable
from typing import Any

__all__ = ["install", "FACTORY"]

_installed: "weakref.WeakSet[type]" = weakref.WeakSet()


class _Factory:
    """Stands for a default produced by a factory in a constructor signature."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "<factory>"


FACTORY = _Factory()


def _field_specs(m: types.ModuleType) -> dict[str, list[tuple[str, Any, dataclasses.Field[Any] | None]]]:
    """Fields of every class in declaration order: (name, type, field options).

    Read from each class's own declaration (``__record_fields__``: name,
    annotation, constructor kind, default, factory name, compare, repr), the
    one the native type was built from; annotations are type expressions
    read in the module's namespace.
    """

    def utc_now() -> _dt.datetime:
        # The clock is read through the module namespace, as the record does.
        d = m.datetime
        return d.datetime.now(d.timezone.utc)

    utc_now.__qualname__ = "Trade.timestamp default"
    factories: dict[str, Callable[[], Any]] = {"dict": dict, "set": set, "utc_now": utc_now}
    namespace = dict(vars(m))
    specs: dict[str, list[tuple[str, Any, dataclasses.Field[Any] | None]]] = {}
    for name, cls in vars(m).items():
        if not isinstance(cls, type) or cls.__module__ != m.__name__:
            continue
        declared = cls.__dict__.get("__record_fields__")
        if declared is None:
            continue
        rows: list[tuple[str, Any, dataclasses.Field[Any] | None]] = []
        for fname, annotation, kind, default, factory, compare, shown in declared:
            options: dict[str, Any] = {}
            if kind == "default":
                options["default"] = default
            elif kind == "factory":
                options["default_factory"] = factories[factory]
            elif kind == "excluded":
                options["init"] = False
            if not compare:
                options["compare"] = False
            if not shown:
                options["repr"] = False
            hint = eval(annotation, namespace)  # noqa: S307 - the module's own declarations
            rows.append((fname, hint, dataclasses.field(**options) if options else None))
        specs[name] = rows
    return specs


# ---------------------------------------------------------------- dataclass metadata


def _dataclass_metadata(
    name: str, field_plan: list[tuple[str, Any, dataclasses.Field[Any] | None]]
) -> tuple[dict[str, dataclasses.Field[Any]], Any, Any]:
    """Field objects, parameters and ``__replace__`` (None before 3.13,
    where ``copy.replace`` came) exactly as ``@dataclass`` makes them."""
    rows: list[Any] = [(n, t) if opts is None else (n, t, opts) for n, t, opts in field_plan]
    model = dataclasses.make_dataclass(name, rows, eq=True, repr=True, init=True, order=False, frozen=False)
    fields = dict(model.__dataclass_fields__)  # type: ignore[attr-defined]
    return fields, model.__dataclass_params__, model.__dict__.get("__replace__")  # type: ignore[attr-defined]


def _constructor_signature(fields: dict[str, dataclasses.Field[Any]]) -> inspect.Signature:
    params = []
    for fld in fields.values():
        if not fld.init:
            continue
        if fld.default is not dataclasses.MISSING:
            default: Any = fld.default
        elif fld.default_factory is not dataclasses.MISSING:
            default = FACTORY
        else:
            default = inspect.Parameter.empty
        params.append(
            inspect.Parameter(fld.name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default, annotation=fld.type)
        )
    return inspect.Signature(params, return_annotation=None)


class _ClassSignature:
    """``cls.__signature__``: the constructor's parameters.

    A subclass that defines its own ``__init__`` is described by that method
    (None hands the question back to ``inspect``); instances have no signature.
    """

    __slots__ = ("owner", "init", "signature")

    def __init__(self, owner: type, signature: inspect.Signature) -> None:
        self.owner = owner
        self.init = owner.__dict__.get("__init__")
        self.signature = signature

    def __get__(self, instance: object, owner: type | None = None) -> inspect.Signature | None:
        if instance is not None:
            raise AttributeError("__signature__")
        if owner is self.owner or (owner is not None and getattr(owner, "__init__", None) is self.init):
            return self.signature
        return None


# ---------------------------------------------------------------- entry point


def install(module: types.ModuleType | None = None) -> None:
    """Add dataclass metadata and signatures to every class ``module`` defines."""
    if module is None:
        module = sys.modules["marlovent.ordermgr"]
    for name, field_plan in _field_specs(module).items():
        cls = getattr(module, name, None)
        if not isinstance(cls, type) or cls in _installed:
            continue
        fields, params, replace = _dataclass_metadata(name, field_plan)
        if "__dataclass_fields__" not in cls.__dict__:
            setattr(cls, "__dataclass_fields__", fields)
            setattr(cls, "__dataclass_params__", params)
            setattr(cls, "__annotations__", {n: f.type for n, f in fields.items()})
        else:
            fields = cls.__dict__["__dataclass_fields__"]
        if replace is not None and "__replace__" not in cls.__dict__:
            setattr(cls, "__replace__", replace)
        if "__signature__" not in cls.__dict__:
            setattr(cls, "__signature__", _ClassSignature(cls, _constructor_signature(fields)))
        _installed.add(cls)

