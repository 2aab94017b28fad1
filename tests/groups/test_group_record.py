import copy
import gc
import pickle
import sys

import pytest

from marlovent import ordermgr as om
from groups_helpers import LEG1, LEG2, group, position
from support import assert_flat_memory


def test_constructor_forms():
    members = {position("A", (1, 1.0))}
    g = om.PositionGroup(members)
    assert g.positions is members and g.key is None
    assert om.PositionGroup(positions=members, key="k").key == "k"
    assert om.PositionGroup(members, "k") == om.PositionGroup(positions=members, key="k")
    a, b = om.PositionGroup(), om.PositionGroup()
    assert a.positions == set() and a.positions is not b.positions and type(a.positions) is set


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((set(), None, 3), {}, "PositionGroup.__init__() takes from 1 to 3 positional arguments but 4 were given"),
        ((), {"members": set()}, "PositionGroup.__init__() got an unexpected keyword argument 'members'"),
        ((set(),), {"positions": set()}, "PositionGroup.__init__() got multiple values for argument 'positions'"),
    ],
)
def test_constructor_errors_like_the_host(args, kwargs, message):
    with pytest.raises(TypeError) as err:
        om.PositionGroup(*args, **kwargs)
    assert str(err.value) == message


def test_equality_repr_and_hash():
    p = position("A", (1, 1.0))
    g1, g2 = om.PositionGroup({p}, "k"), om.PositionGroup({p}, "k")
    assert g1 == g2 and not (g1 != g2)
    assert g1 != om.PositionGroup({p}, "other")
    assert g1 != "PositionGroup" and (g1 == object()) is False

    class Sub(om.PositionGroup):
        pass

    assert Sub({p}, "k") != g1
    assert repr(om.PositionGroup()) == "PositionGroup(positions=set(), key=None)"
    assert repr(g1) == f"PositionGroup(positions={{{p!r}}}, key='k')"
    with pytest.raises(TypeError, match="unhashable"):
        hash(g1)
    with pytest.raises(TypeError):
        {g1}


def test_recursive_repr():
    g = om.PositionGroup()
    g.key = [g]
    assert repr(g) == "PositionGroup(positions=set(), key=[...])"


def test_slots_and_read_only_properties():
    g = group(position("A", (1, 1.0)))
    assert om.PositionGroup.__slots__ == ("positions", "key")
    assert om.PositionGroup.__match_args__ == ("positions", "key")
    with pytest.raises(AttributeError):
        g.other = 1
    for name in ("keys", "orderids", "qty", "started", "average_price", "total_commission", "is_long"):
        with pytest.raises(AttributeError):
            setattr(g, name, 1)
    g.key = "mine"
    g.positions = set()
    assert g.key == "mine" and g.positions == set()


def test_match_statement():
    match om.PositionGroup(set(), "k"):
        case om.PositionGroup(members, key):
            assert members == set() and key == "k"


def test_docstrings():
    assert om.PositionGroup.__doc__.startswith("A holder for positions all trading together as a bag/spread.")
    assert om.PositionGroup.keys.__doc__ == "Return a set of position keys for all positions in this group."
    assert om.PositionGroup.average_price.__doc__ == (
        "Generate average price across ALL members by re-running the math for each trade in each position.")
    for name, text in [
        ("updatekey", "Create a simple way to identify this combination of orders using a short string."),
        ("summary", "Generate collective metrics across all positions in the group as one quantity."),
        ("generateOrderDesc", "Generate an open or close order description (assuming the position key is "
                              "something you can use to order again)"),
    ]:
        assert getattr(om.PositionGroup, name).__doc__.endswith(text)


def pickled(x):
    return pickle.loads(pickle.dumps(x))


@pytest.mark.parametrize("clone", [pickled, copy.copy, copy.deepcopy])
def test_copies(clone):
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))
    c = clone(g)
    assert c == g and c is not g and type(c) is om.PositionGroup
    assert c.open() == g.open() or sorted(c.open().split()) == sorted(g.open().split())
    if clone is copy.copy:
        assert c.positions is g.positions


def test_gc_collects_a_cycle():
    collected = []

    class Canary:
        def __del__(self):
            collected.append(True)

    g = group(position("A", (1, 1.0)))
    assert gc.is_tracked(g)
    g.key = [g, Canary()]
    del g
    gc.collect()
    assert collected == [True]


def test_reference_counts_unchanged_by_reads():
    p = position("A", (1, 1.0))
    members = {p}
    g = om.PositionGroup(members, "k")
    before = sys.getrefcount(members), sys.getrefcount(p)
    for _ in range(100):
        repr(g), g == om.PositionGroup(members, "k"), g.qty, g.keys, g.orderids, g.average_price
        g.summary(), g.open(), g.stop(), pickle.dumps(g)
    assert (sys.getrefcount(members), sys.getrefcount(p)) == before


def test_calling_methods_with_a_foreign_self():
    with pytest.raises(TypeError):
        om.PositionGroup.open(object())
    with pytest.raises(TypeError):
        om.PositionGroup.__eq__(1, 1)
    with pytest.raises(TypeError):
        om.PositionGroup.qty.__get__("x")


class TestSubclassOverrides:
    def test_group_property_overrides_are_used(self):
        class Fixed(om.PositionGroup):
            __slots__ = ()

            @property
            def qty(self):
                return 5

        g = Fixed()
        g.add(position(LEG1, (10, 5.0)))
        g.add(position(LEG2, (-10, 2.0)))
        assert g.average_price == (25.0 - 10.0) / 5  # only 5 units per leg costed
        assert g.summary().qty == 5
        assert g.stop() == "buy 'BUY 2 LEG1 SELL 2 LEG2' -5 LIM @ 2.7"

    def test_generate_override_feeds_open_close_and_order_lines(self):
        class Custom(om.PositionGroup):
            __slots__ = ()

            def generateOrderDesc(self, openclose):
                return f"<{openclose}>"

        g = Custom()
        g.add(position(LEG1, (10, 5.0)))
        assert (g.open(), g.close()) == ("<OPEN>", "<CLOSE>")
        assert g.start() == "buy '<OPEN>' 1 LIM @ 5.5"

    def test_updatekey_and_positions_overrides(self):
        calls = []

        class Keyed(om.PositionGroup):
            def updatekey(self):
                calls.append(len(self.positions))
                self.key = "custom"

        g = Keyed()
        g.add(position("A", (1, 1.0)))
        assert g.key == "custom" and calls == [1]

    def test_member_subclass_overrides(self):
        class Half(om.Position):
            __slots__ = ()

            @property
            def qty(self):
                return 2

        p = Half("H")
        p.add_trade(om.Trade("h", 3.0, 4))
        g = group(p)
        assert g.qty == 2 and g.average_price == 3.0


def test_no_growth_over_many_operations():
    a, b = position(LEG1, (10, 5.0, 1.0)), position(LEG2, (-10, 2.0, 1.0))
    prices = {"LEG1": 6.0, "LEG2": 2.5}

    def work(n):
        for _ in range(n):
            g = om.PositionGroup()
            g.add(a)
            g.add(b)
            g.summary(0.1, lambda k: prices[str(k)]), g.start(), g.stop(), g.keys, g.orderids
            repr(g), pickle.loads(pickle.dumps(g)) == g
            try:
                om.PositionGroup().summary()
            except ValueError:
                pass

    assert_flat_memory(work, 5000)
