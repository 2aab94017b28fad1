import os
import subprocess
import sys

import pytest

from marlovent import ordermgr as om
from groups_helpers import LEG1, LEG2, T0, Leg, group, position


@pytest.fixture
def spread():
    return group(position(LEG1, (10, 5.0)), position(LEG2, (-10, 2.0)))


@pytest.fixture
def short_spread():
    return group(position(LEG1, (-10, 5.0)), position(LEG2, (10, 2.0)))


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda g: g.open(), "BUY 1 LEG1 SELL 1 LEG2"),
        (lambda g: g.close(), "SELL 1 LEG1 BUY 1 LEG2"),
        (lambda g: g.start(), "buy 'BUY 1 LEG1 SELL 1 LEG2' 1 LIM @ 3.3"),
        (lambda g: g.stop(), "buy 'BUY 1 LEG1 SELL 1 LEG2' -10 LIM @ 2.7"),
        (lambda g: g.stop(0.2), "buy 'BUY 1 LEG1 SELL 1 LEG2' -10 LIM @ 2.4"),
        (lambda g: g.stop(stopPct=0.2, algo="MKT"), "buy 'BUY 1 LEG1 SELL 1 LEG2' -10 MKT @ 2.4"),
        (lambda g: g.generateOrderDesc("OPEN"), "BUY 1 LEG1 SELL 1 LEG2"),
        (lambda g: g.generateOrderDesc("open"), "SELL 1 LEG1 BUY 1 LEG2"),
        (lambda g: g.generateOrderDesc(openclose=None), "SELL 1 LEG1 BUY 1 LEG2"),
        (lambda g: g.open(1, "x", None), "BUY 1 LEG1 SELL 1 LEG2"),
        (lambda g: g.close(1, 2, 3), "SELL 1 LEG1 BUY 1 LEG2"),
    ],
)
def test_long_spread(spread, call, expected):
    assert call(spread) == expected


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda g: g.open(), "SELL 1 LEG1 BUY 1 LEG2"),
        (lambda g: g.stop(), "buy 'SELL 1 LEG1 BUY 1 LEG2' 10 LIM @ 3.3"),
        (lambda g: g.start(), "buy 'SELL 1 LEG1 BUY 1 LEG2' -1 LIM @ 2.7"),
    ],
)
def test_short_spread(short_spread, call, expected):
    assert call(short_spread) == expected


def test_ratio_spread():
    assert group(position(LEG1, (10, 5.0)), position(LEG2, (-20, 2.0))).open() == "BUY 1 LEG1 SELL 2 LEG2"


def test_float_legs_equal_to_integers():
    g = group(position(LEG1, (10.0, 5.0)), position(LEG2, (-20.0, 2.0)))
    assert g.open() == "BUY 1 LEG1 SELL 2 LEG2"
    assert g.stop().startswith("buy 'BUY 1 LEG1 SELL 2 LEG2' -10 LIM @ ")


def test_fractional_group_size():
    g = group(position(LEG1, (2.5, 5.0)), position(LEG2, (-2.5, 2.0)))
    assert g.open() == "BUY 1 LEG1 SELL 1 LEG2"
    assert g.stop() == "buy 'BUY 1 LEG1 SELL 1 LEG2' -2.5 LIM @ 2.7"


def test_single_short_member():
    g = group(position("XYZ", (-5, 10.0)))
    assert g.open() == "SELL 1 XYZ"
    assert g.stop() == "buy 'SELL 1 XYZ' 5 LIM @ 11.0"


@pytest.mark.parametrize("key, text", [(42, "42"), (("SPY", 1), "('SPY', 1)"), ("A B 'c'", "A B 'c'"), (1.5, "1.5")])
def test_keys_in_default_string_form(key, text):
    assert group(position(key, (3, 1.0))).open() == f"BUY 1 {text}"


def test_legs_follow_set_iteration_order():
    g = group(position("A", (1, 1.0)), position("B", (-1, 1.0)), position("C", (2, 1.0)))
    expected = " ".join(f"{'BUY' if p.qty > 0 else 'SELL'} {abs(int(p.qty))} {p.key}" for p in g.positions)
    assert g.open() == expected


def test_fractional_ratio_asserts():
    g = group(position(LEG1, (10, 5.0)), position(LEG2, (15, 2.0)))
    with pytest.raises(AssertionError) as err:
        g.open()
    assert str(err.value) == "How did you end up with a fractional position ratio? ratio=1.5 = p.qty=15 / selfsize=10"


def test_fractional_ratio_without_assertions():
    here = os.path.dirname(__file__)
    code = (
        "import sys; sys.path.insert(0, %r)\n"
        "from groups_helpers import LEG1, LEG2, group, position\n"
        "g = group(position(LEG1, (10, 5.0)), position(LEG2, (15, 2.0)))\n"
        "print(g.open())\n" % here
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "BUY 1 LEG1 BUY 1 LEG2"


def flat_member_group():
    flat = om.Position("Z", {"a": om.Trade("a", 1.0, 5, 0.0, T0), "b": om.Trade("b", 1.0, -5, 0.0, T0)})
    return group(flat, position("A", (1, 1.0)))


@pytest.mark.parametrize("call", [lambda g: g.open(), lambda g: g.close(), lambda g: g.generateOrderDesc("OPEN")])
def test_zero_size_leg_list(call):
    with pytest.raises(ValueError, match="^Cannot generate order description for position group with zero quantity$"):
        call(flat_member_group())


@pytest.mark.parametrize("call", [lambda g: g.start(), lambda g: g.stop()])
def test_zero_size_order_line(call):
    with pytest.raises(ZeroDivisionError):
        call(flat_member_group())


class Text(str):
    pass


@pytest.mark.parametrize("algo, name", [(None, "NoneType"), (Text("LIM"), "Text"), (5, "int"), (b"LIM", "bytes")])
@pytest.mark.parametrize("method", ["start", "stop"])
def test_algo_must_be_exactly_str(algo, name, method):
    g = om.PositionGroup()  # empty: the check comes before anything is computed
    with pytest.raises(TypeError) as err:
        getattr(g, method)(0.1, algo)
    assert str(err.value) == f"Argument 'algo' has incorrect type (expected str, got {name})"


class AsFloat:
    def __float__(self):
        return 0.2


@pytest.mark.parametrize("method", ["start", "stop"])
def test_stop_pct_conversion(spread, method):
    with pytest.raises(TypeError, match="must be real number, not str"):
        getattr(om.PositionGroup(), method)("0.1")
    assert getattr(spread, method)(AsFloat()) == getattr(spread, method)(0.2)
    assert getattr(spread, method)(0) == getattr(spread, method)(0.0)


def test_stop_pct_above_one_gives_negative_price(spread):
    assert spread.stop(1.5) == "buy 'BUY 1 LEG1 SELL 1 LEG2' -10 LIM @ -1.5"


def test_order_lines_leave_group_unchanged(spread):
    before = (set(spread.positions), spread.key)
    spread.start(), spread.stop(), spread.open(), spread.close()
    assert (set(spread.positions), spread.key) == before


def test_is_long_read_before_qty_per_leg():
    log = []

    class Logged(om.Position):
        __slots__ = ()

        @property
        def is_long(self):
            log.append(("is_long", str(self.key)))
            return super().is_long

        @property
        def qty(self):
            log.append(("qty", str(self.key)))
            return super().qty

    a, b = Logged(Leg("LEG1", 1)), Logged(Leg("LEG2", 2))
    a.add_trade(om.Trade("a", 5.0, 10))
    b.add_trade(om.Trade("b", 2.0, -10))
    g = om.PositionGroup({a, b})
    log.clear()
    assert g.generateOrderDesc("OPEN") == "BUY 1 LEG1 SELL 1 LEG2"
    legs = log[2:]  # after the group size was read; is_long itself reads qty
    assert legs == [("is_long", "LEG1"), ("qty", "LEG1"), ("qty", "LEG1"),
                    ("is_long", "LEG2"), ("qty", "LEG2"), ("qty", "LEG2")]
