"""Type information for _kvstore, the GNU dbm (gdbm) extension module."""

import os
from threading import RLock
from collections.abc import Callable, Iterator
from typing import Final, Literal, Self, TypedDict, final, overload, type_check_only

from typing_extensions import disjoint_base

# Keys and values: a str (stored as its UTF-8 bytes) or a read-only bytes-like
# object. Python's types cannot say "read-only buffer": collections.abc.Buffer
# would also admit bytearray, memoryview and array.array, which the module
# refuses at run time. So the stub names bytes (subclasses included), the one
# read-only buffer found in practice; rarer read-only buffers (a ctypes char
# array) work at run time but need a cast for the type checker.
type _Data = str | bytes

# The membership test takes exactly str or bytes, no other buffer.
type _MembershipKey = str | bytes

type _FileName = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class error(OSError): ...

class _RecoveryReport(TypedDict):
    """What gdbm.recover() did."""

    recovered_keys: int
    recovered_buckets: int
    failed_keys: int
    failed_buckets: int
    duplicate_keys: int
    backup_name: str | None

open_flags: Final[str]
"""Every letter that open() accepts in its flags: "rwcnfsu"."""

_KVSTORE_VERSION: Final[tuple[int, int, int]]
"""The gdbm headers' version (major, minor, patch) that the module was built with."""

# The type is no module attribute: it is reached only as type(open(...)).
# Annotations may name it (quoted, or under "from __future__ import
# annotations"), but _kvstore.gdbm does not exist at run time.
@final
@type_check_only
class gdbm:
    """An open gdbm database file, as returned by open()."""

    # Mapping protocol. Values are stored as given (str as UTF-8) and always
    # come back as bytes.
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __getitem__(self, key: _Data, /) -> bytes: ...
    def __setitem__(self, key: _Data, value: _Data, /) -> None: ...
    def __delitem__(self, key: _Data, /) -> None: ...
    def __contains__(self, key: _MembershipKey, /) -> bool: ...

    # Dictionary-style methods.
    @overload
    def get(self, key: _Data, default: None = None, /) -> bytes | None: ...
    @overload
    def get[T](self, key: _Data, default: T, /) -> bytes | T: ...
    # A present key returns its value whatever the default; a missing key
    # stores the default, so None (the default's default) raises TypeError then.
    def setdefault(self, key: _Data, default: _Data | None = None, /) -> bytes: ...
    def keys(self) -> list[bytes]: ...
    def clear(self) -> None: ...

    # Traversal in the library's hash order, one key at a time.
    def firstkey(self) -> bytes | None: ...
    def nextkey(self, key: _Data, /) -> bytes | None: ...

    # File maintenance and lifecycle.
    def sync(self) -> None: ...
    def reorganize(self) -> None: ...
    def compact(self, *, progress: Callable[[int, int], object] | None = None) -> None: ...
    def recover(
        self,
        *,
        backup: bool = False,
        force: bool = False,
        max_failures: int | None = None,
    ) -> _RecoveryReport: ...
    def failure_atomic(self, even: _FileName, odd: _FileName, /) -> None: ...

    # Backups in gdbm's dump formats, which gdbm's own tools read and write.
    # Both run in steps: progress(done, total) hears how far they got.
    def dump(
        self,
        filename: _FileName,
        format: Literal["ascii", "binary"] = "ascii",
        /,
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> None: ...
    def load(
        self,
        filename: _FileName,
        replace: bool = False,
        /,
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> None: ...
    # For the kvstore package's batches: stores each value (deletes the key
    # where it is None), nothing flushed.
    def _apply(self, changes: dict[bytes, bytes | None], /, *, unmapped: bool = False) -> None: ...
    # load() with the records handed to commit (the package's batch) instead
    # of a rewrite of the file.
    def _load_with(
        self, filename: _FileName, replace: bool, commit: Callable[[dict[bytes, bytes]], object], /
    ) -> None: ...
    # For the kvstore package's batches: claims the room the changes may add
    # to the file (error when there is none), and gives back what is unused.
    def _reserve(self, changes: dict[bytes, bytes | None], /) -> None: ...
    def _release(self) -> None: ...
    def close(self) -> None: ...
    # close(), the file's lock let go before the final flush (kvstore.Shared).
    def _close_letting_go(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None: ...

# The pending changes of the kvstore package's batch, over the gdbm object
# raw: while set as a _Mapping's _batch, every per-record operation of the
# _Mapping is theirs; another thread's waits for lock.
@disjoint_base
class _Batch:
    def __init__(self, raw: gdbm, /) -> None: ...
    @property
    def _raw(self) -> gdbm: ...
    _changes: dict[bytes, bytes | None]
    _cleared: bool
    lock: RLock
    @property
    def owner(self) -> int: ...

# The rollback journal of the package's batches, beside the database file
# (its absolute, resolved name): its file and layout; the package keeps the
# policy.
@final
class _Journal:
    def __new__(cls, database: _FileName, /) -> Self: ...
    @property
    def name(self) -> str: ...
    def begin(self, raw: gdbm, changes: dict[bytes, bytes | None], /, *, durable: bool = False) -> None: ...
    def void(self, *, durable: bool = False) -> None: ...
    # The (device, inode) of the file a whole journal belongs to; None when
    # there is nothing to roll back.
    def read(self) -> tuple[int, int] | None: ...
    def before(self) -> dict[bytes, bytes | None]: ...
    def replace(self, device: int, inode: int, /) -> None: ...
    def remove(self) -> None: ...
    def close(self) -> None: ...

@disjoint_base
class _Mapping:
    """The per-record operations of kvstore.Database, over the gdbm object set as _raw."""

    # Set once, to an object that open() returned.
    _raw: gdbm
    # The package's running batch, whose operations the per-record ones
    # are while it is set; None otherwise.
    _batch: _Batch | None
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __getitem__(self, key: _Data, /) -> bytes: ...
    def __setitem__(self, key: _Data, value: _Data, /) -> None: ...
    def __delitem__(self, key: _Data, /) -> None: ...
    # Keys other than str and bytes raise TypeError at run time; the type
    # says object, as Mapping's does, which the package's class derives from.
    def __contains__(self, key: object, /) -> bool: ...
    def __iter__(self) -> Iterator[bytes]: ...
    @overload
    def get(self, key: _Data, default: None = None, /) -> bytes | None: ...
    @overload
    def get(self, key: _Data, default: bytes, /) -> bytes: ...
    @overload
    def get[T](self, key: _Data, default: T, /) -> bytes | T: ...
    def setdefault(self, key: _Data, default: _Data | None = None, /) -> bytes: ...
    @overload
    def pop(self, key: _Data, /) -> bytes: ...
    @overload
    def pop(self, key: _Data, default: bytes, /) -> bytes: ...
    @overload
    def pop[T](self, key: _Data, default: T, /) -> bytes | T: ...
    def popitem(self) -> tuple[bytes, bytes]: ...
    def clear(self) -> None: ...
    def reorganize(self, *, progress: Callable[[int, int], object] | None = None) -> None: ...
    # Waits for another thread's batch; method, when given, is refused
    # inside this thread's own.
    def _wait_for_batch(self, method: str | None, /) -> None: ...
    def _iter_values(self) -> Iterator[bytes]: ...
    def _iter_items(self) -> Iterator[tuple[bytes, bytes]]: ...

def latest_snapshot[T: _FileName](even: T, odd: T, /) -> T:
    """The snapshot (even or odd, as given) that holds the database as of its last sync."""

def open(filename: _FileName, flags: str = "r", mode: int = 0o666, /) -> gdbm:
    """Open a gdbm database file and return a gdbm object."""

def _leftover_names(target: _FileName, /) -> list[bytes]:
    """The paths of the files that compact(), load(), dump() or a batch's journal made beside target, held or left."""

def _open_beside(name: _FileName, mode: int, /) -> int:
    """A descriptor of the regular file name beside a database, made with mode when missing."""

def _open_tuned(
    filename: _FileName,
    flags: str = "r",
    mode: int = 0o666,
    /,
    *,
    mmap: bool | None = None,
    cache_size: int | None = None,
    block_size: int | None = None,
    central_free: bool | None = None,
    coalesce_blocks: bool | None = None,
) -> gdbm:
    """open() with gdbm tuned for this handle by the keywords: the kvstore package's route."""
