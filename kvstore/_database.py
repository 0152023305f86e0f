"""The Database mapping: a thin layer over one _kvstore object."""

from __future__ import annotations

import errno
import operator
import os
from collections.abc import Callable, ItemsView, Iterator, KeysView, MutableMapping, ValuesView
from typing import TYPE_CHECKING, Literal, NoReturn, Self, SupportsIndex, TypedDict, Unpack, cast, final, override

import _kvstore

from ._journal import Journal, roll_back
from ._batch import BatchBlock

if TYPE_CHECKING:
    from types import TracebackType

# Keys and values as the module takes them, and file names.
type Data = str | bytes
type FileName = str | bytes | os.PathLike[str] | os.PathLike[bytes]



class Tuning(TypedDict, total=False):
    """gdbm's settings for one open handle, as open() takes them."""

    mmap: bool | None
    cache_size: int | None
    block_size: int | None
    central_free: bool | None
    coalesce_blocks: bool | None


class RecoveryReport(TypedDict):
    """What Database.recover() did, as a dict: the counts of what the
    rebuild carried over and of what it could not read, and the name of
    the damaged file kept beside the database (backup=True), else None. A
    file that the check found whole is left as it was, with every count
    0."""

    recovered_keys: int
    """Records read from the damaged file and written to the new one."""
    recovered_buckets: int
    """Buckets read whole."""
    failed_keys: int
    """Records that could not be read, and are not in the new file."""
    failed_buckets: int
    """Buckets that could not be read: their records are not in the new file."""
    duplicate_keys: int
    """Keys found more than once: the first record read is kept."""
    backup_name: str | None
    """The damaged file, kept under this name with backup=True; else None."""


class Database(_kvstore._Mapping, MutableMapping[bytes, bytes]):  # pyright: ignore[reportPrivateUsage]
    """An open gdbm database file as a mutable mapping from bytes to bytes.

    Keys and values may be given as str (stored as UTF-8) or bytes; they
    always come back as bytes. Iterating walks the file's hash table one key
    at a time. Storing a new key or deleting one through this object or its
    raw object while one of its iterators is running makes that iterator
    raise RuntimeError, as a dict does; replacing the value of a stored key
    does not.
    """

    # No instance dict: the interpreter's fast path for a method call on an
    # object that has one is missed (db.get() would cost a tenth more than
    # the same call on the _kvstore object).
    __slots__: tuple[str, ...] = ("_closed", "_database", "_filename", "_flag", "_journal")

    def __init__(
        self, filename: FileName, flag: str = "r", mode: int = 0o666, **tuning: Unpack[Tuning]
    ) -> None:
        self._raw: _kvstore.gdbm = _kvstore._open_tuned(filename, flag, mode, **tuning)  # pyright: ignore[reportPrivateUsage]
        self._filename: str = os.fsdecode(filename)
        self._flag: str = flag
        self._closed: bool = False
        # The file itself, past symbolic links: its batches' journal lies beside it.
        self._database: str = os.path.realpath(self._filename)
        self._journal: Journal = Journal(self._database)
        # Without the file's lock, another opener may be committing a batch:
        # its journal is not ours to touch.
        if "u" not in flag[1:]:
            try:
                self._settle_journal()
            except BaseException:
                self.close()
                raise

    def _settle_journal(self, identity: tuple[int, int] | None = None) -> None:
        """Rolls back a batch that a crash or a failed undo left unfinished,
        whose journal lies beside the file; run while holding the file's
        lock. identity: the file's (device, inode) before recover() rebuilt
        it under a new one."""
        name = self._journal.name
        if not os.path.lexists(name):
            return
        if self._flag[:1] == "n":
            # The file was emptied by this open: the records are no more.
            self._journal.discard()
        elif self._flag[:1] == "r":
            if not self._journal.unfinished():
                # A void journal, which a Database killed between commits left.
                return
            raise _kvstore.error(
                errno.EUCLEAN,
                f"the journal {name} of an unfinished batch lies beside the database: open it "
                + "for writing ('w') once, which rolls the batch back",
                self._filename,
            )
        else:
            roll_back(self._raw, self._journal, identity)

    # ---- the mapping ------------------------------------------------------
    # Subscription, assignment, deletion, `in`, len(), the truth value,
    # iteration, get(), setdefault(), pop(), popitem() and clear() are
    # _kvstore's _Mapping, in C: no Python frame between the caller and the
    # library, and while a batch runs, its pending changes.

    @override
    def keys(self) -> KeysView[bytes]:
        """A live view of the keys: iterating it walks the file's hash table
        one key at a time, as iterating the Database does; len() and in
        ask the file, and set operations answer as a dict's keys view does."""
        return Keys(self)

    @override
    def items(self) -> ItemsView[bytes, bytes]:
        """A live view of the (key, value) pairs: iterating it walks the file
        one record at a time; in looks the key up and compares its value."""
        return _Items(self)

    @override
    def values(self) -> ValuesView[bytes]:
        """A live view of the values: iterating it walks the file one record
        at a time."""
        return _Values(self)

    # ---- read-modify-write --------------------------------------------------

    def transform(self, key: Data, function: Callable[[bytes | None], Data | None]) -> Data | None:
        """Stores what function returns for the value of key (None when key is
        missing) and returns it; None from function deletes key.

        The lookup and the store are one step: inside a batch they join it,
        and outside one they make a batch of their own, in which another
        thread's use of this Database waits; an exception from function
        changes nothing.
        """
        if not self._closed and self._flag[:1] == "r":
            raise _kvstore.error("transform() needs a database opened for writing, not for reading")
        with self.batch():
            return keep(self, key, function(self.get(key)))

    def incr(self, key: Data, delta: int = 1, default: int | None = 0) -> int:
        """Adds delta to the whole number stored as text under key (as b"42"),
        stores the sum the same way and returns it, in one step as
        transform() makes it. A missing key counts as default; with default
        None it raises KeyError. A value that is not a whole number raises
        ValueError and stays.
        """
        return int(cast("bytes", self.transform(key, counter(key, delta, default))))

    def decr(self, key: Data, delta: int = 1, default: int | None = 0) -> int:
        """incr(key, -delta, default)."""
        return self.incr(key, -delta, default)

    # ---- batches ----------------------------------------------------------

    def batch(self, *, durable: bool | None = None) -> BatchBlock[Self]:
        """Groups the changes made in a with block into one that happens
        whole or not at all.

        Until the block ends, changes are kept in memory, and reads through
        this Database see them. When the block ends normally, they are
        written together: the records they replace go first to a journal
        beside the file, which the next open for writing rolls back should
        the process die before the end. When an exception leaves the block,
        every change made in it is dropped and the exception goes on. A
        block inside another (in the same thread) joins it, and an exception
        leaving the inner block drops the inner block's changes alone.
        Another thread's use of this Database waits for the block's end.

        durable: whether the journal and the commit are flushed to the disk,
        so that a crash of the machine cannot leave part of a batch either;
        None, the default, follows the file's 's' flag. Without it, a batch
        is whole against the death of the process, at a cost close to that
        of its changes alone. The block gives this Database.
        """
        if self._closed:
            raise _kvstore.error("GDBM object has already been closed")
        if self._flag[:1] == "r":
            raise _kvstore.error("batch() needs a database opened for writing, not for reading")
        return BatchBlock(self, self._journal, "s" in self._flag[1:] if durable is None else durable)

    # ---- the file ---------------------------------------------------------

    def sync(self) -> None:
        """Writes every change still in the library's cache to the disk."""
        self._wait_for_batch(None)
        self._raw.sync()

    def recover(
        self,
        *,
        backup: bool = False,
        force: bool = False,
        max_failures: int | None = None,
        progress: Callable[[int, int], object] | None = None,
    ) -> RecoveryReport:
        """Rebuilds a damaged file from what the library can still read, and
        returns what it did (a RecoveryReport); see the _kvstore object's
        recover() for the arguments.

        The rebuild is one library call, which other threads wait for;
        progress, when given, hears (0, 1) before it and (1, 1) after it.
        """
        self._wait_for_batch("recover")
        if progress is not None:
            _ = progress(0, 1)
        before = os.stat(self._database)
        report = self._raw.recover(backup=backup, force=force, max_failures=max_failures)
        # A batch whose commit failed and whose undo failed too is rolled
        # back now, over the rebuilt file (a new one, when rebuilt).
        self._settle_journal((before.st_dev, before.st_ino))
        if progress is not None:
            _ = progress(1, 1)
        return report

    def failure_atomic(self, even: FileName, odd: FileName) -> None:
        """Keeps two crash-tolerant snapshots of the file, even and odd, taken
        in turn at each sync; see the _kvstore object's failure_atomic()."""
        self._wait_for_batch("failure_atomic")
        self._raw.failure_atomic(even, odd)

    def dump(
        self,
        path: FileName,
        format: Literal["ascii", "binary"] = "ascii",
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Writes every record to a dump file that gdbm's own tools read.

        "ascii" is a portable text file that also keeps the database's file
        mode and owner; "binary" is gdbm's older, more compact format, which
        has no end mark. The file appears under path, replacing one there,
        only once complete. progress(done, total), when given, hears how many
        records are written, between short steps in which other threads run.
        """
        self._wait_for_batch("dump")
        self._raw.dump(path, format, progress=progress)

    def load(
        self,
        path: FileName,
        replace: bool = False,
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Stores every record of a dump file, or none: a malformed dump, an
        existing key (unless replace is true) or a failure leaves the records
        as they were. Afterwards an ASCII dump sets the file's mode and owner
        to those it records, as gdbm's tools do. progress as in dump().

        A dump smaller than the database file is stored in place, as a
        durable batch (see batch()), which costs what its records cost; a
        larger one is written with the database's records into a new file
        that then takes the database's name, as the _kvstore object's load()
        does."""
        self._wait_for_batch("load")
        if not self._loads_in_place(path):
            self._raw.load(path, replace, progress=progress)
            return

        def commit(records: dict[bytes, bytes]) -> None:
            with self.batch(durable=True):
                if progress is not None:
                    _ = progress(0, len(records))
                self.update(records)
                if progress is not None:
                    _ = progress(len(records), len(records))

        self._raw._load_with(path, replace, commit)

    def _loads_in_place(self, path: FileName) -> bool:
        """Whether a load of the dump `path` is cheaper as a batch than as a
        rewrite of the whole file: when the dump is the smaller file."""
        try:
            return os.stat(path).st_size < os.stat(self._database).st_size
        except OSError:
            # The rewrite's load names what is wrong.
            return False

    def close(self) -> None:
        """Closes the file; closing twice is fine."""
        self._close(self._raw.close)

    def _close_letting_go(self) -> None:
        """close(), the file's lock let go before the final flush: for a
        kvstore.Shared write turn (see _kvstore's _close_letting_go)."""
        self._close(self._raw._close_letting_go)

    def _close(self, close_raw: Callable[[], None]) -> None:
        self._wait_for_batch("close")
        self._closed = True
        try:
            self._journal.close()
        finally:
            close_raw()

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
        """The _kvstore object underneath, for firstkey() and nextkey() and
        for code that wants no Python layer. Close the file through the
        Database, which then knows it is closed."""
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

    # A copy would share the open file: closing either would close both,
    # and the other would still say it is open.
    @override
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn:
        raise TypeError(f"cannot pickle {type(self).__name__!r} object")

    @override
    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<kvstore.Database {self._filename!r} flag={self._flag!r} {state}>"


def keep(db: Database, key: Data, new: Data | None) -> Data | None:
    """transform()'s store: new under key, or key deleted for None; gives
    new back."""
    if new is None:
        _ = db.pop(key, None)
    else:
        db[key] = new
    return new


def counter(key: Data, delta: int, default: int | None) -> Callable[[bytes | None], bytes]:
    """incr()'s function for transform(): the whole number stored as text
    under key, or default when key is missing, plus delta, as text."""
    delta = operator.index(delta)
    default = None if default is None else operator.index(default)

    def counted(value: bytes | None) -> bytes:
        if value is None:
            if default is None:
                raise KeyError(key)
            number = default
        else:
            try:
                number = int(value)
            except ValueError:
                raise ValueError(f"the value of {key!r} is not a whole number written as text: {value!r}") from None
        return b"%d" % (number + delta)

    return counted


def _as_stored(key: object) -> bytes | None:
    """key as a store would hold it; None for a key that no store takes.
    A dict's views answer False for such a key where the Database's own
    lookups refuse it, after hashing it: an unhashable key raises TypeError
    there as well."""
    if isinstance(key, bytes):
        return key
    if isinstance(key, str):
        try:
            return key.encode()
        except UnicodeEncodeError:
            return None
    _ = hash(key)
    return None


def holds_item(get: Callable[[bytes], bytes | None], item: object) -> bool:
    """Whether the (key, value) pair `item` is stored, as a dict's items
    view answers: `get` looks the key up."""
    if not (isinstance(item, tuple) and len(cast("tuple[object, ...]", item)) == 2):
        return False
    key, value = cast("tuple[object, object]", item)
    stored = _as_stored(key)
    if stored is None:
        return False
    found = get(stored)
    return found is not None and (found is value or found == value)


# The views walk the file in C, one record per step, and answer membership
# and set operations as a dict's views do.

@final
class Keys(KeysView[bytes]):
    """The keys view of Database and Shared: a key that no store takes is
    not among them, where the mapping's own `in` refuses it."""

    __slots__ = ()
    _mapping: MutableMapping[bytes, bytes]

    @override
    def __contains__(self, key: object) -> bool:
        stored = _as_stored(key)
        return stored is not None and stored in self._mapping

    @override
    def __iter__(self) -> Iterator[bytes]:
        return iter(self._mapping)


@final
class _Items(ItemsView[bytes, bytes]):
    __slots__ = ()
    _mapping: Database

    @override
    def __contains__(self, item: object) -> bool:
        return holds_item(self._mapping.get, item)

    @override
    def __iter__(self) -> Iterator[tuple[bytes, bytes]]:
        return self._mapping._iter_items()


@final
class _Values(ValuesView[bytes]):
    __slots__ = ()
    _mapping: Database

    @override
    def __iter__(self) -> Iterator[bytes]:
        return self._mapping._iter_values()
