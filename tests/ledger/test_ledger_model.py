"""The ledger against a plain model, over random sequences of recordings,
duplicates and conflicts, late fills, busts, late commissions, changed terms,
rolled-back and failing transactions and reopened stores.  Fill times fall
around the autumn hour that New York's clocks repeat, in UTC or in that zone
(both folds), so times in one ZoneInfo must be ordered by instant.

After every step each instrument's fills (in time order), P&L by both methods,
round trips and position agree with what the plain model computes from
scratch in exact fractions.  The FIFO queue is kept in chunks of two lots
here, so that its stored chunks are written, consumed and rewritten often."""

import collections
import copy
import dataclasses
import datetime as dt
import itertools
import zoneinfo
from fractions import Fraction as F

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, multiple, precondition, rule

from marlovent.ledger import Fill, FillConflict, Ledger, projection
from plain_ledger import PlainLedger

UTC = dt.timezone.utc
NY = zoneinfo.ZoneInfo("America/New_York")
T0 = dt.datetime(2024, 11, 3, 4, 45, tzinfo=UTC)  # 00:45 in New York, where 01:00-01:59 comes twice
MINUTES = st.integers(0, 9)  # quarter hours: 00:45, 01:00-01:45 fold=0, 01:00-01:45 fold=1, 01:00 EST
ZONES = st.sampled_from([UTC, NY, NY])
KEYS = st.sampled_from(["A", "B", ("SPY", 510)])
PRICES = st.one_of(st.integers(0, 300), st.fractions(F(1, 4), 300, max_denominator=4))
QTYS = st.one_of(st.integers(-5, 5), st.fractions(-3, 3, max_denominator=3)).filter(bool)
COMMISSIONS = st.one_of(st.none(), st.integers(-1, 3), st.fractions(0, 2, max_denominator=8))
ORDERS = st.sampled_from([None, "O1", "O2", 7])
MULTIPLIERS = st.sampled_from([None, 1, 100, F(1, 2)])
MARK = F(7, 2)
COUNTER = itertools.count()


class Boom(Exception):
    pass


def outcome(call):
    try:
        return str(call())
    except (FillConflict, ValueError, KeyError) as e:
        return type(e).__name__


class LedgerMachine(RuleBasedStateMachine):
    ids = Bundle("fill_ids")

    @initialize()
    def open(self):
        import marlovent.ordermgr as om

        self.om = om
        self.name = f"ledger machine {next(COUNTER)}"
        self.mgr = om.OrderMgr(self.name)
        self.ledger = Ledger(self.mgr)
        self.model = PlainLedger()
        self.fresh = itertools.count()

    def teardown(self):
        if hasattr(self, "mgr"):
            self.mgr.positions.destroy()

    def new_fill(self, key, price, qty, commission, minute, order, zone=UTC):
        when = (T0 + dt.timedelta(minutes=15 * minute)).astimezone(zone)
        return Fill(f"F{next(self.fresh)}", key, price, qty, commission, when, order)

    @rule(target=ids, key=KEYS, price=PRICES, qty=QTYS, commission=COMMISSIONS, minute=MINUTES, zone=ZONES, order=ORDERS, multiplier=MULTIPLIERS)
    def record(self, key, price, qty, commission, minute, zone, order, multiplier):
        fill = self.new_fill(key, price, qty, commission, minute, order, zone)
        expected = self.model.record(fill, multiplier)
        assert outcome(lambda: self.ledger.record(fill, multiplier=multiplier)) == expected
        return fill.fill_id

    @rule(fill_id=ids, change=st.sampled_from([None, "commission", "none", "price", "qty", "timestamp", "fold", "utc", "order_id", "key"]))
    def record_again(self, fill_id, change):
        entry = self.model.fills.get(fill_id)
        if entry is None:
            return
        was = entry[0]
        values = {
            None: {},
            "commission": {"commission": (was.commission or 0) + 1},
            "none": {"commission": None},
            "price": {"price": was.price + 1},
            "qty": {"qty": was.qty + (1 if was.qty != -1 else 2)},
            "timestamp": {"timestamp": was.timestamp + dt.timedelta(seconds=1)},
            "fold": {"timestamp": was.timestamp.replace(fold=1 - was.timestamp.fold)},  # the other 01:xx, or the same time
            "utc": {"timestamp": was.timestamp.astimezone(UTC)},  # the same instant, maybe another offset
            "order_id": {"order_id": "other"},
            "key": {"key": "C"},
        }[change]
        import dataclasses

        fill = dataclasses.replace(was, **values)
        expected = self.model.record(fill)
        assert outcome(lambda: self.ledger.record(fill)) == expected

    @rule(fill_id=ids)
    def cancel(self, fill_id):
        entry = self.model.fills.pop(fill_id, None)
        got = outcome(lambda: self.ledger.cancel(fill_id))
        assert got == ("KeyError" if entry is None else str(entry[0]))

    @rule(fill_id=ids, commission=st.one_of(st.integers(0, 3), st.fractions(0, 2, max_denominator=8)))
    def set_commission(self, fill_id, commission):
        self.commission_reported(self.model, self.ledger, fill_id, commission)

    @staticmethod
    def commission_reported(model, ledger, fill_id, commission):
        entry = model.fills.get(fill_id)
        if entry is None:
            expected = "KeyError"
        else:
            old = entry[0].commission
            unchanged = old is not None and type(old) is type(commission) and old == commission
            expected = str(not unchanged)
            model.fills[fill_id] = (dataclasses.replace(entry[0], commission=commission), entry[1])
        assert outcome(lambda: ledger.set_commission(fill_id, commission)) == expected

    @rule(
        target=ids,
        fills=st.lists(st.tuples(KEYS, PRICES, QTYS, COMMISSIONS, MINUTES, ZONES, ORDERS), min_size=1, max_size=8),
        at=st.integers(0, 7),
        inner=st.sampled_from([None, "read", "read rolled back", "bulk rolled back", "commissions", "busts"]),
        inner_key=KEYS,
        second=st.booleans(),
        fail=st.booleans(),
    )
    def record_in_bulk(self, fills, at, inner, inner_key, second, fail):
        """Many fills in one bulk block (older ones rebuilt once at its end),
        some through a second Ledger of the same portfolio; at one point a
        read brings them up to date, or a savepoint that read or a bulk block
        inside it recorded in is rolled back, or commissions are reported late
        (for fills of the block and from before it), or some of those are
        busted (and recorded again); or the whole block fails."""
        fills = [self.new_fill(k, p, q, c, m, o, z) for k, p, q, c, m, z, o in fills]
        model = copy.deepcopy(self.model) if fail else self.model
        ledgers = [self.ledger, Ledger(self.mgr) if second else self.ledger]
        try:
            with self.ledger.bulk():
                for i, fill in enumerate(fills):
                    assert outcome(lambda: ledgers[i % 2].record(fill)) == model.record(fill, None)
                    if i != at or inner is None:
                        continue
                    if inner == "read":
                        self.ledger.pnl()
                        continue
                    targets = dict.fromkeys([fills[0].fill_id, fills[i // 2].fill_id, *list(model.fills)[:2]])
                    if inner == "commissions":  # reported late, for fills of the block and from before it
                        for target in targets:
                            self.commission_reported(model, ledgers[1], target, F(i + 1, 4))
                        continue
                    if inner == "busts":  # of fills of the block and from before it, recorded again or not
                        for n, target in enumerate(targets):
                            entry = model.fills.pop(target, None)
                            assert outcome(lambda: ledgers[n % 2].cancel(target)) == ("KeyError" if entry is None else str(entry[0]))
                            if entry is not None and n % 2:
                                assert outcome(lambda: ledgers[0].record(entry[0])) == model.record(entry[0], None)
                        continue
                    with pytest.raises(Boom):
                        with self.ledger.bulk() if inner == "bulk rolled back" else self.mgr.positions.transaction():
                            self.ledger.record(self.new_fill(inner_key, 1, 1, None, 9, None))
                            self.ledger.record(self.new_fill(inner_key, 2, 1, None, 0, None))
                            self.ledger.pnl()
                            raise Boom
                if fail:
                    raise Boom
        except Boom:
            return multiple()
        return multiple(*(f.fill_id for f in fills))

    @rule(key=KEYS, multiplier=st.sampled_from([1, 100, F(1, 2)]), currency=st.sampled_from(["USD", "EUR"]))
    def set_instrument(self, key, multiplier, currency):
        self.ledger.set_instrument(key, multiplier=multiplier, currency=currency)
        self.model.terms[key] = (multiplier, currency)

    def held(self, key):
        """The position of ``key`` as a caller holds it, and its trades now."""
        position = self.mgr.positions.get(key)
        return position, None if position is None else list(position.trades.items())

    @staticmethod
    def unchanged(held):
        """A position held before a recording that did not happen shows no change."""
        position, trades = held
        assert position is None or list(position.trades.items()) == trades

    @rule(key=KEYS, price=PRICES, qty=QTYS, minute=MINUTES, zone=ZONES)
    def rolled_back(self, key, price, qty, minute, zone):
        fill = self.new_fill(key, price, qty, None, minute, None, zone)
        held = self.held(key)
        with pytest.raises(Boom):
            with self.mgr.positions.transaction():
                if self.ledger.record(fill) is not None:
                    raise Boom
        self.unchanged(held)

    @rule(key=KEYS, price=PRICES, qty=QTYS, minute=MINUTES, zone=ZONES, after=st.integers(0, 6))
    def failing_write(self, key, price, qty, minute, zone, after):
        """A write of the store fails (a full disk) part way through a recording."""
        from zelph.dualcache import StoreError

        fill = self.new_fill(key, price, qty, None, minute, None, zone)
        held = self.held(key)
        self.mgr.positions._fail_writes(after)
        try:
            self.ledger.record(fill)
        except StoreError:
            self.unchanged(held)
        else:
            assert self.model.record(fill) == "new"
        finally:
            self.mgr.positions._fail_writes(-1)

    @rule()
    def reopen(self):
        self.mgr.positions.close()
        self.mgr = self.om.OrderMgr(self.name)
        self.ledger = Ledger(self.mgr)

    @precondition(lambda self: hasattr(self, "model"))
    @invariant()
    def agrees_with_the_model(self):
        ledger, model = self.ledger, self.model
        rows = {
            method: {r.key: r for r in ledger.pnl({k: MARK for k in model.terms}, method=method).rows}
            for method in ("average", "fifo")
        }
        assert set(rows["average"]) == set(model.keys())
        assert len(ledger) == len(model.fills)
        for key in model.keys():
            multiplier, currency = model.terms[key]
            assert ledger.instrument(key).multiplier == multiplier and ledger.instrument(key).currency == currency
            assert [f.fill_id for f in ledger.fills(key)] == [f.fill_id for f in model.of(key)]
            f = model.figures(key)
            avg, fifo = rows["average"][key], rows["fifo"][key]
            assert (avg.qty, avg.realized, fifo.realized, avg.commission) == (f.qty, f.realized_average, f.realized_fifo, f.commission)
            money = MARK * f.qty * F(multiplier)
            assert avg.unrealized == (money - f.basis if f.qty else 0)
            assert fifo.unrealized == (money - sum(cost for _, cost in f.lots) if f.qty else 0)
            # The FIFO queue: a row of bounded size, the full chunks between its ends stored, nothing else.
            row = ledger._instruments[key]
            assert len(row[projection.LOTS]) <= 2 * projection.LOT_CHUNK and len(row[projection.BACK]) < 2 * projection.LOT_CHUNK
            stored = sorted(n for k, n in ledger._lots.keys() if k == key)
            assert stored == list(projection.stored_chunks(row))
            trips = [(t.opened, t.closed, t.qty, t.realized_average, t.realized_fifo) for t in ledger.history(key)]
            assert trips == f.trips and avg.round_trips == ledger.round_trips(key) == len(f.trips)
            position = self.mgr.positions.get(key)
            if not f.book:
                assert position is None
                continue
            assert position.qty == f.qty and len(position.trades) == len(f.book)
            held = collections.Counter((t.price, t.qty, t.timestamp.isoformat()) for t in position.trades.values())
            assert held == collections.Counter((b.price, b.qty, b.timestamp.isoformat()) for b in f.book)
            for b in f.book:  # every order of the book groups this position
                assert (b.fill_id if b.order_id is None else b.order_id) in position.orderids


LedgerMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=25, deadline=None)


@pytest.fixture(autouse=True)
def _data_dir(data_dir):
    return data_dir


@pytest.fixture(autouse=True)
def _short_chunks(monkeypatch):
    """Chunks of two lots: a few fills of one sign cross chunk boundaries."""
    from marlovent.ledger import projection

    monkeypatch.setattr(projection, "LOT_CHUNK", 2)


def test_the_ledger_against_the_plain_model():
    LedgerMachine.TestCase().runTest()
