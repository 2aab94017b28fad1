"""zelph.dualcache: a persistent mapping over SQLite with a live-object memory level."""

import os
import sys
from collections.abc import Callable, Hashable, ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from types import TracebackType
from typing import Any, TypeVar, overload

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

_T = TypeVar("_T")
_C = TypeVar("_C", bound=type)

class StoreError(OSError):
    """A failure of the store itself: an SQLite or PostgreSQL error, a file that is
    not a store, or use of a store that was closed or destroyed."""

    filename: str | None
    sqlite_errorcode: int | None
    sqlite_errorname: str | None
    sqlstate: str | None

class _Transaction:
    def __enter__(self) -> DualCache: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> bool: ...

class _Connection:
    """The database behind a DualCache and its named maps (internal)."""

class _Iterator(Iterator[Any]):
    def __next__(self) -> Any: ...

class DualCacheKeys(KeysView[Hashable]): ...
class DualCacheValues(ValuesView[Any]): ...
class DualCacheItems(ItemsView[Hashable, Any]): ...

class DualCache:
    """A persistent mapping stored in one SQLite database file or a store on a
    PostgreSQL server (a virtual subclass of collections.abc.MutableMapping).
    It is one map of its database: map(name) reaches the others, and
    transaction()/batch() on any of them covers them all."""

    def __init__(self, *, cacheName: str, cachePrefix: str | os.PathLike[str]) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def read_only(self) -> bool: ...
    @property
    def in_transaction(self) -> bool: ...
    @property
    def cacheName(self) -> str: ...
    @property
    def cachePrefix(self) -> str | os.PathLike[str]:
        """The prefix the store was opened with (a server URI without its password)."""
    @staticmethod
    def exists(*, cacheName: str, cachePrefix: str | os.PathLike[str]) -> bool:
        """Whether the store is there (its file, or its row on the server); creates and writes nothing."""
    def on_rollback(self, undo: Callable[[], object]) -> None:
        """Call undo() if the innermost open transaction()/batch() level rolls back (newest first);
        passed to the enclosing level when the level ends normally, dropped at the commit."""
    @property
    def mapName(self) -> str:
        """The name of this map ("" for the default map)."""
    def map(self, name: str) -> DualCache:
        """The map called `name` in this store's database ("" for the default map):
        the same object for a name while the database is open. Getting a map and
        reading it writes nothing; its first write creates it."""
    def map_names(self) -> list[str]:
        """The sorted names of the database's maps holding at least one entry."""
    def __getitem__(self, key: Hashable) -> Any: ...
    def __setitem__(self, key: Hashable, value: Any) -> None: ...
    def __delitem__(self, key: Hashable) -> None: ...
    def __contains__(self, key: object) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Hashable]: ...
    def __bool__(self) -> bool: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    @overload
    def get(self, key: Hashable) -> Any | None: ...
    @overload
    def get(self, key: Hashable, default: _T) -> Any | _T: ...
    def keys(self) -> DualCacheKeys: ...
    def values(self) -> DualCacheValues: ...
    def items(self) -> DualCacheItems: ...
    @overload
    def pop(self, key: Hashable) -> Any: ...
    @overload
    def pop(self, key: Hashable, default: _T) -> Any | _T: ...
    def popitem(self) -> tuple[Hashable, Any]: ...
    def setdefault(self, key: Hashable, default: Any = None) -> Any: ...
    def update(self, other: Mapping[Hashable, Any] | Iterable[tuple[Hashable, Any]] = ..., /, **kwargs: Any) -> None: ...
    def clear(self) -> None: ...
    def transaction(self) -> _Transaction: ...
    def batch(self) -> _Transaction: ...
    def _write_transaction(self, key: Hashable) -> _Transaction:
        """transaction() around a read-modify-write of the one entry of `key`. On a
        server, when nobody else wrote since this connection last looked, it commits
        in one round trip without taking the lock first; when another writer came
        between, leaving it raises StoreError with sqlstate "40001" having stored
        nothing, and the block is to be run again (it then takes the lock first)."""
    def close(self) -> None:
        """Close the database with every map of it; later use of any map raises StoreError."""
    def destroy(self) -> None:
        """Close the database and delete it with every map of it."""
    def __enter__(self) -> DualCache: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> bool: ...
    def _iter(self, mode: int) -> _Iterator: ...
    def _fail_writes(self, after: int) -> None:
        """Test hook: the write operation that follows `after` further successful
        ones fails once as a failing SQLite write would (StoreError, rolled back);
        -1 turns it off."""
    def _log_from(self, keys: int) -> None:
        """Test hook: from how many keys a map of this connection reads what other
        connections changed instead of every key (256; 0: always)."""
    def _stats(self) -> dict[str, int]:
        """Test hook: counters of commits, loads, index reloads, WAL frames, rows and bytes written."""

def _shown_prefix(prefix: str) -> str:
    """A cachePrefix as messages show it: a server URI without its password."""

def _server_store_names(cachePrefix: str) -> list[str]:
    """The cacheNames of the stores on the server under a postgresql:// cachePrefix
    (those whose names begin with its name prefix), sorted by their UTF-8 bytes."""

def register(
    cls: _C,
    tag: str | None = None,
    *,
    codec: CapsuleType | None = None,
    to_fields: Callable[[Any], tuple[Any, ...]] | None = None,
    from_fields: Callable[[type, tuple[Any, ...]], Any] | Callable[[type, dict[str, Any]], Any] | None = None,
    fields: Iterable[str] | None = None,
) -> _C: ...
def _crc32c(data: bytes, portable: bool = False) -> int: ...

def _crc32c_in_hardware() -> bool: ...

def _prefetch_from(entries: int) -> int:
    """Test hook: from how many entries to read a whole-map read of an SQLite store
    reads ahead on a worker thread; returns the number in force before."""

def _prefetch_batch_rows(rows: int) -> int:
    """Test hook: how many rows the read-ahead's worker hands over at a time;
    returns the number in force before."""

def _arena_reserve() -> tuple[bool, int, int, int]:
    """Test hook: whether the read-ahead's arena hook is installed, how many reads
    draw on it, how many of its arenas are in use and how many are ready."""
