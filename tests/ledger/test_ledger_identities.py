"""The money identities over random streams of fills, recorded in a random
arrival order (late fills rebuild their instrument):

* the result does not depend on the arrival order: positions, P&L by both
  methods and round trips equal those of the same fills recorded in time order;
* realized + unrealized is the same by both methods:
  mark x qty x multiplier - sum(price x qty x multiplier) - sum(commissions);
* a flat instrument has realized the same by both methods.

Exactly for int and Fraction figures; for floats to a relative 1e-9 of the
money that went through the instrument."""

import datetime as dt
import itertools
import math
from fractions import Fraction as F

from hypothesis import given, settings
from hypothesis import strategies as st

from marlovent.ledger import Fill, Ledger

T0 = dt.datetime(2024, 3, 5, 14, 30, tzinfo=dt.timezone.utc)
TERMS = {"A": 100, "B": 1, "C": F(1, 4)}
EXACT = st.one_of(st.integers(0, 400), st.fractions(0, 400, max_denominator=8))
FLOATS = st.floats(0, 400, allow_nan=False).map(lambda x: round(x, 2))
QTY = st.one_of(st.integers(-8, 8), st.sampled_from([0.5, -0.5, 1.5, -2.25])).filter(bool)
COUNTER = itertools.count()


def fills_of(kind):
    price = EXACT if kind == "exact" else FLOATS
    qty = st.integers(-8, 8).filter(bool) if kind == "exact" else QTY
    commission = st.one_of(st.none(), EXACT if kind == "exact" else FLOATS.map(lambda x: x / 100))
    return st.lists(
        st.tuples(st.sampled_from(sorted(TERMS)), price, qty, commission, st.integers(0, 30), st.sampled_from([None, "O1", "O2"])),
        max_size=30,
    )


def recorded(om, fills, order):
    mgr = om.OrderMgr(f"identities {next(COUNTER)}")
    ledger = Ledger(mgr)
    with mgr.positions.batch():
        for key, multiplier in TERMS.items():
            ledger.set_instrument(key, multiplier=multiplier)
        for fill in order:
            ledger.record(fill)
    return mgr, ledger


def close(a, b, scale):
    return a == b if isinstance(a, (int, F)) and isinstance(b, (int, F)) else math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9 * scale)


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(["exact", "float"]).flatmap(lambda k: st.tuples(st.just(k), fills_of(k))), st.randoms(), st.integers(1, 400))
def test_identities_in_any_arrival_order(om, data_dir, kind_fills, rnd, mark):
    kind, raw = kind_fills
    fills = [Fill(f"F{i}", k, p, q, c, T0 + dt.timedelta(minutes=m), o) for i, (k, p, q, c, m, o) in enumerate(raw)]
    shuffled = list(fills)
    rnd.shuffle(shuffled)
    in_time = sorted(fills, key=lambda f: (f.timestamp, shuffled.index(f)))  # ties: arrival order
    mgr_a, a = recorded(om, fills, shuffled)
    mgr_b, b = recorded(om, fills, in_time)
    marks = {k: mark for k in TERMS}
    try:
        assert dict(mgr_a.positions) == dict(mgr_b.positions)
        assert a.history() == b.history() and [f.fill_id for f in a.fills()] == [f.fill_id for f in in_time]
        average, fifo = a.pnl(marks), a.pnl(marks, method="fifo")
        assert average == b.pnl(marks) and fifo == b.pnl(marks, method="fifo")
        for row, other in zip(average.rows, fifo.rows):
            mine = [f for f in fills if f.key == row.key]
            m = TERMS[row.key]
            money = sum(abs(f.price * f.qty * m) for f in mine) + abs(mark * row.qty * m) + 1
            total = mark * row.qty * m - sum(f.price * f.qty * m for f in mine) - sum(f.commission or 0 for f in mine)
            assert close(row.realized + row.unrealized, total, money)
            assert close(other.realized + other.unrealized, total, money)
            if row.qty == 0:
                assert close(row.realized, other.realized, money)
            position = mgr_a.positions.get(row.key)
            assert (position.qty if position is not None else 0) == row.qty
    finally:
        mgr_a.positions.destroy()
        mgr_b.positions.destroy()
