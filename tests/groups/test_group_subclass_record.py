"""PositionGroup as a base class: the constructor path, the post-construction
hooks and copying of subclasses, and the record's lifetime."""
import copy
import gc
import pickle
import weakref

import pytest

from marlovent import ordermgr as om
from groups_helpers import position
from support import assert_flat_memory


class Named(om.PositionGroup):
    """A subclass with an instance dict and its own constructor."""

    def __init__(self, name, *members):
        super().__init__(set(members))
        self.name = name


def test_subclass_constructor_and_fields():
    p = position("A", (1, 1.0))
    g = Named("bag", p)
    assert (g.name, g.positions, g.key) == ("bag", {p}, None)
    g.add(p)
    assert len(g.key) == 4
    # Equality and repr see the record's fields only, not the instance dict.
    other = Named("other", p)
    other.add(p)
    assert g == other and g != om.PositionGroup({p}, g.key)
    assert repr(Named("x")) == "Named(positions=set(), key=None)"
    # __init__ run again rebinds the fields from its arguments.
    om.PositionGroup.__init__(g, key="k")
    assert (g.positions, g.key) == (set(), "k")


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda x: pickle.loads(pickle.dumps(x))])
def test_subclass_copies(clone):
    g = Slotted({position("A", (1, 1.0))}, "k")
    c = clone(g)
    assert type(c) is Slotted and c == g and c is not g


class Slotted(om.PositionGroup):
    __slots__ = ()


def test_new_without_init_then_setstate():
    g = om.PositionGroup.__new__(om.PositionGroup)
    with pytest.raises(AttributeError):
        g.positions
    g.__setstate__(({1}, "k"))
    assert (g.positions, g.key) == ({1}, "k")
    with pytest.raises(ValueError):
        g.__setstate__((set(),))


def test_cycles_through_a_subclass_dict_are_collected():
    g = Named("cyclic")
    g.me = g
    g.key = [Slotted(key=g)]
    ref = weakref.ref(g)
    del g
    gc.collect()
    assert ref() is None


def test_constructions_do_not_leak():
    members = set()

    def work(n):
        for _ in range(n):
            om.PositionGroup()
            om.PositionGroup(members, "k")
            Slotted(key=None)

    assert_flat_memory(work, 100_000, warmup=2000)
