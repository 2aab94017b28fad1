"""The whole library API, type-checked: ``mypy --strict examples/typed_usage.py``.

Also runnable (``python examples/typed_usage.py``): it works in a scratch
portfolio that is removed at the end.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import os
import tempfile

from marlovent.ordermgr import (
    DataValidator,
    Key,
    OrderMgr,
    Position,
    PositionAnalysis,
    PositionCalculations,
    PositionGroup,
    PositionSummary,
    Price,
    SystemDiagnostics,
    SystemHealthReport,
    SystemReporter,
    Trade,
    TradeFlowEntry,
    ValidationResult,
)

UTC = dt.timezone.utc
OPEN = dt.datetime(2024, 3, 5, 14, 30, tzinfo=UTC)


def at(minutes: int) -> dt.datetime:
    return OPEN + dt.timedelta(minutes=minutes)


def model() -> None:
    buy = Trade("1001", 187.5, 100, 1.0, at(0))
    sell = Trade(orderid="1002", price=188.25, qty=-40, commission=1.0, timestamp=at(5))
    unit_cost: float = buy.average_price
    pos = Position("AAPL")
    recorded: bool = pos.add_trade(buy)
    pos.add_trade(sell)
    pos.add_commission("1001", 1.25)
    started: dt.datetime = pos.started
    print(recorded, unit_cost, pos.qty, pos.empty, pos.is_long, pos.average_price, pos.total_commission, started)
    print(sorted(str(o) for o in pos.orderids))

    summary = PositionSummary(60, 187.6, 168.84, 2.25, started, marketPrice=189.0)
    profit: Price | None = summary.profit
    print(summary.is_long, summary.stopPct, summary.stopPts, profit, summary.age >= dt.timedelta(0))

    a, b = Position("SPY C510"), Position("SPY C515")
    a.add_trade(Trade("V1", 5.0, 10, 1.0, at(1)))
    b.add_trade(Trade("V1", 2.0, -10, 1.0, at(1)))
    group = PositionGroup()
    group.add(a)
    group.add(b)
    group.updatekey()
    keys: set[Key] = group.keys
    print(group.key, sorted(map(str, keys)), group.orderids, group.qty, group.started)
    print(group.average_price, group.total_commission, group.is_long)

    def fetch(key: Key) -> float:
        return {"SPY C510": 6.0, "SPY C515": 2.5}.get(str(key), float("nan"))

    print(group.summary(0.1, fetch).stop, group.summary(stopPct=0.2).stop)
    print(group.generateOrderDesc("OPEN"), "|", group.open(), "|", group.close())
    print(group.start(), "|", group.stop(0.1, "LIM"))

    # Dataclass interop: the records work with the dataclasses functions.
    moved = dataclasses.replace(buy, qty=50)
    print(dataclasses.asdict(moved)["qty"], dataclasses.astuple(summary)[0], len(dataclasses.fields(group)))


def portfolio() -> None:
    with OrderMgr.temp("typed usage") as mgr:
        assert isinstance(mgr, OrderMgr)
        mgr.add_trade("AAPL", Trade("1001", 187.5, 100, 1.0, at(0)))
        mgr.add_trade("SPY C510", Trade("V1", 5.0, 10, 1.0, at(1)))
        mgr.add_trade("SPY C515", Trade("V1", 2.0, -10, 1.0, at(1)))
        mgr.update_commission("AAPL", "1001", 1.5)
        pos: Position = mgr.positions["AAPL"]
        print(mgr.namespace, len(mgr.positions), pos.qty)

        one: PositionSummary = mgr.get_position_summary("AAPL", 0.05)
        by_order: PositionSummary | None = mgr.get_position_summary_by_order("V1")
        every: dict[str, PositionSummary] = mgr.get_portfolio_summary(stopPct=0.1)
        groups: dict[Key, PositionGroup] = mgr.position_groups()
        only: dict[Key, PositionGroup] = mgr.position_groups("V1")
        print(one.stop, by_order is not None, list(every), len(groups), len(only))

        health: SystemHealthReport = mgr.health_check()
        results: list[ValidationResult] = mgr.validate_consistency()
        analysis: PositionAnalysis | None = mgr.analyze_position("AAPL")
        print(health.status, health.total_positions, health.total_trades, health.warnings, health.errors)
        print([(r.position_key, r.is_valid, r.errors) for r in results])
        if analysis is not None:
            flow: list[TradeFlowEntry] = analysis.trade_flow
            calc: PositionCalculations = analysis.calculations
            print(analysis.key, analysis.qty, [e.running_avg for e in flow], calc.qty_matches)
            print(analysis.consistency_errors, analysis.started, analysis.empty)

        text: list[str] = [mgr.position_table(), mgr.portfolio_report(0.1), mgr.spread_report(), mgr.debug_summary()]
        print(sum(len(t) for t in text) > 0)

        diagnostics = SystemDiagnostics(mgr)
        print(diagnostics.health_check() == health, diagnostics._check_data_consistency())
        print(diagnostics._check_mathematical_consistency(), diagnostics.analyze_position("missing"))
        reporter = SystemReporter(order_mgr=mgr)
        print(reporter.position_table() == text[0], len(reporter.position_summary(stopPct=0.1)) > 0)
        print(reporter.spread_analysis() == text[2])

        print(DataValidator.validate_trade(Trade(0, 1.0, 0)))
        print(DataValidator.validate_position_consistency(pos))
        print(DataValidator.validate_position_summary_consistency(one))
        print(len(DataValidator.validate_system_consistency(mgr)))
        result = ValidationResult("AAPL", [], False)
        result.__post_init__()
        print(result.is_valid, SystemHealthReport("healthy", 0, 0, [], [], []))
        mgr.clear()


if __name__ == "__main__":
    os.environ.setdefault("QUENTARIS_DATA_DIR", tempfile.mkdtemp(prefix="marlovent-typed-"))
    model()
    portfolio()
