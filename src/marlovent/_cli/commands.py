"""The commands of the ``ordermgr`` tool, one function each.

Each takes the parsed arguments and the open portfolio, prints its result on
standard output and returns the exit status; expected failures are raised as
:class:`CliError` and printed by the caller.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import dataclasses
import errno
import io
import json
import os
import stat
import sys
import zoneinfo
from collections.abc import Callable, Hashable, Iterator
from typing import Any, TextIO

from . import checks, legacy, marks, render, reports, tables
from .errors import EXIT_DATA, EXIT_OK, EXIT_USAGE, CliError, OutputError, UsageError
from .fills import (
    COLUMNS, FileError, ReadOptions, as_written, first_few, identifier_text, missing_fields, read_file, shortened
)
from .groups import distinct_groups, key_order
from .intake import FileResult, import_fills
from .portfolio import Portfolio
from .progress import progress
from ..ledger import layout as ledger_layout
from ..ledger.fills import instant
from ..ledger.report import currency_totals


class Output:
    """Where a command writes its result.  A failed write (a full disk, a
    device gone) is an OutputError naming it; a reader that went away stays a
    BrokenPipeError, on which the tool stops quietly."""

    def __init__(self, stream: TextIO | None, name: str) -> None:
        if stream is None:  # Python's stdout when the tool was started with it closed (`>&-`)
            raise OutputError(f"there is no {name} to write to (it is closed)")
        self.stream = stream
        self.name = name

    def attempt(self, operation: Callable[..., Any], *args: Any) -> None:
        """Run ``operation`` on this output: an OSError is an OutputError
        naming it (a reader gone away stays a BrokenPipeError)."""
        try:
            operation(*args)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise OutputError(f"{self.name}: cannot write it ({e.strerror})") from None

    def write(self, text: str) -> None:
        self.attempt(self.stream.write, text)

    def flush(self) -> None:
        self.attempt(self.stream.flush)

    def close(self) -> None:
        self.attempt(self.stream.close)


def stdout() -> Output:
    return Output(sys.stdout, "standard output")


def out(text: str = "") -> None:
    stdout().write(text + "\n")


def flush_output() -> None:
    """What is still buffered for standard output, written now: a full disk
    shows here for a result short enough to have stayed in the buffer."""
    if sys.stdout is not None:
        stdout().flush()


def err(text: str) -> None:
    sys.stderr.write(text + "\n")


# ------------------------------------------------------------------ import


def _utf8_option(option: str, value: str) -> None:
    """An option value that names text of the files, which are read as UTF-8:
    command-line bytes that are not UTF-8 (which Python keeps as lone
    surrogates) could match nothing in them."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        shown = os.fsencode(value).decode("utf-8", "backslashreplace")
        raise UsageError(
            f"{option} '{shown}' is not UTF-8 text: the files are read as UTF-8, so it can match nothing in them"
        ) from None


def import_options(args: argparse.Namespace) -> ReadOptions:
    """The reading rules of an import command line; a wrong one is a usage error."""
    columns: dict[str, str] | None = None
    for value in args.map or ():
        _utf8_option("--map", value)
    if args.time_format is not None:
        _utf8_option("--time-format", args.time_format)
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
        unmapped = missing_fields(columns.values())
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
    if args.dst is not None and zone is None:
        raise UsageError("--dst says how to read local times of a --tz zone around a clock change; it needs --tz ZONE")
    return ReadOptions(
        fmt=args.format,
        assume_utc=args.assume_utc,
        columns=columns,
        time_format=args.time_format,
        zone=zone,
        negate_commission=args.negate_commission,
        dst=args.dst,
    )


@contextlib.contextmanager
def _open_input(name: str, what: str = "file of fills") -> Iterator[TextIO]:
    """A file of fills or marks as text; ``-`` is standard input."""
    if name == "-":
        _check_stdin()
        stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
        try:
            yield stream
        finally:
            stream.detach()
        return
    try:
        stream = open(name, encoding="utf-8-sig", newline="")
    except OSError as e:
        raise _unreadable(name, e, what) from None
    with stream:
        yield stream


def _unreadable(name: str, e: OSError, what: str = "file of fills") -> UsageError:
    if isinstance(e, FileNotFoundError):
        return UsageError(f"{name}: no such file")
    if isinstance(e, IsADirectoryError):
        return UsageError(f"{name}: is a directory, not a {what}")
    return UsageError(f"{name}: cannot read it ({e.strerror or e})")


def _check_stdin() -> None:
    # Python leaves sys.stdin None when the tool was started without one (`<&-`).
    if sys.stdin is None:
        raise UsageError("-: there is no standard input to read (it is closed); name a file instead of -")


def check_inputs(names: list[str]) -> None:
    """Refuse, before anything is recorded, a named file that cannot be
    opened, with the message reading it would give.  A FIFO is only looked at:
    opening it would take it from its writer."""
    for name in names:
        if name == "-":
            _check_stdin()
            continue
        try:
            if stat.S_ISFIFO(os.stat(name).st_mode):
                if not os.access(name, os.R_OK):
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), name)
            else:
                open(name, "rb").close()
        except OSError as e:
            raise _unreadable(name, e) from None


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


def _is_pipe(name: str, stream: TextIO) -> bool:
    """Standard input, or a file that is not a regular file (a pipe, a FIFO):
    its last line must end with a line end, or the producer stopped mid-row."""
    if name == "-":
        return True
    try:
        return not stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError, io.UnsupportedOperation):
        return False


def take_legacy(portfolio: Portfolio) -> None:
    """The old ledger file of the portfolio, taken into its ledger once."""
    note = legacy.migrate(portfolio)
    if note is not None:
        err(f"ordermgr: note: {note}")


class _Report:
    """The summary lines of an import, written to standard output as they
    come.  A write that fails does not stop the import: what is recorded
    stays recorded, so every file named is still imported, and the first
    failure is kept to be told with the counts at the end."""

    def __init__(self) -> None:
        self.failure: str | None = None

    def _attempt(self, operation: Callable[[], None]) -> None:
        if self.failure is not None:
            return
        try:
            operation()
        except OutputError as e:
            self.failure = e.message
        except BrokenPipeError:
            self.failure = "standard output: its reader went away"

    def line(self, text: str) -> None:
        self._attempt(lambda: out(text))

    def flush(self) -> None:
        self._attempt(flush_output)


def cmd_import(args: argparse.Namespace, portfolio: Portfolio) -> int:
    take_legacy(portfolio)
    report = _Report()
    unreadable = False  # a file that failed while being read: an unreadable file, as at the start
    options: ReadOptions = args.options
    total = FileResult("total")
    skipped = refused = 0
    status = EXIT_OK
    for name in args.files:
        source = "<stdin>" if name == "-" else name
        try:
            with _open_input(name) as stream:
                pipe = dataclasses.replace(options, require_line_end=_is_pipe(name, stream))
                parsed = read_file(stream, source, pipe)
        except FileError as e:
            err(f"ordermgr: {source}: {e}; nothing was recorded from this file")
            status = EXIT_DATA
            refused += 1
            continue
        except OSError as e:
            # A read that fails part way (a disk error, a share gone): the
            # file is not recorded, the others still are.
            err(f"ordermgr: {_unreadable(source, e).message}; nothing was recorded from this file")
            unreadable = True
            refused += 1
            continue
        for note in parsed.notes:
            err(f"ordermgr: {source}: note: {note}")
        fills = parsed.fills
        with progress(f"importing {os.path.basename(source)}", len(fills)) as advance:
            result = import_fills(portfolio, source, fills, parsed.bad, args.skip_bad, advance)
        if result.adopted:
            names = ", ".join(identifier_text(k) for k in result.adopted)
            err(
                f"ordermgr: {source}: note: the positions of {names} held trades recorded without the ledger; "
                "they were taken into it as fills (fill ids KEY:ORDERID)"
            )
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
            report.line(f"{source}: {_counts(result, file_skipped)}")
        for attr in ("new", "duplicates", "commissions", "closed"):
            setattr(total, attr, getattr(total, attr) + getattr(result, attr))
        total.recorded |= result.recorded
    counts = _counts(total, skipped, refused)
    report.line(f"Portfolio {portfolio.namespace}: {counts}")
    report.flush()
    if report.failure is not None:
        done = "was recorded" if total.recorded else "recorded nothing"
        raise OutputError(
            f"the import into portfolio {portfolio.namespace} {done} ({counts}), "
            f"but its summary could not be written: {report.failure}"
        )
    return EXIT_USAGE if unreadable else status


# ------------------------------------------------------------------ reports


def _marks(portfolio: Portfolio, path: str | None, keys: list[Hashable]) -> dict[Hashable, Any] | None:
    """The marks of a --marks file for the given keys; unknown ones are noted."""
    if path is None:
        return None
    try:
        with _open_input(path, "marks file") as stream:
            texts = marks.read_marks(stream, path)
    except FileError as e:
        for row in getattr(e, "rows", ()):
            err(row)
        raise CliError(f"{path}: {e}; fix the marks file (CSV with the columns key,price)") from None
    except OSError as e:  # a read that fails part way
        raise _unreadable(path, e, "marks file") from None
    found, unknown = marks.marks_by_key(texts, keys)
    if unknown:
        err(f"ordermgr: note: {path}: no position or fills of {first_few(unknown)}; those marks are not used")
    return found


def _position_json(held: tables.Held) -> dict[str, Any]:
    data = render.position_json(held.key, held.position)
    data["multiplier"] = render.to_json(held.multiplier)
    data["currency"] = held.currency
    if held.mark is not None:
        data["mark"] = render.to_json(held.mark)
        data["unrealized"] = render.to_json(held.unrealized)
    return data


def cmd_positions(args: argparse.Namespace, portfolio: Portfolio) -> int:
    found = _marks(portfolio, args.marks, list(portfolio.mgr.positions.keys()))
    held = tables.held_positions(portfolio, found)
    if args.json:
        out(json.dumps([_position_json(h) for h in held], indent=2, ensure_ascii=False, allow_nan=False))
    else:
        out(tables.position_table(held, found is not None))
    return EXIT_OK


def cmd_report(args: argparse.Namespace, portfolio: Portfolio) -> int:
    found = _marks(portfolio, args.marks, list(portfolio.mgr.positions.keys()))
    held = tables.held_positions(portfolio, found)
    if args.json:
        data = {}
        for label, h in zip(render.key_labels([h.key for h in held]), held):
            summary = render.summary_json(tables.summary_of(h.position, args.stop_pct, h.mark))
            summary["multiplier"] = render.to_json(h.multiplier)
            summary["currency"] = h.currency
            data[label] = summary
        out(json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False))
    else:
        out(tables.portfolio_report(held, args.stop_pct))
    return EXIT_OK


def _currency_of(portfolio: Portfolio) -> Callable[[Hashable], str]:
    def currency(key: Hashable) -> str:
        return str(portfolio.ledger.instrument(key).currency)

    return currency


def cmd_spreads(args: argparse.Namespace, portfolio: Portfolio) -> int:
    groups = distinct_groups(portfolio.mgr.position_groups())
    if args.json:
        out(render.dumps(reports.spread_json(groups)))
    else:
        out("\n".join(reports.spread_lines(groups, _currency_of(portfolio))))
    return EXIT_OK


def cmd_health(args: argparse.Namespace, portfolio: Portfolio) -> int:
    found = checks.problems(portfolio)
    try:
        report = portfolio.mgr.health_check()
    except (ArithmeticError, LookupError, TypeError, ValueError, AssertionError):
        if not found:
            raise
        report = None  # the values named below keep the library's check from running
    if args.json:
        data = render.to_json(report) if report is not None else {"status": "errors"}
        data["position_problems"] = found
        out(render.dumps(data))
    else:
        lines = ["SYSTEM HEALTH: ERRORS"] if report is None else render.health_lines(report)
        if found:
            lines.append("POSITIONS REPORTS CANNOT USE:")
            lines.extend(f"  - {line}" for line in found)
        out("\n".join(lines))
    return EXIT_OK if report is not None and report.status == "healthy" and not found else EXIT_DATA


def _summaries_json(positions: dict[Any, Any]) -> dict[str, Any]:
    """What get_portfolio_summary() gives, with a distinct entry per key (it
    keys by text: 7 and "7" would be one)."""
    return {
        label: render.summary_json(tables.summary_of(p, 0.1))
        for label, p in zip(render.key_labels(list(positions)), positions.values())
    }


def cmd_debug(args: argparse.Namespace, portfolio: Portfolio) -> int:
    mgr = portfolio.mgr
    groups = distinct_groups(mgr.position_groups())
    if args.json:
        data = {
            "health": render.to_json(mgr.health_check()),
            "positions": [render.position_json(k, p) for k, p in mgr.positions.items()],
            "summaries": _summaries_json(dict(mgr.positions.items())),
            "spreads": reports.spread_json(groups),
        }
        out(render.dumps(data))
    else:
        held = tables.held_positions(portfolio)
        out(
            reports.debug_text(
                mgr, groups, tables.position_table(held, False), tables.portfolio_report(held, 0.1), _currency_of(portfolio)
            )
        )
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


def _pnl_json(report: Any) -> dict[str, Any]:
    return {
        "method": report.method,
        "rows": [render.to_json(r) for r in report.rows],
        "totals": {
            cur: {"realized": render.to_json(t.realized), "unrealized": render.to_json(t.unrealized), "unmarked": render.to_json(list(t.unmarked))}
            for cur, t in report.totals.items()
        },
    }


def cmd_pnl(args: argparse.Namespace, portfolio: Portfolio) -> int:
    ledger = portfolio.ledger
    found = _marks(portfolio, args.marks, ledger.keys())
    report = ledger.pnl(found, method=args.method)
    # Listed, and added up, by the text of the keys: the same text for the
    # same fills, whatever order the portfolio first saw its instruments in.
    rows = sorted(report.rows, key=lambda r: key_order(r.key))
    report = dataclasses.replace(report, rows=rows, totals=currency_totals(rows))
    unmarked = [k for t in report.totals.values() for k in t.unmarked]
    if unmarked and args.marks is not None:
        names = ", ".join(identifier_text(k) for k in sorted(unmarked, key=key_order))
        err(f"ordermgr: note: no mark for {names}; their unrealized P&L is left out of the total")
    outside = [k for k in portfolio.mgr.positions.keys() if not ledger.count(k)]
    if outside:
        names = ", ".join(identifier_text(k) for k in sorted(outside, key=key_order))
        err(
            f"ordermgr: note: the positions of {names} hold trades recorded without the ledger; "
            "the P&L does not cover them (the next import of their fills takes them in)"
        )
    if args.json:
        out(render.dumps(_pnl_json(report)))
    elif not rows:
        out("No fills recorded.")
    else:
        out(tables.pnl_table(report))
    return EXIT_OK


def cmd_history(args: argparse.Namespace, portfolio: Portfolio) -> int:
    trips = sorted(portfolio.ledger.history(), key=lambda t: (instant(t.closed), key_order(t.key)))
    if args.json:
        out(render.dumps([render.to_json(t) for t in trips]))
    elif not trips:
        out("No round trips closed.")
    else:
        out(tables.history_table(trips))
    return EXIT_OK


def cmd_cancel(args: argparse.Namespace, portfolio: Portfolio) -> int:
    take_legacy(portfolio)
    try:
        fill = portfolio.ledger.cancel(args.fill_id)
    except KeyError:
        raise CliError(
            f"no fill with id {args.fill_id!r} in portfolio {portfolio.namespace} "
            "(`ordermgr export` lists the fill ids)"
        ) from None
    out(
        f"Cancelled fill {fill.fill_id}: {identifier_text(fill.key)} qty {as_written(fill.qty)} @ {fill.price} "
        f"at {fill.timestamp.isoformat()}; {identifier_text(fill.key)} was rebuilt from its other fills"
    )
    return EXIT_OK


# ------------------------------------------------------------------ export and clear

EXPORT_COLUMNS = ("fill_id", "order_id", "key", "price", "qty", "commission", "timestamp", "multiplier", "currency")


def _export_rows(portfolio: Portfolio) -> Iterator[tuple[Any, ...]]:
    """Every fill of the ledger in time order, then the trades of positions
    the ledger does not know, as the fills they would be taken in as."""
    from ..ledger import Fill
    from ..ledger.orderids import trade_fill_id

    ledger = portfolio.ledger
    terms: dict[Hashable, Any] = {}

    def terms_of(key: Hashable) -> Any:
        if key not in terms:
            terms[key] = ledger.instrument(key)
        return terms[key]

    for f in ledger.fills():
        t = terms_of(f.key)
        yield f, t.multiplier, t.currency
    for key, pos in portfolio.mgr.positions.items():
        if ledger.count(key):
            continue
        t = terms_of(key)
        for trade in sorted(pos.trades.values(), key=lambda x: x.timestamp):
            money = trade.commission * t.multiplier
            yield Fill(trade_fill_id(key, trade.orderid), key, trade.price, trade.qty, money, trade.timestamp, trade.orderid), t.multiplier, t.currency


def _number_text(value: Any) -> str:
    return repr(value) if isinstance(value, float) else str(value)


def _unwritable(name: str, e: OSError) -> UsageError:
    return UsageError(f"{name}: cannot write it ({e.strerror})")


@contextlib.contextmanager
def _output_file(name: str) -> Iterator[Output]:
    """The export's file.  A regular file (or none yet) is written beside
    itself and put in its place only once whole: an export that fails part
    way leaves what was there.  Anything else (a device, a pipe) is written
    as it is."""
    target = os.path.realpath(name)
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as e:
        raise _unwritable(name, e) from None
    if mode is not None and not stat.S_ISREG(mode):
        try:
            stream = Output(open(name, "w", encoding="utf-8", newline=""), name)
        except OSError as e:
            raise _unwritable(name, e) from None
        try:
            yield stream
        finally:
            stream.close()
        return
    part = f"{target}.{os.getpid()}.part"
    try:
        fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666 if mode is None else stat.S_IMODE(mode))
    except OSError as e:
        raise _unwritable(name, e) from None
    stream = Output(open(fd, "w", encoding="utf-8", newline=""), name)
    try:
        yield stream
        stream.close()
        stream.attempt(os.replace, part, target)
    except BaseException:
        with contextlib.suppress(OSError):
            stream.stream.close()
        with contextlib.suppress(OSError):
            os.unlink(part)
        raise


def cmd_export(args: argparse.Namespace, portfolio: Portfolio) -> int:
    with contextlib.ExitStack() as opened:
        if args.output and args.output != "-":
            stream = opened.enter_context(_output_file(args.output))
        else:
            stream = stdout()
        textual = _export(args, portfolio, stream)
    if not textual:
        err("ordermgr: note: CSV carries keys and order ids as text; --format jsonl keeps integer ones")
    return EXIT_OK


def _export(args: argparse.Namespace, portfolio: Portfolio, stream: Output) -> bool:
    """Write every fill to ``stream``; False when CSV could not keep a key's or
    an order id's kind."""
    textual = True
    if args.format == "jsonl":
        for f, multiplier, currency in _export_rows(portfolio):
            row = {
                "fill_id": f.fill_id,
                "order_id": render.to_json(f.order_id),
                "key": render.to_json(f.key),
                "price": _json_number(f.price),
                "qty": _json_number(as_written(f.qty)),
                "commission": None if f.commission is None else _json_number(f.commission),
                "timestamp": f.timestamp.isoformat(),
                "multiplier": _json_number(multiplier),
                "currency": currency,
            }
            stream.write(json.dumps(row, ensure_ascii=False, allow_nan=False) + "\n")
    else:
        rows = list(_export_rows(portfolio))
        for f, _, _ in rows:
            _check_csv_identifiers(f)
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(EXPORT_COLUMNS)
        for f, multiplier, currency in rows:
            textual &= isinstance(f.key, str) and (f.order_id is None or isinstance(f.order_id, str))
            writer.writerow(
                (
                    f.fill_id,
                    "" if f.order_id is None else f.order_id,
                    f.key,
                    _number_text(f.price),
                    _number_text(as_written(f.qty)),
                    "" if f.commission is None else _number_text(f.commission),
                    f.timestamp.isoformat(),
                    _number_text(multiplier),
                    currency,
                )
            )
    return textual


def _check_csv_identifiers(fill: Any) -> None:
    """Refuse, before anything is written, a fill whose id, key or order id
    CSV would not carry back as written: white space around it (CSV import
    reads cells without it, so the export would come back as another fill,
    recorded twice), or a line break in it."""
    for name in ("fill_id", "key", "order_id"):
        value = getattr(fill, name)
        if not isinstance(value, str):
            continue
        if value != value.strip():
            why = "has white space around it, which a CSV import does not keep"
        elif "\r" in value or "\n" in value:
            why = "holds a line break, which a CSV line cannot"
        else:
            continue
        what = f"fill id {shortened(value)!r}" if name == "fill_id" else (
            f"the {name} {shortened(value)!r} of fill {shortened(fill.fill_id)!r}")
        raise CliError(
            f"{what} {why}: the export would not read back as the same fill. `--format jsonl` carries it "
            "as written; nothing was exported"
        )


def _json_number(value: Any) -> Any:
    """A number as JSON carries it; a Fraction as its ``N/D`` text, which import reads back exactly."""
    return value if isinstance(value, (int, float)) else str(value)


def cmd_clear(args: argparse.Namespace, portfolio: Portfolio) -> int:
    n = len(portfolio.mgr.positions)
    fills = len(portfolio.ledger)
    with portfolio.batch():
        portfolio.ledger.clear()
        # An old ledger file is history now: the next import must not bring it back.
        meta = portfolio.mgr.positions.map(ledger_layout.META)
        if meta.get("legacy") is None:
            meta["legacy"] = ("cleared",)
    out(
        f"Portfolio {portfolio.namespace}: {n} position{'s' if n != 1 else ''} and "
        f"{fills} fill{'s' if fills != 1 else ''} removed"
    )
    return EXIT_OK
