"""The Database mapping: a thin layer over one _kvstore object."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, MutableMapping
from typing import TYPE_CHECKING, Literal, Self, TypedDict, Unpack, overload, override

import _kvstore

if TYPE_CHECKING:
    from types import TracebackType

# Keys and values as the module takes them, and file names.
type Data = str | bytes
type FileName = str | bytes | os.PathLike[str] | os.PathLike[bytes]



class Tuning(TypedDict, total=False):
    """gdbm's settings for one open handle, as _kvstore.open takes them."""

    mmap: bool | None
    cache_size: int | None
    block_size: int | None
    central_free: bool | None
    coalesce_blocks: bool | None


_MISSING: object = object()

# A walk that has yielded this many keys checks them against the library's
# count, which a damaged bucket directory can make it exceed forever. Short
# walks never pay for the count.
_UNCOUNTED_STEPS = 1024
_ENDLESS = "the key traversal does not end: the database file is damaged"
_CHANGED = "database changed during iteration"


def _holds(raw: _kvstore.gdbm, key: Data) -> bool:
    """Whether key is stored; a key that `in` refuses counts as absent, and
    the store that follows reports the problem in its own words."""
    try:
        return key in raw
    except (TypeError, ValueError):
        return False


class Database(MutableMapping[bytes, bytes]):
    """An open gdbm database file as a mutable mapping from bytes to bytes.

    Keys and values may be given as str (stored as UTF-8) or bytes; they
    always come back as bytes. Iterating walks the file's hash table one key
    at a time. Storing a new key or deleting one through this object while
    one of its iterators is running makes that iterator raise RuntimeError,
    as a dict does; replacing the value of a stored key does not.
    """

    def __init__(
        self, filename: FileName, flag: str = "r", mode: int = 0o666, **tuning: Unpack[Tuning]
    ) -> None:
        self._raw: _kvstore.gdbm = _kvstore.open(filename, flag, mode, **tuning)
        self._filename: str = os.fsdecode(filename)
        self._flag: str = flag
        self._closed: bool = False
        # Bumped by every change that can move the walk's position; the
        # walkers count lets stores skip the existence check otherwise.
        self._changes: int = 0
        self._walkers: int = 0

    # ---- the mapping ------------------------------------------------------

    @override
    def __getitem__(self, key: Data, /) -> bytes:
        return self._raw[key]

    @override
    def __setitem__(self, key: Data, value: Data, /) -> None:
        if self._walkers:
            self._insert(self._raw.__setitem__, key, value)
        else:
            self._raw[key] = value

    @override
    def __delitem__(self, key: Data, /) -> None:
        del self._raw[key]
        self._changes += 1

    @override
    def __contains__(self, key: object, /) -> bool:
        # The module refuses keys other than str and bytes with TypeError.
        return key in self._raw  # type: ignore[operator]  # pyright: ignore[reportOperatorIssue]

    @override
    def __len__(self) -> int:
        return len(self._raw)

    def __bool__(self) -> bool:
        return bool(self._raw)

    @override
    def __iter__(self) -> Iterator[bytes]:
        return self._walk()

    def _walk(self) -> Iterator[bytes]:
        raw = self._raw
        changes = self._changes
        self._walkers += 1
        try:
            seen = 0
            limit = _UNCOUNTED_STEPS
            counted = False
            key = raw.firstkey()
            while key is not None:
                if seen == limit:
                    if counted or seen >= (limit := len(raw)):
                        raise _kvstore.error(_ENDLESS)
                    counted = True
                yield key
                if self._changes != changes:
                    raise RuntimeError(_CHANGED)
                seen += 1
                key = raw.nextkey(key)
        finally:
            self._walkers -= 1

    def _insert[R](self, operation: Callable[..., R], key: Data, *args: object) -> R:
        """Runs a store while an iterator is running, counting it as a change
        when it adds a key: a new key can split a bucket under the walk."""
        new = not _holds(self._raw, key)
        result = operation(key, *args)
        if new:
            self._changes += 1
        return result

    @overload
    def get(self, key: Data, /) -> bytes | None: ...
    @overload
    def get(self, key: Data, default: bytes, /) -> bytes: ...
    @overload
    def get[T](self, key: Data, default: T, /) -> bytes | T: ...
    @override
    def get(self, key: Data, default: object = None, /) -> object:
        return self._raw.get(key, default)

    # A present key returns its value whatever the default; a missing key
    # stores the default, so None (the default's default) raises TypeError then.
    @override
    def setdefault(self, key: Data, default: Data | None = None, /) -> bytes:
        if self._walkers:
            return self._insert(self._raw.setdefault, key, default)
        return self._raw.setdefault(key, default)

    @overload
    def pop(self, key: Data, /) -> bytes: ...
    @overload
    def pop(self, key: Data, default: bytes, /) -> bytes: ...
    @overload
    def pop[T](self, key: Data, default: T, /) -> bytes | T: ...
    @override
    def pop(self, key: Data, default: object = _MISSING, /) -> object:
        raw = self._raw
        try:
            value = raw[key]
        except KeyError:
            if default is _MISSING:
                raise
            return default
        del self[key]
        return value

    @override
    def popitem(self) -> tuple[bytes, bytes]:
        """Removes and returns a (key, value) pair: the first in the file's order."""
        raw = self._raw
        key = raw.firstkey()
        if key is None:
            raise KeyError("popitem(): database is empty")
        value = raw[key]
        del self[key]
        return key, value

    @override
    def clear(self) -> None:
        """Deletes every record, in batches, in time linear in their number."""
        self._raw.clear()
        self._changes += 1

    # ---- the file ---------------------------------------------------------

    def sync(self) -> None:
        """Writes every change still in the library's cache to the disk."""
        self._raw.sync()

    def reorganize(self) -> None:
        """Rewrites the file to give back the space of deleted records."""
        self._raw.reorganize()
        self._changes += 1

    def recover(
        self, *, backup: bool = False, force: bool = False, max_failures: int | None = None
    ) -> _kvstore._RecoveryReport:  # pyright: ignore[reportPrivateUsage]
        """Rebuilds a damaged file from what the library can still read; see
        the _kvstore object's recover() for the arguments and the report."""
        report = self._raw.recover(backup=backup, force=force, max_failures=max_failures)
        self._changes += 1
        return report

    def failure_atomic(self, even: FileName, odd: FileName) -> None:
        """Keeps two crash-tolerant snapshots of the file, even and odd, taken
        in turn at each sync; see the _kvstore object's failure_atomic()."""
        self._raw.failure_atomic(even, odd)

    def dump(self, path: FileName, format: Literal["ascii", "binary"] = "ascii") -> None:
        """Writes every record to a dump file that gdbm's own tools read.

        "ascii" is a portable text file that also keeps the database's file
        mode and owner; "binary" is gdbm's older, more compact format. An
        existing file at path is replaced.
        """
        self._raw.dump(path, format)

    def load(self, path: FileName, replace: bool = False) -> None:
        """Stores every record of a dump file. An existing key raises error
        unless replace is true; an ASCII dump also sets the file's mode and
        owner to those it records, as gdbm's tools do."""
        try:
            self._raw.load(path, replace)
        finally:
            # The records before a failure stay stored.
            self._changes += 1

    def close(self) -> None:
        """Closes the file; closing twice is fine."""
        self._closed = True
        self._raw.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    @property
    def raw(self) -> _kvstore.gdbm:
        """The _kvstore object underneath, for hot loops. Close the file
        through the Database, which then knows it is closed."""
        return self._raw

    @property
    def filename(self) -> str:
        """The file name as given to open(), decoded as os.fsdecode does."""
        return self._filename

    @property
    def flag(self) -> str:
        """The flag letters the file was opened with."""
        return self._flag

    @property
    def closed(self) -> bool:
        return self._closed

    @override
    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<kvstore.Database {self._filename!r} flag={self._flag!r} {state}>"
