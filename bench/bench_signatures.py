"""Cost of the signature-carrying method functions that marlovent installs.

Each public method is reached through a small Python function with the
method's real parameter list (so that inspect.signature works); this prints
the call through it beside the bare native method, and both beside a
plain-Python dataclass doing the same work.
"""

import datetime as dt
import os
import statistics
import tempfile
import timeit

os.environ.setdefault("QUENTARIS_DATA_DIR", tempfile.mkdtemp(prefix="bench-sig-"))

from marlovent import _interop, ordermgr as om  # noqa: E402
from _plain import Position as PlainPosition, Trade as PlainTrade  # noqa: E402

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 5, tzinfo=UTC)


def per_call(stmt, g, number=200_000, repeat=7):
    runs = timeit.repeat(stmt, globals=g, number=number, repeat=repeat)
    return statistics.median(runs) / number * 1e9


def main():
    p = om.Position("X")
    t = om.Trade(1, 100.0, 10, 1.0, T0)
    p.add_trade(t)
    pp = PlainPosition("X")
    pt = PlainTrade(1, 100.0, 10, 1.0, T0)
    pp.add_trade(pt)
    g = om.PositionGroup()
    g.add(p)
    cases = [
        ("Position.add_trade (order id known)", "p.add_trade(t)", "nat(p, t)", "pp.add_trade(pt)",
         {"p": p, "t": t, "pp": pp, "pt": pt, "nat": _interop.native(om.Position.add_trade)}),
        ("PositionGroup.stop()", "g.stop()", "nat(g)", None, {"g": g, "nat": _interop.native(om.PositionGroup.stop)}),
    ]
    print(f"{'operation':<40} {'native ns':>10} {'wrapped ns':>11} {'overhead':>9} {'plain ns':>9} {'plain/wrapped':>14}")
    for label, wrapped, native, plain, g_ in cases:
        w = per_call(wrapped, g_)
        n = per_call(native, g_)
        pl = per_call(plain, g_) if plain else float("nan")
        plain_text = f"{pl:>9.1f} {pl / w:>13.1f}x" if plain else f"{'-':>9} {'-':>14}"
        print(f"{label:<40} {n:>10.1f} {w:>11.1f} {w - n:>8.1f}  {plain_text}")


if __name__ == "__main__":
    main()
