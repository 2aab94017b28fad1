"""Small helpers shared by the test modules."""

import datetime as _dt

UTC = _dt.timezone.utc


def ts(minutes: int = 0) -> _dt.datetime:
    """A fixed, timezone-aware fill time, shifted by whole minutes."""
    return _dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC) + _dt.timedelta(minutes=minutes)
