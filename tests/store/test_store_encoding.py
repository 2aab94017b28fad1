"""The stored value format: every built-in kind round-trips exactly (type,
float bits, time zone), subclasses of built-in kinds come back as their base
kind, registered classes come back as themselves, and nothing else is
written or read."""

import collections
import datetime as dt
import decimal
import fractions
import enum
import sqlite3
import zoneinfo

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelph.dualcache as dc
from storetools import is_nan, nan_payload, open_store, prefix, run_py, same, sealed_key, sealed_shape, sealed_value  # noqa: F401

UTC = dt.timezone.utc
D = decimal.Decimal

# Hypothesis warns when a generated value's repr is long (large nested keys).
pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")

# --- strategies ------------------------------------------------------------------

fixed_offsets = st.timedeltas(min_value=-dt.timedelta(hours=23, minutes=59), max_value=dt.timedelta(hours=23, minutes=59))
zones = st.one_of(
    st.none(),
    st.just(UTC),
    st.builds(dt.timezone, fixed_offsets),
    st.builds(dt.timezone, fixed_offsets, st.text(max_size=8)),
    st.sampled_from(["Europe/Berlin", "America/New_York", "Asia/Kolkata", "UTC"]).map(zoneinfo.ZoneInfo),
)
datetimes = st.builds(lambda d, fold: d.replace(fold=fold), st.datetimes(timezones=zones), st.integers(0, 1))
times = st.builds(lambda t, fold: t.replace(fold=fold), st.times(timezones=zones), st.integers(0, 1))
decimals = st.decimals(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [D("sNaN"), D("-0"), D("NaN123"), D("-Infinity"), D("1E+5"), D("0.000"), D("-1.50")])
big_ints = st.integers(min_value=-(2**300), max_value=2**300)
fractions_ = st.fractions() | st.builds(fractions.Fraction, big_ints, big_ints.filter(bool))

hashable_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), big_ints, st.floats(allow_nan=False), st.text(), st.binary(),
    st.dates(), datetimes, times, st.timedeltas(), st.decimals(allow_nan=False), fractions_,
)
_hashables = st.recursive(
    hashable_scalars,
    lambda inner: st.tuples(inner, inner) | st.lists(inner, max_size=3).map(tuple) | st.frozensets(inner, max_size=3),
    max_leaves=8,
)
hashables = st.deferred(lambda: _hashables)  # keeps the strategy's repr short
scalars = st.one_of(hashable_scalars, st.floats(allow_nan=True), decimals)
_values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(hashables, inner, max_size=4),
        st.sets(hashables, max_size=4),
        st.frozensets(hashables, max_size=4),
    ),
    max_leaves=12,
)
values = st.deferred(lambda: _values)


@pytest.fixture
def pair(open_store):
    """A writer and a second connection that decodes what it wrote."""
    return open_store("rt"), open_store("rt")


def reread(pair, key, value):
    writer, reader = pair
    writer[key] = value
    (k, v), = [(k, v) for k, v in reader.items() if k == key]
    return k, v


@settings(max_examples=150)
@given(values)
def test_values_round_trip_exactly(pair, value):
    _, back = reread(pair, "v", value)
    assert same(back, value)


@settings(max_examples=150)
@given(hashables)
def test_keys_round_trip_exactly(pair, key):
    writer, reader = pair
    writer.clear()
    writer[key] = 1
    back, = list(reader)
    assert same(back, key)
    assert reader[key] == 1


def test_round_trip_in_a_fresh_process(open_store, prefix):
    s = open_store("fresh")
    value = {
        "f": [-0.0, float("inf"), nan_payload(0x7FF8_0000_0000_1234), 1e-310],
        "i": [2**200, -(2**63), 2**63 - 1, True, False, None],
        "s": "é\ud800\x00", "b": b"\x00\xff",
        "t": (dt.datetime(2024, 3, 5, 9, 30, tzinfo=zoneinfo.ZoneInfo("Europe/Berlin")),
              dt.datetime(2024, 3, 5, 9, 30, tzinfo=dt.timezone(dt.timedelta(hours=-5), "EST")),
              dt.datetime(2024, 11, 3, 1, 30, fold=1), dt.date(1, 1, 1), dt.time(23, 59, 59, 999999, tzinfo=UTC),
              dt.timedelta(days=-3, microseconds=7)),
        "d": [D("-0"), D("sNaN"), D("1.2300")], "sets": [{1, 2}, frozenset({"a"})],
        "q": [fractions.Fraction(1, 3), fractions.Fraction(-2**100, 3**70), fractions.Fraction(0)],
    }
    s["v"] = value
    out = run_py("""
        import sys, zelph.dualcache as dc
        s = dc.DualCache(cacheName="fresh", cachePrefix=sys.argv[1])
        v = s["v"]
        import pickle; print(pickle.dumps(v).hex())
    """, prefix)
    import pickle

    assert same(pickle.loads(bytes.fromhex(out.stdout)), value)


@pytest.mark.parametrize("x", [0.0, -0.0, float("inf"), -float("inf"), nan_payload(0x7FF8_0000_0000_0001),
                               nan_payload(0xFFF0_0000_0000_0001), 5e-324, 1.7976931348623157e308])
def test_float_bits_survive(pair, x):
    _, back = reread(pair, "f", x)
    assert same(back, x)


class Color(enum.IntEnum):
    RED = 1


class MyStr(str):
    pass


class MyList(list):
    pass


class MyDt(dt.datetime):
    pass


class MyDec(D):
    def __str__(self):
        return "not the value"


class MyFraction(fractions.Fraction):
    @property
    def numerator(self):
        return 0


Pair = collections.namedtuple("Pair", "a b")
ordered = collections.OrderedDict(a=1, b=2, c=3)
ordered.move_to_end("a")


@pytest.mark.parametrize(
    "value, expected",
    [
        (Color.RED, 1),
        (True, True),
        (np.float64(1.5), 1.5),
        (MyStr("x"), "x"),
        (MyList([1, 2]), [1, 2]),
        (Pair(1, 2), (1, 2)),
        (ordered, {"b": 2, "c": 3, "a": 1}),
        (collections.defaultdict(int, k=1), {"k": 1}),
        (MyDt(2024, 1, 2, tzinfo=UTC), dt.datetime(2024, 1, 2, tzinfo=UTC)),
        (MyDec("1.50"), D("1.50")),
        (MyFraction(-7, 3), fractions.Fraction(-7, 3)),
        (collections.Counter("aab"), {"a": 2, "b": 1}),
    ],
    ids=lambda v: type(v).__name__,
)
def test_subclasses_of_built_in_kinds_come_back_as_their_base(pair, value, expected):
    _, back = reread(pair, "v", value)
    assert same(back, expected)


class Unknown:
    pass


class OddZone(dt.tzinfo):
    def utcoffset(self, d):
        return dt.timedelta(0)


@pytest.mark.parametrize(
    "value, words",
    [
        (Unknown(), ["Unknown", "zelph.dualcache.register"]),
        ([1, {"k": (Unknown(),)}], ["Unknown"]),
        (np.int64(3), ["int64"]),
        (dt.datetime(2024, 1, 1, tzinfo=OddZone()), ["OddZone"]),
        (object(), ["object"]),
        (bytearray(b"x"), ["bytearray"]),
    ],
    ids=["plain", "nested", "numpy-int", "tzinfo", "object", "bytearray"],
)
def test_unstorable_values_raise_type_error_and_write_nothing(open_store, value, words):
    s = open_store()
    s["keep"] = 1
    for write in (lambda: s.__setitem__("new", value), lambda: s.__setitem__("keep", value)):
        with pytest.raises(TypeError) as info:
            write()
        for w in words:
            assert w in str(info.value)
    assert dict(s) == {"keep": 1}
    s.close()
    assert dict(open_store()) == {"keep": 1}


def test_zoneinfo_without_key_is_refused(pair):
    with open(zoneinfo.TZPATH[0] + "/Europe/Paris", "rb") as f:
        zone = zoneinfo.ZoneInfo.from_file(f)
    with pytest.raises(TypeError, match="from_file"):
        pair[0]["k"] = dt.datetime(2024, 1, 1, tzinfo=zone)


def test_self_containing_and_too_deep_values(open_store):
    s = open_store()
    loop = []
    loop.append(loop)
    with pytest.raises((RecursionError, ValueError)):
        s["loop"] = loop
    deep = []
    for _ in range(600):
        deep = [deep]
    with pytest.raises((RecursionError, ValueError)):
        s["deep"] = deep
    assert len(s) == 0


# --- registered classes --------------------------------------------------------------


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is type(self) and (self.x, self.y) == (other.x, other.y)

    def __hash__(self):
        return hash((self.x, self.y))


class Point3(Point):
    pass


class Unregistered(Point):
    pass


dc.register(Point, "tests.Point", to_fields=lambda p: (p.x, p.y), from_fields=lambda cls, f: cls(*f))
dc.register(Point3)


def test_registered_classes_round_trip(pair):
    value = {"p": Point(1, [Point(2.5, "x")]), Point(0, 0): "as key", "sub": Point3(1, 2)}
    _, back = reread(pair, "v", value)
    assert back == value
    assert type(back["sub"]) is Point3 and type(back["p"].y[0]) is Point


def test_subclass_must_be_registered_itself(open_store):
    with pytest.raises(TypeError, match="Unregistered"):
        open_store()["k"] = Unregistered(1, 2)


def test_default_tag_and_return_value():
    class Local:
        pass

    assert dc.register(Local, to_fields=lambda o: (), from_fields=lambda c, f: c()) is Local
    with pytest.raises(ValueError, match="already registered"):  # another class under the same tag
        dc.register(type("Local", (), {"__module__": __name__, "__qualname__": Local.__qualname__}),
                    to_fields=lambda o: (), from_fields=lambda c, f: c())


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((int,), {"to_fields": tuple, "from_fields": tuple}, ValueError),
        ((5,), {}, TypeError),
        ((Unknown,), {}, TypeError),  # no registered base
        ((Unknown,), {"to_fields": tuple}, TypeError),
        ((Unknown,), {"to_fields": 1, "from_fields": 2}, TypeError),
        ((Unknown,), {"codec": object()}, TypeError),
        ((Unknown,), {"codec": object(), "to_fields": tuple, "from_fields": tuple}, TypeError),
        ((Unknown, ""), {"to_fields": tuple, "from_fields": tuple}, TypeError),
        ((Point, "tests.Other"), {"to_fields": tuple, "from_fields": tuple}, ValueError),
    ],
)
def test_bad_registrations(args, kwargs, error):
    with pytest.raises(error):
        dc.register(*args, **kwargs)


def test_reregistering_the_same_class_and_tag_is_allowed():
    dc.register(Point, "tests.Point", to_fields=lambda p: (p.x, p.y), from_fields=lambda cls, f: cls(*f))


def test_unregistered_tag_is_refused_when_read(open_store, prefix):
    open_store("tagged")["p"] = Point(1, 2)
    proc = run_py("""
        import sys, zelph.dualcache as dc
        s = dc.DualCache(cacheName="tagged", cachePrefix=sys.argv[1])
        assert list(s) == ["p"]          # opening decodes no value
        try:
            s["p"]
        except TypeError as e:
            print(e)
    """, prefix)
    assert "tests.Point" in proc.stdout and "not registered" in proc.stdout


@pytest.mark.sqlite_only
def test_decoding_never_runs_code_the_file_names(open_store, prefix, tmp_path):
    s = open_store("evil")
    s["p"] = Point(1, 2)
    path = s.path
    s.close()
    con = sqlite3.connect(path)
    (shape_id,), = con.execute("SELECT id FROM shapes")
    con.execute("UPDATE shapes SET shape = ?", (sealed_shape(shape_id, "os.system", ["x", "y"]),))
    con.commit()
    con.close()
    marker = tmp_path / "ran"
    proc = run_py("""
        import sys, zelph.dualcache as dc
        s = dc.DualCache(cacheName="evil", cachePrefix=sys.argv[1])
        try:
            s["p"]
        except TypeError as e:
            print(e)
    """, prefix)
    assert "os.system" in proc.stdout and not marker.exists()


@pytest.mark.sqlite_only
def test_damaged_value_raises_store_error(open_store):
    s = open_store("damaged")
    s["k"] = [1, 2, 3]
    s["ok"] = 1
    path = s.path
    s.close()
    con = sqlite3.connect(path)
    for i, blob in enumerate([b"\xfe\x01", b"\x09\x05\x03", b"", b"\x06\xff\xff\xff\xff\x0f"]):
        # With a sound checksum: the decoder itself meets the damage.
        con.execute("UPDATE map0_stamped_entries SET value = ? WHERE key = ?", (sealed_value(blob), sealed_key(b"\x06\x01k")))
        con.commit()
        t = open_store("damaged")
        with pytest.raises(dc.StoreError, match="damaged stored value"):
            t["k"]
        assert t["ok"] == 1
        t.close()
    con.close()


def test_native_records_round_trip_in_a_fresh_process(open_store, prefix, backend):
    import marlovent.ordermgr as om

    class MyPosition(om.Position):
        pass

    dc.register(MyPosition, f"tests.{backend}.MyPosition")
    s = open_store("om")
    p = om.Position("AAPL")
    p.add_trade(om.Trade("o1", 101.5, 10, 1.25, dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)))
    p.add_trade(om.Trade(("bag", 7), 99.0, -4, 0.0, dt.datetime(2024, 3, 5, 9, 31, tzinfo=UTC)))
    s["AAPL"] = p
    s["sub"] = MyPosition("X")
    s["loose trade"] = [om.Trade("t", 1.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=UTC))]
    proc = run_py("""
        import sys, zelph.dualcache as dc
        import marlovent.ordermgr as om
        s = dc.DualCache(cacheName="om", cachePrefix=sys.argv[1])
        print(repr(s["AAPL"]))
        print(repr(s["loose trade"]))
        try:
            s["sub"]
        except TypeError as e:
            print("sub:", e)
    """, prefix)
    lines = proc.stdout.splitlines()
    assert lines[0] == repr(p)
    assert lines[1] == repr(s["loose trade"])
    assert "MyPosition" in lines[2] and "not registered" in lines[2]
