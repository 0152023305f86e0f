"""Batches: changes to a Database kept in memory until the block ends, then
written all together through a rollback journal, or not at all."""

from __future__ import annotations

import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, Final, cast, final, override

import _kvstore

from ._journal import Journal, put_back

if TYPE_CHECKING:
    from collections.abc import MutableMapping
    from types import TracebackType

# The Database, as far as a batch uses it: its base type's operations.
type Host = _kvstore._Mapping  # pyright: ignore[reportPrivateUsage]
type Data = str | bytes

# A run of this many changes or more is applied with the file's mapping off:
# cheaper for each change, but each switch costs the library a flush
# (bench/batches.py measured where the two meet).
UNMAPPED_FROM: Final = 20_000

_BAD_INDEX: Final = "gdbm mappings have bytes or string indices only"


def _stored(data: object) -> bytes:
    """A key or value as the file holds it, refused as the module refuses it."""
    if type(data) is bytes:
        return data
    if isinstance(data, str):
        try:
            return data.encode()
        except UnicodeEncodeError:
            raise TypeError(_BAD_INDEX) from None
    if isinstance(data, bytes):
        return bytes(data)
    raise TypeError(_BAD_INDEX)


def _member(key: object) -> bytes:
    if isinstance(key, (bytes, str)):
        return _stored(key)
    raise TypeError(f"gdbm key must be bytes or string, not {type(key).__name__}")


class _Missing:
    """pop()'s default when none is given: no value, a call leaves it out
    (as help() and the pages show it)."""

    @override
    def __repr__(self) -> str:
        return "<unrepresentable>"


MISSING: Final = _Missing()

# Taken only to start or join a batch, so that two threads never both start one.
_starting = threading.Lock()


@final
class Batch(_kvstore._Batch):  # pyright: ignore[reportPrivateUsage]
    """The pending changes of one Database's running batch, as a mapping
    over the file: while it runs, every per-record operation on the Database
    is this mapping's (the Database's base type hands them over).

    The changes map each key to its new value, or to None for a deletion;
    `cleared` says that clear() was called, after which no record of the
    file counts. The thread that started the batch holds `lock` until the
    batch ends: another thread's operation on the Database waits for it,
    then runs on the file as the batch left it. The changes, the count, the
    walkers, the owner and whether the batch is active are the base type's,
    so that the Database's assignment in the batch's thread records a change
    without calling this class when neither the count nor a walk needs it.
    """

    __slots__ = ("_cleared", "_db", "_durable", "_raw", "_version", "depth", "lock")

    def __init__(self, db: Host, durable: bool) -> None:
        self._db: Host = db
        self._raw: _kvstore.gdbm = db._raw
        self._durable: bool = durable
        self._changes: dict[bytes, bytes | None] = {}
        self._cleared: bool = False
        # The number of records, once asked for, kept up to date from then on.
        self._length: int | None = None
        # Bumped when a key is added or removed while a walk runs.
        self._version: int = 0
        self._walkers: int = 0
        self.active: bool = True
        self.depth: int = 0
        self.lock: threading.RLock = threading.RLock()
        self.owner: int = threading.get_ident()

    # ---- reading through the pending changes --------------------------------

    def _value(self, key: bytes) -> bytes | None:
        changes = self._changes
        if key in changes:
            return changes[key]
        return None if self._cleared else self._raw.get(key)

    def _in_file(self, key: bytes) -> bool:
        return not self._cleared and key in self._raw

    def _present(self, key: bytes) -> bool:
        changes = self._changes
        if key in changes:
            return changes[key] is not None
        return self._in_file(key)

    def _set(self, key: bytes, value: bytes | None) -> None:
        """Records a change; the count and running walks hear of a key added
        or removed, which costs a lookup only while either is in use."""
        if self._length is not None or self._walkers:
            was = self._present(key)
            if was != (value is not None):
                self._version += 1
                if self._length is not None:
                    self._length += 1 if value is not None else -1
        self._changes[key] = value

    # ---- the mapping, each operation waiting for the batch's thread ---------

    def __getitem__(self, key: Data) -> bytes:
        with self.lock:
            if not self.active:
                return self._db[key]
            value = self._value(_stored(key))
        if value is None:
            raise KeyError(key)
        return value

    def get(self, key: Data, default: object = None, /) -> object:
        with self.lock:
            if not self.active:
                return self._db.get(key, default)
            value = self._value(_stored(key))
        return default if value is None else value

    def __contains__(self, key: object) -> bool:
        with self.lock:
            if not self.active:
                return key in self._db
            return self._present(_member(key))

    def __len__(self) -> int:
        with self.lock:
            if not self.active:
                return len(self._db)
            if self._length is None:
                self._length = self._count()
            return self._length

    def _count(self) -> int:
        count = 0 if self._cleared else len(self._raw)
        for key, value in self._changes.items():
            count += (value is not None) - self._in_file(key)
        return count

    def __bool__(self) -> bool:
        return len(self) > 0

    def __setitem__(self, key: Data, value: Data) -> None:
        with self.lock:
            if not self.active:
                self._db[key] = value
                return
            self._set(_stored(key), _stored(value))

    def __delitem__(self, key: Data) -> None:
        with self.lock:
            if not self.active:
                del self._db[key]
                return
            stored = _stored(key)
            if not self._present(stored):
                raise KeyError(key)
            self._set(stored, None)

    def setdefault(self, key: Data, default: Data | None = None, /) -> bytes:
        with self.lock:
            if not self.active:
                return self._db.setdefault(key, default)
            stored = _stored(key)
            value = self._value(stored)
            if value is None:
                value = _stored(default)
                self._set(stored, value)
            return value

    def pop(self, key: Data, default: object = MISSING, /) -> object:
        with self.lock:
            if not self.active:
                return self._db.pop(key) if default is MISSING else self._db.pop(key, default)
            stored = _stored(key)
            value = self._value(stored)
            if value is None:
                if default is MISSING:
                    raise KeyError(key)
                return default
            self._set(stored, None)
            return value

    def popitem(self) -> tuple[bytes, bytes]:
        with self.lock:
            if not self.active:
                return self._db.popitem()
            for key in self._keys():
                value = cast("bytes", self._value(key))
                self._set(key, None)
                return key, value
            raise KeyError("popitem(): database is empty")

    def clear(self) -> None:
        with self.lock:
            if not self.active:
                cast("MutableMapping[bytes, bytes]", cast("object", self._db)).clear()
                return
            self._changes = {}
            self._cleared = True
            self._length = 0
            self._version += 1

    # ---- walks ---------------------------------------------------------------

    def _keys(self) -> Iterator[bytes]:
        """The file's keys that the batch leaves, in the file's order, then
        the keys the batch stores; RuntimeError when a key is added or
        removed meanwhile, as a dict's iterator does."""
        self._walkers += 1
        try:
            version = self._version
            changes = self._changes
            raw = self._raw
            key = None if self._cleared else raw.firstkey()
            while key is not None:
                if key not in changes:
                    yield key
                    if self._version != version:
                        raise RuntimeError("the batch's keys changed during iteration")
                key = raw.nextkey(key)
            for key in list(self._changes):
                if self._version != version:
                    raise RuntimeError("the batch's keys changed during iteration")
                if self._changes.get(key) is not None:
                    yield key
        finally:
            self._walkers -= 1

    def __iter__(self) -> Iterator[bytes]:
        with self.lock:
            if not self.active:
                return iter(self._db)
            return self._keys()

    def iter_values(self) -> Iterator[bytes]:
        return (value for _, value in self.iter_items())

    def iter_items(self) -> Iterator[tuple[bytes, bytes]]:
        with self.lock:
            if not self.active:
                return self._db._iter_items()
            return ((key, cast("bytes", self._value(key))) for key in self._keys())

    # ---- nesting ---------------------------------------------------------------

    def savepoint(self) -> tuple[dict[bytes, bytes | None], bool, int | None]:
        """What an inner batch puts back when an exception leaves it."""
        return dict(self._changes), self._cleared, self._length

    def restore(self, saved: tuple[dict[bytes, bytes | None], bool, int | None]) -> None:
        self._changes, self._cleared, self._length = saved
        self._version += 1

    # ---- the commit -----------------------------------------------------------------

    def commit(self, journal: Journal) -> None:
        """Writes the pending changes to the file all together, through the
        journal: every change, or with error raised none."""
        raw = self._raw
        changes = self._changes
        if self._cleared:
            # Every record of the file goes, unless the batch stores it again.
            run: dict[bytes, bytes | None] = dict.fromkeys(raw.keys())
            run.update(changes)
        elif changes:
            run = changes
        else:
            return
        durable = self._durable
        # The room first: a store the file system refuses half-way can cost
        # records stored before the batch, which no journal holds.
        raw._reserve(run)
        try:
            journal.begin(raw, run, durable=durable)
            try:
                raw._apply(run, unmapped=len(run) >= UNMAPPED_FROM)
                if durable:
                    raw.sync()
                journal.end(durable=durable)
            except BaseException as failure:
                self._undo(journal, failure)
                raise
        finally:
            raw._release()

    def _undo(self, journal: Journal, failure: BaseException) -> None:
        """Puts the records back after a commit failed half-way."""
        database, name = journal.database, journal.name
        try:
            put_back(self._raw, journal)
            journal.discard()
        except BaseException as undo_failure:
            raise _kvstore.error(
                getattr(undo_failure, "errno", None) or getattr(failure, "errno", None) or 0,
                f"a batch's commit failed ({failure}) and so did its undo ({undo_failure}): the "
                + f"file may hold part of the batch; its journal {name} stays, and recover() or "
                + "the next kvstore.open for writing puts the records back",
                database,
            ) from failure


@final
class BatchBlock[D: Host]:
    """What Database.batch() returns: the block's start and end."""

    __slots__ = ("_batch", "_db", "_durable", "_journal", "_saved")

    def __init__(self, db: D, journal: Journal, durable: bool) -> None:
        self._db: D = db
        self._journal: Journal = journal
        self._durable: bool = durable
        self._batch: Batch | None = None
        self._saved: tuple[dict[bytes, bytes | None], bool, int | None] | None = None

    def __enter__(self) -> D:
        db = self._db
        me = threading.get_ident()
        while True:
            with _starting:
                running = cast("Batch | None", db._batch)
                if running is None:
                    batch = Batch(db, self._durable)
                    _ = batch.lock.acquire()
                    db._batch = batch
                    break
                if running.owner == me:
                    batch = running
                    self._saved = batch.savepoint()
                    break
            # Another thread's batch: wait for its end, then start anew.
            with running.lock:
                pass
        batch.depth += 1
        self._batch = batch
        return db

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        batch = self._batch
        assert batch is not None
        self._batch = None
        batch.depth -= 1
        if batch.depth:
            if exc is not None and self._saved is not None:
                batch.restore(self._saved)
            return
        try:
            if exc is None:
                batch.commit(self._journal)
        finally:
            batch.active = False
            self._db._batch = None
            batch.lock.release()

    @override
    def __repr__(self) -> str:
        return f"<kvstore batch of {self._db!r}>"
