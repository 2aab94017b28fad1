"""Whatever order the broker's messages arrive in, and however often they are
replayed, the ledger ends as if each fill had been recorded once, in time
order, with its commission: the same fills and positions exactly, the same
P&L (a commission reported late is worked into the float figures where it
lands, so they may differ from a fold in time order in the last bits).  An
execution may be corrected (``.01`` by ``.02`` by ``.03``), its versions
arriving and replayed in any order: only the latest version is a fill.  This program's
orders may have been placed with a contract by conId alone, or without its
multiplier: the fills take the broker's contract all the same.  The
store's server may be lost for a while, or lose one answer: once it is
back, ``feed.retry()`` (and through ib_async, the catch-up of a reconnect)
records whatever was kept out; a catch-up whose block fails as a whole
records its fills one by one instead.  ``on_fill`` ends having been told
each fill as the ledger holds it."""

import contextlib
import copy
import datetime as dt
import errno
import math
import random

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st
from ib_async import CommissionReport, Contract
from ib_async import Fill as IbFill
from ib_async import Trade as IbTrade
from ibsim import T0, Gateway, execution, option, report, stock

from marlovent.ledger import Fill, Ledger, Recorded
from marlovent.live._ib_execution import UNSET_DOUBLE
from marlovent.live.ib import attach, contract_key
from marlovent.ordermgr import OrderMgr

INSTRUMENTS = [stock("AAPL"), option("SPY", "20240621", 450, "C", 801), option("SPY", "20240621", 455, "C", 802)]
MULTIPLIERS = [1, 100, 100]
PERM_IDS = [101, 102, 103]
KINDS = ("execution", "report")


@st.composite
def days(draw):
    """The day's executions (instrument, order, side, time, whether this
    client placed the order; and the versions of each: size, price and
    commission as first published and as corrected), and the order in which
    their messages reach the program: each version's execution and report at
    least once, with replays, reconnects, restarts and outages of the store
    in between, and the commit of a catch-up's block lost."""
    n = draw(st.integers(1, 9))
    seconds = draw(st.permutations(range(n)))  # distinct times, in an order unrelated to arrival
    version = st.fixed_dictionaries(
        dict(
            shares=st.integers(1, 4),
            price=st.sampled_from([0.0, 1.05, 2.5, 99.99, 100.0]),
            commission=st.sampled_from([0.0, 0.35, 0.65, 1.0]),
        )
    )
    execs = [
        dict(
            instrument=draw(st.integers(0, 2)),
            perm_id=draw(st.sampled_from(PERM_IDS)),
            side=draw(st.sampled_from(["BOT", "SLD"])),
            versions=draw(st.lists(version, min_size=1, max_size=3)),
            placeholder=draw(st.sampled_from([None, "before", "after"])),  # a report with the "unset" double
            when=T0 + dt.timedelta(seconds=seconds[i]),
        )
        for i in range(n)
    ]
    messages = [(kind, i, v) for i, e in enumerate(execs) for v in range(len(e["versions"])) for kind in KINDS]
    extra = draw(st.lists(st.sampled_from(["reconnect", "catch up", "replay", "restart", "outage", "lost commit",
                                                 "stored commit", "lost read", "lost answer"]),
                          max_size=6))
    arrival = draw(st.permutations(messages + extra))
    # How this client placed its orders (of the first two perm ids): with what contract.
    placed = [draw(st.sampled_from(list(PLACED))) for _ in PERM_IDS[:2]]
    return execs, arrival, placed, draw(st.sampled_from(["wrapper", "events"])), draw(st.randoms(use_true_random=False))


PLACED = {
    "as the broker has it": lambda c: None,  # known from the broker's open orders
    "by conId": lambda c: Contract(conId=c.conId, exchange="SMART"),
    "unqualified": lambda c: Contract(
        secType=c.secType, conId=c.conId, symbol=c.symbol, lastTradeDateOrContractMonth=c.lastTradeDateOrContractMonth,
        strike=c.strike, right=c.right, exchange="SMART",
    ),
}


class Unreachable(Ledger):
    """A ledger whose store's server can be lost: while it is (``down``),
    every read and write the feed makes raises, as the store's would; and
    whose next block of fills (``lose_commit``) fails as it ends: "lost", all
    of it rolled back, as a commit the server never acknowledged, or
    "stored", kept, as one whose answer was lost; and which may lose one
    answer (``lose``): "read", of the first read after the next write, or
    "answer", of the next write, stored all the same."""

    down = False
    lose_commit = None
    lose = None

    def _wrote(self, changed=True):
        if self.lose == "answer":
            self.lose = None
            raise OSError(errno.EIO, "the write was stored, but its answer was lost")
        if self.lose == "read" and changed:
            self.lose = "next read"

    @contextlib.contextmanager
    def bulk(self):
        how, self.lose_commit = self.lose_commit, None
        with super().bulk() as rebuilt:
            yield rebuilt
            if how == "lost":
                raise OSError(errno.EIO, "the block's commit was lost")
        if how == "stored":
            raise OSError(errno.EIO, "the block's commit was stored, but its answer was lost")

    def _reach(self, read=True):
        if self.down:
            raise OSError(errno.EIO, "the store's server is gone")
        if read and self.lose == "next read":
            self.lose = None
            raise OSError(errno.EIO, "the answer to a read was lost")

    def record(self, *args, **kwargs):
        self._reach(read=False)
        outcome = super().record(*args, **kwargs)
        self._wrote(outcome is Recorded.NEW)
        return outcome

    def get(self, fill_id):
        self._reach()
        return super().get(fill_id)

    def fills(self, key=None):
        self._reach()
        return super().fills(key)

    def set_commission(self, fill_id, commission):
        self._reach(read=False)
        changed = super().set_commission(fill_id, commission)
        self._wrote(changed)
        return changed

    def cancel(self, fill_id):
        self._reach(read=False)
        cancelled = super().cancel(fill_id)
        self._wrote()
        return cancelled

    def instrument(self, key):
        self._reach()
        return super().instrument(key)

    def recorded(self, key):
        self._reach()
        return super().recorded(key)


def in_time_order(execs, ids):
    """The reference: each execution's latest version recorded directly, once,
    in time order, with its commission."""
    with OrderMgr.temp() as mgr:
        ledger = Ledger(mgr)
        for i in sorted(range(len(execs)), key=lambda i: execs[i]["when"]):
            e, last = execs[i], execs[i]["versions"][-1]
            sign = 1 if e["side"] == "BOT" else -1
            fill = Fill(
                ids[i][-1], contract_key(INSTRUMENTS[e["instrument"]]), last["price"], sign * last["shares"],
                last["commission"], timestamp=e["when"], order_id=e["perm_id"],
            )
            ledger.record(fill, multiplier=MULTIPLIERS[e["instrument"]], currency="USD")
        return outcome(mgr, ledger)


def outcome(mgr, ledger):
    books = {
        key: (pos.qty, sorted((t.price, t.qty, t.commission, t.timestamp) for t in pos.trades.values()))
        for key, pos in mgr.positions.items()
    }
    pnl = {r.key: (r.qty, r.realized, r.average_cost) for r in ledger.pnl().rows}
    return {f.fill_id: f for f in ledger.fills()}, books, pnl


def through_the_feed(execs, arrival, placed, via, rnd):
    gw = Gateway()
    contracts = [INSTRUMENTS[e["instrument"]] for e in execs]
    exs = [corrected(e) for e in execs]
    reps = [[report(ex.execId, v["commission"]) for ex, v in zip(chain, e["versions"])] for chain, e in zip(exs, execs)]
    with OrderMgr.temp() as mgr:
        ledger = Unreachable(mgr)
        with mgr.positions.batch():
            notified, told = [], {}

            def on_fill(fill):
                notified.append(fill.fill_id.rpartition("."))
                told[fill.fill_id] = fill

            feed = attach(gw.ib, ledger, on_fill=on_fill)
            gw.connect()
            # This client placed the orders of two perm ids (each of the instrument of its first
            # execution); the others' fills come only by asking.
            for perm_id, how in zip(PERM_IDS[:2], placed):
                contract = next((c for c, e in zip(contracts, execs) if e["perm_id"] == perm_id), INSTRUMENTS[0])
                gw.place(contract, perm_id - 100, perm_id, placed=PLACED[how](contract))
            delivered = []
            for step in arrival:
                if step == "outage":
                    ledger.down = not ledger.down  # lost, or back
                elif step in ("lost read", "lost answer"):
                    ledger.lose = step.partition(" ")[2]
                elif step in ("lost commit", "stored commit"):
                    ledger.lose_commit = step.partition(" ")[0]
                    if step == "stored commit" and via == "wrapper":
                        wrapper_step(gw, feed, "catch up", contracts, exs, reps, execs, delivered, rnd)
                elif step == "restart" and via == "wrapper":
                    # The program starts again: a new feed that knows only the ledger.
                    feed.detach()
                    feed = attach(gw.ib, ledger, on_fill=feed.on_fill)
                elif via == "wrapper":
                    wrapper_step(gw, feed, step, contracts, exs, reps, execs, delivered, rnd)
                else:
                    events_step(gw, step, contracts, exs, reps, execs, delivered, rnd)
                # A read lost after a write that went through keeps nothing out.
                assert not [e for e in feed.rejected.values() if "read was lost" in str(e.error)], feed.rejected
            ledger.down, ledger.lose = False, None
            feed.retry()
            if via == "wrapper" and "restart" not in arrival:
                # Each report is in the ledger with its fill already, whichever came first,
                # before anything is replayed (a restart forgets the reports still waiting).
                for i, v in delivered:
                    fill = ledger.get(exs[i][v].execId)
                    assert fill is None or fill.commission == reps[i][v].commission, (fill, reps[i][v])
            if via == "wrapper":
                gw.reconnect()  # the last word: the day's executions and reports once more
            assert not feed.rejected and not feed.waiting_reports
            assert feed.errors == 0 or {"outage", "lost read", "lost answer"} & set(arrival)
            if "restart" not in arrival:  # a new program is told only of what it records itself
                assert all(told.get(f.fill_id) == f for f in ledger.fills()), (told, ledger.fills())
            # A version, once a later one is recorded, is not recorded again, not even for a moment.
            latest = {}
            for base, _, number in notified:
                assert int(number) >= latest.get(base, 0), f"{base}.{number} after {base}.{latest[base]:02d}"
                latest[base] = int(number)
        result = outcome(mgr, ledger)
        gw.connected = False
        return exs, result


def corrected(e):
    """An execution's versions, as the broker publishes them: ``.01``, then its corrections."""
    first, *more = e["versions"]
    chain = [execution(e["perm_id"], e["side"], first["shares"], first["price"], e["when"], order_id=e["perm_id"] - 100)]
    for number, v in enumerate(more, 2):
        ex = copy.copy(chain[0])
        ex.execId, ex.shares, ex.price = f"{ex.execId[:-3]}.{number:02d}", float(v["shares"]), v["price"]
        chain.append(ex)
    return chain


def wrapper_step(gw, feed, step, contracts, exs, reps, execs, delivered, rnd):
    """Through ib_async's wrapper, as the socket would (a report for an
    execution it has not seen yet it drops, the feed keeps it until its
    execution comes; the broker sends it again after a reconnect)."""
    if step == "reconnect":
        gw.reconnect()
    elif step == "catch up" and not feed.ledger.down:
        # It counts the fills it recorded, whatever its commit's answer: at
        # least those now held (more where a correction replaced one), but
        # for one it lists, its write's answer lost (counted when next met).
        before = {f.fill_id for f in feed.ledger.fills()}
        counted = feed.catch_up()
        assert counted >= len({f.fill_id for f in feed.ledger.fills()} - before - set(feed.rejected))
    elif step == "catch up":
        feed.catch_up()
    elif step == "replay":
        if delivered:
            i, v = rnd.choice(delivered)
            gw.commission(reps[i][v])
    elif step[0] == "execution":
        _, i, v = step
        gw.execute(contracts[i], exs[i][v], live=execs[i]["perm_id"] != PERM_IDS[2])
    else:
        _, i, v = step
        unset = report(exs[i][v].execId, UNSET_DOUBLE)
        if execs[i]["placeholder"] == "before":
            gw.commission(unset)
        gw.commission(reps[i][v])
        if execs[i]["placeholder"] == "after" and gw.connected:
            gw.ib.wrapper.commissionReport(unset)  # on the wire only: the broker keeps the real one
        delivered.append((i, v))


def events_step(gw, step, contracts, exs, reps, execs, delivered, rnd):
    """Straight into the IB object's events, with no ib_async bookkeeping in
    between: reports may come before their executions, anything may repeat."""
    ib = gw.ib
    if isinstance(step, str):
        if not delivered:
            return
        step = rnd.choice(delivered)
    delivered.append(step)
    kind, i, v = step
    trade = IbTrade(contract=contracts[i])
    fill = IbFill(copy.deepcopy(contracts[i]), copy.deepcopy(exs[i][v]), CommissionReport(), T0)
    if kind == "execution":
        ib.execDetailsEvent.emit(trade, fill)
    else:
        unset = report(exs[i][v].execId, UNSET_DOUBLE)
        if execs[i]["placeholder"] == "before":
            ib.commissionReportEvent.emit(trade, fill, unset)
        ib.commissionReportEvent.emit(trade, fill, copy.deepcopy(reps[i][v]))
        if execs[i]["placeholder"] == "after":
            ib.commissionReportEvent.emit(trade, fill, unset)


def one(arrival, *, placed="as the broker has it", via="wrapper", perm_id=101, instrument=0, placeholder=None):
    """A day of one execution, its messages ("execution", "report") and the
    steps between them as ``arrival`` lists them."""
    e = dict(instrument=instrument, perm_id=perm_id, side="BOT", versions=[dict(shares=1, price=1.05, commission=0.65)],
             placeholder=placeholder, when=T0)
    steps = [(step, 0, 0) if step in KINDS else step for step in arrival]
    return [e], steps, [placed] * 2, via, random.Random(0)


@pytest.mark.usefixtures("data_dir", "loop")
@settings(max_examples=60)
@given(days())
# Each way a message or the store can go wrong once, tried every time.
@example(one(["execution", "report"], placed="by conId"))
@example(one(["execution", "report"], placed="unqualified", instrument=1))
@example(one(["report", "execution"]))
@example(one(["lost read", "execution", "report"]))
@example(one(["execution", "lost read", "report"]))
@example(one(["execution", "lost read", "report"], via="events"))
@example(one(["lost answer", "report", "execution"]))
@example(one(["execution", "lost answer", "report"], via="events"))
@example(one(["execution", "report", "lost answer", "stored commit"], perm_id=PERM_IDS[2]))
@example(one(["execution", "outage", "report"], placeholder="after"))
@example(one(["execution", "outage", "reconnect", "report"], perm_id=PERM_IDS[2], placeholder="after"))
def test_any_arrival_order_with_replays_gives_the_in_order_ledger(day):
    execs, arrival, placed, via, rnd = day
    exs, got = through_the_feed(execs, arrival, placed, via, rnd)
    fills, books, pnl = in_time_order(execs, [[ex.execId for ex in chain] for chain in exs])
    assert got[:2] == (fills, books) and got[2].keys() == pnl.keys()
    for key, (qty, realized, average_cost) in pnl.items():
        q, r, a = got[2][key]
        assert q == qty and math.isclose(r, realized, abs_tol=1e-9) and (a is average_cost or math.isclose(a, average_cost))


STOCKS = [stock("AAPL"), stock("MSFT")]


@st.composite
def days_with_messages_during_on_fill(draw):
    """The day's executions and their versions, which of their messages are
    at the broker when the program comes back and which arrive while on_fill
    runs (in what order), and how they arrive then."""
    n = draw(st.integers(1, 6))
    seconds = draw(st.permutations(range(n)))
    version = st.fixed_dictionaries(dict(shares=st.integers(1, 3), price=st.just(100.0),
                                         commission=st.sampled_from([0.35, 1.0])))
    execs = [
        dict(instrument=draw(st.integers(0, 1)), perm_id=draw(st.sampled_from(PERM_IDS)),
             side=draw(st.sampled_from(["BOT", "SLD"])), versions=draw(st.lists(version, min_size=1, max_size=3)),
             when=T0 + dt.timedelta(seconds=seconds[i]))
        for i in range(n)
    ]
    messages = [(kind, i, v) for i, e in enumerate(execs) for v in range(len(e["versions"])) for kind in KINDS]
    during = {m for m in messages if draw(st.booleans())}
    return (execs, [m for m in messages if m not in during], list(draw(st.permutations(sorted(during)))),
            draw(st.sampled_from(["socket", "catch up in on_fill"])))


@pytest.mark.usefixtures("data_dir", "loop")
@settings(max_examples=150)
@given(days_with_messages_during_on_fill())
def test_on_fill_is_told_each_fill_as_the_ledger_holds_it(day):
    """A catch-up finds executions made while the program was down (with
    their corrections), and while on_fill runs further messages arrive (on_fill
    makes a synchronous ib_async call, which runs the event loop; or it catches
    up itself).  Whatever arrives when: on_fill is given the ledger's fill as
    it stands, no version of an execution after a later one, and every fill of
    the final ledger as it ends; the ledger ends as the day in time order."""
    execs, before, during, how = day
    exs = [corrected(e) for e in execs]
    gw = Gateway()
    for perm_id in PERM_IDS[:2]:  # this client's orders; the third is another client's
        gw.place(STOCKS[0], perm_id - 100, perm_id)
    told, problems = [], []
    with OrderMgr.temp() as mgr:
        ledger = Ledger(mgr)

        def deliver(message, live):
            kind, i, v = message
            if kind == "execution":
                gw.execute(STOCKS[execs[i]["instrument"]], exs[i][v], live=live)
            else:
                gw.commission(report(exs[i][v].execId, execs[i]["versions"][v]["commission"]), live=live)

        def on_fill(fill):
            now = ledger.get(fill.fill_id)
            if now != fill:
                problems.append(f"told {fill!r} while the ledger holds {now!r}")
            told.append(fill)
            if during:
                deliver(during.pop(0), live=True)
                if how == "catch up in on_fill":
                    feed.catch_up()

        feed = attach(gw.ib, ledger, on_fill=on_fill)
        gw.connect()
        gw.connected = False  # the program is down: the broker keeps what happens
        for message in before:
            deliver(message, live=False)
        gw.connect()  # and back: its start-up request, then a catch-up
        feed.catch_up()
        while during:  # what on_fill did not take in
            deliver(during.pop(0), live=True)
        gw.reconnect()
        feed.catch_up()
        latest = {}
        for fill in told:
            base, _, number = fill.fill_id.rpartition(".")
            if int(number) < latest.get(base, 0):
                problems.append(f"{fill.fill_id} told after {base}.{latest[base]:02d}")
            latest[base] = max(int(number), latest.get(base, 0))
        last = {fill.fill_id: fill for fill in told}
        problems += [f"last told of {f.fill_id}: {last.get(f.fill_id)!r}" for f in ledger.fills() if last.get(f.fill_id) != f]
        assert not feed.rejected and not feed.waiting_reports and feed.errors == 0
        got = {f.fill_id: f for f in ledger.fills()}
        gw.connected = False
    want = {}
    for e, chain in zip(execs, exs):
        last_version, x = e["versions"][-1], chain[-1]
        sign = 1 if e["side"] == "BOT" else -1
        want[x.execId] = Fill(x.execId, contract_key(STOCKS[e["instrument"]]), last_version["price"],
                              sign * last_version["shares"], last_version["commission"], timestamp=e["when"],
                              order_id=e["perm_id"])
    assert got == want
    assert not problems, problems
