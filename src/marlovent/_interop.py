"""Dataclass metadata and call signatures for the native classes.

The classes of :mod:`marlovent.ordermgr` behave as data records but are native
types, so two things that Python code expects of a record have to be added
after import:

* ``dataclasses`` metadata: ``__dataclass_fields__`` (real ``Field`` objects
  with the field order, default, ``init`` and ``compare`` flags of each field)
  and ``__dataclass_params__``, so that ``is_dataclass``, ``fields``,
  ``asdict``, ``astuple`` and ``replace`` work as on the equivalent dataclass;
  plus ``__annotations__`` for ``typing.get_type_hints``.
* call signatures: ``inspect.signature`` cannot read native callables, so each
  class gets a ``__signature__`` for its constructor, and each method is
  exposed through a thin Python function with the method's real parameter
  list that calls the native one (its ``__native__`` attribute).  Special
  methods (``__eq__``, ``__repr__``, ...) are left native: replacing them would
  route the type's slots through Python.

:func:`install` is called once by ``marlovent/__init__.py``; it touches only the
classes the module defines and is idempotent.
"""

from __future__ import annotations

import ast
import dataclasses
import datetime as _dt
import inspect
import sys
import types
import typing
import weakref
from collections.abc import Callable
from typing import Any

__all__ = ["install", "native", "FACTORY"]

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
) -> tuple[dict[str, dataclasses.Field[Any]], Any]:
    """Field objects and parameters exactly as ``@dataclass`` makes them."""
    rows: list[Any] = [(n, t) if opts is None else (n, t, opts) for n, t, opts in field_plan]
    model = dataclasses.make_dataclass(name, rows, eq=True, repr=True, init=True, order=False, frozen=False)
    return dict(model.__dataclass_fields__), model.__dataclass_params__  # type: ignore[attr-defined]


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


# ---------------------------------------------------------------- method signatures


def _strip_signature_line(doc: str | None, name: str) -> str | None:
    """The description of a native docstring without its rendered signature line."""
    if not doc:
        return doc
    first, _, rest = doc.partition("\n")
    if first.startswith(name + "("):
        rest = rest.lstrip("\n")
        return rest or None
    return doc


def _native_parameters(native: Any) -> tuple[str, list[Any]] | None:
    """The parameter list text of a native method and its default values."""
    sigs = getattr(native, "__nb_signature__", None)
    if not sigs or len(sigs) != 1:
        return None
    text, _doc, defaults = sigs[0]
    # "def name(params) -> ret": keep the parameters, with defaults as \N markers.
    head = text[text.index("(") + 1 :]
    depth, end = 1, 0
    for i, ch in enumerate(head):
        depth += ch in "([{"
        depth -= ch in ")]}"
        if depth == 0:
            end = i
            break
    params = head[:end]
    markers = list(defaults or ())
    return params, markers


def _parse_parameters(params: str, markers: list[Any]) -> ast.arguments:
    import re

    source = re.sub(r"\\(\d+)", r"__default_\1", params)
    tree = ast.parse(f"def f({source}): pass")
    fn = tree.body[0]
    assert isinstance(fn, ast.FunctionDef)
    return fn.args


_WRAPPER_TEMPLATE = """\
def {name}({params}):
    return __native({call})
"""


def _make_wrapper(owner: type, name: str, native: Any, *, bound: bool) -> Callable[..., Any] | None:
    """A Python function with the native callable's parameter list that calls it."""
    found = _native_parameters(native)
    if found is None:
        return None
    params, markers = found
    try:
        args = _parse_parameters(params, markers)
    except SyntaxError:
        return None
    defaults: dict[str, Any] = {}

    def default_name(node: ast.expr) -> str:
        if isinstance(node, ast.Name) and node.id.startswith("__default_"):
            value = markers[int(node.id[len("__default_") :])]
        else:
            value = ast.literal_eval(node)
        key = f"__d{len(defaults)}"
        defaults[key] = value
        return key

    positional = args.posonlyargs + args.args
    pos_defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out: list[str] = []
    call: list[str] = []
    for i, (arg, dflt) in enumerate(zip(positional, pos_defaults)):
        out.append(arg.arg if dflt is None else f"{arg.arg}={default_name(dflt)}")
        call.append(arg.arg)
        if args.posonlyargs and i == len(args.posonlyargs) - 1:
            out.append("/")
    if args.vararg is not None:
        out.append("*" + args.vararg.arg)
        call.append("*" + args.vararg.arg)
    elif args.kwonlyargs:
        out.append("*")
    for arg, kwdflt in zip(args.kwonlyargs, args.kw_defaults):
        out.append(arg.arg if kwdflt is None else f"{arg.arg}={default_name(kwdflt)}")
        call.append(f"{arg.arg}={arg.arg}")
    if args.kwarg is not None:
        out.append("**" + args.kwarg.arg)
        call.append("**" + args.kwarg.arg)
    if bound and not positional:
        return None
    namespace: dict[str, Any] = {"__native": native, **defaults}
    try:
        exec(_WRAPPER_TEMPLATE.format(name=name, params=", ".join(out), call=", ".join(call)), namespace)
    except SyntaxError:
        return None
    fn = namespace[name]
    fn.__module__ = owner.__module__
    fn.__qualname__ = f"{owner.__qualname__}.{name}"
    fn.__doc__ = _strip_signature_line(native.__doc__, name)
    fn.__native__ = native
    return typing.cast(Callable[..., Any], fn)


def _is_native_callable(obj: Any) -> bool:
    return type(obj).__module__ == "nanobind" and hasattr(obj, "__nb_signature__")


def _wrap_methods(cls: type) -> None:
    for name, value in list(vars(cls).items()):
        if name.startswith("__") and name.endswith("__") and name != "__post_init__":
            continue
        if isinstance(value, (classmethod, staticmethod)):
            inner = value.__func__
            if not _is_native_callable(inner):
                continue
            fn = _make_wrapper(cls, name, inner, bound=True)
            if fn is not None:
                setattr(cls, name, type(value)(fn))
        elif _is_native_callable(value):
            # A native function stored without a binding descriptor is static.
            binds = hasattr(type(value), "__get__")
            fn = _make_wrapper(cls, name, value, bound=binds)
            if fn is not None:
                setattr(cls, name, fn if binds else staticmethod(fn))


# ---------------------------------------------------------------- entry point


def install(module: types.ModuleType | None = None) -> None:
    """Add dataclass metadata and signatures to every class ``module`` defines."""
    if module is None:
        module = sys.modules["marlovent.ordermgr"]
    for name, field_plan in _field_specs(module).items():
        cls = getattr(module, name, None)
        if not isinstance(cls, type) or cls in _installed:
            continue
        fields, params = _dataclass_metadata(name, field_plan)
        if "__dataclass_fields__" not in cls.__dict__:
            setattr(cls, "__dataclass_fields__", fields)
            setattr(cls, "__dataclass_params__", params)
            setattr(cls, "__annotations__", {n: f.type for n, f in fields.items()})
        else:
            fields = cls.__dict__["__dataclass_fields__"]
        if "__signature__" not in cls.__dict__:
            setattr(cls, "__signature__", _ClassSignature(cls, _constructor_signature(fields)))
        _wrap_methods(cls)
        _installed.add(cls)


def native(method: Any) -> Any:
    """The native callable behind a method exposed by :func:`install`."""
    func = getattr(method, "__func__", method)
    return getattr(func, "__native__", func)

