"""The commands of the ``ordermgr`` tool, one function each.

Each takes the parsed arguments and the open portfolio, prints its result on
standard output and returns the exit status; expected failures are raised as
:class:`CliError` and printed by the caller.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import json
import os
import sys
from collections.abc import Hashable, Iterator
from typing import Any, TextIO

from . import render
from .errors import EXIT_DATA, EXIT_OK, CliError, UsageError
from .fills import FileError, identifier_text, read_fills
from .intake import FileResult, import_fills
from .portfolio import Portfolio
from .progress import progress


def out(text: str = "") -> None:
    sys.stdout.write(text + "\n")


def err(text: str) -> None:
    sys.stderr.write(text + "\n")


# ------------------------------------------------------------------ import


@contextlib.contextmanager
def _open_input(name: str) -> Iterator[TextIO]:
    if name == "-":
        data = sys.stdin.buffer.read()
        try:
            yield io.StringIO(data.decode("utf-8-sig"), newline="")
        except UnicodeDecodeError as e:
            raise FileError(f"is not UTF-8 text ({e.reason} at byte {e.start})") from None
        return
    try:
        stream = open(name, encoding="utf-8-sig", newline="")
    except FileNotFoundError:
        raise UsageError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise UsageError(f"{name}: is a directory, not a file of fills") from None
    except OSError as e:
        raise UsageError(f"{name}: cannot read it ({e.strerror})") from None
    with stream:
        yield stream


def _counts(r: FileResult) -> str:
    parts = [
        f"{r.new} new fill{'s' if r.new != 1 else ''}",
        f"{r.duplicates} duplicate{'s' if r.duplicates != 1 else ''} ignored",
    ]
    if r.commissions:
        parts.append(f"{r.commissions} commission{'s' if r.commissions != 1 else ''} updated")
    parts.append(f"{r.closed} position{'s' if r.closed != 1 else ''} closed")
    return ", ".join(parts)


def cmd_import(args: argparse.Namespace, portfolio: Portfolio) -> int:
    total = FileResult("total")
    status = EXIT_OK
    for name in args.files:
        source = "<stdin>" if name == "-" else name
        try:
            with _open_input(name) as stream:
                fills, bad = read_fills(stream, source, args.format, args.assume_utc)
        except FileError as e:
            err(f"ordermgr: {source}: {e}; nothing was recorded from this file")
            status = EXIT_DATA
            continue
        with progress(f"importing {os.path.basename(source)}", len(fills)) as advance:
            result = import_fills(portfolio, source, fills, bad, args.skip_bad, advance)
        for row in result.bad:
            err(str(row))
        if result.bad:
            status = EXIT_DATA
            n = len(result.bad)
            rows = f"{n} bad row{'s' if n != 1 else ''}"
            if result.recorded:
                err(f"ordermgr: {source}: {rows} skipped, the other rows were recorded")
            else:
                err(
                    f"ordermgr: {source}: {rows}; nothing was recorded from this file. "
                    "Fix the rows listed above, or pass --skip-bad to record the good rows"
                )
        if len(args.files) > 1 and result.recorded:
            out(f"{source}: {_counts(result)}")
        for attr in ("new", "duplicates", "commissions", "closed"):
            setattr(total, attr, getattr(total, attr) + getattr(result, attr))
    out(f"Portfolio {portfolio.namespace}: {_counts(total)}")
    return status


# ------------------------------------------------------------------ reports


def cmd_positions(args: argparse.Namespace, portfolio: Portfolio) -> int:
    if args.json:
        rows = [render.position_json(k, p) for k, p in portfolio.mgr.positions.items()]
        out(json.dumps(rows, indent=2, ensure_ascii=False, allow_nan=False))
    else:
        out(portfolio.mgr.position_table())
    return EXIT_OK


def cmd_report(args: argparse.Namespace, portfolio: Portfolio) -> int:
    if args.json:
        summaries = portfolio.mgr.get_portfolio_summary(stopPct=args.stop_pct)
        data = {k: render.summary_json(s) for k, s in summaries.items()}
        out(json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False))
    else:
        out(portfolio.mgr.portfolio_report(args.stop_pct))
    return EXIT_OK


def cmd_spreads(args: argparse.Namespace, portfolio: Portfolio) -> int:
    out(portfolio.mgr.spread_report())
    return EXIT_OK


def cmd_health(args: argparse.Namespace, portfolio: Portfolio) -> int:
    report = portfolio.mgr.health_check()
    out(render.dumps(report) if args.json else "\n".join(render.health_lines(report)))
    return EXIT_OK if report.status == "healthy" else EXIT_DATA


def cmd_debug(args: argparse.Namespace, portfolio: Portfolio) -> int:
    out(portfolio.mgr.debug_summary())
    return EXIT_OK


def _resolve(text: str, candidates: list[Hashable], what: str) -> Hashable:
    """The stored identifier a command-line text names: the text itself when
    stored as such, else the one stored value whose text form it is."""
    if text in candidates:
        return text
    matches: list[Hashable] = []
    for c in candidates:
        if str(c) == text and c not in matches:
            matches.append(c)
    if len(matches) > 1:
        shown = ", ".join(repr(m) for m in matches)
        raise UsageError(f"{what} {text!r} is ambiguous: it names {shown}")
    return matches[0] if matches else text


def cmd_analyze(args: argparse.Namespace, portfolio: Portfolio) -> int:
    positions = portfolio.mgr.positions
    key = _resolve(args.key, list(positions.keys()), "key")
    analysis = portfolio.mgr.analyze_position(key)
    if analysis is None:
        raise CliError(
            f"no open position under key {args.key!r} in portfolio {portfolio.namespace} "
            "(`ordermgr positions` lists them)"
        )
    if args.json:
        out(render.dumps(analysis))
    else:
        out("\n".join(render.analysis_lines(analysis)))
    c = analysis.calculations
    consistent = not analysis.consistency_errors and c.qty_matches and c.avg_price_matches
    return EXIT_OK if consistent else EXIT_DATA


def cmd_orders(args: argparse.Namespace, portfolio: Portfolio) -> int:
    mgr = portfolio.mgr
    orderid: Hashable = None
    if args.order_id is not None:
        known: list[Hashable] = []
        for pos in mgr.positions.values():
            known.extend(pos.orderids)
        orderid = _resolve(args.order_id, known, "order id")
    groups = mgr.position_groups(orderid)
    if not groups:
        if args.order_id is not None:
            raise CliError(f"no open position traded under order id {args.order_id!r}")
        out("No position groups found.")
        return EXIT_OK
    unique: dict[int, tuple[Any, list[Hashable]]] = {}
    for key, group in groups.items():
        unique.setdefault(id(group), (group, []))[1].append(key)
    status = EXIT_OK
    blocks: list[str] = []
    for group, keys in unique.values():
        try:
            lines = {
                "open": group.open(),
                "close": group.close(),
                "start": group.start(args.stop_pct, args.algo),
                "stop": group.stop(args.stop_pct, args.algo),
            }
        except (ArithmeticError, AssertionError, ValueError) as e:
            names = ", ".join(sorted(identifier_text(k) for k in keys))
            err(f"ordermgr: group of {names}: no order lines ({type(e).__name__}: {e})")
            status = EXIT_DATA
            continue
        blocks.append("\n".join(render.group_lines([p.key for p in group.positions], group, lines)))
    if blocks:
        out("\n\n".join(blocks))
    return status


# ------------------------------------------------------------------ export and clear


def _export_rows(portfolio: Portfolio) -> Iterator[tuple[Hashable, Any]]:
    for key, pos in portfolio.mgr.positions.items():
        for trade in pos.trades.values():
            yield key, trade


def _number_text(value: Any) -> str:
    return repr(value) if isinstance(value, float) else str(value)


def cmd_export(args: argparse.Namespace, portfolio: Portfolio) -> int:
    stream: TextIO
    if args.output and args.output != "-":
        try:
            stream = open(args.output, "w", encoding="utf-8", newline="")
        except OSError as e:
            raise UsageError(f"{args.output}: cannot write it ({e.strerror})") from None
    else:
        stream = sys.stdout
    textual = True
    try:
        if args.format == "jsonl":
            for key, t in _export_rows(portfolio):
                row = {"key": render.to_json(key), **render.trade_json(t)}
                stream.write(json.dumps(row, ensure_ascii=False, allow_nan=False) + "\n")
        else:
            writer = csv.writer(stream, lineterminator="\n")
            writer.writerow(("key", "orderid", "price", "qty", "commission", "timestamp"))
            for key, t in _export_rows(portfolio):
                textual &= isinstance(key, str) and isinstance(t.orderid, str)
                writer.writerow(
                    (
                        key,
                        t.orderid,
                        _number_text(t.price),
                        _number_text(t.qty),
                        _number_text(t.commission),
                        render.to_json(t.timestamp),
                    )
                )
    finally:
        if stream is not sys.stdout:
            stream.close()
    if not textual:
        err("ordermgr: note: CSV carries keys and order ids as text; --format jsonl keeps integer ones")
    return EXIT_OK


def cmd_clear(args: argparse.Namespace, portfolio: Portfolio) -> int:
    n = len(portfolio.mgr.positions)
    portfolio.mgr.clear()
    portfolio.ledger.clear()
    out(f"Portfolio {portfolio.namespace}: {n} position{'s' if n != 1 else ''} removed")
    return EXIT_OK

