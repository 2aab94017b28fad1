"""The same portfolio prints the same text in every process; read-only
commands create nothing; library refusals are one line."""

import json
import re

import pytest

from cli_support import FILLS_DAY, HEADER, requires_store

COMMANDS = [
    ("positions",),
    ("positions", "--json"),
    ("report", "--json"),
    ("spreads",),
    ("spreads", "--json"),
    ("orders",),
    ("orders", "--json"),
    ("orders", "--order-id", "IC3001"),
    ("debug",),
    ("debug", "--json"),
    ("health",),
    ("pnl", "--json"),
    ("export",),
]
AGE = re.compile(r"(Age: |\"age\": ).*")


def unaged(text):
    # Ages count from the moment the report is built.
    return AGE.sub("", text)


@requires_store
def test_every_command_prints_the_same_text_whatever_the_hash_seed(tool):
    assert tool("import", str(FILLS_DAY)).returncode == 0
    for args in COMMANDS:
        a, b = (tool(*args, env={"PYTHONHASHSEED": seed}) for seed in ("1", "4242"))
        assert a.returncode == b.returncode == 0, (args, a.stderr)
        assert unaged(a.stdout) == unaged(b.stdout), args


@requires_store
def test_groups_and_legs_follow_the_key_text(tool):
    assert tool("import", str(FILLS_DAY)).returncode == 0
    groups = json.loads(tool("orders", "--json").stdout)
    legs = [g["legs"] for g in groups]
    assert all(lg == sorted(lg) for lg in legs) and legs == sorted(legs)
    iron = next(g for g in groups if len(g["legs"]) == 4)
    assert iron["open"] == " ".join(f"{side} 1 {k}" for side, k in zip(("SELL", "BUY", "BUY", "SELL"), iron["legs"]))
    spreads = json.loads(tool("spreads", "--json").stdout)
    assert [s["keys"] for s in spreads["spreads"]] == [lg for lg in legs if len(lg) > 1]
    assert len(spreads["single_positions"]) == 12
    text = tool("orders").stdout
    assert "Group " + ", ".join(iron["legs"]) + "\n" in text


@pytest.mark.parametrize("args", [("positions",), ("pnl",), ("orders", "--json"), ("analyze", "X"), ("clear", "--yes"), ("export",)])
def test_a_read_only_command_on_a_missing_portfolio_creates_nothing(tool, write, args):
    r = tool("--portfolio", "typo-name", *args)
    assert r.returncode == 1 and "no portfolio 'Typo-Name'" in r.stderr and "import" in r.stderr
    assert not tool.data_dir.exists()
    assert tool("import", write("a.csv", HEADER + "A,1,10,5,,2024-03-05T09:30:00Z\n")).returncode == 0
    assert tool("--portfolio", "my book", "import", write("b.csv", HEADER + "B,1,10,5,,2024-03-05T09:30:00Z\n")).returncode == 0
    before = sorted(p.name for p in tool.data_dir.iterdir())
    r = tool("--portfolio", "typo-name", *args)
    assert r.returncode == 1 and "the portfolios there are: Default, My-Book" in r.stderr
    assert sorted(p.name for p in tool.data_dir.iterdir()) == before


@requires_store
def test_fractional_legs_are_one_line_not_an_assertion(tool, write):
    assert tool("import", write("r.csv", HEADER + "A,1,5.0,10,,\nB,1,2.0,-15,,\nC,2,1.0,3,,\n")).returncode == 0
    for flags in ([], ["-O"]):
        r = tool("orders", python_flags=flags)
        assert r.returncode == 1
        (line,) = r.stderr.splitlines()
        assert line.startswith("ordermgr: group of A, B: no order lines: the legs (A 10, B -15)") and "Assertion" not in line
        assert r.stdout.startswith("Group C\n")


def test_the_tool_keeps_the_library_layout(om, mgr):
    """Where the library's own order is already the key order (small int keys
    stored in ascending order), the tool's spreads and debug texts are the
    library's, line for line."""
    from marlovent._cli.groups import distinct_groups
    from marlovent._cli.portfolio import Portfolio
    from marlovent._cli.reports import debug_text, spread_lines
    from marlovent._cli.tables import held_positions, portfolio_report, position_table
    from marlovent.ledger import Ledger

    fills = [(1, "a", 5.0, 10), (2, "a", 2.0, -20), (3, "b", 7.5, 3), (4, "c", 1.25, -4), (5, "c", 1.0, 8), (6, "c", 3.0, 4), (7, "d", 9.0, 1)]
    for key, oid, price, qty in fills:
        mgr.add_trade(key, om.Trade(oid, price, qty, 0.5))
    groups = distinct_groups(mgr.position_groups())
    assert "\n".join(spread_lines(groups)) == mgr.spread_report()
    # Dollar instruments of multiplier 1: the tool's table and report are the library's.
    held = held_positions(Portfolio("test book", "", mgr, Ledger(mgr)))
    table, report = position_table(held, False), portfolio_report(held, 0.1)
    assert table == mgr.position_table() and AGE.sub("", report) == AGE.sub("", mgr.portfolio_report())
    assert AGE.sub("", debug_text(mgr, groups, table, report)) == AGE.sub("", mgr.debug_summary())
    mgr.clear()
    assert spread_lines(distinct_groups(mgr.position_groups())) == [mgr.spread_report()]
