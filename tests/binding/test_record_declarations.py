"""Every record class against its own declaration.

Each class carries the table it was built from (``__record_fields__``). From
that table alone a plain dataclass twin is made here; the native class must
then behave as the twin does: constructor argument binding and its error
messages, repr (recursion included), equality and inequality (fields
excluded from comparison ignored), pickling and copying, __match_args__,
slots against an attribute dict, and the hash rule.
"""

import copy
import dataclasses
import datetime
import decimal
import gc
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import marlovent.ordermgr as om

RECORDS = [v for v in vars(om).values() if isinstance(v, type) and "__record_fields__" in v.__dict__]
HASHED_BY_KEY = {"Position"}


def twin_of(cls):
    rows = []
    for name, _annotation, kind, default, factory, compare, shown in cls.__record_fields__:
        options = {"compare": compare, "repr": shown}
        if kind == "default":
            options["default"] = default
        elif kind == "factory":
            options["default_factory"] = {"dict": dict, "set": set, "utc_now": lambda: None}[factory]
        elif kind == "excluded":
            options["init"] = False
        rows.append((name, object, dataclasses.field(**options)))
    return dataclasses.make_dataclass(
        cls.__name__, rows, slots="__slots__" in cls.__dict__, eq=True, repr=True, module=cls.__module__
    )


TWINS = {cls.__name__: twin_of(cls) for cls in RECORDS}


def blank(cls, values):
    """An instance whose fields hold `values`, made without the constructor."""
    obj = cls.__new__(cls)
    names = [f[0] for f in cls.__record_fields__] if cls in RECORDS else [f.name for f in dataclasses.fields(cls)]
    for name, v in zip(names, values):
        object.__setattr__(obj, name, v)
    return obj


values = st.one_of(
    st.integers(),
    st.floats(allow_nan=True),
    st.text(max_size=4),
    st.none(),
    st.booleans(),
    st.lists(st.integers(), max_size=3),
    st.decimals(allow_nan=False, places=3),
    st.just(float("nan")),
)


def test_all_thirteen_are_declared():
    assert len(RECORDS) == 13


@pytest.mark.parametrize("cls", RECORDS, ids=lambda c: c.__name__)
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_derived_operations_match_the_twin(cls, data):
    n = len(cls.__record_fields__)
    mine = data.draw(st.lists(values, min_size=n, max_size=n))
    # The second record shares some values and differs in others.
    theirs = [v if data.draw(st.booleans()) else data.draw(values) for v in mine]
    twin = TWINS[cls.__name__]
    a, b = blank(cls, mine), blank(cls, theirs)
    ta, tb = blank(twin, mine), blank(twin, theirs)

    assert repr(a) == repr(ta)
    assert (a == b) == (ta == tb)
    assert (a != b) == (ta != tb)
    assert (a == a) == (ta == ta)
    assert a.__eq__(object()) is NotImplemented

    again = pickle.loads(pickle.dumps(a))
    assert type(again) is cls and repr(again) == repr(a)
    shallow = copy.copy(a)
    assert all(getattr(shallow, f[0]) is getattr(a, f[0]) for f in cls.__record_fields__)
    assert repr(copy.deepcopy(a)) == repr(a)


class Meddler:
    """A field value whose == assigns or deletes a field of the record being
    compared (once per comparison)."""

    record = None

    def __init__(self, name, delete):
        self.name, self.delete = name, delete

    def __eq__(self, other):
        record, Meddler.record = Meddler.record, None
        if record is not None:
            if not self.delete:
                object.__setattr__(record, self.name, 0)
            elif hasattr(record, self.name):
                object.__delattr__(record, self.name)
        return True

    __hash__ = object.__hash__


@pytest.mark.parametrize("cls", RECORDS, ids=lambda c: c.__name__)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_equality_holds_what_it_compares(cls, data):
    # A field's == that replaces the list being compared must not free it
    # mid-comparison, and the answer is the twin's, error or not.
    names = [f[0] for f in cls.__record_fields__]
    meddler = st.builds(Meddler, st.sampled_from(names), st.booleans())
    field = st.one_of(values, meddler, st.lists(meddler, min_size=1, max_size=3))
    mine = data.draw(st.lists(field, min_size=len(names), max_size=len(names)))
    victim = data.draw(st.integers(0, 1))

    def outcome(kind):
        pair = [blank(kind, copy.deepcopy(mine)) for _ in range(2)]
        Meddler.record = pair[victim]
        try:
            return pair[0] == pair[1]
        except Exception as e:
            # (3.13 names a slotted dataclass by its module too; the records do not)
            return type(e), str(e).replace(f"{cls.__module__}.", "")
        finally:
            Meddler.record = None

    assert outcome(cls) == outcome(TWINS[cls.__name__])


@pytest.mark.parametrize("cls", RECORDS, ids=lambda c: c.__name__)
def test_class_surface_matches_the_twin(cls):
    twin = TWINS[cls.__name__]
    assert cls.__match_args__ == twin.__match_args__
    assert ("__replace__" in cls.__dict__) == ("__replace__" in twin.__dict__)  # copy.replace, from 3.13
    assert ("__slots__" in cls.__dict__) == ("__slots__" in twin.__dict__)
    if "__slots__" in cls.__dict__:
        assert tuple(cls.__slots__) == tuple(twin.__slots__)
        with pytest.raises(AttributeError):
            blank(cls, [None] * len(cls.__record_fields__)).undeclared = 1
    else:
        obj = blank(cls, [None] * len(cls.__record_fields__))
        obj.undeclared = 1
        again = pickle.loads(pickle.dumps(obj))
        assert again.undeclared == 1
    if cls.__name__ in HASHED_BY_KEY:
        assert hash(blank(cls, ["k", {}])) == hash("k")
    else:
        assert cls.__hash__ is None
        with pytest.raises(TypeError, match=f"unhashable type: '{cls.__name__}'"):
            hash(blank(cls, [None] * len(cls.__record_fields__)))


def call_error(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as e:
        return str(e)
    return None


@pytest.mark.parametrize("cls", RECORDS, ids=lambda c: c.__name__)
def test_argument_binding_matches_the_twin(cls):
    """Binding errors come before anything the class does on construction."""
    twin = TWINS[cls.__name__]
    nparams = len(cls.__match_args__)
    calls = [
        ((), {}),
        ((None,) * (nparams + 1), {}),
        ((None,) * (nparams + 3), {}),
        ((), {"nonsense": 1}),
    ]
    if nparams:
        calls.append(((None,), {cls.__match_args__[0]: None}))
    for args, kwargs in calls:
        expected = call_error(twin, *args, **kwargs)
        if expected is None:
            continue
        assert call_error(cls, *args, **kwargs) == expected, (args, kwargs)


def test_recursive_repr_is_guarded():
    loop = []
    t = om.Trade(loop, 1.0, 1, 0.0, datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc))
    loop.append(t)
    tw = blank(TWINS["Trade"], [loop2 := [], 1.0, 1, 0.0, t.timestamp])
    loop2.append(tw)
    assert repr(t) == repr(tw)


def test_subclass_overrides_are_honoured():
    seen = []

    class Logged(om.Trade):
        def __init__(self, *args, **kwargs):
            seen.append("init")
            super().__init__(*args, **kwargs)

        def __post_init__(self):
            seen.append("post_init")
            super().__post_init__()

        @property
        def price(self):
            return 7.0

        @price.setter
        def price(self, value):
            om.Trade.price.__set__(self, value)

    t = Logged(1, 2.0, 3, 0.0, datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc))
    assert seen == ["init", "post_init"]
    assert "price=7.0" in repr(t)
    assert t == Logged(1, 5.0, 3, 0.0, t.timestamp)
    with pytest.raises(ValueError):
        Logged(1, -1.0)


def test_replacing_post_init_on_the_class_is_honoured(monkeypatch):
    calls = []
    own = om.Trade.__post_init__
    monkeypatch.setattr(om.Trade, "__post_init__", lambda self: calls.append(self.orderid) or own(self))
    om.Trade(5, 1.0)
    assert calls == [5]


def test_construction_does_not_leak():
    import tracemalloc

    stamp = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    for _ in range(1000):
        om.Trade(1, 1.0, 1, 0.5)
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for i in range(100_000):
        om.Trade(i, 1.0, 1, 0.5)
        om.Trade(i, 1.0, 1, 0.5, stamp)
        om.Position(i)
    gc.collect()
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(before, "filename"))
    tracemalloc.stop()
    assert grown < 64 * 1024


def test_decimal_fields_pickle_exactly():
    t = om.Trade("x", decimal.Decimal("1.10"), decimal.Decimal("-3"), decimal.Decimal("0.01"))
    again = pickle.loads(pickle.dumps(t))
    assert again == t and repr(again.price) == "Decimal('1.10')"
