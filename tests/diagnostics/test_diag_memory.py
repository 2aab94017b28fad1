"""Reference counts, cycles and long loops of the services."""
import gc
import sys
import tracemalloc
import types
import weakref

import pytest

from marlovent import ordermgr as om

from .diag_builders import fill, position


def portfolio(make_mgr):
    inconsistent = position("B", fill(3, 100, 10), fill(4, 300, -5))
    t = fill(5, 1.0, 0, -1.0)
    t.price = -1.0
    return make_mgr(position("A", fill(1, 100.5, 10, 1.0), fill(2, 101.0, -4, 1.0, minute=1)), inconsistent,
                    position("C", t))


def every_service(mgr):
    diag = om.SystemDiagnostics(mgr)
    diag.health_check()
    diag.analyze_position("A")
    om.DataValidator.validate_system_consistency(mgr)
    om.SystemReporter(mgr).position_table()


@pytest.mark.parametrize("cls", [om.SystemDiagnostics, om.SystemReporter])
def test_service_cycle_is_collected(cls):
    holder = []
    service = cls(holder)
    holder.append(service)  # the service reaches itself through its order manager
    alive = weakref.ref(service)
    del holder, service
    gc.collect()
    assert alive() is None


def test_reference_counts_of_read_objects_are_balanced(make_mgr):
    mgr = portfolio(make_mgr)
    watched = [mgr.positions, *mgr.positions.values(), *mgr.positions["A"].trades.values(),
               mgr.positions["A"].trades[1].price, mgr.positions["A"].trades[1].timestamp]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        every_service(mgr)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("fails", ["store", "trade"])
def test_failing_reads_leave_nothing_behind(make_mgr, fails):
    mgr = portfolio(make_mgr)
    if fails == "store":
        mgr = types.SimpleNamespace(positions=types.SimpleNamespace(items=lambda: 1 / 0, values=lambda: 1 / 0))
    else:
        mgr.positions["A"].trades[1].price = "not a number"
    gc.collect()
    count = len(gc.get_objects())
    for _ in range(200):
        with pytest.raises((ZeroDivisionError, TypeError)):
            every_service(mgr)
    gc.collect()
    assert len(gc.get_objects()) - count < 20


def test_long_loops_do_not_leak(make_mgr):
    mgr = portfolio(make_mgr)
    for _ in range(200):
        every_service(mgr)  # warm caches
    gc.collect()
    tracemalloc.start()
    objects_before = len(gc.get_objects())
    base, _ = tracemalloc.get_traced_memory()
    for _ in range(5000):
        every_service(mgr)
    gc.collect()
    current, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert len(gc.get_objects()) - objects_before < 50
    assert current - base < 64 * 1024
