"""The Interactive Brokers feed, driven offline through ib_async's own objects
and its wrapper's callbacks (tests/live/ibsim.py): an iron condor filled in
parts as a combo order, a stock built from 50 partial fills, reconnects that
replay the day, a correction, bad input, reconciliation with the broker's
positions, and the example program."""

import asyncio
import copy
import datetime as dt
import logging
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest
from ib_async import Contract, Position
from ibsim import T0, combo, execution, option, report, stock

from marlovent.ledger import Fill
from marlovent.live.ib import attach, contract_key, reconcile

ROOT = Path(__file__).resolve().parents[2]
SEC = dt.timedelta(seconds=1)
approx = pytest.approx


def snapshot(mgr, ledger):
    """Everything a replay must leave as it was: the ledger's fills and every stored position, trade by trade."""
    return sorted(map(repr, ledger.fills())), {k: repr(p) for k, p in mgr.positions.items()}


def distinct_groups(mgr):
    return list({id(g): g for g in mgr.position_groups().values()}.values())


def test_an_iron_condor_filled_in_parts_as_a_combo_with_reports_late_and_out_of_order(gateway, ledger, mgr):
    gw = gateway
    p430, p440 = option("SPY", "20240621", 430, "P", 501), option("SPY", "20240621", 440, "P", 502)
    c460, c470 = option("SPY", "20240621", 460, "C", 503), option("SPY", "20240621", 470, "C", 504)
    legs = [(p430, "BOT"), (p440, "SLD"), (c460, "SLD"), (c470, "BOT")]
    bag = combo("SPY", [(c, "BUY" if side == "BOT" else "SELL", 1) for c, side in legs])
    feed = attach(gw.ib, ledger)
    gw.connect()
    gw.place(bag, 11, 7001, action="SELL", qty=2)

    # Two condors, one at a time: an execution per leg and one for the combo itself (2.40 credit).
    parts = [(T0, [1.10, 2.30, 2.05, 0.85]), (T0 + 60 * SEC, [1.05, 2.25, 2.10, 0.90])]
    reports = []
    for when, prices in parts:
        for (leg, side), price in zip(legs, prices):
            ex = execution(7001, side, 1, price, when, order_id=11)
            gw.execute(leg, ex)
            reports.append(report(ex.execId, 0.65))
        whole = execution(7001, "SLD", 1, 2.40, when, order_id=11)
        gw.execute(bag, whole)
        reports.append(report(whole.execId, 0.0))
    assert len(ledger.fills()) == 8 and all(f.commission is None for f in ledger.fills())
    random.Random(20).shuffle(reports)
    for rep in reports:
        gw.commission(rep)

    keys = [contract_key(c) for c, _ in legs]
    assert keys[0] == "SPY   240621P00430000"
    assert [mgr.positions[k].qty for k in keys] == [2, -2, -2, 2]
    assert {f.commission for f in ledger.fills()} == {0.65}
    assert {f.order_id for f in ledger.fills()} == {7001}
    assert (feed.combos, feed.errors, feed.rejected, feed.waiting_reports) == (2, 0, {}, {})

    # One spread of four legs, re-traded as one unit.
    (condor,) = distinct_groups(mgr)
    assert sorted(condor.keys) == sorted(keys)
    for k, (_, side) in zip(keys, legs):
        assert f"{'BUY' if side == 'BOT' else 'SELL'} 1 {k}" in condor.open()
        assert f"{'SELL' if side == 'BOT' else 'BUY'} 1 {k}" in condor.close()

    # Money: a 2.40 credit twice, 8 commissions of 0.65, marked at a 2.20 debit to close.
    marks = dict(zip(keys, [0.80, 1.90, 1.60, 0.50]))
    report_ = ledger.pnl(marks)
    rows = {r.key: r for r in report_.rows}
    assert [rows[k].multiplier for k in keys] == [100] * 4
    assert [rows[k].average_cost for k in keys] == approx([1.0815, 2.2685, 2.0685, 0.8815])
    assert [rows[k].unrealized for k in keys] == approx([-56.30, 73.70, 93.70, -76.30])
    assert [rows[k].realized for k in keys] == approx([0, 0, 0, 0])
    usd = report_.totals["USD"]
    assert (usd.realized, usd.unrealized) == approx((0.0, 480 - 440 - 5.20))

    # A dropped connection: the reconnect's start-up request and the catch-up replay the whole day.
    before = snapshot(mgr, ledger)
    gw.reconnect()
    assert gw.requests >= 2
    assert snapshot(mgr, ledger) == before
    assert (feed.combos, feed.errors) == (2, 0)


def test_a_stock_from_50_partial_fills_out_of_time_order_some_made_while_down(gateway, ledger, mgr):
    gw, aapl = gateway, stock("AAPL")
    feed = attach(gw.ib, ledger, account="DU123456")
    gw.connect()
    gw.place(aapl, 21, 8001, qty=5000)
    # The same login trades another account: not this ledger's.
    other = execution(8001, "BOT", 700, 189.0, T0, order_id=21)
    other.acctNumber = "DU999999"
    gw.commission(report(other.execId, 3.5))
    gw.execute(aapl, other)
    partials = [execution(8001, "BOT", 100, round(190 + 0.01 * i, 2), T0 + i * SEC, order_id=21) for i in range(50)]
    arrival = list(range(50))
    random.Random(50).shuffle(arrival)
    for i in arrival[:25]:
        gw.execute(aapl, partials[i])
        if i % 3:
            gw.commission(report(partials[i].execId, 0.35))
    gw.drop()
    for i in arrival[25:]:  # filled while this program was down
        gw.execute(aapl, partials[i])
    for i in range(50):  # the rest of the reports, sent while down: the reconnect replays them
        if not (i in arrival[:25] and i % 3):
            gw.commission(report(partials[i].execId, 0.35))
    gw.connect()

    assert len(ledger.fills("AAPL")) == 50 and {f.commission for f in ledger.fills()} == {0.35}
    position = mgr.positions["AAPL"]
    assert position.qty == 5000 and isinstance(position.qty, int)
    assert len(position.trades) == 50  # partial fills of one order never collide
    # 100 * (50 * 190 + 0.01 * 1225) + 50 * 0.35 = 951,242.50 for 5,000 shares.
    assert ledger.pnl().rows[0].average_cost == approx(190.2485)

    # A close placed by another client reaches this one only through a catch-up.
    close = execution(8002, "SLD", 2000, 191.00, T0 + 100 * SEC, order_id=3, client_id=9)
    gw.execute(aapl, close, live=False)
    assert ledger.get(close.execId) is None
    assert feed.catch_up() == 1 and feed.catch_up() == 0
    # Its report updates ib_async's fill in place, without an event: the feed still sees it.
    gw.commission(report(close.execId, 10.0))
    assert ledger.get(close.execId).commission == 10.0
    (row,) = ledger.pnl({"AAPL": 192.0}).rows
    assert row.qty == 3000
    assert row.realized == approx((191.00 - 190.2485) * 2000 - 10.00)  # 1,493.00
    assert row.unrealized == approx((192.00 - 190.2485) * 3000)  # 5,254.50
    assert row.average_cost == approx(190.2485)
    (group,) = distinct_groups(mgr)
    assert group.keys == {"AAPL"} and group.qty == 3000
    assert ledger.get(other.execId) is None and feed.waiting_reports == {} and feed.errors == 0


def test_a_correction_replaces_the_execution_it_corrects_and_replays_do_not_bring_it_back(gateway, ledger, mgr, loop):
    gw, msft = gateway, stock("MSFT")
    feed = attach(gw.ib, ledger)
    gw.connect()
    gw.place(msft, 31, 9100, qty=10)
    first = execution(9100, "BOT", 10, 410.0, T0, order_id=31, exec_id="0001f4e8.57427f1b.01.01")
    fixed = copy.copy(first)
    fixed.execId, fixed.price = "0001f4e8.57427f1b.01.02", 410.5
    gw.execute(msft, first)
    gw.commission(report(first.execId, 1.0))
    gw.execute(msft, fixed)
    gw.commission(report(fixed.execId, 1.0))
    assert [(f.fill_id, f.price, f.commission) for f in ledger.fills()] == [(fixed.execId, 410.5, 1.0)]
    gw.reconnect()
    assert [f.fill_id for f in ledger.fills()] == [fixed.execId]
    assert mgr.positions["MSFT"].qty == 10

    # Inside a running event loop (as in IB.connect), the catch-up on connecting is scheduled on the loop.
    missed = execution(9101, "SLD", 4, 411.0, T0 + SEC, order_id=32, client_id=5)
    gw.execute(msft, missed, live=False)

    async def connected():
        gw.ib.connectedEvent.emit()
        assert ledger.get(missed.execId) is None
        (catching_up,) = feed._tasks
        await catching_up

    loop.run_until_complete(connected())
    assert ledger.get(missed.execId).qty == -4 and mgr.positions["MSFT"].qty == 6

    # Another program records the correction of a fill this feed recorded (and
    # cancels it): this feed keeps the older version out of its replays too.
    gw.place(msft, 33, 9102, qty=5)
    second = execution(9102, "BOT", 5, 412.0, T0 + 2 * SEC, order_id=33, exec_id="0001f4e9.57427f1c.01.01")
    gw.execute(msft, second)
    was = ledger.get(second.execId)
    ledger.record(Fill("0001f4e9.57427f1c.01.02", was.key, 412.25, 5, 1.0, was.timestamp, was.order_id))
    ledger.cancel(second.execId)
    gw.reconnect()
    assert ledger.get(second.execId) is None and mgr.positions["MSFT"].qty == 11

    # Detaching cancels the catch-up a connect scheduled: nothing is recorded after it.
    after = execution(9103, "SLD", 1, 411.5, T0 + 3 * SEC, order_id=34, client_id=5)
    gw.execute(msft, after, live=False)

    async def connected_then_detached():
        gw.ib.connectedEvent.emit()
        scheduled = set(feed._tasks)
        feed.detach()
        await asyncio.gather(*scheduled, return_exceptions=True)

    loop.run_until_complete(connected_then_detached())
    assert ledger.get(after.execId) is None and not feed.attached


def test_bad_input_is_logged_counted_kept_out_and_retried(gateway, ledger, mgr, caplog, monkeypatch):
    gw, aapl = gateway, stock("AAPL")
    caplog.set_level(logging.DEBUG)
    seen = []
    feed = attach(gw.ib, ledger, on_fill=seen.append)
    gw.connect()
    gw.place(aapl, 41, 6001)
    nameless = Contract(secType="STK", conId=4242, currency="USD", exchange="SMART")
    gw.place(nameless, 42, 6002)
    no_multiplier = Contract(
        secType="OPT", conId=4343, currency="USD", exchange="SMART", localSymbol="SPY   240621C00460000"
    )
    gw.place(no_multiplier, 43, 6003)

    good = execution(6001, "BOT", 10, 100.0, T0, order_id=41)
    unkeyable = execution(6002, "BOT", 5, 20.0, T0 + SEC, order_id=42)
    negative = execution(6001, "BOT", 1, -1.0, T0 + 2 * SEC, order_id=41)
    sideways = execution(6001, "BUY", 1, 100.0, T0 + 3 * SEC, order_id=41)
    naive = execution(6001, "BOT", 1, 100.0, T0.replace(tzinfo=None), order_id=41)
    stored_later = execution(6001, "BOT", 2, 101.0, T0 + 5 * SEC, order_id=41)
    unpriceable = execution(6003, "BOT", 1, 2.0, T0 + 6 * SEC, order_id=43)
    for ex in (good, negative, sideways, naive):
        gw.execute(aapl, ex)
    gw.execute(nameless, unkeyable)
    gw.execute(no_multiplier, unpriceable)  # not taken as 1: the money would be off a hundredfold
    # The report of a rejected execution waits for it (ib_async emits it: the order is known).
    gw.commission(report(unkeyable.execId, 0.5))
    # A commission in another currency is kept out; the fill itself is good.
    gw.commission(report(good.execId, 0.9, currency="EUR"))
    # The store refuses one write.
    def full_disk(*args, **kwargs):
        raise OSError(28, "No space left")

    monkeypatch.setattr(type(ledger), "record", full_disk)
    gw.execute(aapl, stored_later)
    monkeypatch.undo()

    rejected = {
        unkeyable.execId: "cannot key the contract",
        negative.execId: "negative price -1.0",
        sideways.execId: "unknown side 'BUY'",
        naive.execId: "is not a timezone-aware datetime",
        good.execId: "is in EUR, the instrument is in USD",
        stored_later.execId: "No space left",
        unpriceable.execId: "has no multiplier",
    }
    assert set(feed.rejected) == set(rejected)
    for exec_id, reason in rejected.items():
        assert reason in str(feed.rejected[exec_id].error)
        assert any(exec_id in r.getMessage() and reason in r.getMessage() for r in caplog.records), exec_id
    assert all(r.name == "marlovent.live.ib" for r in caplog.records if r.levelno >= logging.ERROR)
    assert feed.errors == 7 and isinstance(feed.last_error, OSError)
    assert feed.rejected[good.execId].report.currency == "EUR"
    assert [f.fill_id for f in ledger.fills()] == [good.execId] and ledger.get(good.execId).commission is None
    assert [f.fill_id for f in seen] == [good.execId]
    assert set(feed.waiting_reports) == {unkeyable.execId}

    # Once the cause is fixed, a retry records what was kept out, with its waiting commission.
    feed.key = lambda c: contract_key(c) if c.symbol or c.localSymbol else f"conId {c.conId}"
    assert feed.retry() == 2
    assert ledger.get(unkeyable.execId) == Fill(
        unkeyable.execId, "conId 4242", 20.0, 5, 0.5, timestamp=T0 + SEC, order_id=6002
    )
    assert ledger.get(stored_later.execId).qty == 2
    assert set(feed.rejected) == {negative.execId, sideways.execId, naive.execId, good.execId, unpriceable.execId}
    assert feed.waiting_reports == {}
    assert mgr.positions["AAPL"].qty == 12

    # A failing callback is counted, the fill stays recorded.
    feed.on_fill = lambda fill: 1 / 0
    late = execution(6001, "BOT", 3, 99.0, T0 + 9 * SEC, order_id=41)
    gw.execute(aapl, late)
    assert ledger.get(late.execId).qty == 3 and isinstance(feed.last_error, ZeroDivisionError)
    feed.detach()
    gw.execute(aapl, execution(6001, "BOT", 3, 99.0, T0 + 10 * SEC, order_id=41))
    assert len(ledger.fills()) == 4 and not feed.attached


def test_reconcile_with_the_brokers_positions(ledger):
    aapl, msft, nvda, amd, tsla = (stock(s) for s in ("AAPL", "MSFT", "NVDA", "AMD", "TSLA"))
    c450 = option("SPY", "20240621", 450, "C", 601)
    p440 = option("SPY", "20240621", 440, "P", 602)

    def buy(fill_id, contract, qty, price, commission, multiplier=1):
        ledger.record(
            Fill(fill_id, contract_key(contract), price, qty, commission, timestamp=T0, order_id=fill_id),
            multiplier=multiplier,
        )

    buy("a", aapl, 100, 190.00, 1.00)
    buy("m", msft, 50, 400.00, 1.00)
    buy("n", nvda, 10, 120.00, 1.00)
    buy("d", amd, 20, 150.00, 1.00)
    buy("c", c450, 2, 2.50, 1.30, 100)
    buy("p1", p440, -1, 2.30, 0.65, 100)
    buy("p2", p440, -1, 2.25, 0.65, 100)
    broker = [
        Position("DU1", aapl, 100.0, 190.01),  # (19,000 + 1) / 100
        Position("DU1", msft, 80.0, 400.02),
        Position("DU1", nvda, 10.0, 120.00),  # without the commission
        Position("DU1", c450, 2.0, 250.65),  # (2.50 * 100 * 2 + 1.30) / 2 per contract
        Position("DU1", p440, -2.0, 226.85),  # (230 + 225 - 1.30) / 2: the proceeds less commission
        Position("DU1", tsla, 5.0, 180.0),
        Position("DU1", stock("IBM"), 0.0, 0.0),  # closed today: nothing to compare
    ]
    rows = {row.key: row for row in reconcile(ledger, broker)}
    assert {k: r.status for k, r in rows.items()} == {
        "AAPL": "ok",
        "MSFT": "missing fills",
        "NVDA": "price differs",
        "AMD": "unknown at the broker",
        contract_key(c450): "ok",
        contract_key(p440): "ok",
        "TSLA": "unknown here",
    }
    m = rows["MSFT"]
    assert (m.qty, m.broker_qty, m.average_cost, m.broker_average_cost) == (50, 80.0, approx(400.02), 400.02)
    n = rows["NVDA"]
    assert (n.average_cost, n.broker_average_cost) == (approx(120.1), 120.0)
    assert (rows[contract_key(c450)].broker_average_cost, rows[contract_key(p440)].average_cost) == (
        approx(2.5065),
        approx(2.2685),
    )
    assert (rows["TSLA"].qty, rows["AMD"].broker_qty, rows["AMD"].broker_average_cost) == (0, 0, None)
    # The tolerance is per unit of the quoted price.
    assert {r.key: r.status for r in reconcile(ledger, broker, tolerance=0.1)}["NVDA"] == "ok"
    nudged = [Position("DU1", aapl, 100.0, 190.01 + 0.00009)]
    assert reconcile(ledger, nudged)[0].status == "ok"
    assert reconcile(ledger, nudged, tolerance=0.00001)[0].status == "price differs"
    with pytest.raises(ValueError, match="two broker positions for 'AAPL'"):
        reconcile(ledger, [broker[0], Position("DU2", aapl, 1.0, 190.0)])


def test_the_example_prints_positions_spreads_and_pnl_on_each_fill(gateway, tmp_path, monkeypatch, capsys):
    """examples/live_ib.py against recorded events: its IB object is wired to the offline gateway."""
    sys.path.insert(0, str(ROOT / "examples"))
    monkeypatch.setattr(sys, "path", sys.path)
    import live_ib

    gw = gateway
    spy_c, spy_c2 = option("SPY", "20240621", 450, "C", 701), option("SPY", "20240621", 455, "C", 702)
    gw.place(spy_c, 51, 9500, qty=2)
    vertical = [(spy_c, "BOT", 5.00), (spy_c2, "SLD", 2.00)]

    def connect(host, port, clientId):
        assert (host, port, clientId) == ("gw.example", 4002, 17)
        gw.connect()
        for contract, side, price in vertical:
            ex = execution(9500, side, 2, price, T0, order_id=51)
            gw.execute(contract, ex)
            gw.commission(report(ex.execId, 1.30))

    gw.ib.connect = connect
    gw.ib.run = lambda *a: None
    gw.ib.disconnect = gw.drop
    gw.ib.positions = lambda account="": [Position("DU1", spy_c, 2.0, 500.65), Position("DU1", spy_c2, -2.0, 199.35)]
    monkeypatch.setenv("IB_PORT", "4002")
    live_ib.main(["--host", "gw.example", "--client-id", "17", "--data-dir", str(tmp_path), "--book", "live test"], ib=gw.ib)
    out = capsys.readouterr().out
    assert out.count("fill ") == 4  # two fills, then each one's commission
    assert "BUY 1 SPY   240621C00450000" in out and "SELL 1 SPY   240621C00455000" in out
    assert "ok" in out and "missing fills" not in out


def test_without_ib_async_the_import_names_the_extra():
    code = "import sys; sys.modules['ib_async'] = None; import marlovent.live.ib"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode == 1 and "pip install 'marlovent[ib]'" in r.stderr


def test_the_worked_reconciliation_in_the_docs_prints_what_it_shows(data_dir, capsys):
    text = (ROOT / "docs" / "live.md").read_text(encoding="utf-8")
    section = text[text.index("### A worked reconciliation") :]
    code, shown = re.findall(r"```python\n(.*?)```", section, re.S)[0], re.findall(r"```text\n(.*?)```", section, re.S)[0]
    exec(compile(code, "docs/live.md", "exec"), {"__name__": "__main__"})
    assert capsys.readouterr().out == shown
