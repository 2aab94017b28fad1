"""The ledger file of earlier versions of the tool, taken into the portfolio once.

Earlier versions kept the fills they imported in a store of their own beside
the positions (``fills-<Name>.sqlite``, or the store ``fills-<Name>`` on a
server), keyed by (key, order id), committed apart from the positions.  The
first time the tool opens such a portfolio to write to it, every fill of that
file becomes a fill of the portfolio's ledger, with the fill id
``KEY:ORDERID`` (the id a row without ``fill_id`` gets, so importing an old
file again finds them as duplicates) and its order id as the order id.  Trades
of those instruments' positions that the old file does not list (recorded
through the library) come along the same way.  The instruments' positions are
rebuilt from these fills, in time order, in one transaction with the ledger;
``ledger.meta["legacy"]`` records that it was done, so it happens once.  The
old file is left as it was, unused.
"""

from __future__ import annotations

import os
from collections.abc import Hashable
from typing import Any

from ..ledger import Fill
from ..ledger import layout as ledger_layout
from ..ledger.orderids import trade_fill_id
from .portfolio import LEGACY_PREFIX, SERVER_SCHEMES, Portfolio, shown_data_dir, store_file


def _legacy_store(portfolio: Portfolio) -> tuple[Any, str] | None:
    from zelph.dualcache import DualCache

    data_dir, namespace = portfolio.data_dir, portfolio.namespace
    if data_dir.startswith(SERVER_SCHEMES):
        store = DualCache(cacheName=namespace, cachePrefix=data_dir + "/" + LEGACY_PREFIX)
        if not store:
            store.close()
            return None
        return store, f"store {LEGACY_PREFIX}{namespace} on {shown_data_dir(data_dir)}"
    path = store_file(data_dir, LEGACY_PREFIX, namespace)
    if path is None:
        return None
    return DualCache(cacheName=namespace, cachePrefix=os.path.join(data_dir, LEGACY_PREFIX)), path


def migrate(portfolio: Portfolio) -> str | None:
    """Take the old ledger file's fills into the portfolio's ledger, once;
    returns what was done, for the user, or None when there was nothing to do."""
    positions = portfolio.mgr.positions
    meta = positions.map(ledger_layout.META)
    if meta.get("legacy") is not None:
        return None
    found = _legacy_store(portfolio)
    if found is None:
        meta["legacy"] = ("none",)
        return None
    store, where = found
    try:
        entries = list(store.items())
    finally:
        store.close()
    by_key: dict[Hashable, dict[Hashable, tuple[Any, ...]]] = {}
    for (key, orderid), entry in entries:
        by_key.setdefault(key, {})[orderid] = tuple(entry)
    ledger = portfolio.ledger
    count = 0
    with positions.batch():
        for key, recorded in by_key.items():
            if ledger.count(key):
                continue  # recorded into the ledger since: it is the ledger's already
            fills = [
                Fill(trade_fill_id(key, orderid), key, price, qty, commission, timestamp, orderid)
                for orderid, (price, qty, commission, timestamp) in recorded.items()
            ]
            position = positions.get(key)
            if position is not None:
                fills += [
                    Fill(trade_fill_id(key, oid), key, t.price, t.qty, t.commission, t.timestamp, oid)
                    for oid, t in position.trades.items()
                    if oid not in recorded
                ]
                del positions[key]
            fills.sort(key=lambda f: f.timestamp)
            for fill in fills:
                ledger.record(fill)
            count += len(fills)
        meta["legacy"] = ("migrated", where, count)
    return (
        f"the fills of {where} ({count} fill{'s' if count != 1 else ''} of {len(by_key)} "
        f"instrument{'s' if len(by_key) != 1 else ''}) were taken into the ledger of portfolio "
        f"{portfolio.namespace}; that file is no longer used and can be removed"
    )


__all__ = ["migrate"]
