"""Damaged rows and values, made by hand with the sqlite3 module: the store
refuses to write such states where it can, and reading them raises
StoreError naming the file and the entry, never a bare error of the value's
class and never a silently different mapping."""

import datetime as dt
import decimal
import os
import sqlite3
import zoneinfo

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import zelph.dualcache as dc
from storetools import (file_bytes, open_store, prefix, sealed_item, sealed_key, sealed_value,  # noqa: F401
                        unsealed)

pytestmark = pytest.mark.sqlite_only  # edits the SQLite file directly

STR, LIST, DICT, DATE, DATETIME, DECIMAL, RECORD, INT, NONE, FRACTION = 6, 9, 10, 14, 13, 17, 18, 3, 0, 21


def s_(text):
    b = text.encode()
    return bytes([STR, len(b)]) + b


def k_(text):
    """The key column of an entry whose key is `text`."""
    return sealed_key(s_(text))


_connections = []


def db(path):
    con = sqlite3.connect(path)
    con.isolation_level = None
    _connections.append(con)
    return con


@pytest.fixture(autouse=True)
def _close_connections():
    yield
    while _connections:
        _connections.pop().close()


def blob_of(con, key):
    return con.execute("SELECT key FROM map0_stamped_entries WHERE key = ?", (k_(key),)).fetchone()[0]


# --- two rows for one key ---------------------------------------------------------


def test_the_file_cannot_hold_two_entries_with_one_key(open_store):
    s = open_store()
    s.update(A=1, B=2)
    con = db(s.path)
    with pytest.raises(sqlite3.IntegrityError):
        con.execute("UPDATE map0_stamped_entries SET key = ? WHERE key = ?", (k_("A"), k_("B")))


def test_two_entries_with_one_key_are_reported(open_store, prefix):
    s = open_store()
    s.update(A=1, B=2)
    path = s.path
    s.close()
    con = db(path)
    con.execute("DROP INDEX map0_entries_key")  # as a file made before the index, or damaged
    con.execute("UPDATE map0_stamped_entries SET key = ? WHERE key = ?", (k_("A"), k_("B")))
    before = file_bytes(path)
    with pytest.raises(dc.StoreError, match=r"two entries with the key 'A' \(rows 1 and 2\)") as info:
        dc.DualCache(cacheName="test", cachePrefix=prefix)
    assert info.value.filename == path
    assert file_bytes(path) == before  # opening writes nothing


def position_with_trades(om):
    p = om.Position("IBM")
    for oid, qty in ((1, 10), (2, 5), (3, -3)):
        p.add_trade(om.Trade(oid, 100.0 + oid, qty, 1.0, dt.datetime(2024, 1, oid, tzinfo=dt.timezone.utc)))
    return p


@pytest.mark.parametrize("damage, words", [("repeated", "two items with the key 1"),
                                            ("unhashable", "an item key that cannot be hashed")])
def test_damaged_trade_keys_are_reported(open_store, prefix, om, damage, words):
    s = open_store()
    s["IBM"] = position_with_trades(om)
    s["other"] = 1
    path = s.path
    s.close()
    con = db(path)
    one, two = (bytes([INT, 2 * n]) for n in (1, 2))
    if damage == "repeated":
        with pytest.raises(sqlite3.IntegrityError):
            con.execute("UPDATE map0_items SET ikey = ? WHERE ikey = ?", (one, two))
        con.execute("DROP INDEX map0_items_key")
    # The row keeps a sound checksum: what the key says is the damage.
    new = one if damage == "repeated" else bytes([LIST, 0])
    ord_, value = con.execute("SELECT ord, value FROM map0_items WHERE ikey = ?", (two,)).fetchone()
    con.execute("UPDATE map0_items SET ikey = ?, value = ? WHERE ikey = ?",
                (new, sealed_item(ord_, new, unsealed(value)), two))
    con.close()
    t = dc.DualCache(cacheName="test", cachePrefix=prefix)
    with pytest.raises(dc.StoreError, match="entry 'IBM': " + words) as info:
        t["IBM"]
    assert info.value.filename == path
    assert t["other"] == 1  # the other entries stay readable
    t.close()


DAMAGE = {
    # what is done to an entry's rows: its value flipped, an item row lost, added or flipped
    "value": lambda con, id_: con.execute("UPDATE map0_stamped_entries SET value = ? WHERE id = ?",
                                          (_flipped(con.execute("SELECT value FROM map0_stamped_entries WHERE id = ?",
                                                                (id_,)).fetchone()[0]), id_)),
    "item lost": lambda con, id_: con.execute("DELETE FROM map0_items WHERE entry = ? AND ord = "
                                              "(SELECT min(ord) FROM map0_items WHERE entry = ?)", (id_, id_)),
    "item added": lambda con, id_: con.execute("INSERT INTO map0_items SELECT entry, ord + 100, ikey || x'00', value"
                                               " FROM map0_items WHERE entry = ? LIMIT 1", (id_,)),
    "item flipped": lambda con, id_: con.execute("UPDATE map0_items SET value = ? || substr(value, 2) WHERE entry = ?"
                                                 " AND ord = (SELECT max(ord) FROM map0_items WHERE entry = ?)",
                                                 (b"\x55", id_, id_)),
}


def _flipped(blob):
    i = len(blob) // 2
    return blob[:i] + bytes([blob[i] ^ 0x40]) + blob[i + 1:]


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sizes=st.lists(st.integers(0, 4), min_size=2, max_size=48),
       damage=st.dictionaries(st.integers(0, 47), st.sampled_from(sorted(DAMAGE)), max_size=3),
       read_first=st.sets(st.integers(0, 47), max_size=6), key_by_key=st.booleans())
def test_reading_everything_yields_the_sound_entries_and_reports_a_damaged_one_as_its_own_read_does(
        tmp_path_factory, om, sizes, damage, read_first, key_by_key):
    """A store of positions (an entry and its item rows) and plain values,
    some of whose rows are damaged, some entries read before: iterating
    over items(), or reading every key in order (either reads what is not
    in memory in one pass, the loop after a run of single reads), yields
    the entries up to the first damaged one exactly, then raises the
    StoreError that reading that entry alone raises, again on every later
    attempt."""
    prefix = str(tmp_path_factory.mktemp("damage")) + "/"
    t0 = dt.datetime(2024, 1, 1, tzinfo=dt.timezone.utc)
    written = {}
    with dc.DualCache(cacheName="test", cachePrefix=prefix) as s:
        for i, n in enumerate(sizes):
            written[f"K{i:02d}"] = om.Position(f"K{i:02d}", {o: om.Trade(o, 1.5 * o, o, 0.25, t0) for o in range(1, n + 1)}) \
                if n else [i, str(i)]
        with s.batch():
            s.update(written)
        path = s.path
    keys = list(written)
    con = db(path)
    broken = set()
    for i, how in damage.items():
        if i < len(keys) and (how == "value" or sizes[i]):  # plain values have no item rows
            DAMAGE[how](con, i + 1)
            broken.add(keys[i])
    con.close()

    alone = {}  # what reading each damaged entry by itself raises
    with dc.DualCache(cacheName="test", cachePrefix=prefix) as u:
        for k in broken:
            with pytest.raises(dc.StoreError) as info:
                u[k]
            assert info.value.filename == path and f"entry {k!r}" in str(info.value)
            alone[k] = str(info.value)
    with dc.DualCache(cacheName="test", cachePrefix=prefix) as t:
        for i in read_first:
            if i < len(keys) and keys[i] not in broken:
                assert t[keys[i]] == written[keys[i]]
        first_broken = next((k for k in keys if k in broken), None)
        sound = keys[:keys.index(first_broken)] if first_broken else keys
        for attempt in range(2):
            got = []
            with pytest.raises(dc.StoreError) if first_broken else _no_error() as info:
                for k, v in (((k, t[k]) for k in t) if key_by_key else t.items()):
                    got.append(k)
                    assert v == written[k]
            assert got == sound
            if first_broken:
                assert info.value.filename == path and str(info.value) == alone[first_broken]
        for k in keys:
            if k not in broken:
                assert t[k] == written[k]


class _no_error:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_an_entry_whose_row_its_id_does_not_find_is_reported(open_store, prefix):
    """A divider in the entries table's b-tree lowered by 3: the scan that
    reads the key index lists every row, but a search by id misses the 3
    rows past the new divider. Such an entry never reads as absent: every
    read of it, in a transaction too, and iteration after single reads of
    the others (which then reads it by id) raise naming it."""
    s = open_store()
    with s.batch():
        for i in range(300):
            s[f"k{i}"] = ("v", i, "x" * 60)
    path = s.path
    s.close()
    con = db(path)
    root, = con.execute("SELECT rootpage FROM sqlite_master WHERE name = 'map0_stamped_entries'").fetchone()
    size, = con.execute("PRAGMA page_size").fetchone()
    con.close()
    with open(path, "r+b") as f:
        f.seek((root - 1) * size)
        page = f.read(size)
        assert page[0] == 0x05  # an interior page of a table
        cell = int.from_bytes(page[12:14], "big") + 4  # the first cell's divider, after its child's page number
        divider = page[cell]
        assert divider < 0x80  # a rowid of one byte
        f.seek((root - 1) * size + cell)
        f.write(bytes([divider - 3]))
    unfound = [f"k{row - 1}" for row in range(divider - 2, divider + 1)]  # the key of row r is k{r - 1}
    before = file_bytes(path)

    t = dc.DualCache(cacheName="test", cachePrefix=prefix)
    assert len(t) == 300 and all(k in t for k in unfound)
    reads = {"[]": lambda k: t[k], "get": lambda k: t.get(k, "absent"), "pop": lambda k: t.pop(k, "absent"),
             "in a transaction": lambda k: _read_in_transaction(t, k)}
    for k in unfound:
        for how, read in reads.items():
            with pytest.raises(dc.StoreError, match=rf"damaged stored value: entry '{k}': the entries table is "
                                                    "damaged") as info:
                read(k)
            assert info.value.filename == path, how
    t.close()
    with dc.DualCache(cacheName="test", cachePrefix=prefix) as t:
        others = [f"k{i}" for i in range(300) if f"k{i}" not in unfound]
        for k in reversed(others):  # (not in the store's order, which would read the rest in one pass)
            assert t[k][1] == int(k[1:])
        with pytest.raises(dc.StoreError, match=f"entry '{unfound[0]}'"):
            dict(t.items())
    assert file_bytes(path) == before


def _read_in_transaction(store, key):
    with store.transaction():
        return store[key]


def test_a_store_made_without_the_unique_indexes_gets_them_with_its_upgrade(tmp_path, om):
    import shutil
    from fixtures import format1_data
    path = tmp_path / "Format-1%20book.sqlite"
    shutil.copyfile(os.path.join(os.path.dirname(__file__), "fixtures", "format1.sqlite"), path)
    con = db(path)
    con.execute("DROP INDEX entries_key")  # as format 1 made files before the indexes
    con.execute("DROP INDEX items_key")
    with dc.DualCache(cacheName=format1_data.STORE_NAME, cachePrefix=str(tmp_path) + "/") as t:
        assert t["IBM"].trades.keys() == {"IBM-0", "IBM-1", "IBM-2", "IBM-3"}
        names = {n for n, in con.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
        assert not names & {"entries_key", "items_key", "map0_entries_key", "map0_items_key"}  # opening writes nothing
        t["x"] = 1
    names = {n for n, in con.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
    assert {"map0_entries_key", "map0_items_key", "map1_entries_key", "map1_items_key"} <= names


# --- damaged values ---------------------------------------------------------------


def trade_record(con, fields):
    shape, = [i for i, s in con.execute("SELECT id, shape FROM shapes") if b"marlovent.ordermgr.Trade" in s]
    return bytes([RECORD, shape, len(fields)]) + b"".join(fields)


DAMAGED_VALUES = {
    # name: (blob maker, words in the message, class of the cause)
    "decimal": (lambda con: bytes([DECIMAL, 2]) + b"x1", "invalid Decimal", decimal.InvalidOperation),
    "trade with one field": (lambda con: trade_record(con, [bytes([INT, 2])]), "cannot rebuild a stored "
                             "marlovent.ordermgr.Trade", ValueError),
    "zone key leaving the zone directory": (
        lambda con: bytes([DATETIME, 0xE8, 0x0F, 1, 2, 3, 4, 5, 0, 3 << 1]) + s_("../../etc/passwd")[1:],
        "not a time zone name", None),
    "unhashable dict key": (lambda con: bytes([DICT, 1, LIST, 0, NONE]), "cannot be hashed", TypeError),
    "equal dict keys": (lambda con: bytes([DICT, 2, INT, 2, NONE, INT, 2, NONE]), "two equal keys in one dict",
                        None),
    "month 13": (lambda con: bytes([DATE, 0xE8, 0x0F, 13, 1]), "invalid date", ValueError),
    "bad utf-8": (lambda con: bytes([STR, 2, 0xFF, 0xFE]), "invalid UTF-8", UnicodeDecodeError),
    "zero denominator": (lambda con: bytes([FRACTION, INT, 2, INT, 0]), "denominator is not positive", None),
}


@pytest.mark.parametrize("damage", list(DAMAGED_VALUES))
def test_a_damaged_value_is_a_store_error_naming_file_and_entry(open_store, prefix, om, damage):
    make, words, cause = DAMAGED_VALUES[damage]
    s = open_store()
    s["k"] = om.Trade(1, 1.0, 1, 0.0, dt.datetime(2024, 1, 1, tzinfo=zoneinfo.ZoneInfo("UTC")))
    s["ok"] = [decimal.Decimal("1.5")]
    path = s.path
    s.close()
    con = db(path)
    con.execute("UPDATE map0_stamped_entries SET value = ? WHERE key = ?", (sealed_value(make(con)), k_("k")))
    con.close()
    before = file_bytes(path)
    t = dc.DualCache(cacheName="test", cachePrefix=prefix)
    for attempt in range(2):  # nothing half-loaded stays behind
        with pytest.raises(dc.StoreError, match="damaged stored value") as info:
            t["k"]
        assert info.value.filename == path
        assert "entry 'k'" in str(info.value) and words in str(info.value)
        if cause:
            assert isinstance(info.value.__cause__, cause)
    assert t["ok"] == [decimal.Decimal("1.5")]
    t.close()
    assert file_bytes(path) == before


@pytest.mark.parametrize("key", [bytes([LIST, 0]), bytes([DICT, 1, LIST, 0, NONE]), b"\x63"],
                         ids=["unhashable", "unhashable inside", "unknown code"])
def test_a_damaged_key_is_a_store_error_naming_its_row(open_store, prefix, key):
    s = open_store()
    s.update(a=1, b=2)
    path = s.path
    s.close()
    con = db(path)
    con.execute("UPDATE map0_stamped_entries SET key = ? WHERE key = ?", (sealed_key(key), k_("b")))
    con.close()
    with pytest.raises(dc.StoreError, match="damaged stored value: the key of entry row 2") as info:
        dc.DualCache(cacheName="test", cachePrefix=prefix)
    assert info.value.filename == path


class Refusing:
    refuse = None  # called while a read rebuilds one: what it raises, the rebuild raises

    def __init__(self, x):
        self.x = x


def _rebuild(cls, fields):
    if cls.refuse:
        cls.refuse()
    return cls(*fields)


dc.register(Refusing, "tests.damage.Refusing", to_fields=lambda o: (o.x,), from_fields=_rebuild)


@pytest.mark.parametrize("error_class, expected", [(LookupError, dc.StoreError), (KeyboardInterrupt, KeyboardInterrupt),
                                                   (MemoryError, MemoryError), ("re-entry", RuntimeError)])
def test_a_class_refusing_its_fields_is_damage_but_an_interrupt_is_not(open_store, error_class, expected):
    """A class's error while its fields are rebuilt reports the stored value
    as damaged; an interrupt, a lack of memory, or the store refusing a
    re-entry from it (the rebuild reading the store) passes as it is."""
    s = open_store()
    s["k"] = Refusing(1)
    t = open_store()
    if error_class == "re-entry":
        Refusing.refuse = lambda: len(t)
    else:
        error = error_class("no")  # made here: a shared instance's traceback would keep the stores alive
        Refusing.refuse = lambda: (_ for _ in ()).throw(error)
    try:
        with pytest.raises(expected) as info:
            t["k"]
    finally:
        Refusing.refuse = None
    if expected is dc.StoreError:
        assert info.value.__cause__ is error and "entry 'k': cannot rebuild a stored tests.damage.Refusing" in str(info.value)
    assert type(info.value) is expected
    assert t["k"].x == 1
