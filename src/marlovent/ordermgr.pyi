"""Cost-basis tracking of a trading portfolio (native module).

Trade: one executed fill. Position: the trade book of one instrument.
PositionSummary: the display form with a stop. PositionGroup: the legs of a
spread valued and re-traded as one unit. OrderMgr: a persistent portfolio.
"""

import base64 as base64
import datetime as datetime
import os as os
from collections.abc import Callable as Callable
from collections.abc import Hashable as Hashable
from collections.abc import MutableMapping as MutableMapping
from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager
from dataclasses import Field
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import Any as Any
from typing import ClassVar
from typing import Literal as Literal
from typing import Self
from typing import TypeAlias as TypeAlias

from typing_extensions import disjoint_base
from zelph.dualcache import DualCache as DualCache

OrderId: TypeAlias = Hashable
Key: TypeAlias = Hashable
Price: TypeAlias = float
Qty: TypeAlias = float | int
Percent: TypeAlias = float

class PositionSummary:
    """Display summary of a position or a position group: positive quantity,
    average price signed by direction, stop price; derives stopPct, profit,
    stopPts and age at construction."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("qty", "average_price", "stop", "total_commission", "started", "marketPrice")
    qty: Qty
    average_price: Price
    stop: Price
    total_commission: Price
    stopPct: Percent
    started: datetime.datetime
    marketPrice: Price | None
    profit: Price | None
    stopPts: Price
    age: datetime.timedelta
    def __init__(
        self,
        qty: Qty,
        average_price: Price,
        stop: Price,
        total_commission: Price,
        started: datetime.datetime,
        marketPrice: Price | None = None,
    ) -> None: ...
    @property
    def is_long(self) -> bool:
        """Whether the average price is above zero."""
    def __post_init__(self) -> None:
        """Derive stopPct, stopPts, profit and age from the fields."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Trade:
    """One executed fill of one instrument: the price is never negative, the
    sign of qty gives the side (positive buy, negative sell)."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("orderid", "price", "qty", "commission", "timestamp")
    orderid: OrderId
    price: Price
    qty: Qty
    commission: Price
    timestamp: datetime.datetime
    def __init__(
        self,
        orderid: OrderId,
        price: Price = 0.0,
        qty: Qty = 0,
        commission: Price = 0.0,
        timestamp: datetime.datetime = ...,
    ) -> None: ...
    @property
    def average_price(self) -> float:
        """Per-unit price of this fill with the commission folded in."""
    def __post_init__(self) -> None:
        """Reject a negative price."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class Position:
    """The trade book of one instrument: trades by order id, net signed
    quantity, commission-inclusive average price; empties itself when the
    quantity reaches exactly zero."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("key", "trades")
    key: Key
    trades: dict[OrderId, Trade]
    def __init__(self, key: Key, trades: dict[OrderId, Trade] = ...) -> None: ...
    def add_trade(self, trade: Trade) -> bool:
        """Record a trade unless its order id is already present; empty the book when it goes flat."""
    def add_commission(self, orderid: OrderId, commission: Price) -> None:
        """Replace the commission of the stored trade with that order id."""
    @property
    def started(self) -> datetime.datetime:
        """Earliest trade timestamp."""
    @property
    def orderids(self) -> set[OrderId]:
        """The order ids of all stored trades (a new set)."""
    @property
    def qty(self) -> Qty:
        """Net signed quantity."""
    @property
    def empty(self) -> bool:
        """Whether the net quantity is zero."""
    @property
    def average_price(self) -> float:
        """Cost basis per unit, commissions included."""
    @property
    def total_commission(self) -> Price:
        """Sum of the stored trades' commissions."""
    @property
    def is_long(self) -> bool:
        """Whether the net quantity is positive."""
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

class PositionGroup:
    """A holder for positions all trading together as a bag/spread."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("positions", "key")
    positions: set[Position]
    key: str | None
    def __init__(self, positions: set[Position] = ..., key: str | None = None) -> None: ...
    def add(self, p: Position) -> None:
        """Add a position to the group and refresh its key."""
    def updatekey(self) -> None:
        """Create a simple way to identify this combination of orders using a short string."""
    @property
    def keys(self) -> set[Key]:
        """Return a set of position keys for all positions in this group."""
    @property
    def orderids(self) -> set[OrderId]:
        """The union of the members' order ids."""
    @property
    def qty(self) -> Qty:
        """Group size: the smallest absolute member quantity."""
    @property
    def started(self) -> datetime.datetime:
        """Earliest member start time."""
    @property
    def average_price(self) -> float:
        """Generate average price across ALL members by re-running the math for each trade in each position."""
    @property
    def total_commission(self) -> Price:
        """Sum of the members' commissions."""
    @property
    def is_long(self) -> bool:
        """Whether the group's average price is above zero (a net debit)."""
    def summary(self, stopPct: Percent = 0.1, priceFetcher: Callable[[Key], Price] | None = None) -> PositionSummary:
        """Generate collective metrics across all positions in the group as one quantity."""
    def generateOrderDesc(self, openclose: Literal["OPEN", "CLOSE"]) -> str:
        """Generate an open or close order description (assuming the position key is something you can use to order again)"""
    def open(self, *args: object) -> str:
        """The leg list that buys more of this group; extra arguments are ignored."""
    def close(self, *args: object) -> str:
        """The leg list that closes this group; extra arguments are ignored."""
    def start(self, stopPct: Percent = 0.1, algo: str = "LIM") -> str:
        """Order line for one more group unit, limited to a cost basis stopPct beyond the current one."""
    def stop(self, stopPct: Percent = 0.1, algo: str = "LIM") -> str:
        """Order line that takes the whole group out at its stop."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

class OrderMgr:
    """Manage a portfolio full of instruments having multiple trades."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("namespace",)
    namespace: str
    positions: MutableMapping[Key, Position]
    def __init__(self, namespace: str) -> None: ...
    def clear(self) -> None:
        """Remove all positions to start fresh"""
    @classmethod
    def temp(cls, name: str | None = None, keep: object = False) -> AbstractContextManager[Self]:
        """Create a uniquely namespaced test instance then delete when complete"""
    def add_trade(self, key: Key, trade: Trade) -> None:
        """Record a trade for an instrument key and persist the position."""
    def _add_trade_undoable(self, position: Position, trade: Trade) -> tuple[bool, Callable[[], None]]:
        """position.add_trade(trade) inside an open transaction of the store, undone if it rolls back."""
    def update_commission(self, key: Key, orderid: OrderId, commission: Price) -> None:
        """Replace the commission of a stored trade reported after the fill, and persist it."""
    def get_position_summary(self, key: Key, stopPct: Percent = 0.1) -> PositionSummary:
        """Summary of the position under a key, with a stop stopPct away from its cost basis."""
    def get_position_summary_by_order(self, orderid: OrderId, stopPct: Percent = 0.1) -> PositionSummary | None:
        """Summary of the group of positions that traded under an order id, or None."""
    def get_portfolio_summary(self, stopPct: Percent = 0.1) -> dict[str, PositionSummary]:
        """Return all positions without matching any combined order details."""
    def position_groups(self, orderid: OrderId | None = None) -> dict[Key, PositionGroup]:
        """Combine positions having shared orderIds into PositionGroups for multi-reporting."""
    def health_check(self) -> SystemHealthReport:
        """Run comprehensive health check on this OrderMgr instance."""
    def validate_consistency(self) -> list[ValidationResult]:
        """Validate data consistency across all positions."""
    def position_table(self) -> str:
        """Generate formatted table of all positions."""
    def portfolio_report(self, stopPct: Percent = 0.1) -> str:
        """Generate comprehensive portfolio summary report."""
    def spread_report(self) -> str:
        """Generate spread analysis report."""
    def analyze_position(self, key: Key) -> PositionAnalysis | None:
        """Deep analysis of a specific position."""
    def debug_summary(self) -> str:
        """Generate a complete debug summary of the system."""
    def __post_init__(self) -> None:
        """Open the portfolio's store."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class SystemHealthReport:
    """Structured health check report with proper typing."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("status", "total_positions", "total_trades", "warnings", "errors", "violations")
    status: Literal["healthy", "warnings", "errors"]
    total_positions: int
    total_trades: int
    warnings: list[str]
    errors: list[str]
    violations: list[str]
    def __init__(
        self,
        status: Literal["healthy", "warnings", "errors"],
        total_positions: int,
        total_trades: int,
        warnings: list[str],
        errors: list[str],
        violations: list[str],
    ) -> None: ...
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class TradeFlowEntry:
    """Single entry in position trade flow analysis."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = (
        "orderid",
        "timestamp",
        "price",
        "qty",
        "commission",
        "running_qty",
        "running_cost",
        "running_avg",
    )
    orderid: OrderId
    timestamp: datetime.datetime
    price: float
    qty: float
    commission: float
    running_qty: float
    running_cost: float
    running_avg: float
    def __init__(
        self,
        orderid: OrderId,
        timestamp: datetime.datetime,
        price: float,
        qty: float,
        commission: float,
        running_qty: float,
        running_cost: float,
        running_avg: float,
    ) -> None: ...
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class PositionCalculations:
    """Position calculation verification data."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = (
        "final_qty",
        "final_cost",
        "final_avg_price",
        "position_qty",
        "position_avg_price",
        "qty_matches",
        "avg_price_matches",
    )
    final_qty: float
    final_cost: float
    final_avg_price: float
    position_qty: float
    position_avg_price: float
    qty_matches: bool
    avg_price_matches: bool
    def __init__(
        self,
        final_qty: float,
        final_cost: float,
        final_avg_price: float,
        position_qty: float,
        position_avg_price: float,
        qty_matches: bool,
        avg_price_matches: bool,
    ) -> None: ...
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class PositionAnalysis:
    """Complete analysis of a single position."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = (
        "key",
        "qty",
        "average_price",
        "is_long",
        "total_commission",
        "empty",
        "started",
        "trade_flow",
        "calculations",
        "consistency_errors",
    )
    key: Key
    qty: float
    average_price: float
    is_long: bool
    total_commission: float
    empty: bool
    started: datetime.datetime
    trade_flow: list[TradeFlowEntry]
    calculations: PositionCalculations
    consistency_errors: list[str]
    def __init__(
        self,
        key: Key,
        qty: float,
        average_price: float,
        is_long: bool,
        total_commission: float,
        empty: bool,
        started: datetime.datetime,
        trade_flow: list[TradeFlowEntry],
        calculations: PositionCalculations,
        consistency_errors: list[str],
    ) -> None: ...
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class ValidationResult:
    """Result of data validation checks."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("position_key", "errors", "is_valid")
    position_key: str
    errors: list[str]
    is_valid: bool
    def __init__(self, position_key: str, errors: list[str], is_valid: bool) -> None: ...
    def __post_init__(self) -> None:
        """Recompute is_valid from errors."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class SystemDiagnostics:
    """Comprehensive system health checks and consistency validation."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("order_mgr",)
    order_mgr: OrderMgr
    def __init__(self, order_mgr: OrderMgr) -> None: ...
    def health_check(self) -> SystemHealthReport:
        """Run comprehensive health checks on the entire system."""
    def _check_data_consistency(self) -> list[str]:
        """Check for data consistency violations across the system."""
    def _check_mathematical_consistency(self) -> list[str]:
        """Check for mathematical anomalies that might indicate calculation errors."""
    def analyze_position(self, key: Key) -> PositionAnalysis | None:
        """Deep analysis of a specific position."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class SystemReporter:
    """Generate formatted reports and tables for system visualization."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ("order_mgr",)
    order_mgr: OrderMgr
    def __init__(self, order_mgr: OrderMgr) -> None: ...
    def position_table(self) -> str:
        """Generate a formatted table of all positions."""
    def position_summary(self, stopPct: Percent = 0.1) -> str:
        """Generate a summary report of all positions with stop information."""
    def spread_analysis(self) -> str:
        """Analyze and report on all position groups (spreads)."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@disjoint_base
class DataValidator:
    """Input validation and data consistency guards."""

    __dataclass_fields__: ClassVar[dict[str, Field[Any]]]
    __record_fields__: ClassVar[tuple[tuple[Any, ...], ...]]
    __match_args__ = ()
    def __init__(self) -> None: ...
    @staticmethod
    def validate_trade(trade: Trade) -> list[str]:
        """Check one trade: negative price or commission, zero quantity, empty order id."""
    @staticmethod
    def validate_position_consistency(position: Position) -> list[str]:
        """Check a position: quantity sum, direction flag, average price sign, and each of its trades."""
    @staticmethod
    def validate_position_summary_consistency(summary: PositionSummary) -> list[str]:
        """Check a position summary: positive quantity and stop, direction by price sign."""
    @staticmethod
    def validate_system_consistency(order_mgr: OrderMgr) -> list[ValidationResult]:
        """Validate every stored position; one ValidationResult per position, in store order."""
    def __eq__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
