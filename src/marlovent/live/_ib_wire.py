"""What the broker sent, seen before ib_async's own bookkeeping acts on it.

ib_async's wrapper changes two of the broker's messages on their way to its
events: it hands an execution over with the contract of the order this
session placed whenever that contract compares equal to the broker's (the
same conId), however little of it the order gave (a conId alone, an option
without its multiplier); and it drops a commission report whose execution it
has not seen yet.  A :class:`Tap` stands in front of the wrapper's two
callbacks, as attributes of the wrapper object (the decoder looks them up for
each message), and shows every listener the broker's own contract of each
execution and each report ib_async is about to drop.  One tap serves every
feed of a wrapper; it is taken away when the last one stops listening, unless
something else has since stood in front of it.
"""

from __future__ import annotations

from typing import Any, Protocol


class Listener(Protocol):
    def _sent_contract(self, exec_id: str, contract: Any) -> None:
        """The contract the broker sent with execution ``exec_id``."""

    def _unseen_report(self, report: Any) -> None:
        """A commission report whose execution ib_async has not seen."""


_CALLBACKS = ("execDetails", "commissionReport")


class Tap:
    def __init__(self, wrapper: Any) -> None:
        self.wrapper = wrapper
        self.listeners: list[Listener] = []
        # Each callback as it was (the wrapper's own method, or whatever stood
        # in front of it), and whether the wrapper object held it itself.
        self._replaced = {name: (getattr(wrapper, name), name in vars(wrapper)) for name in _CALLBACKS}
        wrapper.execDetails = self.execDetails
        wrapper.commissionReport = self.commissionReport

    @classmethod
    def of(cls, wrapper: Any) -> Tap:
        """The tap in front of ``wrapper``'s callbacks, put there now if there is none."""
        tap = getattr(vars(wrapper).get("execDetails"), "__self__", None)
        return tap if isinstance(tap, Tap) and tap.wrapper is wrapper else cls(wrapper)

    def add(self, listener: Listener) -> None:
        self.listeners.append(listener)

    def remove(self, listener: Listener) -> None:
        if listener in self.listeners:
            self.listeners.remove(listener)
        wrapper = self.wrapper
        if self.listeners or any(vars(wrapper).get(name) != getattr(self, name) for name in _CALLBACKS):
            return
        for name, (callback, own) in self._replaced.items():
            if own:
                setattr(wrapper, name, callback)
            else:
                delattr(wrapper, name)

    def execDetails(self, reqId: int, contract: Any, execution: Any) -> None:  # noqa: N802 - ib_async's name
        exec_id = getattr(execution, "execId", None)
        if isinstance(exec_id, str):
            for listener in tuple(self.listeners):
                listener._sent_contract(exec_id, contract)
        self._replaced["execDetails"][0](reqId, contract, execution)

    def commissionReport(self, report: Any) -> None:  # noqa: N802 - ib_async's name
        unseen = getattr(report, "execId", None) not in self.wrapper.fills
        self._replaced["commissionReport"][0](report)
        if unseen:
            for listener in tuple(self.listeners):
                listener._unseen_report(report)
