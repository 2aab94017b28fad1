"""The ledger's arithmetic helpers against Python's own: the running sum is the
built-in sum continued item by item, and a share is exact for exact kinds and
Python's own expression otherwise."""

from fractions import Fraction

from hypothesis import given
from hypothesis import strategies as st

from marlovent.ledger.exact import RunningSum, share

ITEMS = st.one_of(
    st.integers(-(2**70), 2**70),
    st.integers(-10, 10),
    st.booleans(),
    st.floats(allow_nan=False, allow_infinity=False, width=64),
    st.sampled_from([0.1, -0.1, 1e16, -1e16, 1e-17, 0.5, -0.0, float("inf")]),
    st.fractions(max_denominator=12),
    st.sampled_from([2**63 - 1, -(2**63), 2**63, 2**62]),
)


def outcome(fn):
    try:
        value = fn()
    except Exception as e:  # the same error as the built-in, or the same value
        return ("raises", type(e))
    return (type(value), repr(value))


@given(st.lists(ITEMS, max_size=30))
def test_the_running_sum_is_the_builtin_sum_at_every_step(items):
    running = RunningSum()
    for n in range(len(items)):
        running.add(items[n])
        assert outcome(lambda: running.value) == outcome(lambda: sum(items[: n + 1]))


EXACT = st.one_of(st.integers(-(10**6), 10**6), st.fractions(max_denominator=50))
ANY = st.one_of(EXACT, st.floats(-1e6, 1e6, allow_nan=False))


@given(EXACT, EXACT, EXACT.filter(bool))
def test_a_share_of_exact_kinds_is_exact(amount, part, whole):
    got = share(amount, part, whole)
    assert got == Fraction(amount) * Fraction(part) / Fraction(whole)
    all_ints = all(type(x) is int for x in (amount, part, whole))
    assert type(got) is (int if all_ints and got.denominator == 1 else Fraction)


@given(ANY, ANY, ANY.filter(bool))
def test_a_share_with_a_float_is_pythons_own_expression(amount, part, whole):
    if any(type(x) is float for x in (amount, part, whole)):
        expected = amount * part / whole
        got = share(amount, part, whole)
        assert type(got) is type(expected) and (got == expected or got != got)
