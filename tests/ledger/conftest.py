import pytest


@pytest.fixture
def ledger(om, data_dir):
    """A ledger over a fresh portfolio in a SQLite file."""
    from marlovent.ledger import Ledger

    mgr = om.OrderMgr("ledger test")
    yield Ledger(mgr)
    mgr.positions.destroy()
