"""The money identities over random streams of fills, recorded in a random
arrival order (late fills rebuild their instrument), with some commissions
reported late, any number of recordings after their fill, which was recorded
without one or with a stand-in of another type (a late commission is worked
into the figures where it lands):

* the result does not depend on the arrival order: positions, P&L by both
  methods and round trips equal those of the same fills recorded in time order
  with their commissions;
* realized + unrealized is the same by both methods:
  mark x qty x multiplier - sum(price x qty x multiplier) - sum(commissions);
* a flat instrument has realized the same by both methods.

Exactly for int and Fraction figures; for floats to a relative 1e-9 of the
money that went through the instrument.  Fill times are quarter hours around
the autumn hour New York repeats, in UTC or in that zone (either fold): time
order is the order of the instants."""

import dataclasses
import datetime as dt
import itertools
import math
import zoneinfo
from fractions import Fraction as F

from hypothesis import given, settings
from hypothesis import strategies as st

from marlovent.ledger import Fill, Ledger

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 11, 3, 4, 30, tzinfo=UTC)  # 00:30 in New York, where 01:00-01:59 comes twice
ZONES = st.sampled_from([UTC, zoneinfo.ZoneInfo("America/New_York")])
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
        st.tuples(st.sampled_from(sorted(TERMS)), price, qty, commission, st.integers(0, 12), ZONES, st.sampled_from([None, "O1", "O2"])),
        max_size=30,
    )


def recorded(om, fills, order, late=()):
    """``order``'s fills recorded; those in ``late`` with the stand-in
    commission ``late`` gives, their own reported after as many more
    recordings as it gives."""
    mgr = om.OrderMgr(f"identities {next(COUNTER)}")
    ledger = Ledger(mgr)
    due = []  # (recordings to wait, fill)
    with mgr.positions.batch():
        for key, multiplier in TERMS.items():
            ledger.set_instrument(key, multiplier=multiplier)
        for fill in order:
            if fill.fill_id in late:
                wait, stand_in = late[fill.fill_id]
                ledger.record(dataclasses.replace(fill, commission=stand_in))
                due.append([wait, fill])
            else:
                ledger.record(fill)
            for entry in due:
                entry[0] -= 1
                if entry[0] < 0:
                    assert ledger.set_commission(entry[1].fill_id, entry[1].commission) is True
            due = [entry for entry in due if entry[0] >= 0]
        for _, fill in due:
            assert ledger.set_commission(fill.fill_id, fill.commission) is True
    return mgr, ledger


def same_figures(a, b, scale):
    """Equal, floats to a relative 1e-9 of ``scale``."""
    if dataclasses.is_dataclass(a) and type(a) is type(b):
        a, b = [getattr(a, f.name) for f in dataclasses.fields(a)], [getattr(b, f.name) for f in dataclasses.fields(b)]
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return len(a) == len(b) and all(same_figures(x, y, scale) for x, y in zip(a, b))
    if isinstance(a, float) or isinstance(b, float):
        return close(a, b, scale)
    return a == b


def close(a, b, scale):
    return a == b if isinstance(a, (int, F)) and isinstance(b, (int, F)) else math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9 * scale)


@settings(max_examples=40, deadline=None)
@given(st.sampled_from(["exact", "float"]).flatmap(lambda k: st.tuples(st.just(k), fills_of(k))), st.randoms(), st.integers(1, 400))
def test_identities_in_any_arrival_order(om, data_dir, kind_fills, rnd, mark):
    kind, raw = kind_fills
    fills = [
        Fill(f"F{i}", k, p, q, c, (T0 + dt.timedelta(minutes=15 * n)).astimezone(zone), o)
        for i, (k, p, q, c, n, zone, o) in enumerate(raw)
    ]
    shuffled = list(fills)
    rnd.shuffle(shuffled)
    in_time = sorted(fills, key=lambda f: (f.timestamp.astimezone(UTC), shuffled.index(f)))  # ties: arrival order
    late = {
        f.fill_id: (rnd.randrange(4), rnd.choice([None, 1 if type(f.commission) is float else 0.5]))
        for f in fills
        if f.commission is not None and rnd.random() < 0.5
    }
    mgr_a, a = recorded(om, fills, shuffled, late)
    mgr_b, b = recorded(om, fills, in_time)
    marks = {k: mark for k in TERMS}
    try:
        assert dict(mgr_a.positions) == dict(mgr_b.positions)
        assert [f.fill_id for f in a.fills()] == [f.fill_id for f in in_time] and a.fills() == b.fills()
        average, fifo = a.pnl(marks), a.pnl(marks, method="fifo")
        everything = (a.history(), average.rows, fifo.rows), (b.history(), b.pnl(marks).rows, b.pnl(marks, method="fifo").rows)
        if kind == "exact":
            assert everything[0] == everything[1]
        else:
            money = sum(abs(f.price * f.qty * TERMS[f.key]) for f in fills) + 1
            assert same_figures(*everything, money)
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
