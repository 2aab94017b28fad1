"""A position's book of atomic trades is not tracked by the collector, and is
tracked again before anything in it could take part in a cycle."""
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref

import types

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from support import assert_flat_memory, ts

import marlovent.ordermgr as om

FIELDS = ["orderid", "price", "qty", "commission", "timestamp"]


class Marker:
    pass


def trade(i, qty=1, **kw):
    return om.Trade(i, 100.0 + i, qty, 0.5, ts(i), **kw)


def untracked_book(n=5):
    p = om.Position("K")
    for i in range(n):
        p.add_trade(trade(i))
    assert not gc.is_tracked(p.trades)
    return p


def assert_nothing_tracked_inside(book):
    """What the collector relies on for an untracked dict."""
    if type(book) is dict and not gc.is_tracked(book):
        for k, v in book.items():
            assert not gc.is_tracked(k) and not gc.is_tracked(v), (k, v)


def test_books_made_every_way_are_untracked(om):
    appended = untracked_book(50)
    built = om.Position("K", {i: trade(i) for i in range(50)})
    given = om.Position("K")
    given.trades = {i: trade(i) for i in range(50)}
    keywords = om.Position(key="K", trades={(1, "a"): trade(1), "b": trade(2), 3.5: trade(3)})
    mixed = om.Position("K", {1: trade(1), 2: 7, 3: None, 4: (1, 2.0)})  # atomic values are fine too
    for p in (appended, built, given, keywords, mixed):
        assert not gc.is_tracked(p.trades)
        assert gc.is_tracked(p)  # the position itself, as ever
        assert_nothing_tracked_inside(p.trades)
    assert appended.qty == 50 and built.average_price == given.average_price


def test_a_book_stays_untracked_through_duplicates_flat_resets_and_reads(om):
    p = untracked_book(3)
    assert p.add_trade(trade(1)) is False  # duplicate order id: nothing changes
    assert not gc.is_tracked(p.trades)
    assert p.add_trade(trade(10, qty=-3)) is False and p.trades == {}  # flat: emptied
    assert p.add_trade(trade(11)) is True
    p.qty, p.average_price, p.started, p.total_commission
    assert not gc.is_tracked(p.trades)
    p.trades.pop(11)
    p.add_trade(trade(12))  # an outside change, then the next append looks again
    assert not gc.is_tracked(p.trades)


class TradeSub(om.Trade):
    __slots__ = ()


class PositionSub(om.Position):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize("case", ["tracked key", "tracked field", "subclass trade", "list value",
                                  "subclass position", "dict subclass", "filled by update"])
def test_books_the_collector_may_need_stay_tracked(om, case):
    if case == "filled by update":
        # The host copies an untracked dict's tracking into the empty book it
        # is merged into: trades of another book, untracked in a second one.
        p = om.Position("K")
        p.trades.update(untracked_book(2).trades)
    elif case == "subclass position":
        p = PositionSub("K", {1: trade(1)})
        p.add_trade(trade(2))
        p.qty
    elif case == "dict subclass":
        p = om.Position("K", DictSub({1: trade(1)}))
        p.add_trade(trade(2))
    else:
        p = untracked_book(2)
        if case == "tracked key":
            p.add_trade(om.Trade((3, Marker()), 1.0, 1))
        elif case == "tracked field":
            p.add_trade(om.Trade(3, 1.0, 1, [0.5]))
        elif case == "subclass trade":
            p.add_trade(TradeSub(3, 1.0, 1))
        else:  # a plain object standing in for a trade
            p.trades[3] = types.SimpleNamespace(orderid=3, price=1.0, qty=1, commission=0.0, timestamp=ts())
            p.add_trade(trade(4))
    assert gc.is_tracked(p.trades)


@pytest.mark.parametrize("field", FIELDS)
def test_a_trade_given_a_tracked_value_tracks_its_book_first(om, field):
    p = untracked_book(4)
    t = p.trades[2]
    for value in (7, 2.5, "x", None, ts(9), (1, "a")):
        setattr(t, field, value)
        assert not gc.is_tracked(p.trades) and not gc.is_tracked(t)
    setattr(t, field, [Marker()])
    assert gc.is_tracked(t) and gc.is_tracked(p.trades)
    # Still tracked after the book is folded again: it holds a tracked trade.
    setattr(t, field, 5)
    p.add_trade(trade(20))
    assert gc.is_tracked(p.trades)
    del p.trades[2]
    p.add_trade(trade(21))
    assert not gc.is_tracked(p.trades)


def test_add_commission_with_a_tracked_value_tracks_the_book(om):
    p = untracked_book(3)
    p.add_commission(1, 0.75)
    assert not gc.is_tracked(p.trades)
    p.add_commission(1, [0.75])
    assert gc.is_tracked(p.trades) and gc.is_tracked(p.trades[1])


def collected(make_cycle):
    """Builds a cycle through a helper object, drops every name, collects:
    whether the helper was freed."""
    marker = Marker()
    alive = weakref.ref(marker)
    make_cycle(marker)
    del marker
    gc.collect()
    return alive() is None


@pytest.mark.parametrize("field", ["orderid", "commission", "timestamp", "price"])
def test_a_cycle_made_later_through_an_untracked_book_is_collected(om, field):
    def make(marker):
        p = untracked_book(3)
        setattr(p.trades[1], field, [p, marker])  # trade -> list -> position -> book -> trade

    assert collected(make)


def test_a_cycle_made_through_add_commission_is_collected(om):
    def make(marker):
        p = untracked_book(3)
        p.add_commission(2, [p, marker])

    assert collected(make)


@pytest.mark.parametrize("how", ["add_trade", "built", "direct insert"])
@pytest.mark.parametrize("through", ["first", "second"])
def test_a_cycle_through_a_trade_shared_by_two_books_is_collected(om, how, through):
    def make(marker):
        first, t = untracked_book(3), trade(9)
        first.add_trade(t)
        assert not gc.is_tracked(first.trades)
        if how == "add_trade":
            second = untracked_book(2)
            second.add_trade(t)
        elif how == "built":
            second = om.Position("L", {9: t, 10: trade(10)})
        else:
            second = untracked_book(2)
            second.trades[9] = t
        second.qty
        assert_nothing_tracked_inside(first.trades)
        assert_nothing_tracked_inside(second.trades)
        t.orderid = [first if through == "first" else second, marker]
        assert gc.is_tracked(first.trades) and gc.is_tracked(second.trades)

    assert collected(make)


def test_a_trade_outliving_its_book_is_no_danger(om):
    # Its book is freed; the new books may well take the same addresses.
    survivors = []
    for i in range(200):
        p = untracked_book(2)
        survivors.append(p.trades[0])
        del p

    def make(marker):
        for j in range(len(survivors)):
            t = survivors.pop()
            q = untracked_book(2)
            q.trades["s", j] = t
            q.qty
            assert_nothing_tracked_inside(q.trades)
            t.commission = [q, marker]
            assert gc.is_tracked(q.trades)

    assert collected(make)


def test_a_book_folded_again_after_its_trade_was_tracked_and_detached(om):
    p = untracked_book(3)
    t = p.trades.pop(1)
    t.orderid = [t]
    p.add_trade(trade(5))
    assert not gc.is_tracked(p.trades)
    assert_nothing_tracked_inside(p.trades)


@pytest.mark.parametrize("fold_first", [False, True])
def test_a_book_refilled_from_another_untracked_book(om, fold_first):
    def make(marker):
        p, other = untracked_book(3), untracked_book(3)
        p.trades.clear()
        p.trades.update(other.trades)  # the host clones an untracked dict untracked
        if fold_first:
            p.qty
        assert_nothing_tracked_inside(p.trades)
        p.trades[1].orderid = [p, marker]
        assert gc.is_tracked(p.trades)

    assert collected(make)


def test_a_position_built_from_a_copy_of_an_untracked_book(om):
    def make(marker):
        p = untracked_book(3)
        q = om.Position("L", dict(p.trades))  # copied untracked, trades of p's book
        q.trades[1].orderid = [q, marker]
        assert gc.is_tracked(q.trades)

    assert collected(make)


def test_unpickled_and_reloaded_books(om, mgr):
    p = untracked_book(5)
    back = pickle.loads(pickle.dumps(p))
    back.add_trade(trade(50))
    assert back.trades.keys() == p.trades.keys() | {50}
    # Untracked exactly when the unpickled trades themselves are.
    assert gc.is_tracked(back.trades) == any(map(gc.is_tracked, back.trades.values()))

    for i in range(20):
        mgr.add_trade("K", trade(i))
    code = textwrap.dedent("""
        import gc, weakref
        from marlovent import ordermgr as om
        positions = om.OrderMgr("test book").positions
        k = positions["K"]
        print(gc.is_tracked(k.trades), not any(map(gc.is_tracked, k.trades.values())), len(k.trades), k.qty)
        class Marker: pass
        m = Marker(); alive = weakref.ref(m)
        k.trades[3].orderid = [k, m]  # a cycle through the reloaded book
        print(gc.is_tracked(k.trades))
        del positions["K"], k, m
        gc.collect()
        print(alive() is None)
    """)
    out = subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True,
                         check=True, timeout=60).stdout.split()
    assert out == ["False", "True", "20", "20", "True", "True"]


def test_without_a_free_dict_watcher_books_stay_tracked():
    code = textwrap.dedent("""
        import ctypes, gc
        CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
        cb = CB(lambda *a: 0)
        add = ctypes.pythonapi.PyDict_AddWatcher
        add.argtypes, add.restype = [CB], ctypes.c_int
        try:
            while True:
                add(cb)
        except RuntimeError:
            pass
        from marlovent import ordermgr as om
        p = om.Position("K")
        for i in range(5):
            p.add_trade(om.Trade(i, 10.0, 1, 0.5))
        q = om.Position("L", dict(p.trades))
        print(gc.is_tracked(p.trades), gc.is_tracked(q.trades), not any(map(gc.is_tracked, p.trades.values())))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["True", "True", "True"], out.stderr


def test_reference_counts_and_memory_stay_flat(om):
    price, qty, key = 123.25, 10**30, "order"
    before = [sys.getrefcount(o) for o in (price, qty, key)]

    def work(n):
        keep = om.Position("keep")
        for i in range(n):
            p = om.Position(i, {key: om.Trade(key, price, qty, 0.5, ts())})
            p.add_trade(om.Trade(i, price, 1, 0.5, ts()))
            t = p.trades[i]
            t.orderid = [p]  # tracked, a cycle
            t.orderid = i
            keep.add_trade(om.Trade(("k", i), price, 1, 0.5, ts()))
            if i % 7 == 0:
                keep.add_trade(t)  # shared between two books
            p.trades = {}
            del p, t
            if i % 50 == 49:
                keep.trades.clear()  # (the record pools keep their high-water mark)

    assert_flat_memory(work, 3000)
    gc.collect()
    assert [sys.getrefcount(o) for o in (price, qty, key)] == before


# --- a model of who holds what, against the collector ------------------------

def reachable_markers(roots):
    """The helper objects reachable from `roots` through positions, their
    books, trades and the lists in trade fields."""
    seen, found, stack = set(), set(), list(roots)
    while stack:
        o = stack.pop()
        if id(o) in seen:
            continue
        seen.add(id(o))
        if isinstance(o, Marker):
            found.add(id(o))
        elif isinstance(o, om.Position):
            stack += [o.key, o.trades]
        elif isinstance(o, dict):
            stack.extend(o.keys())
            stack.extend(o.values())
        elif isinstance(o, om.Trade):
            stack.extend(getattr(o, f) for f in FIELDS)
        elif isinstance(o, (list, tuple)):
            stack.extend(o)
    return found


def pick(data, seq):
    """One element of seq, drawn by index (the draw keeps no reference)."""
    return seq[data.draw(st.integers(0, len(seq) - 1))]


ATOMIC = st.sampled_from([0, 3, 2.5, "x", None, ts(5), (1, "a")])


class Books(RuleBasedStateMachine):
    """Positions and trades changed every way at random: no untracked book
    ever holds a tracked object, and every cycle dropped is collected."""

    def __init__(self):
        super().__init__()
        self.positions = []
        self.trades = []
        self.markers = []  # weak references to every helper made
        self.next_id = 0

    def fresh(self, qty):
        self.next_id += 1
        return om.Trade(self.next_id, 10.0, qty, 0.5, ts())

    def helper(self):
        m = Marker()
        self.markers.append(weakref.ref(m))
        return m

    @rule(built=st.booleans(), qtys=st.lists(st.sampled_from([1, 2, -1]), max_size=4))
    def new_position(self, built, qtys):
        if built:
            made = [self.fresh(q) for q in qtys]
            p = om.Position(self.next_id, {t.orderid: t for t in made})
            self.trades.extend(made)
        else:
            p = om.Position(self.next_id)
        self.positions.append(p)

    @precondition(lambda self: self.positions)
    @rule(data=st.data(), qty=st.sampled_from([1, 2, -1, -2]), reuse=st.booleans())
    def add_trade(self, data, qty, reuse):
        p = pick(data, self.positions)
        if reuse and self.trades:
            t = pick(data, self.trades)  # possibly in other books already
        else:
            t = self.fresh(qty)
            self.trades.append(t)
        try:
            p.add_trade(t)
        except TypeError:  # a list as order id, or a list in a field the figures read
            pass

    @precondition(lambda self: self.positions and self.trades)
    @rule(data=st.data(), key=st.sampled_from(["k", 1, (2, "b"), "tracked"]))
    def insert_directly(self, data, key):
        p = pick(data, self.positions)
        t = pick(data, self.trades)
        p.trades[(3, self.helper()) if key == "tracked" else key] = t

    @precondition(lambda self: self.positions)
    @rule(data=st.data())
    def pop(self, data):
        p = pick(data, self.positions)
        if p.trades:
            p.trades.pop(pick(data, list(p.trades)))

    @precondition(lambda self: self.trades)
    @rule(data=st.data(), field=st.sampled_from(FIELDS), value=ATOMIC)
    def assign_atomic(self, data, field, value):
        t = pick(data, self.trades)
        if field == "qty" and not isinstance(value, int):
            value = 1
        setattr(t, field, value)

    @precondition(lambda self: self.trades and self.positions)
    @rule(data=st.data(), field=st.sampled_from(["orderid", "price", "commission", "timestamp"]),
          via_commission=st.booleans())
    def assign_tracked(self, data, field, via_commission):
        # A list that refers back to some position: a cycle when that
        # position holds the trade.
        t = pick(data, self.trades)
        value = [pick(data, self.positions), self.helper()]
        holders = [p for p in self.positions if any(v is t for v in p.trades.values())]
        if via_commission and holders:
            p = holders[0]
            key = next(k for k, v in p.trades.items() if v is t)
            p.add_commission(key, value)
        else:
            setattr(t, field, value)

    @precondition(lambda self: len(self.positions) > 1)
    @rule(data=st.data(), copy=st.booleans())
    def share_book(self, data, copy):
        a = pick(data, self.positions)
        b = pick(data, self.positions)
        if copy:
            b.trades = dict(a.trades)  # the host copies an untracked dict untracked
        else:
            b.trades = a.trades

    @precondition(lambda self: len(self.positions) > 1)
    @rule(data=st.data())
    def refill(self, data):
        a, b = pick(data, self.positions), pick(data, self.positions)
        if a is not b:
            a.trades.clear()
            a.trades.update(b.trades)

    @precondition(lambda self: self.positions)
    @rule(data=st.data())
    def read(self, data):
        p = pick(data, self.positions)
        try:
            p.qty
        except TypeError:
            pass

    @precondition(lambda self: self.positions)
    @rule(data=st.data())
    def drop_position(self, data):
        self.positions.remove(pick(data, self.positions))

    @precondition(lambda self: self.trades)
    @rule(data=st.data())
    def drop_trade(self, data):
        self.trades.remove(pick(data, self.trades))

    @rule()
    def collect(self):
        gc.collect()
        live = reachable_markers(self.positions + self.trades)
        for ref in self.markers:
            m = ref()
            assert m is None or id(m) in live, "a dropped cycle survived a collection"

    @invariant()
    def untracked_books_hold_nothing_tracked(self):
        for p in self.positions:
            assert_nothing_tracked_inside(p.trades)
        for t in self.trades:
            for f in ("orderid", "price", "commission", "timestamp"):
                v = getattr(t, f)
                if isinstance(v, list):
                    assert gc.is_tracked(t)

    def teardown(self):
        self.positions.clear()
        self.trades.clear()
        gc.collect()
        assert all(ref() is None for ref in self.markers)


TestBooks = Books.TestCase
TestBooks.settings = settings(max_examples=50, stateful_step_count=30, deadline=None)
