"""Live fills from Interactive Brokers into a ledger, printed as they come.

    pip install '.[ib]'
    python examples/live_ib.py [--host H] [--port P] [--client-id N] [--book NAME] [--data-dir DIR]

Connects to a running TWS or IB Gateway (host, port and client id from the
arguments, else from IB_HOST, IB_PORT and IB_CLIENT_ID, else 127.0.0.1, 7497
and 17), records every execution and commission report of the account in the
ledger of the book NAME (kept under DIR, else $QUENTARIS_DATA_DIR, else
~/.local/share/marlovent), catching up with the day's executions first, then
reconciles the book with the broker's positions and, after each fill or
commission, prints the positions, the spreads and the P&L (open positions
marked at their last fill price).  Stop it with Ctrl-C; the exit status is 1
if anything could not be recorded.
"""

from __future__ import annotations

import argparse
import os
import sys

from marlovent.ledger import Fill, Ledger
from marlovent.live.ib import attach, reconcile
from marlovent.ordermgr import OrderMgr


def arguments(argv: list[str] | None) -> argparse.Namespace:
    env = os.environ.get
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default=env("IB_HOST", "127.0.0.1"))
    parser.add_argument("--port", type=int, default=int(env("IB_PORT", "7497")))
    parser.add_argument("--client-id", type=int, default=int(env("IB_CLIENT_ID", "17")))
    parser.add_argument("--book", default="live", help="the portfolio's name (default: live)")
    parser.add_argument("--data-dir", help="where the book is kept")
    return parser.parse_args(argv)


def money(value) -> str:
    return "-" if value is None else f"{value:,.2f}"


def show(ledger: Ledger, fill: Fill, marks: dict) -> None:
    marks[fill.key] = fill.price
    commission = "not reported yet" if fill.commission is None else fill.commission
    print(f"fill {fill.fill_id}: {fill.key} {fill.qty:+} @ {fill.price} commission {commission}")
    report = ledger.pnl(marks)
    for row in report.rows:
        if row.qty:
            print(
                f"  {row.key}: {row.qty:+} at {row.average_cost:.4f} (x{row.multiplier}), "
                f"realized {money(row.realized)} unrealized {money(row.unrealized)} {row.currency}"
            )
    groups = {id(g): g for g in ledger.mgr.position_groups().values()}
    for group in groups.values():
        if len(group.keys) > 1:
            print(f"  spread of {len(group.keys)} legs, {group.qty} units: {group.open()}")
    for currency, total in report.totals.items():
        print(f"  total {currency}: realized {money(total.realized)} unrealized {money(total.unrealized)}")


def main(argv: list[str] | None = None, *, ib=None) -> int:
    args = arguments(argv)
    if args.data_dir:
        os.environ["QUENTARIS_DATA_DIR"] = args.data_dir
    os.environ.setdefault("QUENTARIS_DATA_DIR", os.path.expanduser("~/.local/share/marlovent"))
    os.makedirs(os.environ["QUENTARIS_DATA_DIR"], exist_ok=True)
    if ib is None:
        from ib_async import IB

        ib = IB()

    ledger = Ledger(OrderMgr(args.book))
    marks: dict = {}
    feed = attach(ib, ledger, on_fill=lambda fill: show(ledger, fill, marks))
    ib.connect(args.host, args.port, clientId=args.client_id)
    try:
        for row in reconcile(ledger, ib.positions()):
            print(
                f"reconcile {row.key}: {row.status} "
                f"(here {row.qty} at {row.average_cost}, broker {row.broker_qty} at {row.broker_average_cost})"
            )
        ib.run()
    except KeyboardInterrupt:
        pass
    finally:
        feed.detach()
        ib.disconnect()
    for exec_id, rejected in feed.rejected.items():
        print(f"not recorded: {exec_id}: {rejected.error}", file=sys.stderr)
    return 1 if feed.errors else 0


if __name__ == "__main__":
    sys.exit(main())
