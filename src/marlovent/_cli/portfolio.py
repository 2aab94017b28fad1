"""Where a portfolio lives and how the tool opens it.

The data directory is ``--data-dir``, else ``QUENTARIS_DATA_DIR``, else the
per-user data directory (``$XDG_DATA_HOME/marlovent``, by default
``~/.local/share/marlovent``).  A portfolio is an ``OrderMgr`` opened there
under its name, with its ledger (``marlovent.ledger``) in the same database.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import string
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
    """The data directory as messages show it: a server URI without its password
    (as the store shows it, also when the password is not percent-encoded)."""
    if not data_dir.startswith(SERVER_SCHEMES):
        return data_dir
    from zelph.dualcache import _shown_prefix

    shown = str(_shown_prefix(data_dir + "/"))
    # (A URI that cannot be read as written is shown as its scheme and "...".)
    return shown[:-1] if shown.endswith("/") else shown


def resolve_data_dir(option: str | None, create: bool = True) -> str:
    """The data directory for this run; also exported for the order manager.
    A PostgreSQL URI (a portfolio on a server) is passed on as it is; a
    directory is created when missing only if ``create`` is set (commands that
    record)."""
    chosen = option or os.environ.get(ENV_DATA_DIR) or default_data_dir()
    if chosen.startswith(SERVER_SCHEMES):
        os.environ[ENV_DATA_DIR] = chosen
        return chosen
    chosen = os.path.abspath(os.path.expanduser(chosen))
    if os.path.exists(chosen) and not os.path.isdir(chosen):
        raise CliError(f"data directory {chosen} is a file; pass a directory with --data-dir")
    os.environ[ENV_DATA_DIR] = chosen
    if not create:
        return chosen
    try:
        os.makedirs(chosen, mode=0o700, exist_ok=True)
    except OSError as e:
        raise CliError(
            f"cannot create the data directory {chosen} ({e.strerror}); pass a writable one with --data-dir"
        ) from None
    return chosen


# ------------------------------------------------------------------ store files

POSITIONS_PREFIX = "positions-"
# The separate ledger file earlier versions of the tool kept beside the positions.
LEGACY_PREFIX = "fills-"
_SAFE = frozenset(string.ascii_letters + string.digits + "-_.")


def namespace_of(name: str) -> str:
    """The portfolio's name as the order manager normalises it."""
    return name.replace(" ", "-").title()


def safe_name(namespace: str) -> str:
    """The store's file-name form of a name: every byte other than ASCII
    letters, digits, '-', '_' and '.' (and a leading '.') percent-encoded."""
    out = []
    for i, byte in enumerate(namespace.encode("utf-8", "surrogatepass")):
        ch = chr(byte)
        out.append(ch if ch in _SAFE and not (i == 0 and ch == ".") else f"%{byte:02X}")
    return "".join(out)


def _long_name_suffix(namespace: str) -> str:
    return "~" + hashlib.sha256(namespace.encode("utf-8", "surrogatepass")).hexdigest()[:32]


def store_file(data_dir: str, prefix: str, namespace: str) -> str | None:
    """The database file of a store if it exists, else None."""
    path = os.path.join(data_dir, prefix + safe_name(namespace) + ".sqlite")
    if os.path.isfile(path):
        return path
    # A name too long for a file name is cut and ends in a digest of the name.
    ending = _long_name_suffix(namespace) + ".sqlite"
    try:
        entries = os.listdir(data_dir)
    except OSError:
        return None
    for entry in entries:
        if entry.startswith(prefix) and entry.endswith(ending):
            return os.path.join(data_dir, entry)
    return None


def existing_portfolios(data_dir: str) -> list[str] | None:
    """The names of the portfolios kept in a data directory, or on a server,
    sorted; None when the server cannot list them."""
    if data_dir.startswith(SERVER_SCHEMES):
        from zelph.dualcache import StoreError, _server_store_names

        try:
            return sorted(_server_store_names(os.path.join(data_dir, POSITIONS_PREFIX)))
        except StoreError:
            return None
    try:
        entries = os.listdir(data_dir)
    except OSError:
        return []
    names = []
    for entry in entries:
        if entry.startswith(POSITIONS_PREFIX) and entry.endswith(".sqlite"):
            encoded = entry[len(POSITIONS_PREFIX) : -len(".sqlite")]
            try:
                names.append(bytes_unquote(encoded))
            except UnicodeDecodeError:
                names.append(encoded)
    return sorted(names)


def bytes_unquote(encoded: str) -> str:
    from urllib.parse import unquote_to_bytes

    return unquote_to_bytes(encoded).decode("utf-8")


def missing_portfolio_message(name: str, data_dir: str) -> str:
    namespace = namespace_of(name)
    known = existing_portfolios(data_dir)
    if known:
        listed = ", ".join(known)
        hint = f"the portfolios there are: {listed}. Pick one with --portfolio NAME"
    elif known is None:
        hint = "`ordermgr import FILE` creates one"
    else:
        hint = "there is none yet; `ordermgr import FILE` creates one"
    return f"no portfolio {namespace!r} in {shown_data_dir(data_dir)} ({hint}, or check --data-dir)"


@dataclass
class Portfolio:
    """An open portfolio: its order manager and its ledger (kept in the same
    database, committed with the positions in one transaction)."""

    name: str
    data_dir: str
    mgr: Any
    ledger: Any

    @property
    def namespace(self) -> str:
        return str(self.mgr.namespace)

    def batch(self) -> contextlib.AbstractContextManager[Any]:
        """One transaction for many writes: the ledger's and the positions'."""
        return self.mgr.positions.batch()  # type: ignore[no-any-return]


def open_portfolio(name: str, data_dir: str, create: bool = True) -> Portfolio:
    """Open a portfolio; without ``create``, one that does not exist is an
    error and nothing is written to the data directory."""
    from ..ledger import Ledger

    namespace = namespace_of(name)
    # A server keeps its portfolios in tables, not files: nothing to look for.
    on_server = data_dir.startswith(SERVER_SCHEMES)
    if not create and not on_server and store_file(data_dir, POSITIONS_PREFIX, namespace) is None:
        raise CliError(missing_portfolio_message(name, data_dir))
    if not create and on_server:  # a server store is made by its first write: look for its row
        if not _om.DualCache.exists(cacheName=namespace, cachePrefix=os.path.join(data_dir, POSITIONS_PREFIX)):
            raise CliError(missing_portfolio_message(name, data_dir))
    mgr = _om.OrderMgr(name)
    return Portfolio(name, data_dir, mgr, Ledger(mgr))
