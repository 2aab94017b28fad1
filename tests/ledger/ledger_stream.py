"""A day of ledger operations for the process tests, each one transaction:
fills of two instruments (one a contract of multiplier 100), a late fill that
rebuilds its instrument, late commissions in and out of the open book, a bust,
a reversal through zero and a change of terms.  Also the child that runs them
and kills itself (SIGKILL) at the n-th write to the store."""

import datetime as dt
import os
import signal
import sys

T0 = dt.datetime(2024, 3, 5, 14, 30, tzinfo=dt.timezone.utc)


def at(minutes):
    return T0 + dt.timedelta(minutes=minutes)


OPS = [
    ("record", ("F1", "AAPL", 187.5, 100, 1.0, 0, "O1"), {}),
    ("record", ("F2", "SPY 440P", 6.1, 12, None, 1, "S1"), {"multiplier": 100}),
    ("record", ("F3", "SPY 440P", 6.15, 8, None, 2, "S1"), {}),
    ("record", ("F4", "AAPL", 189.0, -40, 0.5, 5, "O2")),
    ("commission", ("F2", 7.8)),
    ("record", ("F5", "AAPL", 186.0, 50, 1.0, 3, "O3")),  # older than F4: AAPL is rebuilt
    ("record", ("F6", "SPY 440P", 8.0, -30, 6.5, 6, "S2")),  # through zero: short 10
    ("commission", ("F3", 5.2)),
    ("cancel", ("F4",)),
    ("record", ("F7", "AAPL", 190.0, -150, 1.0, 7, None)),  # AAPL flat
    ("commission", ("F7", 1.5)),  # after its position closed
    ("terms", ("SPY 440P", 50)),  # rebuilt with the new multiplier
    ("record", ("F8", "SPY 440P", 7.5, 10, 6.5, 8, "S3")),  # SPY flat
]


def run(ledger, ops=OPS, tolerant=False):
    """Carry out ``ops``; ``tolerant``: running the day again over what a
    killed run left, as an import does it (a fill already recorded is offered
    without its commission, which only commission reports change, and without
    terms, which may have changed since; a bust of a fill already gone is no
    error)."""
    from marlovent.ledger import Fill

    for op in ops:
        kind, args = op[0], op[1]
        if kind == "record":
            fid, key, price, qty, commission, minute, order = args
            terms = op[2] if len(op) > 2 else {}
            if tolerant and ledger.get(fid) is not None:
                commission, terms = None, {}
            ledger.record(Fill(fid, key, price, qty, commission, at(minute), order), **terms)
        elif kind == "commission":
            ledger.set_commission(*args)
        elif kind == "cancel":
            if not tolerant or ledger.get(args[0]) is not None:
                ledger.cancel(*args)
        else:
            ledger.set_instrument(args[0], multiplier=args[1])


def digest(ledger):
    """Everything the ledger and the positions say, comparable across processes."""
    mgr = ledger.mgr
    return repr(
        (
            sorted((repr(k), repr(p)) for k, p in mgr.positions.items()),
            [f for f in ledger.fills()],
            ledger.pnl({"AAPL": 191.0, "SPY 440P": 7.0}),
            ledger.pnl({"AAPL": 191.0, "SPY 440P": 7.0}, method="fifo"),
            ledger.history(),
            [ledger.instrument(k) for k in ledger.keys()],
        )
    )


class KillAt:
    """Stands for a store map (or the order manager): every write counts, and
    the process is killed at write number ``limit``."""

    writes = 0
    limit = 0

    def __init__(self, target):
        object.__setattr__(self, "target", target)

    @classmethod
    def hit(cls):
        cls.writes += 1
        if cls.writes == cls.limit:
            os.kill(os.getpid(), signal.SIGKILL)

    def __getattr__(self, name):
        value = getattr(self.target, name)
        if name in ("add_trade", "update_commission", "pop", "clear"):
            def write(*args):
                KillAt.hit()
                result = value(*args)
                KillAt.hit()
                return result

            return write
        return value

    def __setitem__(self, key, value):
        KillAt.hit()
        self.target[key] = value

    def __delitem__(self, key):
        KillAt.hit()
        del self.target[key]

    def __getitem__(self, key):
        return self.target[key]

    def __contains__(self, key):
        return key in self.target


def child():
    """python ledger_stream.py DATA_DIR LIMIT: the day, killed at write LIMIT
    (0: not at all); prints the number of writes."""
    os.environ["QUENTARIS_DATA_DIR"] = sys.argv[1]
    import marlovent.ordermgr as om
    from marlovent.ledger import Ledger

    KillAt.limit = int(sys.argv[2])
    ledger = Ledger(om.OrderMgr("killed day"))
    for name in ("_positions", "_fills", "_instruments", "_trips"):
        setattr(ledger, name, KillAt(getattr(ledger, name)))
    ledger.mgr = KillAt(ledger.mgr)
    run(ledger)
    print(KillAt.writes)


if __name__ == "__main__":
    child()
