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
import builtins
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


# Each method's function is made by running one of these makers with the
# method's parameter names, name and qualified name put into the made code
# and its default values into the maker's constant, in globals where
# ``_target`` is the native callable.  The made function passes its
# parameters on, positionally, to ``_target``; the interpreter itself binds
# the arguments (and words the errors) as for a function written with that
# parameter list, and treats it as one (a call costs one plain Python call).
# The makers are indexed by the number of named parameters; the ones with a
# default stand for any number of defaults, the others for none.
_MAKERS: tuple[Callable[[], Callable[..., Any]], ...] = (
    lambda: lambda: _target(),
    lambda: lambda a: _target(a),
    lambda: lambda a, b: _target(a, b),
    lambda: lambda a, b, c: _target(a, b, c),
    lambda: lambda a, b, c, d: _target(a, b, c, d),
    lambda: lambda a, b, c, d, e: _target(a, b, c, d, e),
    lambda: lambda a, b, c, d, e, f: _target(a, b, c, d, e, f),
)
_MAKERS_WITH_DEFAULTS: tuple[Callable[[], Callable[..., Any]] | None, ...] = (
    None,
    lambda: lambda a=...: _target(a),
    lambda: lambda a, b=...: _target(a, b),
    lambda: lambda a, b, c=...: _target(a, b, c),
    lambda: lambda a, b, c, d=...: _target(a, b, c, d),
    lambda: lambda a, b, c, d, e=...: _target(a, b, c, d, e),
    lambda: lambda a, b, c, d, e, f=...: _target(a, b, c, d, e, f),
)
_VARARGS_MAKERS: tuple[Callable[[], Callable[..., Any]], ...] = (
    lambda: lambda *v: _target(*v),
    lambda: lambda a, *v: _target(a, *v),
    lambda: lambda a, b, *v: _target(a, b, *v),
    lambda: lambda a, b, c, *v: _target(a, b, c, *v),
)
_VARARGS_MAKERS_WITH_DEFAULTS: tuple[Callable[[], Callable[..., Any]] | None, ...] = (
    None,
    lambda: lambda a=..., *v: _target(a, *v),
    lambda: lambda a, b=..., *v: _target(a, b, *v),
    lambda: lambda a, b, c=..., *v: _target(a, b, c, *v),
)
# For a parameter list the makers above do not cover (keyword-only
# parameters, ``**kwargs``, long lists) the native callable checks the
# arguments and a ``__signature__`` describes them.
_GENERIC_MAKER: Callable[[], Callable[..., Any]] = lambda: lambda *args, **kwargs: _target(*args, **kwargs)  # noqa: E731

# Bound in the globals of each made function only.
_target: Callable[..., Any]


def _made_function(
    maker: Callable[[], Callable[..., Any]], native: Any, module: str, name: str, qualname: str,
    names: tuple[str, ...], posonly: int, defaults: tuple[Any, ...],
) -> Callable[..., Any]:
    outer = maker.__code__
    code = next(c for c in outer.co_consts if isinstance(c, types.CodeType))
    made = code.replace(co_name=name, co_qualname=qualname, co_varnames=names or code.co_varnames,
                        co_posonlyargcount=posonly)
    consts = tuple(made if c is code else defaults if c == (...,) else c for c in outer.co_consts)
    # Globals of the made function's own, with the builtins C code may look up
    # through the calling frame (an import, for one).
    namespace = {"__name__": module, "__builtins__": vars(builtins), "_target": native}
    run = types.FunctionType(outer.replace(co_consts=consts), namespace)
    return typing.cast(Callable[..., Any], run())


def _signature(args: ast.arguments, default_value: Callable[[ast.expr], Any]) -> inspect.Signature:
    """The parsed parameter list as an ``inspect.Signature`` (no annotations)."""
    P = inspect.Parameter
    params: list[inspect.Parameter] = []
    positional = args.posonlyargs + args.args
    pos_defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for i, (arg, dflt) in enumerate(zip(positional, pos_defaults)):
        kind = P.POSITIONAL_ONLY if i < len(args.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        params.append(P(arg.arg, kind, default=P.empty if dflt is None else default_value(dflt)))
    if args.vararg is not None:
        params.append(P(args.vararg.arg, P.VAR_POSITIONAL))
    for arg, kwdflt in zip(args.kwonlyargs, args.kw_defaults):
        params.append(P(arg.arg, P.KEYWORD_ONLY, default=P.empty if kwdflt is None else default_value(kwdflt)))
    if args.kwarg is not None:
        params.append(P(args.kwarg.arg, P.VAR_KEYWORD))
    return inspect.Signature(params)


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

    def default_value(node: ast.expr) -> Any:
        if isinstance(node, ast.Name) and node.id.startswith("__default_"):
            return markers[int(node.id[len("__default_") :])]
        return ast.literal_eval(node)

    positional = args.posonlyargs + args.args
    if bound and not positional:
        return None
    try:
        signature = _signature(args, default_value)
    except ValueError:
        return None
    qualname = f"{owner.__qualname__}.{name}"
    defaults = tuple(p.default for p in signature.parameters.values() if p.default is not inspect.Parameter.empty)
    names = tuple(a.arg for a in positional) + ((args.vararg.arg,) if args.vararg is not None else ())
    makers, with_defaults = (
        (_VARARGS_MAKERS, _VARARGS_MAKERS_WITH_DEFAULTS) if args.vararg is not None
        else (_MAKERS, _MAKERS_WITH_DEFAULTS)
    )
    maker = (with_defaults if defaults else makers)[len(positional)] if len(positional) < len(makers) else None
    if args.kwonlyargs or args.kwarg is not None or maker is None:
        fn = _made_function(_GENERIC_MAKER, native, owner.__module__, name, qualname, (), 0, ())
        fn.__signature__ = signature  # type: ignore[attr-defined]
    else:
        fn = _made_function(maker, native, owner.__module__, name, qualname, names, len(args.posonlyargs), defaults)
    fn.__doc__ = _strip_signature_line(native.__doc__, name)
    fn.__native__ = native  # type: ignore[attr-defined]
    return fn


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
        _wrap_methods(cls)
        _installed.add(cls)


def native(method: Any) -> Any:
    """The native callable behind a method exposed by :func:`install`."""
    func = getattr(method, "__func__", method)
    return getattr(func, "__native__", func)

