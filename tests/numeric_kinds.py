"""Unusual number kinds and a harness that compares an expression's whole
outcome (value, type, repr or exception, and the operator calls made on
logging numbers) between a native figure and its plain-Python formula."""
import decimal
import fractions
import math

import numpy as np
from hypothesis import strategies as st

LOG = []


def _short(x):
    return float.__repr__(x) if isinstance(x, float) else int.__repr__(x) if isinstance(x, int) else repr(x)


def _logged(name, wrap):
    base = getattr(wrap.__mro__[1], name)

    def method(self, *args):
        LOG.append((type(self).__name__, name, _short(self), *map(_short, args)))
        r = base(self, *args)
        return wrap(r) if type(r) is wrap.__mro__[1] and name not in _PLAIN_RESULTS else r

    method.__name__ = name
    return method


_ARITH = ["__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__",
          "__neg__", "__abs__", "__round__"]
_PLAIN_RESULTS = {"__lt__", "__le__", "__gt__", "__ge__", "__eq__", "__ne__", "__bool__", "__float__",
                  "__index__", "__int__", "__format__", "__hash__"}


def _logging_type(name, base):
    cls = type(name, (base,), {"__repr__": lambda self: f"{name}({base.__repr__(self)})",
                               "__reduce__": lambda self: (cls, (base(self),))})
    for op in _ARITH + sorted(_PLAIN_RESULTS - {"__index__"}):
        if hasattr(base, op):
            setattr(cls, op, _logged(op, cls))

    def iadd(self, other):
        LOG.append((name, "__iadd__", _short(self), _short(other)))
        r = base.__add__(self, other)
        return r if r is NotImplemented else cls(r)

    cls.__iadd__ = iadd
    return cls


LogFloat = _logging_type("LogFloat", float)
LogInt = _logging_type("LogInt", int)


class Tolerant(float):
    """A float whose equality has a tolerance, so `!=` is not `not ==`."""

    def __eq__(self, other):
        LOG.append(("Tolerant", "__eq__", _short(self), _short(other)))
        return abs(float(self) - float(other)) < 1e-6

    def __ne__(self, other):
        LOG.append(("Tolerant", "__ne__", _short(self), _short(other)))
        return not abs(float(self) - float(other)) < 1e-6

    __hash__ = float.__hash__


class FloatOnly:
    """Converts to a float and does nothing else."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        LOG.append(("FloatOnly", "__float__", repr(self.v)))
        return float(self.v)

    def __repr__(self):
        return f"FloatOnly({self.v!r})"


class IndexOnly:
    """Converts to an integer index and does nothing else."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        LOG.append(("IndexOnly", "__index__", repr(self.v)))
        return self.v

    def __repr__(self):
        return f"IndexOnly({self.v!r})"


small_floats = st.floats(-1e6, 1e6).map(lambda x: round(x, 3))
any_floats = st.one_of(small_floats, st.sampled_from([0.0, -0.0, 1e-17, float("nan"), float("inf"), 1e308]))
small_ints = st.integers(-1000, 1000)
# One strategy per kind; `number` mixes them, `kind_of_number` draws a kind
# first so that whole books of one kind reach the success paths too.
KINDS = {
    "float": any_floats,
    # Large ints beyond an index, so that a str * int repetition cannot try
    # to allocate (a sanitizer build aborts there instead of raising MemoryError).
    "int": st.one_of(small_ints, st.sampled_from([0, 2**63 + 1, 2**70, -(2**1100), True])),
    "decimal": st.one_of(small_ints.map(decimal.Decimal), small_floats.map(lambda x: decimal.Decimal(str(x))),
                         st.sampled_from([decimal.Decimal("NaN"), decimal.Decimal("-0"), decimal.Decimal("1.23456789")])),
    "fraction": st.builds(fractions.Fraction, small_ints, st.integers(1, 7)),
    "numpy": st.one_of(small_floats.map(np.float64), small_ints.map(np.int64), small_floats.map(np.float32)),
    "logfloat": any_floats.map(LogFloat),
    "logint": small_ints.map(LogInt),
    "tolerant": small_floats.map(Tolerant),
    "floatonly": small_floats.map(FloatOnly),
    "indexonly": small_ints.map(IndexOnly),
    "junk": st.sampled_from([None, "x", "1.5"]),
}
number = st.one_of(*KINDS.values())
common = st.one_of(KINDS["float"], KINDS["int"], KINDS["decimal"], KINDS["fraction"], KINDS["numpy"],
                   KINDS["logfloat"], KINDS["logint"])


def kind_of_number(exclude=()):
    """A strategy of strategies: one kind, usually, or the mixture."""
    kinds = [s for k, s in KINDS.items() if k not in exclude]
    return st.one_of(st.sampled_from(kinds), st.just(st.one_of(*kinds)))


# Decimal contexts: the default one, and low-precision ones that trap.
contexts = st.one_of(
    st.just(None),
    st.builds(lambda prec, traps: decimal.Context(prec=prec, traps=traps), st.integers(1, 6),
              st.lists(st.sampled_from([decimal.Inexact, decimal.Rounded, decimal.InvalidOperation,
                                        decimal.DivisionByZero, decimal.Overflow]), unique=True)),
)


def describe(x):
    """What a result must match: its type and repr (NaN, -0.0 and the kind
    of a Decimal included); containers element by element."""
    if isinstance(x, (list, tuple)):
        return (type(x), tuple(describe(v) for v in x))
    if isinstance(x, (set, frozenset)):
        return (type(x), tuple(map(repr, x)))  # iteration order included
    return (type(x), repr(x))


def outcome(fn, context=None):
    """(result or exception, operator-call log) of fn() under a Decimal context."""
    LOG.clear()
    with decimal.localcontext(context or decimal.getcontext()), np.errstate(all="ignore"):
        try:
            r = ("ok", describe(fn()))
        except Exception as e:  # noqa: BLE001 - every exception is part of the outcome
            r = ("raised", type(e), str(e))
    return r, list(LOG)


def assert_same_outcome(native, plain, context=None):
    got, want = outcome(native, context), outcome(plain, context)
    assert got == want


def as_double(x):
    """x as a C double argument reads it: a float's own value (subclasses too,
    without calling their __float__), otherwise __float__ or __index__."""
    return math.ldexp(x, 0)
