"""SystemReporter.position_summary: the portfolio risk report."""
import datetime as dt
import math
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from marlovent import ordermgr as om

from .conftest import fill, position
from .plain_reports import portfolio_report as ref_portfolio


class Fixed:
    """A manager whose portfolio summary is given, recording each request."""

    def __init__(self, summaries):
        self.summaries, self.calls = summaries, []

    def get_portfolio_summary(self, **kwargs):
        self.calls.append(kwargs)
        return self.summaries


def summary(qty, average_price, stop, stopPct, age=dt.timedelta(0), is_long=None):
    return types.SimpleNamespace(qty=qty, average_price=average_price, stop=stop, stopPct=stopPct, age=age,
                                 is_long=average_price > 0 if is_long is None else is_long)


def report(mgr, *args, **kwargs):
    return om.SystemReporter(mgr).position_summary(*args, **kwargs)


def test_empty_portfolio(make_mgr):
    assert report(make_mgr()) == "No positions found."


def test_worked_layout():
    age = dt.timedelta(days=1, hours=1, minutes=2, seconds=3)
    assert report(Fixed({"K1": summary(100, 50.0, 45.0, 0.1, age)})).split("\n") == [
        "PORTFOLIO SUMMARY", "=" * 50, "",
        "Position: K1", "  Direction: LONG", "  Quantity: 100.0", "  Avg Price: $50.00", "  Stop Price: $45.00",
        "  Stop %: 10.0%", "  Position Value: $5,000.00", "  Risk Amount: $500.00", "  Age: 1 day, 1:02:03", "",
        "TOTALS:", "  Net Position Value: $5,000.00", "  Total Risk Amount: $500.00", "  Risk as % of Total: 10.0%",
    ]


def test_short_long_and_negative_net():
    short = summary(20, -100.0, 110.0, 0.1)
    lines = report(Fixed({"S": short})).split("\n")
    assert lines[4:11] == ["  Direction: SHORT", "  Quantity: 20.0", "  Avg Price: $100.00", "  Stop Price: $110.00",
                           "  Stop %: 10.0%", "  Position Value: $2,000.00", "  Risk Amount: $200.00"]
    assert lines[-3:] == ["  Net Position Value: $-2,000.00", "  Total Risk Amount: $200.00",
                          "  Risk as % of Total: 10.0%"]
    balanced = report(Fixed({"L": summary(20, 100.0, 90.0, 0.1), "S": short})).split("\n")
    assert balanced[-3:] == ["  Net Position Value: $0.00", "  Total Risk Amount: $400.00",
                             "  Risk as % of Total: 0.0%"]
    assert balanced[-5:-3] == ["", "TOTALS:"] and balanced[-6] != ""


def test_stop_percentage_argument():
    mgr = Fixed({})
    report(mgr)
    report(mgr, 1)
    report(mgr, stopPct=0.25)
    assert mgr.calls == [{"stopPct": 0.1}, {"stopPct": 1.0}, {"stopPct": 0.25}]
    assert type(mgr.calls[1]["stopPct"]) is float
    for bad in ("0.1", None, [0.1]):
        with pytest.raises(TypeError):
            report(mgr, bad)
    assert len(mgr.calls) == 3


def test_end_to_end_with_the_stand_in(make_mgr):
    mgr = make_mgr(position("L", fill(1, 100.0, 10, 5.0)), position(7, fill(2, 50.0, -4)))
    text = report(mgr, 0.2)
    assert mgr.summary_calls == [0.2]
    assert text == ref_portfolio(mgr, 0.2)
    assert "  Stop Price: $80.40" in text and "  Age: 1 day, 1:02:03" in text


def test_errors_propagate():
    class Broken(Fixed):
        def get_portfolio_summary(self, **kwargs):
            raise KeyError("store")

    with pytest.raises(KeyError):
        report(Broken({}))
    with pytest.raises(TypeError):
        report(Fixed({"K": summary(1, "x", 1.0, 0.1, is_long=True)}))


spans = st.timedeltas(min_value=dt.timedelta(days=-1000), max_value=dt.timedelta(days=1000))
numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-10**18, 10**18),
                    st.sampled_from([0, -0.0, 0.005, 0.125, 0.0005, 1e22]))


@given(st.dictionaries(st.text(max_size=3), st.tuples(numbers, numbers, numbers, numbers, spans, st.booleans()),
                       max_size=4))
def test_report_matches_plain_python(rows):
    summaries = {k: summary(q, a, s, p, age, long_) for k, (q, a, s, p, age, long_) in rows.items()}
    assert report(Fixed(summaries)) == ref_portfolio(Fixed(summaries))


@given(spans)
def test_age_is_the_timedelta_text(span):
    assert report(Fixed({"K": summary(1, 1.0, 1.0, 0.0, span)})).split("\n")[11] == f"  Age: {span}"


# Floats at and around the ties of the report's formats (k + 1/2 units of the
# last place shown, a few ulps either side), tiny and subnormal ones, and
# ones beyond the range a format can show exactly in an integer.
def _ties(k, digits, ulps):
    x = (k + 0.5) / 10**digits
    for _ in range(abs(ulps)):
        x = math.nextafter(x, math.inf if ulps > 0 else -math.inf)
    return x


format_floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.builds(_ties, st.integers(-10**13, 10**13), st.sampled_from([0, 1, 2, 3]), st.integers(-2, 2)),
    st.floats(-1e-3, 1e-3), st.sampled_from([5e-324, -5e-324, 2.0**-1022, 2.0**52 / 100, 2.0**52 / 1000]),
    st.floats(1e12, 1e18).map(lambda x: x * (1 if int(x) % 2 else -1)),
)


class SubSummary(om.PositionSummary):
    pass


@settings(max_examples=2000, deadline=None)
@given(qty=st.one_of(format_floats, st.integers(-2**60, 2**60)), average_price=format_floats, stop=format_floats,
       stop_pct=format_floats, key=st.one_of(st.text(max_size=2), st.integers()), subclass=st.booleans())
def test_formatted_figures_are_the_hosts(qty, average_price, stop, stop_pct, key, subclass):
    """Every ",.1f", ",.2f" and ".1%" the report writes is format()'s text,
    for duck-typed summaries and for the records themselves (exact or not,
    beside others, under any key) alike."""
    line = report(Fixed({"K": summary(qty, average_price, stop, stop_pct)})).split("\n")
    assert line[5:9] == [f"  Quantity: {qty:,.1f}", f"  Avg Price: ${abs(average_price):,.2f}",
                         f"  Stop Price: ${stop:,.2f}", f"  Stop %: {stop_pct:.1%}"]
    started = dt.datetime.now(dt.timezone.utc)
    try:
        record = (SubSummary if subclass else om.PositionSummary)(qty, average_price, stop, 0.0, started)
    except (ValueError, OverflowError, ZeroDivisionError):
        return
    records = {"first": om.PositionSummary(3, -2.5, 2.75, 0.0, started), key: record,
               "last": om.PositionSummary(2**53 + 1, 1e-3, 1e-3, 0.0, started)}
    assert report(Fixed(records)) == ref_portfolio(Fixed(records))


def test_a_replaced_is_long_is_the_one_read():
    started = dt.datetime.now(dt.timezone.utc)
    records = {"L": om.PositionSummary(2, 10.0, 9.0, 0.0, started), "S": om.PositionSummary(1, -4.0, 4.4, 0.0, started)}
    expected = report(Fixed(records))
    own = om.PositionSummary.__dict__["is_long"]
    try:
        om.PositionSummary.is_long = property(lambda s: s.qty < 2)
        text = report(Fixed(records))
        assert text == ref_portfolio(Fixed(records)) and text != expected
    finally:
        om.PositionSummary.is_long = own
    assert report(Fixed(records)) == expected
