"""The ordinary records: result records and the three service classes."""
import collections.abc
import copy
import dataclasses
import gc
import pickle
import sys
import weakref

import pytest

from marlovent import ordermgr as om

FIELDS = {
    om.ValidationResult: ("position_key", "errors", "is_valid"),
    om.SystemHealthReport: ("status", "total_positions", "total_trades", "warnings", "errors", "violations"),
    om.TradeFlowEntry: ("orderid", "timestamp", "price", "qty", "commission", "running_qty", "running_cost",
                        "running_avg"),
    om.PositionCalculations: ("final_qty", "final_cost", "final_avg_price", "position_qty",
                              "position_avg_price", "qty_matches", "avg_price_matches"),
    om.PositionAnalysis: ("key", "qty", "average_price", "is_long", "total_commission", "empty", "started",
                          "trade_flow", "calculations", "consistency_errors"),
    om.SystemDiagnostics: ("order_mgr",),
    om.SystemReporter: ("order_mgr",),
    om.DataValidator: (),
}
DOCS = {
    om.ValidationResult: "Result of data validation checks.",
    om.SystemHealthReport: "Structured health check report with proper typing.",
    om.TradeFlowEntry: "Single entry in position trade flow analysis.",
    om.PositionCalculations: "Position calculation verification data.",
    om.PositionAnalysis: "Complete analysis of a single position.",
    om.SystemDiagnostics: "Comprehensive system health checks and consistency validation.",
    om.SystemReporter: "Generate formatted reports and tables for system visualization.",
    om.DataValidator: "Input validation and data consistency guards.",
}
CLASSES = list(FIELDS)


def sample(cls, tag=0):
    """An instance whose fields are distinct lists."""
    values = [[tag, i] for i in range(len(FIELDS[cls]))]
    if cls is om.ValidationResult:
        values = [f"k{tag}", [], True]
    return cls(*values)


@pytest.mark.parametrize("cls", CLASSES)
def test_surface(cls):
    assert cls.__match_args__ == FIELDS[cls]
    assert cls.__doc__.splitlines()[0] == DOCS[cls]
    assert cls.__bases__ == (object,)
    rec = sample(cls)
    for name in FIELDS[cls]:
        assert hasattr(rec, name)
    with pytest.raises(TypeError):
        hash(rec)
    assert not isinstance(rec, collections.abc.Hashable)
    rec.extra = "attached"
    assert rec.extra == "attached" and rec.__dict__ == {"extra": "attached"}
    assert weakref.ref(rec)() is rec


@pytest.mark.parametrize("cls", CLASSES)
def test_construction_by_position_and_keyword(cls):
    names = FIELDS[cls]
    values = [object() for _ in names]
    if cls is om.ValidationResult:
        values[1] = []
    by_pos, by_kw = cls(*values), cls(**dict(zip(names, values)))
    for name, value in zip(names, values):
        if name != "is_valid":
            assert getattr(by_pos, name) is value and getattr(by_kw, name) is value
    with pytest.raises(TypeError):
        cls(*values, None)
    if names:
        with pytest.raises(TypeError):
            cls(*values[:-1])
        with pytest.raises(TypeError):
            cls(*values, **{names[0]: None})


@pytest.mark.parametrize("cls", CLASSES)
def test_repr_and_equality(cls):
    a, b = sample(cls), sample(cls)
    inner = ", ".join(f"{n}={getattr(a, n)!r}" for n in FIELDS[cls])
    assert repr(a) == f"{cls.__name__}({inner})"
    assert a == b and not a != b
    assert a.__eq__(object()) is NotImplemented
    if FIELDS[cls]:
        assert a != sample(cls, tag=1)

    class Sub(cls):
        pass

    assert Sub.__eq__(Sub(*[getattr(a, n) for n in FIELDS[cls]]), a) is NotImplemented
    assert a != Sub(*[getattr(a, n) for n in FIELDS[cls]])


def test_equality_compares_fields_in_order():
    nan = float("nan")
    assert om.TradeFlowEntry(nan, 1, 2, 3, 4, 5, 6, 7) != om.TradeFlowEntry(nan * 1, 1, 2, 3, 4, 5, 6, 7)
    same = om.TradeFlowEntry(nan, 1, 2, 3, 4, 5, 6, 7)
    # One value in both: equal on 3.12 (tuples compare identity first), not
    # on 3.13 (each field with ==), as the host's own dataclass says.
    twin = dataclasses.make_dataclass("Twin", ["a", "b"])
    assert (same == om.TradeFlowEntry(nan, 1, 2, 3, 4, 5, 6, 7)) is (twin(nan, 1) == twin(nan, 1))
    assert om.PositionCalculations(1, 2, 3, 4, 5, True, True) == om.PositionCalculations(1.0, 2, 3, 4, 5, 1, True)


def test_recursive_repr():
    rec = om.SystemHealthReport("healthy", 0, 0, [], [], [])
    rec.warnings.append(rec)
    assert repr(rec) == ("SystemHealthReport(status='healthy', total_positions=0, total_trades=0, "
                         "warnings=[...], errors=[], violations=[])")


@pytest.mark.parametrize("errors, passed, expected", [([], False, True), (["x"], True, False), ((), None, True),
                                                      ({"a": 1}, True, False)])
def test_validation_result_recomputes_is_valid(errors, passed, expected):
    result = om.ValidationResult("k", errors, passed)
    assert result.is_valid is expected


def test_validation_result_post_init_runs_once_and_again_on_demand():
    result = om.ValidationResult(position_key="k", errors=[], is_valid=False)
    result.errors.append("late")
    assert result.is_valid is True
    assert result.__post_init__() is None
    assert result.is_valid is False
    with pytest.raises(TypeError):
        om.ValidationResult("k", 5, True)
    with pytest.raises(TypeError):
        om.ValidationResult("k", [])


def test_validation_result_subclass_hooks_are_honoured():
    class Counted(om.ValidationResult):
        def __post_init__(self):
            self.seen = (self.position_key, len(self.errors))
            super().__post_init__()

    class Overridden(om.ValidationResult):
        errors = property(lambda self: ["from property"], lambda self, v: None)

    counted = Counted("k", ["a", "b"], True)
    assert counted.seen == ("k", 2) and counted.is_valid is False
    assert Overridden("k", [], True).is_valid is False


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_round_trips(cls, how):
    rec = sample(cls)
    rec.note = ["extra"]
    if cls is om.ValidationResult:
        rec.errors.append("added later")  # is_valid stays stale and must survive
    clone = {"pickle": lambda r: pickle.loads(pickle.dumps(r)), "copy": copy.copy, "deepcopy": copy.deepcopy}[how](rec)
    assert type(clone) is cls and clone == rec and clone.note == ["extra"]
    for name in FIELDS[cls]:
        shared = getattr(clone, name) is getattr(rec, name)
        assert shared or how != "copy"
    if cls is om.ValidationResult:
        assert clone.is_valid is True


def test_deepcopy_of_a_self_referencing_record():
    rec = om.PositionCalculations(1, 2, 3, 4, 5, True, True)
    rec.final_qty = [rec]
    clone = copy.deepcopy(rec)
    assert clone.final_qty[0] is clone


@pytest.mark.parametrize("cls", CLASSES)
def test_gc_collects_cycles_through_fields_and_dict(cls):
    if not FIELDS[cls]:
        rec = cls()
        rec.me = rec
    else:
        rec = sample(cls)
        setattr(rec, FIELDS[cls][0], [rec])
    assert gc.is_tracked(rec)
    marker = type("Marker", (), {})()
    rec.marker = marker
    ref = weakref.ref(marker)
    del rec, marker
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("cls", CLASSES)
def test_reference_counts_unchanged(cls):
    values = [object() for _ in FIELDS[cls]]
    if cls is om.ValidationResult:
        values[1] = []
    before = [sys.getrefcount(v) for v in values]
    rec = cls(*values)
    for _ in range(3):
        repr(rec), rec == cls(*values), copy.copy(rec), pickle.dumps(rec)
    del rec
    gc.collect()
    assert [sys.getrefcount(v) for v in values] == before


@pytest.mark.parametrize("cls", CLASSES)
def test_none_is_a_field_value(cls):
    values = [None] * len(FIELDS[cls])
    if cls is om.ValidationResult:
        values[1] = []
    rec = cls(*values)
    assert all(getattr(rec, n) is None for n in FIELDS[cls] if n not in ("errors", "is_valid"))


def test_fields_can_be_deleted_and_reset():
    rec = om.SystemHealthReport("healthy", 0, 0, [], [], [])
    del rec.status
    with pytest.raises(AttributeError):
        rec.status
    with pytest.raises(AttributeError):
        repr(rec)
    rec.status = "errors"
    assert rec.status == "errors"


def test_data_validator_functions_are_static():
    trade = om.Trade(0, 1.0, 0)
    expected = ["Trade quantity is zero (may indicate data error)", "Trade orderid is empty/None"]
    assert om.DataValidator.validate_trade(trade) == expected
    assert om.DataValidator().validate_trade(trade=trade) == expected
