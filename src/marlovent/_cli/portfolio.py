"""Where a portfolio lives and how the tool opens it.

The data directory is ``--data-dir``, else ``QUENTARIS_DATA_DIR``, else the
per-user data directory (``$XDG_DATA_HOME/marlovent``, by default
``~/.local/share/marlovent``).  A portfolio is an ``OrderMgr`` opened there
under its name, beside the tool's ledger of the fills it has imported.
"""

from __future__ import annotations

import contextlib
import os
import urllib.parse
from collections.abc import Hashable, Iterator
from dataclasses import dataclass
from typing import Any

from .. import ordermgr as _om
from .errors import CliError

ENV_DATA_DIR = "QUENTARIS_DATA_DIR"
DEFAULT_PORTFOLIO = "default"


def default_data_dir() -> str:
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "marlovent")


SERVER_SCHEMES = ("postgresql://", "postgres://")


def shown_data_dir(data_dir: str) -> str:
    """The data directory as messages show it: a server URI without its password."""
    if not data_dir.startswith(SERVER_SCHEMES):
        return data_dir
    parts = urllib.parse.urlsplit(data_dir)
    host = parts.netloc.rpartition("@")
    netloc = (host[0].partition(":")[0] + "@" + host[2]) if host[1] else parts.netloc
    query = "&".join(q for q in parts.query.split("&") if q and not q.lower().startswith("password="))
    return urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, query, ""))


def resolve_data_dir(option: str | None) -> str:
    """The data directory for this run; also exported for the order manager.
    A PostgreSQL URI (a portfolio on a server) is passed on as it is."""
    chosen = option or os.environ.get(ENV_DATA_DIR) or default_data_dir()
    if chosen.startswith(SERVER_SCHEMES):
        os.environ[ENV_DATA_DIR] = chosen
        return chosen
    chosen = os.path.abspath(os.path.expanduser(chosen))
    if os.path.exists(chosen) and not os.path.isdir(chosen):
        raise CliError(f"data directory {chosen} is a file; pass a directory with --data-dir")
    try:
        os.makedirs(chosen, mode=0o700, exist_ok=True)
    except OSError as e:
        raise CliError(
            f"cannot create the data directory {chosen} ({e.strerror}); pass a writable one with --data-dir"
        ) from None
    os.environ[ENV_DATA_DIR] = chosen
    return chosen


def batch(store: Any) -> contextlib.AbstractContextManager[Any]:
    """One transaction for many writes, where the store offers it."""
    opener = getattr(store, "batch", None)
    return opener() if callable(opener) else contextlib.nullcontext(store)


class Ledger:
    """The fills this tool has recorded into a portfolio, by (key, order id).

    A position forgets its trades when it goes flat, so the portfolio alone
    cannot tell that a fill of a closed position was imported before: without
    the ledger, importing a file again would reopen closed positions.  Each
    entry holds the fill's price, quantity, commission and time.
    """

    def __init__(self, store: Any) -> None:
        self.store = store

    def get(self, key: Hashable, orderid: Hashable) -> tuple[Any, Any, Any, Any] | None:
        entry = self.store.get((key, orderid))
        return None if entry is None else tuple(entry)  # type: ignore[return-value]

    def record(self, key: Hashable, orderid: Hashable, price: Any, qty: Any, commission: Any, timestamp: Any) -> None:
        self.store[(key, orderid)] = (price, qty, commission, timestamp)

    def set_commission(self, key: Hashable, orderid: Hashable, commission: Any, trade: Any) -> None:
        entry = self.get(key, orderid)
        if entry is None:
            entry = (trade.price, trade.qty, commission, trade.timestamp)
        self.store[(key, orderid)] = (entry[0], entry[1], commission, entry[3])

    def clear(self) -> None:
        self.store.clear()


@dataclass
class Portfolio:
    """An open portfolio: its order manager and the tool's ledger."""

    name: str
    data_dir: str
    mgr: Any
    ledger: Ledger

    @property
    def namespace(self) -> str:
        return str(self.mgr.namespace)

    @contextlib.contextmanager
    def batch(self) -> Iterator[None]:
        # The positions commit first: a crash between the two commits leaves
        # fills that the ledger does not know yet, which an import again finds
        # as duplicates in the open positions, rather than ledger entries
        # without their fills.
        with batch(self.ledger.store), batch(self.mgr.positions):
            yield


def open_portfolio(name: str, data_dir: str) -> Portfolio:
    mgr = _om.OrderMgr(name)
    store = _om.DualCache(cacheName=mgr.namespace, cachePrefix=os.path.join(data_dir, "fills-"))
    return Portfolio(name, data_dir, mgr, Ledger(store))
