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
import zoneinfo
from collections.abc import Hashable, Iterator
from typing import Any, TextIO

from . import pnl, render, reports
from .errors import EXIT_DATA, EXIT_OK, CliError, UsageError
from .fills import COLUMNS, REQUIRED, FileError, ReadOptions, identifier_text, read_file
from .groups import distinct_groups, key_order
from .intake import FileResult, import_fills
from .portfolio import Portfolio
from .progress import progress


def out(text: str = "") -> None:
    sys.stdout.write(text + "\n")


def err(text: str) -> None:
    sys.stderr.write(text + "\n")


# ------------------------------------------------------------------ import


def import_options(args: argparse.Namespace) -> ReadOptions:
    """The reading rules of an import command line; a wrong one is a usage error."""
    columns: dict[str, str] | None = None
    if args.map:
        columns = {}
        for item in ",".join(args.map).split(","):
            if not item.strip():
                continue
            src, sep, target = item.partition("=")
            src, target = src.strip(), target.strip().lower()
            if not sep or not src or not target:
                raise UsageError(f"--map item {item!r} is not SRC=FIELD, e.g. TradePrice=price")
            if target not in COLUMNS:
                raise UsageError(f"--map {item!r}: {target!r} is not a field (fields: {', '.join(COLUMNS)})")
            if src.lower() in columns:
                raise UsageError(f"--map names the column {src!r} twice")
            if target in columns.values():
                raise UsageError(f"--map maps two columns to {target!r}")
            columns[src.lower()] = target
        if not columns:
            raise UsageError("--map needs SRC=FIELD items, e.g. Symbol=key,TradeID=orderid")
        unmapped = [c for c in REQUIRED if c not in columns.values()]
        if unmapped:
            hints = ",".join(f"SRC={c}" for c in unmapped)
            raise UsageError(
                f"--map gives no column for {', '.join(unmapped)}: with a map only mapped columns are read "
                f"(add {hints})"
            )
    zone = None
    if args.tz is not None:
        if args.assume_utc:
            raise UsageError("--tz and --assume-utc both say how to read times without an offset; pass one")
        try:
            zone = zoneinfo.ZoneInfo(args.tz)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            raise UsageError(f"--tz {args.tz!r} is not a known time zone; give an IANA name such as America/New_York") from None
    if args.time_format is not None:
        if not args.time_format.strip():
            raise UsageError("--time-format needs a strptime format, e.g. '%Y%m%d;%H%M%S'")
        if "%" not in args.time_format:
            raise UsageError(f"--time-format {args.time_format!r} has no % directive, e.g. '%Y%m%d;%H%M%S'")
    return ReadOptions(
        fmt=args.format,
        assume_utc=args.assume_utc,
        columns=columns,
        time_format=args.time_format,
        zone=zone,
        negate_commission=args.negate_commission,
    )


@contextlib.contextmanager
def _open_input(name: str) -> Iterator[TextIO]:
    if name == "-":
        stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
        try:
            yield stream
        finally:
            stream.detach()
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


def _n(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def _counts(r: FileResult, skipped: int = 0, refused: int = 0) -> str:
    parts = [
        _n(r.new, "new fill"),
        _n(r.duplicates, "duplicate") + " ignored",
        _n(r.commissions, "commission") + " updated",
        _n(r.closed, "position") + " closed",
    ]
    if skipped:
        parts.append(_n(skipped, "bad row") + " skipped")
    if refused:
        parts.append(_n(refused, "file") + " not recorded")
    return ", ".join(parts)


def cmd_import(args: argparse.Namespace, portfolio: Portfolio) -> int:
    options: ReadOptions = args.options
    total = FileResult("total")
    skipped = refused = 0
    status = EXIT_OK
    for name in args.files:
        source = "<stdin>" if name == "-" else name
        try:
            with _open_input(name) as stream:
                parsed = read_file(stream, source, options)
        except FileError as e:
            err(f"ordermgr: {source}: {e}; nothing was recorded from this file")
            status = EXIT_DATA
            refused += 1
            continue
        for note in parsed.notes:
            err(f"ordermgr: {source}: note: {note}")
        fills = parsed.fills
        with progress(f"importing {os.path.basename(source)}", len(fills)) as advance:
            result = import_fills(portfolio, source, fills, parsed.bad, args.skip_bad, advance)
        for row in result.bad:
            err(str(row))
        file_skipped = 0
        if result.bad:
            status = EXIT_DATA
            rows = _n(len(result.bad), "bad row")
            if result.recorded:
                file_skipped = len(result.bad)
                err(f"ordermgr: {source}: {rows} skipped, the other rows were recorded")
            else:
                refused += 1
                err(
                    f"ordermgr: {source}: {rows}; nothing was recorded from this file. "
                    "Fix the rows listed above, or pass --skip-bad to record the good rows"
                )
        skipped += file_skipped
        if len(args.files) > 1 and result.recorded:
            out(f"{source}: {_counts(result, file_skipped)}")
        for attr in ("new", "duplicates", "commissions", "closed"):
            setattr(total, attr, getattr(total, attr) + getattr(result, attr))
    out(f"Portfolio {portfolio.namespace}: {_counts(total, skipped, refused)}")
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
    groups = distinct_groups(portfolio.mgr.position_groups())
    if args.json:
        out(render.dumps(reports.spread_json(groups)))
    else:
        out("\n".join(reports.spread_lines(groups)))
    return EXIT_OK


def cmd_health(args: argparse.Namespace, portfolio: Portfolio) -> int:
    report = portfolio.mgr.health_check()
    out(render.dumps(report) if args.json else "\n".join(render.health_lines(report)))
    return EXIT_OK if report.status == "healthy" else EXIT_DATA


def cmd_debug(args: argparse.Namespace, portfolio: Portfolio) -> int:
    mgr = portfolio.mgr
    groups = distinct_groups(mgr.position_groups())
    if args.json:
        data = {
            "health": render.to_json(mgr.health_check()),
            "positions": [render.position_json(k, p) for k, p in mgr.positions.items()],
            "summaries": {k: render.summary_json(s) for k, s in mgr.get_portfolio_summary().items()},
            "spreads": reports.spread_json(groups),
        }
        out(render.dumps(data))
    else:
        out(reports.debug_text(mgr, groups))
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
    groups = distinct_groups(mgr.position_groups(orderid))
    if not groups and args.order_id is not None:
        raise CliError(
            f"no open position traded under order id {args.order_id!r} "
            "(`ordermgr export` lists the order ids of the open positions)"
        )
    status = EXIT_OK
    blocks: list[str] = []
    rows: list[dict[str, Any]] = []
    for g in groups:
        problem = g.fractional_legs()
        if problem is not None:
            err(f"ordermgr: {reports.describe_group(g)}: no order lines: {problem}")
            status = EXIT_DATA
            rows.append({"legs": [render.to_json(p.key) for p in g.legs], "error": problem})
            continue
        lines = reports.order_lines(g, args.stop_pct, args.algo)
        pg = g.group
        rows.append(
            {
                "legs": [render.to_json(p.key) for p in g.legs],
                "qty": render.to_json(pg.qty),
                "average_price": render.to_json(pg.average_price),
                "is_long": bool(pg.is_long),
                **lines,
            }
        )
        blocks.append("\n".join(render.group_lines(reports.group_title(g), lines)))
    if args.json:
        out(render.dumps(rows))
    elif not groups:
        out("No position groups found.")
    elif blocks:
        out("\n\n".join(blocks))
    return status


# ------------------------------------------------------------------ profit and loss


def _ledger_fills(portfolio: Portfolio) -> Iterator[tuple[Hashable, Any, Any, Any]]:
    for (key, _orderid), (price, qty, commission, _timestamp) in portfolio.ledger.store.items():
        yield key, price, qty, commission


def cmd_pnl(args: argparse.Namespace, portfolio: Portfolio) -> int:
    results = pnl.round_trips(_ledger_fills(portfolio))
    marks: dict[Hashable, Any] = {}
    if args.marks is not None:
        try:
            with _open_input(args.marks) as stream:
                texts = pnl.read_marks(stream, args.marks)
        except FileError as e:
            for row in getattr(e, "rows", ()):
                err(row)
            raise CliError(f"{args.marks}: {e}; fix the marks file (CSV with the columns key,price)") from None
        marks, unknown = pnl.marks_by_key(texts, results.keys())
        if unknown:
            err(f"ordermgr: note: {args.marks}: no fills of {', '.join(unknown)}; those marks are not used")
    unmarked = pnl.apply_marks(results, marks)
    if unmarked and args.marks is not None:
        names = ", ".join(identifier_text(k) for k in sorted(unmarked, key=key_order))
        err(f"ordermgr: note: no mark for {names}; their unrealized P&L is left out of the total")
    positions = portfolio.mgr.positions
    outside = [k for k in positions.keys() if k not in results]
    drift = [k for k, r in results.items() if r.qty != (positions[k].qty if k in positions else 0)]
    if outside or drift:
        names = ", ".join(identifier_text(k) for k in sorted(outside + drift, key=key_order))
        err(
            f"ordermgr: note: the P&L covers the fills imported with this tool; the positions of {names} "
            "also hold trades recorded otherwise"
        )
    rows = pnl.sorted_rows(results)
    realized, unrealized = pnl.totals(rows)
    if args.json:
        data = {
            "instruments": [
                {
                    "key": render.to_json(r.key),
                    "qty": render.to_json(r.qty),
                    "realized": render.to_json(r.realized),
                    "unrealized": render.to_json(r.unrealized),
                    "round_trips": r.round_trips,
                }
                for r in rows
            ],
            "totals": {"realized": render.to_json(realized), "unrealized": render.to_json(unrealized)},
        }
        out(render.dumps(data))
        return EXIT_OK
    if not rows:
        out("No fills imported.")
        return EXIT_OK
    header = ["Key", "Qty", "Realized", "Unrealized", "Round Trips"]
    table = [
        [
            str(r.key),
            f"{r.qty:,.1f}",
            render.money(r.realized),
            "" if r.qty == 0 else ("no mark" if r.unrealized is None else render.money(r.unrealized)),
            str(r.round_trips),
        ]
        for r in rows
    ]
    footer = [["Total", "", render.money(realized), render.money(unrealized), str(sum(r.round_trips for r in rows))]]
    out(render.box_table(header, table, footer))
    return EXIT_OK


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

