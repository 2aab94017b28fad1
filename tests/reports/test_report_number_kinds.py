"""The portfolio report on summaries holding every kind of number gives
exactly what the plain-Python report gives, operator calls included; its
totals are doubles."""
import datetime as dt

from hypothesis import given, strategies as st

from marlovent import ordermgr as om
import numpy as np

from numeric_kinds import LOG, assert_same_outcome, contexts, kind_of_number

from .plain_reports import portfolio_report as ref_portfolio

NOW = dt.datetime.now(dt.timezone.utc)


class Fixed:
    def __init__(self, summaries):
        self.summaries = summaries

    def get_portfolio_summary(self, **kwargs):
        return self.summaries


@np.errstate(all="ignore")
def summaries(rows):
    out = {}
    for i, (qty, price, stop) in enumerate(rows):
        try:
            out[f"K{i}"] = om.PositionSummary(qty, price, stop, 0, NOW - dt.timedelta(minutes=i))
        except Exception:  # noqa: BLE001 - a summary the record refuses is left out
            pass
    return out


@given(kind_of_number().flatmap(lambda n: st.lists(st.tuples(n, n, n), max_size=4)), contexts)
def test_report(rows, ctx):
    mgr = Fixed(summaries(rows))
    LOG.clear()
    assert_same_outcome(lambda: om.SystemReporter(mgr).position_summary(), lambda: ref_portfolio(mgr), ctx)


class OwnFormat(float):
    """A float whose arithmetic keeps its type and whose format is its own."""

    def __format__(self, format_spec):
        return "<own>"


for _op in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__", "__abs__",
            "__neg__", "__round__"):
    setattr(OwnFormat, _op, lambda self, *a, _f=getattr(float, _op): OwnFormat(_f(self, *a)))


def test_totals_are_doubles_whatever_the_summaries_hold():
    mgr = Fixed({"K": om.PositionSummary(OwnFormat(2.0), OwnFormat(5.0), OwnFormat(4.0), 0, NOW)})
    text = om.SystemReporter(mgr).position_summary()
    assert text == ref_portfolio(mgr) and "  Position Value: $<own>" in text
    assert text.endswith("Net Position Value: $10.00\n  Total Risk Amount: $2.00\n  Risk as % of Total: 20.0%")
