"""Writing a position back from its book's own change record: only what
changed is looked at and written, and the disk always ends up holding
exactly the live position, whatever the caller did to it in between."""
import datetime as dt
import decimal

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule, run_state_machine_as_test

import marlovent.ordermgr as om
import zelph.dualcache as dc
from storetools import open_store, prefix, same  # noqa: F401

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC)


def trade(oid, price=10.0, qty=1.0, commission=0.5):
    return om.Trade(oid, price, qty, commission, T0)


def compared(store, action):
    before = store._stats()["items_compared"]
    action()
    return store._stats()["items_compared"] - before


def book(n):
    p = om.Position("p")
    for i in range(n):
        p.add_trade(trade(i))
    return p


def test_appends_and_commission_updates_compare_nothing(open_store):
    s = open_store()
    p = book(1000)
    assert compared(s, lambda: s.__setitem__("p", p)) == 1000  # first write: everything
    for i in range(1000, 1040):  # more than the record holds between two writes, one at a time
        p.add_trade(trade(i))
        assert compared(s, lambda: s.__setitem__("p", p)) == 0
    p.add_commission(5, 9.0)
    p.add_trade(trade("late", qty=2))
    assert compared(s, lambda: s.__setitem__("p", p)) == 0
    back = open_store()["p"]
    assert same(back.trades, p.trades) and back.trades[5].commission == 9.0


@pytest.mark.parametrize("change", [
    lambda p: p.trades.pop(3),
    lambda p: p.trades.__setitem__(3, trade(3, price=1.0)),
    lambda p: setattr(p.trades[3], "orderid", "x"),
    lambda p: setattr(p, "trades", dict(p.trades)),
    lambda p: [p.add_trade(trade(f"n{i}")) for i in range(40)],  # more than the record keeps
])
def test_other_changes_compare_every_item(open_store, change):
    s = open_store()
    p = book(50)
    s["p"] = p
    change(p)
    assert compared(s, lambda: s.__setitem__("p", p)) == len(p.trades)
    assert same(open_store()["p"].trades, p.trades)


def test_mutable_values_are_always_compared(open_store):
    s = open_store()
    p = book(5)
    p.add_trade(om.Trade("m", 1.0, 1.0, [0.5], T0))  # a list commission can change inside
    s["p"] = p
    p.trades["m"].commission.append(1.0)
    p.add_trade(trade("z"))
    assert compared(s, lambda: s.__setitem__("p", p)) == len(p.trades)
    assert open_store()["p"].trades["m"].commission == [0.5, 1.0]
    # A store that only reads, holding that trade after another wrote it:
    # a change inside it is not taken for the stored value either.
    q = book(5)
    s["q"] = q
    o = open_store()
    o["q"]
    q.add_trade(om.Trade("m", 1.0, 1.0, [0.5], T0))
    s["q"] = q
    o["q"].trades["m"].commission.append(2.0)
    q.add_trade(trade("z"))
    s["q"] = q
    assert o["q"].trades["m"].commission == [0.5]


def test_rolled_back_write_forgets_the_mark(open_store):
    s = open_store()
    p = book(20)
    s["p"] = p
    with pytest.raises(RuntimeError):
        with s.transaction():
            p.add_trade(trade("a"))
            s["p"] = p
            raise RuntimeError
    p.add_trade(trade("b"))
    s["p"] = p
    assert same(open_store()["p"].trades, p.trades)


class TradeSub(om.Trade):
    """A trade of the caller's own class: its book keeps no change record."""


dc.register(TradeSub, "tests.change_record.TradeSub", fields=("orderid", "price", "qty", "commission", "timestamp"))

numbers = st.one_of(st.integers(-3, 3), st.sampled_from([0.5, -0.25, 1e-17]))
commissions = st.one_of(numbers, st.just(decimal.Decimal("1.5")))


class StoredBooks(RuleBasedStateMachine):
    """Random changes to stored positions, each followed by a write or not;
    after every write the disk, read by another store object, equals the
    live position. A third store object on the file only reads (and its
    caller changes what it holds without writing): once the disk changed
    since its last read of a position, its next read gives exactly what
    the disk holds, however it came by it (the object it held, extended in
    place, or another)."""

    where = None  # the test's store prefix (a directory or a server schema)
    made = 0

    def open(self):
        return dc.DualCache(cacheName=self.name, cachePrefix=self.where)

    @initialize()
    def setup(self):
        StoredBooks.made += 1
        self.name = f"m{StoredBooks.made}"  # a store of its own for each example
        self.store = self.open()
        self.live = {k: om.Position(k) for k in "ab"}
        for k, p in self.live.items():
            self.store[k] = p
        self.n = 0
        self.onlooker = self.open()
        self.held = {}  # key: (the position it read, the disk as of that read)

    def teardown(self):
        self.store.close()
        self.onlooker.close()

    def disk(self, k):
        reader = self.open()
        try:
            return reader[k].trades
        finally:
            reader.close()

    def books(self, whose):
        return self.live if whose == "live" else {k: p for k, (p, _) in self.held.items()}

    def trade(self, qty, commission):
        self.n += 1
        cls = TradeSub if self.n % 5 == 0 else om.Trade
        return cls(self.n, 1.0 + self.n, qty, commission, T0 + dt.timedelta(seconds=self.n))

    @rule(k=st.sampled_from("ab"), qty=numbers, commission=commissions, count=st.integers(1, 20))
    def add_trades(self, k, qty, commission, count):
        for _ in range(count):
            self.live[k].add_trade(self.trade(qty, commission))

    @rule(k=st.sampled_from("ab"), commission=commissions, data=st.data())
    def add_commission(self, k, commission, data):
        trades = self.live[k].trades
        if trades:
            self.live[k].add_commission(data.draw(st.sampled_from(list(trades))), commission)

    @rule(k=st.sampled_from("ab"), field=st.sampled_from(["qty", "price", "timestamp", "orderid"]), data=st.data(),
          whose=st.sampled_from(["live", "held"]))
    def assign_field(self, k, field, data, whose):
        if k not in self.books(whose):
            return
        trades = list(self.books(whose)[k].trades.values())
        if trades:
            t = data.draw(st.sampled_from(trades))
            value = T0 if field == "timestamp" else data.draw(numbers)
            if type(t) is TradeSub and field == "price":
                value = abs(value)  # its constructor, which reads it back, refuses a negative price
            setattr(t, field, value)

    @rule(k=st.sampled_from("ab"), how=st.sampled_from(["pop", "popitem", "replace", "clear", "update", "move"]),
          whose=st.sampled_from(["live", "held"]))
    def mutate_mapping(self, k, how, whose):
        if k not in self.books(whose):
            return
        d = self.books(whose)[k].trades
        if not d:
            return
        first = next(iter(d))
        if how == "pop":
            d.pop(first)
        elif how == "popitem":
            d.popitem()
        elif how == "replace":
            d[first] = self.trade(1, 0.0)
        elif how == "clear":
            d.clear()
        elif how == "update":
            d.update({first: self.trade(2, 0.0), "new": self.trade(3, 0.0)})
        else:
            d[first] = d.pop(first)

    @rule(k=st.sampled_from("ab"), other=st.sampled_from("ab"))
    def share_mapping(self, k, other):
        self.live[k].trades = self.live[other].trades

    @rule(reader=st.sampled_from(["items", "values", "keys"]))
    def restart(self, reader):
        """A new store object on the file, as after a restart: the positions
        are what it reads (every one in one pass, or key by key), and later
        changes are compared with what that read recorded."""
        self.store.close()
        self.store = self.open()
        if reader == "items":
            self.live = dict(self.store.items())
        elif reader == "values":
            self.live = dict(zip("ab", self.store.values()))
        else:
            self.live = {k: self.store[k] for k in self.store}

    @rule(k=st.sampled_from("ab"))
    def look(self, k):
        got, disk = self.onlooker[k], self.disk(k)
        held, seen = self.held.get(k, (None, None))
        if not (got is held and same(seen, disk)):
            assert same(got.trades, disk), (got.trades, disk)
        self.held[k] = (got, disk)

    @rule(k=st.sampled_from("ab"), count=st.integers(1, 3), data=st.data(),
          tamper=st.sampled_from([None, om.Trade, TradeSub]))
    def fill_and_look(self, k, count, data, tamper):
        """The common case: fills written one by one, the onlooker reading
        after each; its caller may first have changed a trade it holds."""
        held = self.held[k][0].trades.values() if k in self.held else ()
        targets = [t for t in held if type(t) is tamper]
        if targets:
            data.draw(st.sampled_from(targets)).qty = data.draw(numbers)
        for _ in range(count):
            self.add_trades(k, 1.0, 0.25, 1)
            self.write(k)
            self.look(k)

    @rule(k=st.sampled_from("ab"))
    def write(self, k):
        self.store[k] = self.live[k]
        reader = self.open()
        try:
            back = reader[k]
            assert same(back.trades, self.live[k].trades), (back.trades, self.live[k].trades)
        finally:
            reader.close()


def test_stored_books(prefix, backend):
    StoredBooks.where = prefix
    examples = 60 if backend == "sqlite" else 15  # (a connection a look on a server)
    run_state_machine_as_test(StoredBooks, settings=settings(max_examples=examples, stateful_step_count=30,
                                                             deadline=None))
