"""Whatever order the broker's messages arrive in, and however often they are
replayed, the ledger ends exactly as if each fill had been recorded once, in
time order, with its commission."""

import copy
import datetime as dt

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from ib_async import CommissionReport
from ib_async import Fill as IbFill
from ib_async import Trade as IbTrade
from ibsim import T0, Gateway, execution, option, report, stock

from marlovent.ledger import Fill, Ledger
from marlovent.live._ib_execution import UNSET_DOUBLE
from marlovent.live.ib import attach, contract_key
from marlovent.ordermgr import OrderMgr

INSTRUMENTS = [stock("AAPL"), option("SPY", "20240621", 450, "C", 801), option("SPY", "20240621", 455, "C", 802)]
MULTIPLIERS = [1, 100, 100]
PERM_IDS = [101, 102, 103]


@st.composite
def days(draw):
    """The day's executions (instrument, order, side, size, price, commission,
    time, whether this client placed the order), and the order in which their
    messages reach the program: each execution and each report at least once,
    with replays and reconnects in between."""
    n = draw(st.integers(1, 9))
    seconds = draw(st.permutations(range(n)))  # distinct times, in an order unrelated to arrival
    execs = [
        dict(
            instrument=draw(st.integers(0, 2)),
            perm_id=draw(st.sampled_from(PERM_IDS)),
            side=draw(st.sampled_from(["BOT", "SLD"])),
            shares=draw(st.integers(1, 4)),
            price=draw(st.sampled_from([0.0, 1.05, 2.5, 99.99, 100.0])),
            commission=draw(st.sampled_from([0.0, 0.35, 0.65, 1.0])),
            placeholder=draw(st.sampled_from([None, "before", "after"])),  # a report with the "unset" double
            when=T0 + dt.timedelta(seconds=seconds[i]),
        )
        for i in range(n)
    ]
    messages = [("execution", i) for i in range(n)] + [("report", i) for i in range(n)]
    extra = draw(st.lists(st.sampled_from(["reconnect", "catch up", "replay"]), max_size=4))
    arrival = draw(st.permutations(messages + extra))
    return execs, arrival, draw(st.sampled_from(["wrapper", "events"])), draw(st.randoms(use_true_random=False))


def in_time_order(execs, ids):
    """The reference: each fill recorded directly, once, in time order, with its commission."""
    with OrderMgr.temp() as mgr:
        ledger = Ledger(mgr)
        for i in sorted(range(len(execs)), key=lambda i: execs[i]["when"]):
            e = execs[i]
            sign = 1 if e["side"] == "BOT" else -1
            fill = Fill(
                ids[i], contract_key(INSTRUMENTS[e["instrument"]]), e["price"], sign * e["shares"], e["commission"],
                timestamp=e["when"], order_id=e["perm_id"],
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


def through_the_feed(execs, arrival, via, rnd):
    gw = Gateway()
    contracts = [INSTRUMENTS[e["instrument"]] for e in execs]
    exs = [
        execution(e["perm_id"], e["side"], e["shares"], e["price"], e["when"], order_id=e["perm_id"] - 100)
        for e in execs
    ]
    reps = [report(ex.execId, e["commission"]) for ex, e in zip(exs, execs)]
    with OrderMgr.temp() as mgr:
        ledger = Ledger(mgr)
        with mgr.positions.batch():
            feed = attach(gw.ib, ledger)
            gw.connect()
            # This client placed the orders of one perm id; the others' fills come only by asking.
            for perm_id in PERM_IDS[:2]:
                gw.place(INSTRUMENTS[0], perm_id - 100, perm_id)
            delivered = []
            for step in arrival:
                if via == "wrapper":
                    wrapper_step(gw, feed, step, contracts, exs, reps, execs, delivered, rnd)
                else:
                    events_step(gw, step, contracts, exs, reps, execs, delivered, rnd)
            if via == "wrapper":
                gw.reconnect()  # the last word: the day's executions and reports once more
            assert feed.errors == 0 and not feed.rejected and not feed.waiting_reports
        result = outcome(mgr, ledger)
        gw.connected = False
        return exs, result


def wrapper_step(gw, feed, step, contracts, exs, reps, execs, delivered, rnd):
    """Through ib_async's wrapper, as the socket would: it drops a report for
    an execution it has not seen, and the broker sends it again after a
    reconnect."""
    if step == "reconnect":
        gw.reconnect()
    elif step == "catch up":
        feed.catch_up()
    elif step == "replay":
        if delivered:
            gw.commission(reps[rnd.choice(delivered)])
    elif step[0] == "execution":
        i = step[1]
        gw.execute(contracts[i], exs[i], live=execs[i]["perm_id"] != PERM_IDS[2])
    else:
        i = step[1]
        unset = report(exs[i].execId, UNSET_DOUBLE)
        if execs[i]["placeholder"] == "before":
            gw.commission(unset)
        gw.commission(reps[i])
        if execs[i]["placeholder"] == "after" and gw.connected:
            gw.ib.wrapper.commissionReport(unset)  # on the wire only: the broker keeps the real one
        delivered.append(i)


def events_step(gw, step, contracts, exs, reps, execs, delivered, rnd):
    """Straight into the IB object's events, with no ib_async bookkeeping in
    between: reports may come before their executions, anything may repeat."""
    ib = gw.ib
    if isinstance(step, str):
        if not delivered:
            return
        step = rnd.choice(delivered)
    delivered.append(step)
    i = step[1]
    trade = IbTrade(contract=contracts[i])
    fill = IbFill(copy.deepcopy(contracts[i]), copy.deepcopy(exs[i]), CommissionReport(), T0)
    if step[0] == "execution":
        ib.execDetailsEvent.emit(trade, fill)
    else:
        unset = report(exs[i].execId, UNSET_DOUBLE)
        if execs[i]["placeholder"] == "before":
            ib.commissionReportEvent.emit(trade, fill, unset)
        ib.commissionReportEvent.emit(trade, fill, copy.deepcopy(reps[i]))
        if execs[i]["placeholder"] == "after":
            ib.commissionReportEvent.emit(trade, fill, unset)


@pytest.mark.usefixtures("data_dir", "loop")
@settings(max_examples=60)
@given(days())
def test_any_arrival_order_with_replays_gives_the_in_order_ledger(day):
    execs, arrival, via, rnd = day
    exs, got = through_the_feed(execs, arrival, via, rnd)
    assert got == in_time_order(execs, [ex.execId for ex in exs])
