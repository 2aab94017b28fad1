import datetime as dt

import pytest

from marlovent import ordermgr as om

UTC = dt.timezone.utc


@pytest.fixture
def fixed_now(monkeypatch):
    """Replaces the module's `datetime` attribute with a fixed clock."""
    now = dt.datetime(2024, 3, 2, 9, 0, tzinfo=UTC)

    class Clock:
        @staticmethod
        def now(tz=None):
            return now

    class FakeDatetimeModule:
        datetime = Clock
        timezone = dt.timezone

    monkeypatch.setattr(om, "datetime", FakeDatetimeModule)
    return now
