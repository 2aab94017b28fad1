"""``ordermgr``: the portfolio of a fills file, from the command line.

    ordermgr import fills.csv          # record fills (CSV or JSON Lines, - for stdin)
    ordermgr positions                 # the position table
    ordermgr orders --order-id 2001    # open/close/start/stop lines of the groups
    ordermgr debug                     # health, table, risk report, spreads
    ordermgr pnl --marks marks.csv     # realized and unrealized P&L, per currency
    ordermgr history                   # closed round trips
    ordermgr cancel FILL_ID            # bust a fill

Run ``ordermgr COMMAND --help`` for the options of each command.  Exit status:
0 success, 1 bad data or a failed check, 2 a wrong command line.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

from ._cli import commands
from ._cli.checks import first_problem
from ._cli.errors import EXIT_DATA, EXIT_USAGE, CliError, OutputError, UsageError
from ._cli.fills import DST_CHOICES
from ._cli.portfolio import DEFAULT_PORTFOLIO, ENV_DATA_DIR, open_portfolio, resolve_data_dir, shown_data_dir
from .ledger.ledger import METHODS

PROG = "ordermgr"


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value) or not 0 <= value < 1:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a fraction of the entry price between 0 and 1 (0.1 means 10%)"
        )
    return value


def _common(data_dir_help: bool) -> argparse.ArgumentParser:
    """Options every command takes, before or after the command name."""
    p = argparse.ArgumentParser(add_help=False)
    default: Any = None if data_dir_help else argparse.SUPPRESS
    p.add_argument(
        "--data-dir",
        metavar="DIR",
        default=default,
        help=f"where portfolios are kept (default: ${ENV_DATA_DIR}, else $XDG_DATA_HOME/marlovent)",
    )
    p.add_argument(
        "--portfolio",
        metavar="NAME",
        default=DEFAULT_PORTFOLIO if data_dir_help else argparse.SUPPRESS,
        help=f'portfolio name (default: "{DEFAULT_PORTFOLIO}")',
    )
    return p


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Cost basis, stops and order lines of a trading portfolio kept from files of fills.",
        epilog="Exit status: 0 success, 1 bad data or a failed check, 2 a wrong command line.",
        parents=[_common(True)],
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    common = _common(False)

    def command(name: str, run: Callable[..., int], help_text: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, parents=[common], help=help_text, description=help_text)
        p.set_defaults(run=run)
        return p

    p = command("import", commands.cmd_import, "record fills from CSV or JSON Lines files")
    p.add_argument("files", nargs="+", metavar="FILE", help="a file of fills, or - for standard input")
    p.add_argument("--format", choices=("csv", "jsonl"), help="input format (default: from the file name or content)")
    p.add_argument("--assume-utc", action="store_true", help="read timestamps without a UTC offset as UTC")
    p.add_argument("--skip-bad", action="store_true", help="record the good rows of a file that has bad ones")
    p.add_argument(
        "--map",
        action="append",
        metavar="SRC=FIELD,...",
        help="read column SRC as FIELD (key, fill_id, order_id, orderid, price, qty, commission, timestamp, "
        "multiplier, currency); columns not mapped are ignored",
    )
    p.add_argument("--time-format", metavar="FMT", help="strptime format of the timestamps, e.g. '%%Y%%m%%d;%%H%%M%%S'")
    p.add_argument("--tz", metavar="ZONE", help="IANA time zone of timestamps without an offset, e.g. America/New_York")
    p.add_argument("--negate-commission", action="store_true", help="commissions are reported as negative numbers")
    p.add_argument(
        "--dst",
        choices=DST_CHOICES,
        help="a --tz local time that a clock change skips or repeats takes the UTC offset in force "
        "before or after the change (without it such a row is refused)",
    )

    marks_help = "CSV of mark prices (columns key,price) for the open positions"
    p = command("positions", commands.cmd_positions, "the table of open positions")
    p.add_argument("--marks", metavar="FILE", help=marks_help + ": adds their marks and unrealized P&L")
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("report", commands.cmd_report, "portfolio risk report with stops")
    p.add_argument("--stop-pct", type=_fraction, default=0.1, metavar="X", help="stop distance as a fraction (default 0.1)")
    p.add_argument("--marks", metavar="FILE", help=marks_help + ": adds their market price and profit")
    p.add_argument("--json", action="store_true", help="machine-readable output (the position summaries)")

    p = command("spreads", commands.cmd_spreads, "positions traded together, as spreads")
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("health", commands.cmd_health, "consistency check; exit status 1 when it finds anything")
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("debug", commands.cmd_debug, "health, position table, risk report and spreads in one text")
    p.add_argument("--json", action="store_true", help="machine-readable output (health, positions, summaries, spreads)")

    p = command("analyze", commands.cmd_analyze, "replay the trades of one position")
    p.add_argument("key", metavar="KEY", help="instrument key")
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("orders", commands.cmd_orders, "open, close, start and stop order lines of every group")
    p.add_argument("--order-id", metavar="ID", help="only the group traded under this order id")
    p.add_argument("--stop-pct", type=_fraction, default=0.1, metavar="X", help="stop distance as a fraction (default 0.1)")
    p.add_argument("--algo", default="LIM", metavar="NAME", help='execution algorithm named in the lines (default "LIM")')
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("pnl", commands.cmd_pnl, "realized and unrealized profit and loss, per instrument and currency")
    p.add_argument("--method", choices=METHODS, default="average", help="realized by average cost (default) or FIFO lots")
    p.add_argument("--marks", metavar="FILE", help=marks_help)
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("history", commands.cmd_history, "closed round trips, with their realized P&L by both methods")
    p.add_argument("--json", action="store_true", help="machine-readable output")

    p = command("cancel", commands.cmd_cancel, "bust a fill: remove it and rebuild its instrument")
    p.add_argument("fill_id", metavar="FILL_ID", help="the fill id (`ordermgr export` lists them)")

    p = command("export", commands.cmd_export, "every fill of the ledger, in a form import reads back")
    p.add_argument("--format", choices=("csv", "jsonl"), default="csv", help="output format (default csv)")
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")

    p = command("clear", commands.cmd_clear, "remove every position and fill of the portfolio")
    p.add_argument("--yes", action="store_true", help="confirm")
    return parser


def _check(args: argparse.Namespace) -> None:
    """Usage errors that argparse cannot see, found before anything is opened."""
    if args.command == "clear" and not args.yes:
        raise UsageError(f"clear removes every position and fill of portfolio {args.portfolio!r}; pass --yes to confirm")
    if args.command == "orders" and not args.algo.strip():
        raise UsageError("--algo needs a name, e.g. LIM")
    if args.command == "import" and args.files.count("-") > 1:
        raise UsageError("standard input (-) can be read only once")
    if not str(args.portfolio).strip():
        raise UsageError("--portfolio needs a name")
    if args.command == "import":
        args.options = commands.import_options(args)
        commands.check_inputs(args.files)


# Commands that record into a portfolio; every other one needs it to exist.
CREATING = frozenset({"import"})


def _store_error() -> type[BaseException]:
    from zelph.dualcache import StoreError

    return StoreError  # type: ignore[no-any-return]


def run(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    _check(args)
    create = args.command in CREATING
    data_dir = resolve_data_dir(args.data_dir, create)
    try:
        portfolio = open_portfolio(args.portfolio, data_dir, create)
    except (_store_error(), PermissionError, ValueError) as e:
        # ValueError: a ledger written by a newer version.
        raise CliError(
            f"cannot open portfolio {args.portfolio!r} in {shown_data_dir(data_dir)}: {e}. "
            "Check --data-dir or QUENTARIS_DATA_DIR"
        ) from None
    try:
        return int(args.run(args, portfolio))
    except _store_error() as e:
        raise CliError(f"the store of portfolio {portfolio.namespace} in {shown_data_dir(data_dir)} failed: {e}") from None
    except (ArithmeticError, AssertionError, LookupError, TypeError, ValueError) as e:
        # The library refused a figure of this portfolio's data: name the position.
        try:
            found = first_problem(portfolio)
        except Exception:
            found = None
        if found is not None:
            raise CliError(
                f"{args.command} cannot be computed for portfolio {portfolio.namespace}: {found}. "
                "`ordermgr health` lists every such position"
            ) from None
        raise CliError(
            f"{args.command} cannot be computed for portfolio {portfolio.namespace}: "
            f"{type(e).__name__}: {e}. `ordermgr health` and `ordermgr analyze KEY` show the positions' figures"
        ) from None


def _drop_output() -> None:
    """Throw away what is buffered for a standard output that cannot take it
    (full, or its reader gone): Python would try to write it again at exit,
    and fail with a traceback."""
    if sys.stdout is not None:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the console script; returns the exit status."""
    if sys.stderr is None:  # started with standard error closed (`2>&-`): the messages go nowhere
        sys.stderr = open(os.devnull, "w")
    try:
        status = run(argv)
        commands.flush_output()
        return status
    except CliError as e:
        if isinstance(e, OutputError):
            _drop_output()
        sys.stderr.write(f"{PROG}: error: {e.message}\n")
        return e.code
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        _drop_output()
        return EXIT_DATA


__all__ = ["main", "build_parser", "EXIT_USAGE"]
