import subprocess
import sys
import textwrap
import types

import pytest


def run(code, *flags):
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_module_attributes_in_order(om):
    names = [n for n in vars(om) if not n.startswith("__")]
    head = ["base64", "datetime", "os", "Callable", "Hashable", "MutableMapping", "contextmanager",
            "dataclass", "field", "Any", "Literal", "TypeAlias", "DualCache",
            "OrderId", "Key", "Price", "Qty", "Percent"]
    assert names[: len(head)] == head
    classes = ["PositionSummary", "Trade", "Position", "PositionGroup", "OrderMgr", "SystemHealthReport",
               "TradeFlowEntry", "PositionCalculations", "PositionAnalysis", "ValidationResult",
               "SystemDiagnostics", "SystemReporter", "DataValidator"]
    present = [n for n in names[len(head):]]
    assert present == [c for c in classes if c in present]
    assert om.Price is float and om.Percent is float and om.Qty == float | int
    import collections.abc
    import zelph.dualcache

    assert om.Key is collections.abc.Hashable and om.OrderId is collections.abc.Hashable
    assert om.DualCache is zelph.dualcache.DualCache
    assert isinstance(om.datetime, types.ModuleType) and om.datetime.__name__ == "datetime"
    assert om.__doc__


def test_second_import_is_same_module(om):
    import importlib

    assert importlib.import_module("marlovent.ordermgr") is om


def test_reinitialisation_is_refused():
    r = run("""
        import sys, importlib
        import marlovent.ordermgr
        del sys.modules['marlovent.ordermgr']
        try:
            importlib.import_module('marlovent.ordermgr')
        except RuntimeError as e:
            print('RuntimeError:', e)
    """)
    assert r.stdout.strip() == (
        "RuntimeError: Module 'ordermgr' has already been imported. Re-initialisation is not supported."
    ), r.stderr


def test_no_import_of_random_at_import():
    r = run("import sys, marlovent.ordermgr; print('random' in sys.modules)")
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("name", ["Trade", "Position"])
def test_classes_are_plain_records(om, name):
    cls = getattr(om, name)
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "marlovent.ordermgr"


def test_second_interpreter_is_refused():
    inner = "try:\n    import marlovent.ordermgr\nexcept ImportError as e:\n    print('ImportError:', e)\n"
    r = run(f"import marlovent.ordermgr, _testcapi\n_testcapi.run_in_subinterp({inner!r})\n")
    assert r.stdout.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    ), r.stderr


def test_missing_store_module_fails_the_import():
    r = run("""
        import sys
        sys.modules['zelph.dualcache'] = None
        try:
            import marlovent.ordermgr
        except ImportError as e:
            print('ImportError')
    """)
    assert r.stdout.strip() == "ImportError", r.stderr
