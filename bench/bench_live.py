"""Recording Interactive Brokers executions and their commission reports
through marlovent.live.ib, beside recording the same fills through the ledger
directly, in the same run.

Each fill is a stock execution on one of ten instruments, in time order, with
its commission of 1.00 reported after it.  Three ways, each on a fresh store:

  ledger, one call      ledger.record(fill with its commission)
  ledger, then report   ledger.record(fill), ledger.set_commission(...)
  feed                  ib.execDetailsEvent.emit(trade, fill), then
                        ib.commissionReportEvent.emit(trade, fill, report)
                        (ib_async's own objects, built beforehand as ib_async
                        builds them before emitting)

The ledger's fills are built beforehand too, so the feed's figure includes
everything it does (reading the contract and execution, the checks, the
join by execution id) and the ledger's does not.  Durable: every operation
is its own committed transaction; batch: all inside one
``positions.batch()``.  300 fills make books of 30 fills per instrument,
3,000 of 300 (a commission reported late costs more on a longer book,
whoever reports it: the position writes its whole book again when a trade's
commission changes).  Best of interleaved runs (the machine is shared: the
fastest run is the one least disturbed).

Then a catch-up: a day of 3,000 executions on 5 instruments, one in ten
another client's (seen only by asking), the rest recorded live; the catch-up
records the 300 others, each older than its instrument's newest fill, in one
ledger block, beside the same 300 recorded one ``record`` at a time (each
rebuilding its instrument), durable both; then the same with the commission
reports of the live fills, which came while the program was down (one
``set_commission`` each, against the same block).
"""

import asyncio
import datetime
import gc
import os
import sys
import tempfile
import time

from ib_async import CommissionReport, Execution, Stock, Trade
from ib_async import IB
from ib_async import Fill as IbFill

from marlovent.ledger import Fill, Ledger
from marlovent.live.ib import attach
from marlovent.ordermgr import OrderMgr

KEYS = 10
T0 = datetime.datetime(2024, 6, 3, 13, 30, tzinfo=datetime.timezone.utc)
STEP = datetime.timedelta(milliseconds=1)


def day(n, run):
    """n executions with their reports, as ib_async objects, and the same fills as the ledger takes them."""
    contracts = [Stock(f"S{k:02d}", "SMART", "USD", conId=k + 1, localSymbol=f"S{k:02d}") for k in range(KEYS)]
    broker, ledger_fills = [], []
    for i in range(n):
        contract = contracts[i % KEYS]
        side = "SLD" if i % 3 == 2 else "BOT"
        ex = Execution(
            execId=f"0000{run:04x}.{i:08x}.01.01",
            time=T0 + i * STEP,
            side=side,
            shares=100.0,
            price=100.0 + (i % 7) * 0.01,
            permId=100_000 + i,
            orderId=i + 1,
        )
        broker.append((Trade(contract=contract), IbFill(contract, ex, CommissionReport(), T0), CommissionReport(ex.execId, 1.0, "USD")))
        qty = 100 if side == "BOT" else -100
        ledger_fills.append(Fill(ex.execId, contract.localSymbol, ex.price, qty, None, timestamp=ex.time, order_id=ex.permId))
    return broker, ledger_fills


def one_call(ledger, broker, fills):
    record = ledger.record
    for fill in fills:
        record(Fill(fill.fill_id, fill.key, fill.price, fill.qty, 1.0, timestamp=fill.timestamp, order_id=fill.order_id), multiplier=1, currency="USD")


def then_report(ledger, broker, fills):
    record, set_commission = ledger.record, ledger.set_commission
    for fill in fills:
        record(fill, multiplier=1, currency="USD")
        set_commission(fill.fill_id, 1.0)


def through_feed(ledger, broker, fills, ib):
    on_exec, on_report = ib.execDetailsEvent.emit, ib.commissionReportEvent.emit
    for trade, fill, rep in broker:
        on_exec(trade, fill)
        on_report(trade, fill, rep)


def timed(way, n, run, batch):
    broker, fills = day(n, run)
    with OrderMgr.temp() as mgr:
        ledger = Ledger(mgr)
        args = (ledger, broker, fills)
        if way is through_feed:
            ib = IB()
            feed = attach(ib, ledger)
            args += (ib,)
        gc.collect()
        gc.freeze()  # what was built beforehand is not the collector's work during the run
        t0 = time.perf_counter()
        if batch:
            with mgr.positions.batch():
                way(*args)
        else:
            way(*args)
        seconds = time.perf_counter() - t0
        gc.unfreeze()
        assert len(ledger.fills()) == n and all(f.commission == 1.0 for f in ledger.fills())
        if way is through_feed:
            assert feed.errors == 0
            feed.detach()
    return seconds / n


def catch_up(n, every, keys, one_by_one, reports=False):
    """Seconds to record the other client's executions of a day after the live
    ones (``reports``: and the commission reports of the live ones, which
    came while the program was down)."""
    contracts = [Stock(f"C{k}", "SMART", "USD", conId=k + 1, localSymbol=f"C{k}") for k in range(keys)]
    live, others = [], []
    for i in range(n):
        contract = contracts[i % keys]
        side = "SLD" if i % 3 == 2 else "BOT"
        ex = Execution(execId=f"0000cafe.{i:08x}.01.01", time=T0 + i * STEP, side=side, shares=100.0,
                       price=100.0 + (i % 7) * 0.01, permId=200_000 + i, orderId=i + 1, clientId=9 if i % every == 0 else 1)
        fill = IbFill(contract, ex, CommissionReport(ex.execId, 1.0, "USD"), T0)
        if reports and i % every:
            live.append((Trade(contract=contract), IbFill(contract, ex, CommissionReport(), T0), fill))
        else:
            (others if i % every == 0 else live).append((Trade(contract=contract), fill, fill))
    with OrderMgr.temp() as mgr:
        ledger = Ledger(mgr)
        ib = IB()
        feed = attach(ib, ledger)
        with mgr.positions.batch():
            for trade, fill, _ in live:
                ib.execDetailsEvent.emit(trade, fill)
        t0 = time.perf_counter()
        if one_by_one:
            for _, fill, _ in others:
                ex = fill.execution
                qty = 100 if ex.side == "BOT" else -100
                ledger.record(Fill(ex.execId, fill.contract.localSymbol, ex.price, qty, 1.0, timestamp=ex.time,
                                   order_id=ex.permId), multiplier=1, currency="USD")
            for _, _, reported in live if reports else ():
                ledger.set_commission(reported.execution.execId, 1.0)
        else:
            answer = [fill for _, _, fill in others + live] if reports else [fill for _, fill, _ in others]
            feed._sweep(answer)  # what catch_up() does with the request's answer
        seconds = time.perf_counter() - t0
        assert len(ledger.fills()) == n and feed.errors == 0
        assert not reports or all(f.commission == 1.0 for f in ledger.fills())
        feed.detach()
    return seconds


def main():
    asyncio.set_event_loop(asyncio.new_event_loop())
    os.environ.setdefault("QUENTARIS_DATA_DIR", tempfile.mkdtemp(prefix="bench-live-"))
    quick = "--quick" in sys.argv
    print(__doc__.split("\n\n")[0])
    print(f"\n{'per fill and its commission':<28} {'ledger, one call':>17} {'ledger, then report':>20} {'feed':>10} {'feed / one call':>16} {'feed / then report':>19}")
    repeat = 3 if quick else 7
    cases = [("durable", 60 if quick else 300, False), ("in one batch()", 300, True)]
    if not quick:
        cases.append(("in one batch()", 3000, True))
    for label, n, batch in cases:
        runs = {one_call: [], then_report: [], through_feed: []}
        for r in range(repeat):
            for way in runs:
                runs[way].append(timed(way, n, r, batch))
        a, b, c = (min(runs[w]) for w in (one_call, then_report, through_feed))
        print(f"{label + f' ({n} fills)':<28} {a * 1e6:>14.1f} us {b * 1e6:>17.1f} us {c * 1e6:>7.1f} us {c / a:>15.2f}x {c / b:>18.2f}x")

    n, every, keys = (600, 10, 5) if quick else (3000, 10, 5)
    rounds = 1 if quick else 3
    block = min(catch_up(n, every, keys, False) for _ in range(rounds))
    single = min(catch_up(n, every, keys, True) for _ in range(rounds))
    print(f"\nCatch-up of {n // every:,} another client's executions among {n:,} on {keys} instruments, durable (best of {rounds})")
    print(f"  the feed's catch-up, one block       {block:7.2f} s")
    print(f"  one record() at a time               {single:7.2f} s  ({single / block:.0f}x)")
    block = min(catch_up(n, every, keys, False, True) for _ in range(rounds))
    single = min(catch_up(n, every, keys, True, True) for _ in range(rounds))
    print(f"And the reports of the {n - n // every:,} live ones, which came while the program was down")
    print(f"  the feed's catch-up, one block       {block:7.2f} s")
    print(f"  one call at a time                   {single:7.2f} s  ({single / block:.0f}x)")


if __name__ == "__main__":
    main()
