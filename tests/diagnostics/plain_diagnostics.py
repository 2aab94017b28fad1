"""The validator, the health check and the replay written in plain Python.

The oracle of the property tests and the baseline of bench/bench_reports.py.
"""
from dataclasses import dataclass
from typing import Literal

from numeric_kinds import as_double


def validate_trade(t):
    errors = []
    if t.price < 0:
        errors.append(f"Trade price {t.price} is negative (not allowed)")
    if t.commission < 0:
        errors.append(f"Trade commission {t.commission} is negative (unusual)")
    if t.qty == 0:
        errors.append("Trade quantity is zero (may indicate data error)")
    if not t.orderid:
        errors.append("Trade orderid is empty/None")
    return errors


def validate_position(p):
    errors = []
    calculated_qty = sum(t.qty for t in p.trades.values())
    if abs(calculated_qty - p.qty) > 0.001:
        errors.append(f"Position qty mismatch: calculated {calculated_qty}, actual {p.qty}")
    expected_is_long = p.qty > 0
    if p.is_long != expected_is_long:
        errors.append(f"Position is_long inconsistency: is_long={p.is_long}, qty={p.qty} "
                      f"(expected is_long={expected_is_long})")
    if p.average_price < 0:
        errors.append(f"Position average_price {p.average_price} is negative "
                      "(should always be positive in Position class)")
    for orderid, t in p.trades.items():
        errors.extend(f"Trade {orderid}: {m}" for m in validate_trade(t))
    return errors


@dataclass
class ValidationResult:
    position_key: str
    errors: list
    is_valid: bool

    def __post_init__(self):
        self.is_valid = len(self.errors) == 0


def validate_system(mgr):
    results = []
    for key, p in mgr.positions.items():
        errors = validate_position(p)
        results.append(ValidationResult(position_key=str(key), errors=errors, is_valid=len(errors) == 0))
    return results


def check_data(mgr):
    out = []
    for key, p in mgr.positions.items():
        expected_is_long = p.qty > 0
        actual_is_long = p.is_long
        if expected_is_long != actual_is_long:
            out.append(f"Position {key}: is_long={actual_is_long} but qty={p.qty} (expected is_long={expected_is_long})")
        if p.average_price < 0:
            out.append(f"Position {key}: average_price={p.average_price} is negative (should always be positive)")
        for orderid, t in p.trades.items():
            if t.price < 0:
                out.append(f"Position {key}, Trade {orderid}: price={t.price} is negative (not allowed)")
    return out


def check_math(mgr):
    out = []
    for key, p in mgr.positions.items():
        if not p.trades:
            continue
        pq = sum(t.price * t.qty + (t.commission if t.qty > 0 else -t.commission) for t in p.trades.values())
        tq = sum(t.qty for t in p.trades.values())
        expected = pq / tq if tq != 0 else pq / 1
        if abs(p.average_price - expected) > 0.001:
            out.append(f"Position {key}: average_price calculation mismatch (got {p.average_price}, expected {expected})")
    return out


@dataclass
class HealthReport:
    status: Literal["healthy", "warnings", "errors"]
    total_positions: int
    total_trades: int
    warnings: list
    errors: list
    violations: list


def health_check(mgr):
    positions = list(mgr.positions.values())
    total_trades = sum(len(p.trades) for p in positions)
    warnings, errors = [], []
    violations = check_data(mgr)
    warnings.extend(violations)
    warnings.extend(check_math(mgr))
    status = "errors" if errors else "warnings" if warnings else "healthy"
    return HealthReport(status, len(positions), total_trades, warnings, errors, violations)


def replay(p):
    """(running_qty, running_cost, running_avg) after each trade, in time order."""
    running_qty = running_cost = 0.0
    rows = []
    for t in sorted(p.trades.values(), key=lambda t: t.timestamp):
        running_qty = as_double(running_qty + t.qty)
        running_cost = as_double(running_cost + (t.price * t.qty + (t.commission if t.qty > 0 else -t.commission)))
        rows.append((running_qty, running_cost, running_cost / (running_qty if running_qty != 0 else 1.0)))
    return rows


def calculations(p, rows):
    """The PositionCalculations fields after the replay rows of `p`."""
    running_qty, running_cost, _ = rows[-1] if rows else (0.0, 0.0, 0.0)
    final_avg = running_cost / (running_qty if running_qty != 0 else 1.0)
    return (running_qty, running_cost, final_avg, p.qty, p.average_price,
            bool(abs(running_qty - p.qty) < 0.001), bool(abs(final_avg - p.average_price) < 0.001))
