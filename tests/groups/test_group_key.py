import os
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

from marlovent import ordermgr as om
from groups_helpers import group, position
from groups_reference import ref_key

KEY = re.compile(r"^[A-Za-z0-9_-]{4}$")


def test_add_sets_a_four_character_key():
    g = om.PositionGroup()
    p = position("AAPL", (1, 1.0))
    g.add(p)
    assert KEY.match(g.key)
    first = g.key
    members = set(g.positions)
    g.add(p)  # the same position again: set unchanged, key recomputed alike
    assert g.positions == members and len(g.positions) == 1
    assert g.key == first


def test_constructor_does_not_compute_key():
    p = position("A", (1, 1.0))
    g = om.PositionGroup({p})
    assert g.key is None
    g.updatekey()
    assert g.key == ref_key(g.positions)
    assert om.PositionGroup({p}, "mine").key == "mine"


def test_key_of_empty_group():
    g = om.PositionGroup()
    g.updatekey()
    assert g.key == ref_key(set()) and KEY.match(g.key)


class Unprintable:
    def __hash__(self):
        return 1

    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("bad_key, error", [(Unprintable(), RuntimeError)])
def test_failed_update_keeps_previous_key(bad_key, error):
    g = group(position("A", (1, 1.0)))
    before = g.key
    with pytest.raises(error):
        g.add(position(bad_key, (1, 1.0)))
    assert g.key == before


def test_unhashable_member_key():
    g = om.PositionGroup({position("A", (1, 1.0))}, "old")
    p = om.Position(["list"])  # unhashable key: the set refuses the member
    with pytest.raises(TypeError):
        g.add(p)
    assert g.key == "old"


keys = st.one_of(
    st.text(max_size=6),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=False),
    st.tuples(st.text(max_size=3), st.integers(0, 9)),
    st.sampled_from(["1", 1, 1.0, "(1, 2)", (1, 2)]),  # equal string forms keep set order
)


@settings(max_examples=300, deadline=None)
@given(st.lists(keys, min_size=1, max_size=8))
def test_key_matches_plain_python(member_keys):
    g = om.PositionGroup()
    for k in member_keys:
        g.add(position(k, (1, 1.0)))
    assert g.key == ref_key(g.positions)
    assert KEY.match(g.key)


@pytest.mark.parametrize("seed", ["0", "1", "12345"])
def test_key_in_a_fresh_process(seed):
    """Same formula under another hash seed (string hashing is randomised)."""
    code = (
        "import sys; sys.path.insert(0, %r)\n"
        "from marlovent import ordermgr as om\n"
        "from groups_reference import ref_key\n"
        "g = om.PositionGroup()\n"
        "for k in ['SPY', 'QQQ', ('C', 1), 42]:\n"
        "    p = om.Position(k); p.add_trade(om.Trade(str(k), 1.0, 1)); g.add(p)\n"
        "assert g.key == ref_key(g.positions), (g.key, ref_key(g.positions))\n"
        "print(g.key)\n" % os.path.dirname(__file__)
    )
    out = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONHASHSEED": seed}, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert KEY.match(out.stdout.strip())


def test_replaced_base64_module_is_used(monkeypatch):
    calls = []

    class FakeBase64:
        @staticmethod
        def urlsafe_b64encode(raw):
            calls.append(raw)
            return b"ZZZZ"

    monkeypatch.setattr(om, "base64", FakeBase64)
    g = group(position("A", (1, 1.0)))
    assert g.key == "ZZZZ"
    assert len(calls) == 1 and len(calls[0]) == 3
