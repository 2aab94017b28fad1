"""marlovent.ledger: fills, instruments, profit and loss and round trips of a
portfolio, kept in the portfolio's own store beside its positions.

    from marlovent.ledger import Ledger, Fill
    ledger = Ledger(mgr)                     # over an OrderMgr
    ledger.record(Fill("E1", "AAPL", 187.52, 100, 1.0, timestamp=...))
    ledger.pnl({"AAPL": 190.0}).totals["USD"].unrealized

Fills are the source of truth and positions what they add up to: each fill
becomes a ``Trade`` handed to ``OrderMgr.add_trade`` (in time order, with an
order id derived so that the legs of one order group together), and every
recording operation commits the ledger and the positions in one transaction.
See docs/ledger.md.
"""

from .fills import Fill, FillConflict, Recorded
from .instruments import Instrument
from .ledger import Ledger
from .report import CurrencyTotal, PnlReport, PnlRow, RoundTrip

__all__ = [
    "Ledger",
    "Fill",
    "Instrument",
    "Recorded",
    "FillConflict",
    "PnlReport",
    "PnlRow",
    "CurrencyTotal",
    "RoundTrip",
]
