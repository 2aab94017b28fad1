"""A progress bar on standard error for long imports.

Shown only when standard error is a terminal, the input is large and the
optional ``rich`` library (``pip install 'marlovent[cli]'``) is installed;
otherwise the import is quiet.
"""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator

# Rows from which an import is worth a progress bar.
LARGE_INPUT = 2000


def _noop(_n: int) -> None:
    pass


def wanted(total: int) -> bool:
    try:
        return total >= LARGE_INPUT and sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


@contextlib.contextmanager
def progress(description: str, total: int) -> Iterator[Callable[[int], None]]:
    """Yields ``advance(n)``; a no-op when no bar is shown."""
    if not wanted(total):
        yield _noop
        return
    try:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn
    except ImportError:
        yield _noop
        return
    console = Console(file=sys.stderr)
    columns = (TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeRemainingColumn())
    with Progress(*columns, console=console, transient=True) as bar:
        task = bar.add_task(description, total=total)

        def advance(n: int) -> None:
            bar.advance(task, n)

        yield advance
