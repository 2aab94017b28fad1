"""Small helpers shared by the test modules."""

import datetime as _dt

UTC = _dt.timezone.utc


def ts(minutes: int = 0) -> _dt.datetime:
    """A fixed, timezone-aware fill time, shifted by whole minutes."""
    return _dt.datetime(2024, 3, 5, 9, 30, tzinfo=UTC) + _dt.timedelta(minutes=minutes)


def assert_flat_memory(work, n, *, warmup=200, max_bytes=64 * 1024, max_objects=100):
    """Runs work(warmup), then work(n): traced memory and the number of live
    objects must not grow with n (nothing leaks per iteration)."""
    import gc
    import tracemalloc

    work(warmup)
    gc.collect()
    tracemalloc.start()
    objects = len(gc.get_objects())
    before = tracemalloc.get_traced_memory()[0]
    try:
        work(n)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < max_bytes
    assert len(gc.get_objects()) - objects < max_objects


class HashFails:
    """A key or order id whose hash raises at its ``fail_at``-th call, as a
    KeyboardInterrupt landing in it would.  Counted per subclass: each test
    module registers its own with the store."""

    calls, fail_at = 0, None

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        cls = type(self)
        cls.calls += 1
        if cls.calls == cls.fail_at:
            raise KeyboardInterrupt
        return hash(self.n)

    def __eq__(self, other):
        return isinstance(other, type(self)) and other.n == self.n
