import pytest
from hypothesis import given, strategies as st

from support import ts


class MemoryStore(dict):
    """A plain mapping in place of the persistent store."""

    def __init__(self, *, cacheName, cachePrefix):
        super().__init__()


@pytest.fixture
def memory_mgr(om, data_dir, restore_module_attrs):
    om.DualCache = MemoryStore
    return om.OrderMgr("grouping")


def store_positions(om, mgr, layout):
    """layout: [(key, [orderid, ...])] in store order."""
    for key, oids in layout:
        p = om.Position(key)
        for oid in oids:
            p.trades[oid] = om.Trade(oid, 1.0, 1, 0.0, ts())
        mgr.positions[key] = p


def shape(result):
    """Keys in order, each with the identity class of its group and the group's member keys."""
    ids = {}
    out = []
    for key, group in result.items():
        members = group.positions if hasattr(group, "positions") else group
        out.append((key, ids.setdefault(id(group), len(ids)), frozenset(p.key for p in members)))
    return out


ABCD = [("A", [1, 2]), ("B", [1]), ("C", [2]), ("D", [3])]


def test_example_groups(om, memory_mgr):
    store_positions(om, memory_mgr, ABCD)
    assert shape(memory_mgr.position_groups()) == [
        ("A", 0, frozenset("ABC")), ("B", 0, frozenset("ABC")), ("C", 0, frozenset("ABC")), ("D", 1, frozenset("D"))
    ]
    assert shape(memory_mgr.position_groups(1)) == [("A", 0, frozenset("AB")), ("B", 0, frozenset("AB"))]
    assert memory_mgr.position_groups(9) == {}
    for false in (0, "", None):
        assert shape(memory_mgr.position_groups(false)) == shape(memory_mgr.position_groups())
    with pytest.raises(TypeError):
        memory_mgr.position_groups([1])


def test_chain_depends_on_store_order(om, memory_mgr):
    store_positions(om, memory_mgr, [("V", [1, 2]), ("X", [3]), ("U", [1]), ("W", [2, 3])])
    result = memory_mgr.position_groups()
    assert shape(result) == [
        ("V", 0, frozenset("VWX")), ("U", 1, frozenset("VUW")), ("W", 0, frozenset("VWX")), ("X", 0, frozenset("VWX"))
    ]
    memory_mgr.positions.clear()
    store_positions(om, memory_mgr, [("U", [1]), ("V", [1, 2]), ("W", [2, 3]), ("X", [3])])
    groups = memory_mgr.position_groups()
    assert len({id(g) for g in groups.values()}) == 1 and groups["U"].keys == set("UVWX")


def test_empty_store(memory_mgr):
    assert memory_mgr.position_groups() == {} and memory_mgr.position_groups(3) == {}


def test_groups_hold_live_positions(om, memory_mgr):
    store_positions(om, memory_mgr, ABCD)
    group = memory_mgr.position_groups()["A"]
    assert any(p is memory_mgr.positions["A"] for p in group.positions)
    assert group.key is not None and len(group.key) == 4


keys = st.one_of(st.integers(-5, 5), st.text(max_size=2), st.tuples(st.integers(0, 3)))
layouts = st.lists(
    st.tuples(keys, st.lists(st.one_of(st.integers(0, 8), st.sampled_from(["x", "y"])), min_size=1, max_size=3)),
    max_size=12,
    unique_by=lambda kv: kv[0],
)


@given(layouts, st.one_of(st.none(), st.integers(0, 8), st.just("x"), st.just(0), st.just("")))
def test_index_pass_equals_pairwise_pass(om, memory_mgr, layout, orderid):
    memory_mgr.positions.clear()
    store_positions(om, memory_mgr, layout)
    assert shape(memory_mgr.position_groups(orderid)) == shape(transcribed(om, memory_mgr.positions, orderid))


def test_subclass_override_of_position_groups_is_used(om, data_dir, restore_module_attrs):
    om.DualCache = MemoryStore

    class Mgr(om.OrderMgr):
        def position_groups(self, orderid=None):
            return {}

    m = Mgr("x")
    store_positions(om, m, ABCD)
    assert m.get_position_summary_by_order(1) is None


def transcribed(om, store, orderid=None):
    """The grouping pass as written, step by step, with real groups filled by add()."""
    mapping = {k: p.orderids for k, p in store.items()}
    p2g = {}
    passes = lambda pos: not orderid or orderid in pos.orderids  # noqa: E731
    for k in mapping:
        pos = store[k]
        if not passes(pos):
            continue
        if k in p2g:
            group = p2g[k]
        else:
            group = om.PositionGroup()
            group.add(pos)
            p2g[k] = group
        for nk in mapping:
            if k == nk:
                continue
            npos = store[nk]
            if passes(npos) and pos.orderids & npos.orderids:
                group.add(npos)
                p2g[nk] = group
    return dict(p2g)


def exact_shape(result):
    """Keys in order, each with its group's identity class, key and members (by identity, in set order)."""
    ids = {}
    return [(k, ids.setdefault(id(g), len(ids)), g.key, [id(p) for p in g.positions]) for k, g in result.items()]


mixed_orderids = st.one_of(st.integers(0, 6), st.sampled_from([1.0, True, "x", "y", (1,)]))
mixed_layouts = st.lists(
    st.tuples(
        st.one_of(st.integers(-3, 3), st.text(max_size=2), st.tuples(st.integers(0, 2))),
        st.sampled_from(["exact", "subclass", "foreign book"]),
        st.lists(mixed_orderids, min_size=1, max_size=3),
    ),
    max_size=12,
    unique_by=lambda row: row[0],
)


@given(
    mixed_layouts,
    st.one_of(st.none(), st.just(0), st.integers(1, 6), st.sampled_from([1.0, "x", (1,), frozenset({1}), {2}])),
)
def test_groups_equal_the_transcribed_pass(om, memory_mgr, layout, orderid):
    """Exact, subclassed and dict-subclass-booked positions, order ids equal across types
    (1, 1.0, True), filters including a set: the same keys, groups, members in set order
    and group keys as add() one member at a time gives."""

    class SubPosition(om.Position):
        pass

    class Book(dict):
        pass

    memory_mgr.positions.clear()
    for key, kind, oids in layout:
        p = (SubPosition if kind == "subclass" else om.Position)(key)
        if kind == "foreign book":
            p.trades = Book()
        for oid in oids:
            p.trades[oid] = om.Trade(oid, 1.0, 1, 0.0, ts())
        memory_mgr.positions[key] = p
    expected = transcribed(om, memory_mgr.positions, orderid)
    assert exact_shape(memory_mgr.position_groups(orderid)) == exact_shape(expected)
