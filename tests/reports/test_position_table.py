"""SystemReporter.position_table."""
import datetime as dt
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

from marlovent import ordermgr as om

from .conftest import T0, fill, position
from .plain_reports import position_table as ref_table


def table(mgr):
    return om.SystemReporter(mgr).position_table()


def test_empty_store(make_mgr):
    assert table(make_mgr()) == "No positions found."


def test_worked_layout(make_mgr):
    pos = position("K1", fill(1, 101.256, 1000, 1.0), fill(2, 101.256, 300, 0.5, 1), fill(3, 101.256, 200, 0.5, 2))
    assert table(make_mgr(pos)).split("\n") == [
        "+-----+---------+-----------+-----------+------------+--------+------------------+",
        "| Key | Qty     | Avg Price | Direction | Commission | Trades | Started          |",
        "+-----+---------+-----------+-----------+------------+--------+------------------+",
        "| K1  | 1,500.0 | $101.26   | LONG      | $2.00      | 3      | 2024-03-05 09:30 |",
        "+-----+---------+-----------+-----------+------------+--------+------------------+",
    ]


def test_short_and_wide_keys(make_mgr):
    short = position("S", fill(1, 12.5, -20))
    wide = position("a-very-long-instrument-key", fill(2, 1.0, 1))
    lines = table(make_mgr(short, wide)).split("\n")
    assert lines[3] == "| S                          | -20.0 | $12.50    | SHORT     | $0.00      | 1      | 2024-03-05 09:30 |"
    assert lines[0].startswith("+" + "-" * 28 + "+-------+")
    assert len({len(line) for line in lines}) == 1


def test_widths_count_code_points(make_mgr):
    mgr = make_mgr(position("Δ€𝔘", fill(1, 1.0, 1)), position("K", fill(2, 1.0, 1)))
    lines = table(mgr).split("\n")
    assert len({len(line) for line in lines}) == 1
    assert lines[3].startswith("| Δ€𝔘 | ") and lines[4].startswith("| K   | ")


def test_start_time_forms():
    class Clock(dt.datetime):
        def strftime(self, fmt):
            return "custom " + fmt

    starts = [dt.datetime(2024, 3, 5, 9, 30, 59, 999999), dt.datetime(1, 1, 1), dt.datetime(999, 12, 31, 23, 59),
              Clock(2024, 1, 1)]
    positions = {n: types.SimpleNamespace(qty=1, average_price=1.0, is_long=True, total_commission=0, trades={},
                                          started=s) for n, s in enumerate(starts)}
    mgr = types.SimpleNamespace(positions=positions)
    assert table(mgr) == ref_table(mgr)
    assert "custom %Y-%m-%d %H:%M" in table(mgr)


def test_read_errors_propagate(make_mgr):
    with pytest.raises(ValueError, match="^Cannot get start time for position with no trades$"):
        table(make_mgr(position("K", fill(1, 1.0, 1)), om.Position("E", {})))
    bad = types.SimpleNamespace(qty="x", average_price=1.0, is_long=True, total_commission=0, trades={}, started=T0)
    with pytest.raises(ValueError):
        table(types.SimpleNamespace(positions={"B": bad}))


numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-10**20, 10**20),
    st.sampled_from([0, -0.0, 0.05, 0.25, -0.04, 0.125, 1e16, -999.95]),
)
# Text keys include lone surrogates, as surrogateescape-decoded names have.
any_char = st.one_of(st.characters(), st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF))
keys = st.one_of(st.text(any_char, max_size=6), st.integers(), st.tuples(st.integers(), st.text(max_size=2)))


@given(st.dictionaries(keys, st.tuples(numbers, numbers, st.booleans(), numbers, st.integers(0, 3)), max_size=4))
def test_table_matches_plain_python(rows):
    positions = {k: types.SimpleNamespace(qty=q, average_price=a, is_long=long_, total_commission=c,
                                          trades=dict.fromkeys(range(n)), started=T0)
                 for k, (q, a, long_, c, n) in rows.items()}
    mgr = types.SimpleNamespace(positions=positions)
    assert table(mgr) == ref_table(mgr)


zones = st.sampled_from([dt.timezone.utc, dt.timezone(dt.timedelta(hours=2)), dt.timezone(dt.timedelta(hours=2)), None])
stamps = st.builds(lambda m, tz: dt.datetime(2024, 3, 5, 9, 30, tzinfo=tz) + dt.timedelta(minutes=m),
                   st.integers(-5000, 5000), zones)


@given(st.lists(st.lists(st.tuples(numbers, numbers, numbers, stamps), min_size=1, max_size=5), max_size=4))
def test_stored_positions_match_plain_python(books):
    """Real positions (the native one-pass path for exact types) against the same table in Python."""
    positions = {}
    for n, book in enumerate(books):
        trades = {}
        for m, (price, qty, commission, when) in enumerate(book):
            trades[m] = t = om.Trade(m, 0.0, qty, commission, when)
            t.price = price
        positions[f"P{n}"] = om.Position(f"P{n}", trades)
    mgr = types.SimpleNamespace(positions=positions)
    try:
        expected = ref_table(mgr)
    except (TypeError, OverflowError) as e:  # naive beside aware; huge ints
        with pytest.raises(type(e)):
            table(mgr)
        return
    assert table(mgr) == expected
