"""Batches: changes to a Database kept in memory until the block ends, then
written all together through a rollback journal, or not at all."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Final, cast, final, override

import _kvstore

from ._journal import Journal, put_back

if TYPE_CHECKING:
    from types import TracebackType

# The Database, as far as a batch uses it: its base type's operations.
type Host = _kvstore._Mapping  # pyright: ignore[reportPrivateUsage]

# A run of this many changes or more is applied with the file's mapping off:
# cheaper for each change, but each switch costs the library a flush
# (bench/batches.py measured where the two meet).
UNMAPPED_FROM: Final = 20_000


class _Missing:
    """pop()'s default when none is given: no value, a call leaves it out
    (as help() and the pages show it)."""

    @override
    def __repr__(self) -> str:
        return "<unrepresentable>"


MISSING: Final = _Missing()

# Taken only to start or join a batch, so that two threads never both start one.
_starting = threading.Lock()

# What an inner batch puts back when an exception leaves it.
type Savepoint = tuple[dict[bytes, bytes | None], bool]


@final
class Batch(_kvstore._Batch):  # pyright: ignore[reportPrivateUsage]
    """The pending changes of one Database's running batch. The mapping is
    the base type's, in C: while the batch is set as the Database's
    _batch, every per-record operation on the Database goes through it, and
    another thread's waits for `lock`, which the thread that started the
    batch holds until the batch ends. Here: nesting and the commit.

    The changes map each key to its new value, or to None for a deletion;
    `_cleared` says that clear() was called, after which no record of the
    file counts.
    """

    __slots__ = ("_durable", "depth")

    def __init__(self, raw: _kvstore.gdbm, durable: bool) -> None:
        super().__init__(raw)
        self._durable: bool = durable
        self.depth: int = 0
        self.lock = threading.RLock()

    # ---- nesting ---------------------------------------------------------------

    def savepoint(self) -> Savepoint:
        return dict(self._changes), self._cleared

    def restore(self, saved: Savepoint) -> None:
        self._changes, self._cleared = saved

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
        self._saved: Savepoint | None = None

    def __enter__(self) -> D:
        db = self._db
        me = threading.get_ident()
        while True:
            with _starting:
                running = cast("Batch | None", db._batch)
                if running is None:
                    batch = Batch(db._raw, self._durable)
                    _ = batch.lock.acquire()
                    try:
                        db._batch = batch
                    except BaseException:
                        batch.lock.release()
                        raise
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
            self._db._batch = None
            batch.lock.release()

    @override
    def __repr__(self) -> str:
        return f"<kvstore batch of {self._db!r}>"
