"""The order manager the diagnostics tests run against.

`StandInMgr` plays the order manager: the diagnostics read it only through
its `positions` mapping. Switch `make_mgr` to the real OrderMgr once it exists.
"""
import pytest


class StandInMgr:
    def __init__(self, positions=()):
        self.positions = dict(positions)


@pytest.fixture(scope="session")
def make_mgr():
    """make_mgr(*positions): a manager storing each position under its key."""

    def make(*positions):
        return StandInMgr((p.key, p) for p in positions)

    return make
