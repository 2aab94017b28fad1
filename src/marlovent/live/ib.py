"""Interactive Brokers fills into a ledger, through ib_async.

    from ib_async import IB
    from marlovent.ledger import Ledger
    from marlovent.live.ib import attach, reconcile

    feed = attach(ib, ledger)      # records every execution and commission from now on
    ib.connect(host, port, clientId=7)
    ...
    for row in reconcile(ledger, ib.positions()):
        print(row.key, row.status, row.qty, row.broker_qty)

What the feed does with the broker's event stream:

- every execution becomes one ledger fill at once: fill id = execId, order id
  = the order's permId (shared by the legs and partial fills of one order,
  stable across sessions), quantity signed by the side (BOT +, SLD -),
  multiplier and currency from the contract, time from the execution in UTC;
  the contract is the one the broker sent, not the order's own that ib_async
  puts in its place when they share a conId (see ``_ib_wire``);
- the combo's own execution (``secType == "BAG"``) is skipped: its legs are
  the positions;
- a commission report becomes that fill's commission, joined by execId
  whatever the order of arrival; a report before its execution waits for it
  (ib_async drops it: the feed sees it first);
  the placeholder a fill carries before its report and the API's "unset"
  double are not commissions;
- replays (a reconnect, a catch-up, the start-up request of ``connect``) are
  recognised by execId and record nothing twice; a catch-up records what it
  finds in one ledger block (each instrument given older fills rebuilt once),
  telling ``on_fill`` once it has ended;
- a correction (an execId that differs from an earlier one of the same
  instrument and order only in the number after its last period) replaces the
  executions it corrects; once a correction is recorded, no execution it
  corrects is recorded again, whatever order they come back in;
- nothing raised while handling an event reaches ib_async's event loop: it is
  logged on the logger ``marlovent.live.ib``, counted on ``feed.errors``
  (``feed.last_error``) and the execution or report is listed in
  ``feed.rejected`` (execId -> :class:`Rejected`); ``feed.retry()`` tries them
  again, and so does every catch-up.  While an execution is listed, its
  report waits for it (failed or not) and is recorded with it.  A failed
  read after a write that went through keeps nothing out; ``on_fill`` hears
  of what it could not read back after the next retry or catch-up.
"""

from __future__ import annotations

import asyncio
import copy
import datetime as _dt
import logging
from collections.abc import Callable, Hashable, Iterable
from typing import Any, NamedTuple

try:
    import ib_async as _ib_async
except ImportError as e:  # pragma: no cover - exercised in a subprocess without ib_async
    raise ImportError(
        "marlovent.live.ib needs ib_async, which is not installed: pip install 'marlovent[ib]'",
        name=__name__,
    ) from e

from marlovent.ledger import Fill, FillConflict, Recorded

from ._ib_execution import (
    COMBO,
    UNSET_DOUBLE,
    KeyFunction,
    check_commission_currency,
    contract_key,
    corrected_ids,
    correction_of,
    currency_of,
    execution_id,
    key_of,
    multiplier_of,
    order_id_of,
    price_of,
    reported_commission,
    signed_qty,
    utc_time,
)
from ._ib_reconcile import PRICE_TOLERANCE, ReconcileRow, Status, reconcile
from ._ib_wire import Tap

__all__ = [
    "Feed",
    "PRICE_TOLERANCE",
    "ReconcileRow",
    "Rejected",
    "Status",
    "attach",
    "contract_key",
    "reconcile",
]

log = logging.getLogger("marlovent.live.ib")

_EARLIEST = _dt.datetime.min.replace(tzinfo=_dt.timezone.utc)


class Rejected(NamedTuple):
    """An execution, or a commission report, that could not be recorded."""

    exec_id: str
    fill: Any  # the ib_async Fill (None for a report handed over without one)
    report: Any  # the CommissionReport kept out; None when the execution itself was kept out
    error: Exception


def _exec_id_of(fill: Any) -> str:
    try:
        return str(fill.execution.execId)
    except Exception:
        return repr(fill)


def _fill_time(fill: Any) -> _dt.datetime:
    try:
        return utc_time(fill.execution)
    except Exception:
        return _EARLIEST


def _maybe_stored(exc: Exception) -> bool:
    """Whether a write that raised ``exc`` may have been stored all the same:
    a refusal of the value (``ValueError``, ``TypeError``, ``KeyError``) was
    not, what the store raised may have been (its answer lost)."""
    return not isinstance(exc, ValueError | TypeError | KeyError)


def _sent_for(report: Any, exec_id: str) -> bool:
    """Whether a fill's report is one the broker sent for ``exec_id`` (not
    ib_async's placeholder, nor the API's "unset"); its value is checked
    where it is taken."""
    return bool(report.execId == exec_id and report.commission != UNSET_DOUBLE)


def _same_apart_from_commission(a: Fill, b: Fill) -> bool:
    return (a.key, a.price, a.qty, a.timestamp, a.order_id) == (b.key, b.price, b.qty, b.timestamp, b.order_id)


class Feed:
    """The subscription of one ledger to one ``IB`` object; made by :func:`attach`.

    ``errors`` counts everything that went wrong (``last_error`` is the latest),
    ``rejected`` lists what was kept out, ``waiting_reports`` the commission
    reports whose execution has not arrived yet, ``combos`` the number of
    combo executions skipped."""

    def __init__(
        self,
        ib: Any,
        ledger: Any,
        *,
        key: KeyFunction = contract_key,
        on_fill: Callable[[Fill], object] | None = None,
        account: str | None = None,
    ) -> None:
        self.ib = ib
        self.ledger = ledger
        self.key = key
        self.on_fill = on_fill
        self.account = account
        self.errors = 0
        self.last_error: Exception | None = None
        self.rejected: dict[str, Rejected] = {}
        self._reports: dict[str, Any] = {}  # execId -> CommissionReport waiting for its execution
        self._unreported: dict[str, Any] = {}  # execId -> ib Fill recorded without a commission yet
        self._combos: set[str] = set()
        self._elsewhere: set[str] = set()  # executions of other accounts than ``account``
        # key -> (ledger.recorded(key) as of the reading, base -> number -> execId): the
        # corrections (numbers from 2 on) in the ledger of each instrument this feed has met,
        # read from the ledger when it first meets one or finds a fill recorded by someone else
        # since, and added to as it records them.  Each is looked up in the ledger before it
        # counts: it may have been cancelled since.
        self._corrections: dict[Hashable, tuple[int, dict[str, dict[int, str]]]] = {}
        # execId -> the contract the broker sent with it (ib_async may hand the
        # execution over with the order's own contract); kept while ib_async
        # holds the execution or the feed may take it again.
        self._sent: dict[str, Any] = {}
        self._tap: Tap | None = None
        self._tasks: set[asyncio.Task[Any]] = set()  # the catch-ups scheduled on the event loop
        # execId -> whether its fill may have been recorded unseen: the executions and reports
        # whose handling the store failed (after a write, perhaps, its answer lost).  Kept
        # through a block's rollback: it is what the store may hold regardless.
        self._unsure: dict[str, bool] = {}
        self._held: list[str] | None = None  # inside a sweep's block: the execIds on_fill is to hear of
        self._untold: list[str] = []  # those of blocks that have ended, still to be told
        self._told: dict[str, Fill] | None = None  # while they are told: each execId's fill as told
        self._subscriptions: tuple[tuple[Any, Callable[..., Any]], ...] = ()

    def __repr__(self) -> str:
        state = "attached" if self._subscriptions else "detached"
        return f"<Feed {state}: {self.errors} errors, {len(self.rejected)} rejected, {len(self._reports)} waiting reports>"

    @property
    def attached(self) -> bool:
        return bool(self._subscriptions)

    @property
    def waiting_reports(self) -> dict[str, Any]:
        """Commission reports (execId -> CommissionReport) whose execution has not been recorded."""
        return dict(self._reports)

    @property
    def combos(self) -> int:
        """How many distinct combo (BAG) executions were skipped."""
        return len(self._combos)

    # -- subscription ------------------------------------------------------------------------

    def _subscribe(self) -> None:
        ib = self.ib
        pairs = (
            (ib.execDetailsEvent, self._on_execution),
            (ib.commissionReportEvent, self._on_report),
            (ib.connectedEvent, self._on_connected),
            (ib.updateEvent, self._on_update),
        )
        for event, handler in pairs:
            # A strong reference: the feed lives as long as the IB object, held or not.
            event.connect(handler, keep_ref=True)
        self._subscriptions = pairs
        self._tap = Tap.of(ib.wrapper)
        self._tap.add(self)

    def detach(self) -> None:
        """Stop listening, and cancel a catch-up scheduled and not done; what
        was recorded stays recorded.  Detaching twice does nothing."""
        for event, handler in self._subscriptions:
            event.disconnect(handler)
        self._subscriptions = ()
        if self._tap is not None:
            self._tap.remove(self)
            self._tap = None
        for task in self._tasks:
            task.cancel()
        self._tasks.clear()

    # -- what ib_async's wrapper is shown (see ``_ib_wire``) ---------------------------------

    def _sent_contract(self, exec_id: str, contract: Any) -> None:
        self._sent[exec_id] = contract

    def _unseen_report(self, report: Any) -> None:
        # ib_async drops it: it waits here for its execution.
        self._on_report(None, None, report)

    def _broker_contract(self, fill: Any) -> Any:
        """The contract the broker sent with ``fill``'s execution: ib_async
        gives the fill the order's own contract when it has the same conId,
        whatever else it lacks.  Of the same type as ib_async would make it."""
        contract = fill.contract
        sent = self._sent.get(fill.execution.execId)
        if sent is None or sent is contract or vars(sent) == vars(contract):
            return contract
        if type(sent) is _ib_async.Contract:  # as decoded: once into its own type, as ib_async does
            sent = self._sent[fill.execution.execId] = _ib_async.Contract.recreate(sent)
        return sent

    # -- catching up -------------------------------------------------------------------------

    def catch_up(self) -> int:
        """Request the day's executions (with the commissions the broker has
        reported for them) and record whatever is missing; returns how many
        new fills were recorded.  Fills of other clients and of the time this
        program was down come only this way.  Blocking: from a coroutine, use
        ``await feed.catch_up_async()``.  Without a connection it records what
        the IB object already holds.  A failed request raises; a fill that
        cannot be recorded is counted and listed as for a live one."""
        fills = self.ib.reqExecutions(self._filter()) if self.ib.isConnected() else []
        return self._sweep(fills)

    async def catch_up_async(self) -> int:
        """:meth:`catch_up` for a running event loop."""
        fills = await self.ib.reqExecutionsAsync(self._filter()) if self.ib.isConnected() else []
        return self._sweep(fills)

    def _filter(self) -> Any:
        return None if self.account is None else _ib_async.ExecutionFilter(acctCode=self.account)

    def _sweep(self, fills: Iterable[Any]) -> int:
        merged: dict[str, Any] = {}
        for fill in fills:
            merged[_exec_id_of(fill)] = fill
        # The IB object's own fills win: the reports that follow an execution update them in place.
        for fill in self.ib.fills():
            merged[_exec_id_of(fill)] = fill
        for entry in list(self.rejected.values()):
            if entry.fill is not None and entry.exec_id not in merged:
                merged[entry.exec_id] = entry.fill
        # The broker's contracts of executions no longer held anywhere are not needed again.
        for exec_id in [x for x in self._sent if x not in merged and x not in self._unreported]:
            del self._sent[exec_id]
        return self._record_sweep(sorted(merged.values(), key=_fill_time))

    def _record_sweep(self, fills: list[Any]) -> int:
        """Records a sweep's executions in one block of the ledger: one
        transaction, in which an instrument given fills older than its newest
        (another client's, made earlier in the day) is rebuilt once, not once
        for each of them.  ``on_fill`` hears of them once the block has ended.
        Should the block fail as a whole, nothing of it stays, the feed's own
        lists included, and the executions are recorded one at a time, each in
        its own transaction."""
        new = self._record_block(fills) if fills else 0
        self._tell_held()
        return new

    def _record_block(self, fills: list[Any]) -> int:
        counted = self.errors, self.last_error
        lists: tuple[Any, ...] = (self.rejected, self._reports, self._unreported, self._combos, self._elsewhere)
        kept = [(c, c.copy()) for c in lists]
        held: list[str] = []
        self._held = held
        in_block: set[str] = set()
        try:
            try:
                with self.ledger.bulk():
                    in_block = self._record_each(fills)
                return len(in_block)
            except BaseException as exc:
                self.errors, self.last_error = counted
                for collection, before in kept:  # in place: ``rejected`` is the caller's to hold
                    collection.clear()
                    collection.update(before)
                self._corrections.clear()  # read again from the ledger
                if not isinstance(exc, Exception):
                    held.clear()  # rolled back: nothing to tell
                    raise
                log.warning("recording %d executions in one block failed (%s): recording them one at a time", len(fills), exc)
            # What the block held is told as well, as the ledger then has it: a
            # commit whose outcome was unknown may have been stored all the same,
            # and then the same executions are found recorded already (and
            # count as recorded by this sweep all the same).
            one_by_one = self._record_each(fills)
            try:
                one_by_one.update(x for x in in_block if x in self.ledger)
            except Exception:  # the store cannot say: what this pass recorded
                pass
            return len(one_by_one)
        finally:
            self._held = None
            self._untold.extend(held)

    def _tell_held(self) -> None:
        """Tells ``on_fill`` of the fills the sweeps' blocks held, each as the
        ledger has it now: once, and not at all when it is gone (cancelled by a
        correction since) or was told in that state meanwhile.  What an
        interruption leaves untold, or a failed read of the store, is told
        after the next sweep or ``retry()``."""
        if self.on_fill is None:
            self._untold.clear()
            return
        outermost = self._told is None
        told = self._told = {} if self._told is None else self._told
        unread: list[str] = []
        try:
            while self._untold:
                exec_id = self._untold.pop(0)
                try:
                    fill = self.ledger.get(exec_id)
                except Exception as exc:  # told after the next sweep or retry()
                    self._fail(f"reading execution {exec_id} for the on_fill callback", exc)
                    unread.append(exec_id)
                    continue
                if fill is not None and told.get(exec_id) != fill:
                    self._tell(fill)
        finally:
            self._untold.extend(unread)
            if outermost:
                self._told = None

    def _record_each(self, fills: list[Any]) -> set[str]:
        """Records each execution; the ids of those that were new."""
        return {_exec_id_of(fill) for fill in fills if self._on_execution(None, fill) is Recorded.NEW}

    def _catch_up_soon(self) -> None:
        if not self.ib.isConnected():
            self._sweep(())
            return
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            self.catch_up()
            return
        self._sweep(())  # what the connection's start-up request fetched, now; the full request follows
        # Held until done: the loop itself keeps only a weak reference to a task.
        task = loop.create_task(self._catch_up_in_background())
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _catch_up_in_background(self) -> None:
        try:
            await self.catch_up_async()
        except Exception as exc:
            self._fail("catching up with the day's executions", exc)

    def retry(self) -> int:
        """Try everything in ``rejected`` again (after fixing what made it
        fail: the key function, the instrument's terms, the store); returns
        how many entries went through."""
        done = 0
        for entry in list(self.rejected.values()):
            if entry.report is None:
                self._on_execution(None, entry.fill)
            else:
                self._on_report(None, entry.fill, entry.report)
            if self.rejected.get(entry.exec_id) is None:
                done += 1
        self._tell_held()
        return done

    # -- event handlers: nothing escapes into ib_async's loop ------------------------------

    def _on_execution(self, trade: Any, fill: Any) -> Recorded | None:
        try:
            return self._take_execution(fill)
        except Exception as exc:
            self._reject(_exec_id_of(fill), fill, None, exc)
            return None

    def _on_report(self, trade: Any, fill: Any, report: Any) -> None:
        try:
            self._take_report(fill, report)
        except Exception as exc:
            exec_id = getattr(report, "execId", None) or _exec_id_of(fill)
            self._reject(str(exec_id), fill, report, exc)

    def _on_connected(self) -> None:
        try:
            self._catch_up_soon()
        except Exception as exc:
            self._fail("catching up after connecting", exc)

    def _on_update(self) -> None:
        # Reports for executions whose order this session does not know update
        # the fill in place without an event: look at those still unreported,
        # and at those kept out (their report waits for them, as it is now:
        # what comes next for the execution overwrites it in place).
        if not self._unreported and not self.rejected:
            return
        for exec_id, fill in list(self._unreported.items()):
            report = fill.commissionReport
            if _sent_for(report, exec_id):
                self._unreported.pop(exec_id, None)
                self._on_report(None, fill, report)
        for exec_id, entry in list(self.rejected.items()):
            report = None if entry.fill is None or entry.report is not None else entry.fill.commissionReport
            if report is not None and _sent_for(report, exec_id):
                if self._reports.get(exec_id) != report:
                    self._reports[exec_id] = copy.copy(report)

    # -- recording ---------------------------------------------------------------------------

    def _take_execution(self, fill: Any) -> Recorded | None:
        execution = fill.execution
        exec_id = execution_id(execution)
        if self.account is not None and execution.acctNumber != self.account:
            self._elsewhere.add(exec_id)
            self.rejected.pop(exec_id, None)
            self._reports.pop(exec_id, None)
            return None
        contract = self._broker_contract(fill)
        if contract.secType == COMBO:
            self._take_combo(exec_id, fill, fill.commissionReport)
            return None
        key = key_of(self.key, contract)
        multiplier, currency = multiplier_of(contract), currency_of(contract)
        qty, price = signed_qty(execution), price_of(execution)
        when, order_id = utc_time(execution), order_id_of(execution)
        correction = correction_of(exec_id)
        if correction is not None:
            later = self._superseding(key, order_id, *correction)
            if later is not None:
                log.info("execution %s is superseded by its correction %s: not recorded", exec_id, later)
                self.rejected.pop(exec_id, None)
                self._reports.pop(exec_id, None)
                return None

        # A report that cannot be recorded does not keep its execution out: the
        # fill goes in without it, and the report is listed.
        report, commission, bad_report = fill.commissionReport, None, None
        try:
            commission = reported_commission(report, exec_id)
            if commission is None:
                report = self._waiting_report(exec_id)
                commission = reported_commission(report, exec_id)
            if commission is not None:
                check_commission_currency(report, currency or self._currency(key))
        except ValueError as exc:
            bad_report, commission = exc, None

        new = Fill(exec_id, key, price, qty, commission, timestamp=when, order_id=order_id)
        corrected = [] if correction is None else corrected_ids(exec_id, *correction)
        corrected = [x for x in corrected if self._is_ours(x, key, order_id)]
        if corrected:
            with self.ledger.mgr.positions.batch():
                outcome, changed = self._record(new, multiplier, currency)
                for earlier in corrected:
                    self.ledger.cancel(earlier)
                    self._unreported.pop(earlier, None)
                    log.info("execution %s corrects %s: the earlier one is cancelled", exec_id, earlier)
        else:
            outcome, changed = self._record(new, multiplier, currency)
        unsure = self._unsure.pop(exec_id, None)
        if unsure is not None:  # found as it is now: on_fill hears of it
            changed = True
            if unsure and outcome is Recorded.DUPLICATE:  # recorded by the write whose answer was lost
                outcome = Recorded.NEW
        self._recorded_correction(key, outcome, exec_id, correction)

        self._reports.pop(exec_id, None)
        self.rejected.pop(exec_id, None)
        if bad_report is not None:
            self._reject(exec_id, fill, report, bad_report)
        elif commission is None and (outcome is Recorded.NEW or self._lacks_commission(exec_id)):
            self._unreported[exec_id] = fill
        else:
            self._unreported.pop(exec_id, None)
        if changed:
            self._notify(exec_id)
        return outcome

    def _lacks_commission(self, exec_id: str) -> bool:
        """Whether the recorded fill has no commission yet; so taken when the
        store cannot say (its report is then recorded all the same)."""
        try:
            stored = self.ledger.get(exec_id)
        except Exception as exc:
            self._fail(f"reading back execution {exec_id}", exc)
            return True
        return stored is not None and stored.commission is None

    def _record(self, new: Fill, multiplier: Any, currency: str | None) -> tuple[Recorded, bool]:
        """Record ``new``; a replay only brings a commission the ledger lacks
        (or a later one).  Gives the outcome and whether the ledger changed."""
        ledger = self.ledger
        try:
            if currency is None:
                outcome = ledger.record(new, multiplier=multiplier)
            else:
                outcome = ledger.record(new, multiplier=multiplier, currency=currency)
        except FillConflict:
            stored = ledger.get(new.fill_id)
            if stored is None or new.commission is None or not _same_apart_from_commission(stored, new):
                raise
            ledger.set_commission(new.fill_id, new.commission)
            return Recorded.DUPLICATE, True
        except Exception as exc:
            if _maybe_stored(exc):  # the store's answer, lost: the fill may be recorded all the same
                self._unsure[new.fill_id] = True
            raise
        if outcome is Recorded.NEW or new.commission is None:
            return outcome, outcome is Recorded.NEW
        stored = ledger.get(new.fill_id)
        if stored is not None and stored.commission != new.commission:
            ledger.set_commission(new.fill_id, new.commission)
            return outcome, True
        return outcome, False

    def _take_report(self, fill: Any, report: Any) -> None:
        exec_id = report.execId
        commission = reported_commission(report, exec_id)
        if commission is None:
            return
        if exec_id in self._elsewhere:
            return
        contract = None if fill is None else self._broker_contract(fill)
        if exec_id in self._combos or (contract is not None and contract.secType == COMBO):
            self._take_combo(exec_id, fill, report)
            return
        ledger = self.ledger
        recorded = self._unreported.pop(exec_id, None)
        if recorded is not None:
            # Recorded by this feed without a commission: no need to read it back.
            currency = currency_of(self._broker_contract(recorded)) or self._currency(ledger.get(exec_id).key)
            check_commission_currency(report, currency)
            try:
                changed = ledger.set_commission(exec_id, commission)
            except KeyError:  # cancelled since: as for any other report
                pass
            else:
                self._forget_rejected_report(exec_id)
                unsure = self._unsure.pop(exec_id, None)
                if changed or unsure is not None:
                    self._notify(exec_id)
                return
        stored = ledger.get(exec_id)
        if stored is None:
            later = self._superseding_fill(fill, exec_id)
            if later is not None:
                log.info("commission report for %s, superseded by its correction %s: not recorded", exec_id, later)
                self._reports.pop(exec_id, None)
                self._forget_rejected_report(exec_id)
            else:
                self._reports[exec_id] = copy.copy(report)  # kept until its execution arrives
            return
        if stored.commission != commission:
            known = None if contract is None else currency_of(contract)
            check_commission_currency(report, known or self._currency(stored.key))
            ledger.set_commission(exec_id, commission)
            self._notify(exec_id)
        elif self._unsure.pop(exec_id, None) is not None:  # found stored, its answer lost: told now
            self._notify(exec_id)
        self._forget_rejected_report(exec_id)

    def _take_combo(self, exec_id: str, fill: Any, report: Any) -> None:
        self._combos.add(exec_id)
        self.rejected.pop(exec_id, None)
        commission = reported_commission(report, exec_id)
        if commission is None:
            report = self._reports.pop(exec_id, None)
            commission = reported_commission(report, exec_id)
        if commission:
            self._reject(
                exec_id,
                fill,
                report,
                ValueError(
                    f"execution {exec_id}: commission {commission!r} reported on the combo's own execution, "
                    "which is not a position: it is not assigned to any leg"
                ),
            )

    def _superseding(self, key: Hashable, order_id: Any, base: str, number: int) -> str | None:
        """The recorded correction, of this instrument and order, of any later
        number than ``number`` of ``base``, or None.  Any, not only the next:
        a correction cancels every earlier one, so once ``.03`` replaced ``.02``
        nothing but ``.03`` is left to show that ``.01`` is superseded."""
        for later_number, later in self._corrections_of(key).get(base, {}).items():
            if later_number > number and self._is_ours(later, key, order_id):
                return later
        return None

    def _superseding_fill(self, fill: Any, exec_id: str) -> str | None:
        """:meth:`_superseding` for the execution of a report's fill (None
        without one, or when its contract cannot be keyed: then the report waits)."""
        correction = correction_of(exec_id)
        if correction is None or fill is None or fill.execution.execId != exec_id:
            return None
        try:
            key = key_of(self.key, self._broker_contract(fill))
        except (ValueError, TypeError):
            return None
        return self._superseding(key, order_id_of(fill.execution), *correction)

    def _corrections_of(self, key: Hashable) -> dict[str, dict[int, str]]:
        recorded = self.ledger.recorded(key)
        known = self._corrections.get(key)
        if known is None or known[0] != recorded:
            index: dict[str, dict[int, str]] = {}
            for stored in self.ledger.fills(key):
                correction = correction_of(stored.fill_id)
                if correction is not None and correction[1] > 1:
                    index.setdefault(correction[0], {})[correction[1]] = stored.fill_id
            known = self._corrections[key] = (recorded, index)
        return known[1]

    def _recorded_correction(
        self, key: Hashable, outcome: Recorded, exec_id: str, correction: tuple[str, int] | None
    ) -> None:
        """Keeps what was read of the corrections of ``key`` current once this
        feed recorded ``exec_id``; it is read again at its next use when the
        ledger shows a fill recorded by someone else meanwhile."""
        known = self._corrections.get(key)
        if known is None:
            return
        recorded = known[0] + (outcome is Recorded.NEW)
        try:
            now = self.ledger.recorded(key)
        except Exception as exc:  # the fill is recorded: what was read is read again at its next use
            self._fail(f"reading the fills recorded for {key!r}", exc)
            now = None
        if now != recorded:
            del self._corrections[key]
            return
        if correction is not None and correction[1] > 1:
            known[1].setdefault(correction[0], {})[correction[1]] = exec_id
        self._corrections[key] = (recorded, known[1])

    def _is_ours(self, exec_id: str, key: Any, order_id: Any) -> bool:
        stored = self.ledger.get(exec_id)
        return stored is not None and stored.key == key and stored.order_id == order_id

    def _currency(self, key: Any) -> str | None:
        try:
            return self.ledger.instrument(key).currency
        except KeyError:
            return None

    def _waiting_report(self, exec_id: str) -> Any:
        """The report that waits for this execution: in ``_reports``, or
        listed in ``rejected`` (it failed before its execution was recorded)."""
        report = self._reports.get(exec_id)
        if report is None:
            listed = self.rejected.get(exec_id)
            report = None if listed is None else listed.report
        return report

    def _forget_rejected_report(self, exec_id: str) -> None:
        entry = self.rejected.get(exec_id)
        if entry is not None and entry.report is not None:
            del self.rejected[exec_id]

    # -- what went wrong, and who wants to know ----------------------------------------------

    def _reject(self, exec_id: str, fill: Any, report: Any, exc: Exception) -> None:
        """List what was kept out.  An execution and its report share one
        entry: while the execution is listed, its report waits for it (as one
        that came first does) and goes in with it, by ``retry()`` or a catch-up.
        A report is kept as it is now: ib_async updates its fill's report in
        place with whatever comes next for the execution, the API's "unset"
        placeholder included."""
        self.errors += 1
        self.last_error = exc
        if _maybe_stored(exc):  # whatever it wrote may be stored: once taken, on_fill hears of it as it is
            self._unsure.setdefault(exec_id, False)
        report = copy.copy(report)
        listed = self.rejected.get(exec_id)
        if report is not None and listed is not None and listed.report is None:
            self._reports[exec_id] = report
            what = "commission report (waiting for its execution, kept out as well) for execution"
        else:
            if report is None and listed is not None and listed.report is not None:
                self._reports[exec_id] = listed.report
            self.rejected[exec_id] = Rejected(exec_id, fill, report, exc)
            what = "execution" if report is None else "commission report for execution"
        trace = exc if _maybe_stored(exc) else None
        log.error("%s %s kept out of the ledger: %s", what, exec_id, exc, exc_info=trace)

    def _fail(self, what: str, exc: Exception) -> None:
        self.errors += 1
        self.last_error = exc
        log.error("%s failed: %s", what, exc, exc_info=exc)

    def _notify(self, exec_id: str) -> None:
        if self.on_fill is None:
            return
        if self._held is not None:  # inside a sweep's block: told once it has ended
            self._held.append(exec_id)
            return
        try:
            fill = self.ledger.get(exec_id)
        except Exception as exc:  # told after the next sweep or retry(), as the ledger then has it
            self._fail(f"reading execution {exec_id} for the on_fill callback", exc)
            self._untold.append(exec_id)
            return
        if fill is not None:
            self._tell(fill)

    def _tell(self, fill: Fill) -> None:
        if self._told is not None:
            self._told[fill.fill_id] = fill
        try:
            self.on_fill(fill)  # type: ignore[misc]
        except Exception as exc:
            self._fail("the on_fill callback", exc)


def attach(
    ib: Any,
    ledger: Any,
    *,
    key: KeyFunction = contract_key,
    on_fill: Callable[[Fill], object] | None = None,
    account: str | None = None,
) -> Feed:
    """Record ``ib``'s executions and commission reports in ``ledger`` from now on.

    ``key(contract)`` gives the position key of a contract (default
    :func:`contract_key`: the local symbol).  ``on_fill(fill)`` is called with
    the ledger's fill after each new fill and each commission recorded.
    ``account`` (an account code): record only that account's executions, for
    a login that trades several (one ledger per account); the others are
    skipped.
    Catches up at once (see :meth:`Feed.catch_up`; from a running event loop
    it is scheduled instead) and again after every (re)connect.  A failed
    catch-up is counted and logged, and the feed stays attached."""
    feed = Feed(ib, ledger, key=key, on_fill=on_fill, account=account)
    feed._subscribe()
    try:
        feed._catch_up_soon()
    except Exception as exc:
        feed._fail("catching up on attach", exc)
    return feed
