"""The ordinary records as plain types: subclasses, half-made instances,
failed construction, long loops, and the field description."""
import copy
import gc
import pickle
import sys
import tracemalloc

import pytest

from marlovent import _interop
from marlovent import ordermgr as om

from .test_diag_records import CLASSES, FIELDS, sample


class Tagged:
    """Module level, so that pickle finds the subclasses made from it."""


def subclass(cls):
    sub = type(f"Sub{cls.__name__}", (cls,), {"__module__": __name__})
    globals()[sub.__name__] = sub
    return sub


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_subclass_round_trips_keep_type_fields_and_attributes(cls, how):
    sub = subclass(cls)
    rec = sub(*[getattr(sample(cls), n) for n in FIELDS[cls]])
    rec.note = ["extra"]
    clone = {"pickle": lambda r: pickle.loads(pickle.dumps(r)), "copy": copy.copy, "deepcopy": copy.deepcopy}[how](rec)
    assert type(clone) is sub and clone == rec and clone.__dict__ == {"note": ["extra"]}


def test_subclass_init_is_honoured_and_reinit_replaces_fields():
    class Report(om.SystemHealthReport):
        def __init__(self, status):
            super().__init__(status, 0, 0, [], [], [])

    rec = Report("healthy")
    assert (rec.status, rec.total_positions, rec.warnings) == ("healthy", 0, [])
    old, new = object(), object()
    base = om.SystemReporter(old)
    before = sys.getrefcount(old)
    om.SystemReporter.__init__(base, new)
    assert base.order_mgr is new and sys.getrefcount(old) == before - 1


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_made_by_new_alone_raise_instead_of_crashing(cls):
    rec = cls.__new__(cls)
    for name in FIELDS[cls]:
        with pytest.raises(AttributeError):
            getattr(rec, name)
    if FIELDS[cls]:
        for op in (repr, copy.copy, pickle.dumps, lambda r: r == cls.__new__(cls)):
            with pytest.raises(AttributeError):
                op(rec)


def test_methods_called_with_a_foreign_self_raise():
    with pytest.raises(AttributeError):
        om.SystemDiagnostics.health_check(object())
    with pytest.raises(AttributeError):
        om.SystemReporter.position_table(object())
    with pytest.raises(AttributeError):
        om.ValidationResult.__post_init__(om.ValidationResult.__new__(om.ValidationResult))


def test_failed_post_init_releases_its_arguments():
    key, errors = object(), 5
    before = sys.getrefcount(key)
    for _ in range(100):
        with pytest.raises(TypeError):
            om.ValidationResult(key, errors, True)
    assert sys.getrefcount(key) == before


def test_construction_loop_is_flat():
    values = {cls: [object() for _ in FIELDS[cls]] for cls in CLASSES}
    values[om.ValidationResult][1] = []

    def churn(n):
        for _ in range(n):
            for cls in CLASSES:
                cls(*values[cls])

    churn(1000)
    gc.collect()
    tracemalloc.start()
    base, _ = tracemalloc.get_traced_memory()
    churn(100_000 // len(CLASSES))
    gc.collect()
    current, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert current - base < 16 * 1024


@pytest.mark.parametrize("cls", CLASSES)
def test_field_description_matches_the_dataclass_view(cls):
    described = cls.__record_fields__
    assert tuple(row[0] for row in described) == FIELDS[cls] == cls.__match_args__
    expected = {n: t for n, t, _ in _interop._field_specs(om)[cls.__name__]}
    for name, annotation, kind, default, factory, compare, shown in described:
        assert eval(annotation, vars(om)) == expected[name]
        assert (kind, default, factory, compare, shown) == ("required", None, None, True, True)
