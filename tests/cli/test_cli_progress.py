"""The progress bar: only for large input on a terminal, and only with rich."""

import sys

import pytest

from marlovent._cli import progress as progress_mod


class Terminal:
    def __init__(self, tty):
        self.tty = tty
        self.written = []

    def isatty(self):
        return self.tty

    def write(self, text):
        self.written.append(text)
        return len(text)

    def flush(self):
        pass


@pytest.mark.parametrize("tty, total, shown", [(True, 5000, True), (False, 5000, False), (True, 10, False)])
def test_shown_only_for_large_input_on_a_terminal(monkeypatch, tty, total, shown):
    pytest.importorskip("rich")
    monkeypatch.setattr(sys, "stderr", Terminal(tty))
    with progress_mod.progress("importing", total) as advance:
        advance(total)
    assert (advance is not progress_mod._noop) is shown


def test_quiet_without_rich(monkeypatch):
    monkeypatch.setattr(sys, "stderr", Terminal(True))
    monkeypatch.setitem(sys.modules, "rich", None)
    monkeypatch.setitem(sys.modules, "rich.progress", None)
    monkeypatch.setitem(sys.modules, "rich.console", None)
    with progress_mod.progress("importing", 10**6) as advance:
        advance(1)
    assert advance is progress_mod._noop and sys.stderr.written == []
