"""Shared: one database file used by many processes, each operation in a
turn of its own.

Every operation opens the file, works and closes it again, so that other
processes (and gdbm's own tools) get their turn in between; nothing stays
open from one operation to the next. A handle kept open between operations
would be quicker, but gdbm keeps the file's header, directory and buckets in
the handle, and nothing proves that another program left the file alone in
the meantime: gdbmtool or a plain kvstore.open writer bumps no counter, and
the file's change time can stay the same over two writes within one tick of
the file system's clock. So every turn reads the file afresh.

Who gets a turn is settled in two steps. First the turnstile, a lock file
beside the database (``NAME-lock``, locked with flock()): a writer holds it
exclusively for its whole turn; a reader holds it shared only while it
opens the file. Then gdbm's own lock, which gdbm's open takes: shared for a
reader, exclusive for a writer. A writer that holds the turnstile keeps new
readers out while the readers already in finish, so a steady stream of
readers cannot starve it; and gdbm's lock keeps Shared users and every
other gdbm program apart as it always does.

Waiting for either lock sleeps until the holder lets go (kvstore/_waiting.py).

A writer's turn flushes once, after letting go of both locks: its changes
are in the file by then, so the next process reads or changes the file
while the flush runs, and the writer's call returns once the flush is done
(raising if it failed). flush_in_turn=True flushes before letting go.
"""

from __future__ import annotations

import errno
import fcntl
import math
import os
import threading
import time
from collections.abc import (
    Callable, Generator, ItemsView, Iterable, Iterator, KeysView, MutableMapping, ValuesView
)
from contextlib import contextmanager
from typing import TYPE_CHECKING, Final, cast, final, overload, override

import _kvstore

from ._batch import MISSING
from ._database import Data, Database, FileName, Keys, counter, holds_item, keep
from ._journal import journal_name, unfinished
from ._waiting import lock, locked, wait_for_gdbm

if TYPE_CHECKING:
    from _typeshed import SupportsKeysAndGetItem

LOCK_SUFFIX: Final = "-lock"


# ---- what this process holds ----------------------------------------------

# The lock files this process has open, in any thread. A child of fork()
# closes its copies at once: a copy would keep the lock alive after the
# parent let go of it or died. Each turn notes the number of forks so far,
# and a turn that ends in a child leaves the (closed) descriptor alone.
_lock_files: set[int] = set()
_forks = 0


def _forget_lock_files() -> None:
    global _forks
    _forks += 1
    for fd in _lock_files:
        try:
            os.close(fd)
        except OSError:
            pass
    _lock_files.clear()


os.register_at_fork(after_in_child=_forget_lock_files)


class _Blocks(threading.local):
    """The database files whose batch() or reading() block this thread is in."""

    def __init__(self) -> None:
        self.databases: set[str] = set()


_blocks = _Blocks()


# ---- the shared store ----------------------------------------------------------


class Shared(MutableMapping[bytes, bytes]):
    """A gdbm database file that many processes (and threads) use at once,
    each operation opening the file, locking it, working and letting go.

    Readers share the file and writers take turns: a writer waits for the
    readers already in, and readers that come after it wait for it. Each
    method is one turn and sees, or makes, one whole state of the file;
    batch() makes a turn of a whole with block, all or nothing, and
    reading() holds one state for a block. Waiting sleeps until the holder
    lets go, for up to timeout seconds (None: as long as it takes), then
    raises error with errno EAGAIN. flag is "r" (reads only), "w" (the file
    exists) or "c" (created when missing), optionally followed by "s" (every
    change flushed, batches durable); mode is the permission of a newly
    created file and of the lock file beside it.

    A write turn lets go of the file before its flush, so that other
    processes need not wait for the disk: they may read a change whose
    flush is still running, which a loss of power in that moment can undo.
    The writer's call returns once its flush is done, and raises if the
    flush failed. flush_in_turn=True flushes before letting go instead.
    """

    __slots__: tuple[str, ...] = (
        "_database", "_filename", "_flag", "_flush_in_turn", "_journal", "_lock_file", "_mode", "_timeout"
    )

    def __init__(
        self,
        filename: FileName,
        flag: str = "c",
        mode: int = 0o666,
        *,
        timeout: float | None = 10.0,
        flush_in_turn: bool = False,
    ) -> None:
        if flag[:1] not in ("r", "w", "c") or flag[1:] not in ("", "s"):
            raise ValueError(f"flag must be 'r', 'w' or 'c', optionally followed by 's', not {flag!r}")
        if timeout is not None and not timeout >= 0:
            raise ValueError(f"timeout must be a number of seconds, 0 or more, or None, not {timeout!r}")
        self._filename: str = os.fsdecode(filename)
        self._flag: str = flag
        self._mode: int = mode
        self._timeout: float | None = timeout
        self._flush_in_turn: bool = bool(flush_in_turn)
        # The file itself, past symbolic links, as its batches' journal is
        # named: the lock file lies beside it too.
        self._database: str = os.path.realpath(self._filename)
        self._journal: str = journal_name(self._database)
        self._lock_file: str = self._database + LOCK_SUFFIX
        # The file is made, or found, once: its rolled back journal too.
        if flag[:1] == "c":
            with self._writer_turn("c"):
                pass
        else:
            self._reading(lambda db: None)

    # ---- turns -----------------------------------------------------------------

    def _deadline(self) -> float:
        if self._timeout is None:
            return math.inf
        return time.monotonic() + self._timeout

    def _timed_out(self) -> _kvstore.error:
        return locked(self._filename, self._timeout or 0.0)

    def _outside_blocks(self) -> None:
        """Refuses a turn that this thread's own block would never let in."""
        if self._database in _blocks.databases:
            raise _kvstore.error(
                errno.EDEADLK,
                "this thread is inside a batch() or reading() block of this database (or "
                + "transform()'s function): use the database that the block gives",
                self._filename,
            )

    def _take_turnstile(self, exclusive: bool, deadline: float) -> tuple[int, int]:
        """The lock file, open and locked; and the number of forks when taken."""
        # Never through a symbolic link nor waiting on a FIFO: a regular file or error.
        fd = _kvstore._open_beside(self._lock_file, self._mode)  # pyright: ignore[reportPrivateUsage]
        _lock_files.add(fd)
        try:
            if not lock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH, self._lock_file, deadline):
                raise self._timed_out()
        except BaseException:
            _lock_files.discard(fd)
            os.close(fd)
            raise
        return fd, _forks

    @staticmethod
    def _let_go(turnstile: tuple[int, int]) -> None:
        fd, forks = turnstile
        if forks != _forks:
            # Taken before a fork, in the parent, whose lock it is.
            return
        _lock_files.discard(fd)
        # Unlocked before it is closed: a copy of the descriptor that a fork
        # made, and that the child has not closed yet, cannot keep the lock.
        fcntl.flock(fd, fcntl.LOCK_UN)
        os.close(fd)

    def _open[T: (_kvstore.gdbm, Database)](self, opener: Callable[[], T], exclusive: bool, deadline: float) -> T | None:
        """opener's result once gdbm's lock lets it open the file; None for a
        reader that found the journal of a crashed batch beside the file,
        which a writer's open rolls back (a Database for writing does)."""
        missed = 0
        while True:
            try:
                opened = opener()
            except _kvstore.error as refused:
                if refused.errno == errno.EUCLEAN and not exclusive and os.path.lexists(self._journal):
                    return None
                if refused.errno != errno.EAGAIN:
                    raise
            else:
                try:
                    settled = exclusive or not unfinished(self._database)
                except BaseException:
                    opened.close()
                    raise
                if settled:
                    return opened
                # Under gdbm's lock no commit runs: a whole journal is a crashed one's.
                opened.close()
                return None
            if not wait_for_gdbm(self._database, exclusive, deadline, missed):
                raise self._timed_out()
            missed += 1

    def _enter[T: (_kvstore.gdbm, Database)](self, opener: Callable[[], T]) -> T:
        """A reader's turn: opener's result, which holds gdbm's shared lock
        until it is closed; the turnstile is let go once it is open."""
        self._outside_blocks()
        deadline = self._deadline()
        while True:
            turnstile = self._take_turnstile(False, deadline)
            try:
                opened = self._open(opener, False, deadline)
            finally:
                self._let_go(turnstile)
            if opened is not None:
                return opened
            with self._writer_turn(deadline=deadline):
                pass
            if time.monotonic() >= deadline:
                raise self._timed_out()

    @contextmanager
    def _writer_turn(
        self, flag: str = "w", *, mmap: bool | None = None, deadline: float | None = None
    ) -> Generator[Database]:
        """A writer's turn: the file open for writing (`flag`), kept from every
        other opener until the block ends; then the flush, after letting go
        unless flush_in_turn. A block that raises changed nothing to flush."""
        self._outside_blocks()
        if deadline is None:
            deadline = self._deadline()
        turnstile = self._take_turnstile(True, deadline)
        try:
            db = self._open(
                lambda: Database(self._database, flag + self._flag[1:], self._mode, mmap=mmap), True, deadline
            )
            assert db is not None
        except BaseException:
            self._let_go(turnstile)
            raise
        try:
            yield db
        except BaseException:
            try:
                db.close()
            finally:
                self._let_go(turnstile)
            raise
        if self._flush_in_turn:
            try:
                db.close()
            finally:
                self._let_go(turnstile)
        else:
            try:
                self._let_go(turnstile)
            finally:
                db._close_letting_go()  # pyright: ignore[reportPrivateUsage]

    def _reading[R](self, work: Callable[[_kvstore.gdbm], R]) -> R:
        """work(the file open for reading), in a reader's turn."""
        db = self._enter(self._reader)
        try:
            return work(db)
        finally:
            db.close()

    def _reader(self) -> _kvstore.gdbm:
        # Without the mapping an open costs less than half: one operation
        # reads a bucket or two.
        return _kvstore._open_tuned(self._database, "r", mmap=False)  # pyright: ignore[reportPrivateUsage]

    def _writable(self) -> None:
        if self._flag[:1] == "r":
            raise _kvstore.error("this Shared database was opened for reading only (flag 'r')")

    def _writing[R](self, work: Callable[[Database], R]) -> R:
        """work(the file open for writing), in a writer's turn. Without the
        mapping, which one or two changes do not repay."""
        self._writable()
        with self._writer_turn(mmap=False) as db:
            return work(db)

    # ---- blocks ----------------------------------------------------------------------

    @contextmanager
    def batch(self, *, durable: bool | None = None) -> Generator[Database]:
        """Holds the writer's turn for a with block, whose changes happen
        whole or not at all, as in Database.batch(), whose argument it takes.

        The block gives a Database open for writing, for use inside the block
        only: other processes and threads wait for the block's end.
        """
        self._writable()
        with self._writer_turn() as db, _inside(self._database), db.batch(durable=durable):
            yield db

    @contextmanager
    def reading(self) -> Generator[Database]:
        """Holds one state of the file for a with block, shared with other
        readers: writers wait for the block's end.

        The block gives a Database open for reading, for use inside the block
        only.
        """
        db = self._enter(lambda: Database(self._database, "r"))
        try:
            with _inside(self._database):
                yield db
        finally:
            db.close()

    # ---- the mapping: one turn each -----------------------------------------------

    @override
    def __getitem__(self, key: Data) -> bytes:
        return self._reading(lambda db: db[key])

    @overload
    def get(self, key: Data, default: None = None, /) -> bytes | None: ...
    @overload
    def get(self, key: Data, default: bytes, /) -> bytes: ...
    @overload
    def get[T](self, key: Data, default: T, /) -> bytes | T: ...
    @override
    def get(self, key: Data, default: object = None, /) -> object:
        """The value of key, or default when key is missing: one reader's turn."""
        return self._reading(lambda db: db.get(key, default))

    @override
    def __contains__(self, key: object) -> bool:
        return self._reading(lambda db: cast("Data", key) in db)

    @override
    def __len__(self) -> int:
        return self._reading(len)

    @override
    def __iter__(self) -> Iterator[bytes]:
        """The keys as they were when iteration started: a snapshot, taken in
        one turn, so that other processes' changes meanwhile neither stop nor
        skew it."""
        return iter(self._reading(lambda db: db.keys()))

    @override
    def keys(self) -> KeysView[bytes]:
        """A view of the keys: iterating it reads every key in one reader's
        turn and walks that snapshot; len() and in take a turn each."""
        return Keys(self)

    @override
    def items(self) -> ItemsView[bytes, bytes]:
        """A view of the (key, value) pairs: iterating it reads every record
        in one reader's turn and walks that snapshot; in takes a turn."""
        return _Items(self)

    @override
    def values(self) -> ValuesView[bytes]:
        """A view of the values: iterating it reads every record in one
        reader's turn and walks that snapshot."""
        return _Values(self)

    def _snapshot(self) -> list[tuple[bytes, bytes]]:
        return self._reading(lambda db: [(key, db[key]) for key in db.keys()])

    @override
    def __setitem__(self, key: Data, value: Data) -> None:
        self._writing(lambda db: db.__setitem__(key, value))

    @override
    def __delitem__(self, key: Data) -> None:
        self._writing(lambda db: db.__delitem__(key))

    @override
    def setdefault(self, key: Data, default: Data | None = None, /) -> bytes:
        """The value of key; a missing key is first stored with default, in
        the writer's turn that checks that it is still missing."""
        found = self.get(key)
        if found is not None:
            return found
        return self._writing(lambda db: db.setdefault(key, default))

    @overload
    def pop(self, key: Data, /) -> bytes: ...
    @overload
    def pop(self, key: Data, default: bytes, /) -> bytes: ...
    @overload
    def pop[T](self, key: Data, default: T, /) -> bytes | T: ...
    @override
    def pop(self, key: Data, default: object = MISSING, /) -> object:
        """If key is stored, removes it and returns its value, else returns
        default; without a default, a missing key raises KeyError. One
        writer's turn."""

        if default is MISSING:
            return self._writing(lambda db: db.pop(key))
        return self._writing(lambda db: db.pop(key, default))

    @override
    def popitem(self) -> tuple[bytes, bytes]:
        """Removes the first key in the file's order and returns it with its
        value (KeyError when the file is empty): one writer's turn."""
        return self._writing(lambda db: db.popitem())

    @override
    def clear(self) -> None:
        self._writing(lambda db: db.clear())

    # ---- read-modify-write: one writer's turn each -------------------------------

    def transform(self, key: Data, function: Callable[[bytes | None], Data | None]) -> Data | None:
        """Stores what function returns for the value of key (None when key is
        missing) and returns it; None from function deletes key. The lookup,
        the call and the store are one writer's turn: no other process or
        thread changes the file in between. An exception from function
        changes nothing; function must not use this database (it would
        wait for its own turn: error EDEADLK)."""
        self._writable()

        def change(db: Database) -> Data | None:
            with _inside(self._database):
                new = function(db.get(key))
            return keep(db, key, new)

        return self._writing(change)

    def incr(self, key: Data, delta: int = 1, default: int | None = 0) -> int:
        """Adds delta to the whole number stored as text under key (as b"42"),
        stores the sum the same way and returns it, in one writer's turn. A
        missing key counts as default; with default None it raises
        KeyError. A value that is not a whole number raises ValueError and
        stays."""
        return int(cast("bytes", self.transform(key, counter(key, delta, default))))

    def decr(self, key: Data, delta: int = 1, default: int | None = 0) -> int:
        """incr(key, -delta, default)."""
        return self.incr(key, -delta, default)

    @overload
    def update(self, other: SupportsKeysAndGetItem[bytes, Data], /, **kwds: Data) -> None: ...
    @overload
    def update(self, other: SupportsKeysAndGetItem[str, Data], /, **kwds: Data) -> None: ...
    @overload
    def update(self, other: Iterable[tuple[Data, Data]], /, **kwds: Data) -> None: ...
    @overload
    def update(self, /, **kwds: Data) -> None: ...
    @override
    def update(self, other: object = (), /, **kwds: Data) -> None:
        """Stores every pair of other and kwds in one writer's turn, all or
        nothing. other is read first, outside the turn."""
        if isinstance(other, Shared):
            pairs: list[tuple[Data, Data]] = list(other.items())
        elif hasattr(other, "keys"):
            source = cast("SupportsKeysAndGetItem[Data, Data]", other)
            pairs = [(key, source[key]) for key in source.keys()]
        else:
            pairs = list(cast("Iterable[tuple[Data, Data]]", other))
        pairs.extend(kwds.items())
        if not pairs:
            return
        with self.batch() as db:
            for key, value in pairs:
                db[key] = value

    # ---- what it is ---------------------------------------------------------------

    @property
    def filename(self) -> str:
        """The file name as given, decoded as os.fsdecode does."""
        return self._filename

    @property
    def flag(self) -> str:
        """The flag letters given."""
        return self._flag

    @property
    def timeout(self) -> float | None:
        """How long a turn waits for other holders, in seconds; None: no limit."""
        return self._timeout

    @property
    def flush_in_turn(self) -> bool:
        """Whether a write turn flushes before letting go of the file, rather
        than after."""
        return self._flush_in_turn

    @override
    def __repr__(self) -> str:
        return f"<kvstore.Shared {self._filename!r} flag={self._flag!r}>"


@contextmanager
def _inside(database: str) -> Generator[None]:
    """Marks this thread as inside a block of `database`."""
    _blocks.databases.add(database)
    try:
        yield
    finally:
        _blocks.databases.discard(database)


# The views of items and values read every record in one turn: a snapshot,
# not a record at a time, which other processes could change in between.


@final
class _Items(ItemsView[bytes, bytes]):
    __slots__ = ()
    _mapping: Shared

    @override
    def __contains__(self, item: object) -> bool:
        return holds_item(self._mapping.get, item)

    @override
    def __iter__(self) -> Iterator[tuple[bytes, bytes]]:
        return iter(self._mapping._snapshot())  # pyright: ignore[reportPrivateUsage]


@final
class _Values(ValuesView[bytes]):
    __slots__ = ()
    _mapping: Shared

    @override
    def __iter__(self) -> Iterator[bytes]:
        return iter([value for _, value in self._mapping._snapshot()])  # pyright: ignore[reportPrivateUsage]
