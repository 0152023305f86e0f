"""The rollback journal of a batch's commit: the records a batch is about to
change, as they were, in a file beside the database.

A commit writes the journal whole before it changes the first record, and
voids it once the changes are in the file. A journal found whole beside a
database therefore means a commit that did not finish: its records are put
back (rolled back) by the next writer. A journal cut short (a crash while it
was written) or voided means the database is as a commit left it, and is
only removed.

The file stays between the commits of one open Database, voided, and goes
when the Database is closed: making and removing a file costs the folder a
change for each commit (and, flushed, two folder flushes), where voiding one
costs a write.

Layout, integers big-endian: the magic, the database file's device and inode
numbers, the number of records and the length of the records; then each
record (a flag byte, 1 when the key was stored, the key's and the value's
lengths, the key, the value), as the gdbm object's _journal() gives them;
then the CRC-32 of all that precedes. Bytes after it are what a longer
journal left, and are not read. Voiding overwrites the magic with zeros.
"""

from __future__ import annotations

import errno
import os
import struct
import zlib
from typing import Final, cast, final

import _kvstore

_MAGIC: Final = b"kvstore-journal\x01"
_HEADER: Final = struct.Struct(">16sQQQQ")
_RECORD: Final = struct.Struct(">BII")
_CHECKSUM: Final = struct.Struct(">I")
_VOID: Final = bytes(len(_MAGIC))

SUFFIX: Final = "-journal"

type Identity = tuple[int, int]


def journal_name(database: str) -> str:
    """Where the journal of the database file `database` (an absolute,
    resolved name) is kept: beside it, so that a rename within the folder
    cannot part them and a symbolic link leads to one journal."""
    return database + SUFFIX


def identity_of(database: str) -> Identity:
    status = os.stat(database)
    return status.st_dev, status.st_ino


@final
class Entry:
    """One commit's journal: the file it belongs to and the records it
    puts back, `count` of them in `records` (the layout above)."""

    __slots__ = ("count", "identity", "records")

    def __init__(self, identity: Identity, count: int, records: bytes) -> None:
        self.identity: Identity = identity
        self.count: int = count
        self.records: bytes = records

    def parts(self) -> tuple[bytes, bytes, bytes]:
        """The journal file's content, in three parts."""
        header = _HEADER.pack(_MAGIC, *self.identity, self.count, len(self.records))
        checksum = zlib.crc32(self.records, zlib.crc32(header))
        return header, self.records, _CHECKSUM.pack(checksum)

    def before(self) -> dict[bytes, bytes | None]:
        """The records as they were (None: not stored)."""
        records: dict[bytes, bytes | None] = {}
        content = self.records
        position = 0
        for _ in range(self.count):
            stored, key_length, value_length = cast(
                "tuple[int, int, int]", _RECORD.unpack_from(content, position)
            )
            position += _RECORD.size
            key = content[position : position + key_length]
            position += key_length
            records[key] = content[position : position + value_length] if stored else None
            position += value_length
        return records


def decode(content: bytes) -> Entry | None:
    """The journal's entry, or None for one cut short, garbled or voided:
    one whose commit did not start or has ended."""
    if len(content) < _HEADER.size + _CHECKSUM.size:
        return None
    magic, device, inode, count, length = cast(
        "tuple[bytes, int, int, int, int]", _HEADER.unpack_from(content)
    )
    end = _HEADER.size + length
    if magic != _MAGIC or len(content) < end + _CHECKSUM.size:
        return None
    (checksum,) = cast("tuple[int]", _CHECKSUM.unpack_from(content, end))
    if zlib.crc32(memoryview(content)[:end]) != checksum:
        return None
    return Entry((device, inode), count, content[_HEADER.size : end])


@final
class Journal:
    """The journal file of one open Database's commits."""

    __slots__ = ("_made", "_named", "database", "name")

    def __init__(self, database: str) -> None:
        self.database: str = database
        self.name: str = journal_name(database)
        # Whether this Database made the file, which it voids after each
        # commit and removes when it is closed; and whether the file's name
        # in the folder is on the disk.
        self._made: bool = False
        self._named: bool = False

    def begin(self, entry: Entry, *, durable: bool) -> None:
        """Writes the journal of a commit about to start; with `durable`, it
        is on the disk (and its name in the folder) before this returns.
        On a failure, nothing was changed and the journal is left void."""
        fd = os.open(self.name, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o600)
        self._made = True
        try:
            _write_all(fd, entry.parts())
            if durable:
                os.fdatasync(fd)
                if not self._named:
                    flush_folder(self.name)
                    self._named = True
        except BaseException as failure:
            # Best done: a whole journal of a commit that never started
            # puts back the records the file still holds.
            try:
                _void(fd)
            except OSError:
                pass
            if isinstance(failure, OSError) and not isinstance(failure, _kvstore.error):
                raise _kvstore.error(
                    failure.errno or errno.EIO,
                    f"a batch's journal could not be written ({failure.strerror or failure}): "
                    + "nothing was changed",
                    self.name,
                ) from failure
            raise
        finally:
            os.close(fd)

    def end(self, *, durable: bool) -> None:
        """Voids the journal: the commit's last step."""
        fd = os.open(self.name, os.O_WRONLY | os.O_CLOEXEC)
        try:
            _void(fd)
            if durable:
                os.fdatasync(fd)
        finally:
            os.close(fd)

    def discard(self) -> None:
        """Removes the journal, flushed: a failed commit's, once undone."""
        self._made = self._named = False
        remove(self.name)

    def close(self) -> None:
        """Removes the void journal of this Database's commits, if any."""
        if self._made:
            self._made = False
            content = read(self.name)
            if content is not None and decode(content) is None:
                os.unlink(self.name)


def _write_all(fd: int, parts: tuple[bytes, ...]) -> None:
    buffers = [memoryview(part) for part in parts if part]
    offset = 0
    while buffers:
        written = os.pwritev(fd, buffers, offset)
        offset += written
        while buffers and written >= len(buffers[0]):
            written -= len(buffers[0])
            _ = buffers.pop(0)
        if buffers:
            buffers[0] = buffers[0][written:]


def _void(fd: int) -> None:
    if os.pwrite(fd, _VOID, 0) != len(_VOID):
        raise _kvstore.error(errno.EIO, "the journal could not be voided")


def replace(name: str, entry: Entry) -> None:
    """Puts a new journal in the place of the old one in one step, flushed:
    the old one stays until the new one is whole on the disk."""
    fresh = name + ".new"
    fd = os.open(fresh, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
    try:
        try:
            _write_all(fd, entry.parts())
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(fresh, name)
    except BaseException:
        os.unlink(fresh)
        raise
    flush_folder(name)


def remove(name: str) -> None:
    """Removes a journal that needs nothing more, flushed."""
    os.unlink(name)
    flush_folder(name)


def flush_folder(name: str) -> None:
    fd = os.open(os.path.dirname(name) or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read(name: str) -> bytes | None:
    """The journal's content, or None when there is none."""
    try:
        with open(name, "rb") as file:
            return file.read()
    except FileNotFoundError:
        return None


def unfinished(name: str) -> bool:
    """Whether the journal `name` is there, whole: a commit to roll back."""
    content = read(name)
    return content is not None and decode(content) is not None


def roll_back(raw: _kvstore.gdbm, database: str, name: str, identity: Identity | None = None) -> None:
    """Puts back the records of the unfinished commit whose journal `name`
    lies beside `database`, open for writing in `raw` (whose lock keeps every
    other writer out meanwhile), flushes them, then removes the journal. A
    journal cut short or voided is only removed. A journal that names another
    file is left, with error raised: the database was replaced since, and
    putting those records into it could mix two files. `identity` is the
    file's (device, inode) when the caller has just rebuilt it under a new
    one."""
    content = read(name)
    if content is None:
        return
    entry = decode(content)
    if entry is not None:
        if entry.identity != (identity or identity_of(database)):
            raise _kvstore.error(
                errno.EEXIST,
                f"the journal {name} of an unfinished batch belongs to another file than the "
                + "database now under this name (replaced since): remove it once you have "
                + "checked the database",
                database,
            )
        put_back(raw, entry, database, name)
    remove(name)


def put_back(raw: _kvstore.gdbm, entry: Entry, database: str, name: str) -> None:
    """Stores the records as they were (deleting those that were not there)
    and flushes them. A write cut short by a crash or refused by a full disk
    can leave the library refusing every change until the file is rebuilt:
    then it is rebuilt first, and the journal `name` made anew for the
    rebuilt file (a new inode) before anything else, so that it still rolls
    back should what follows fail too. A rebuild that could not read every
    record raises error once the journal's records are back: the records it
    lost are gone, unless the journal held them."""
    before = entry.before()
    raw._reserve(before)
    try:
        _put_back(raw, entry, before, database, name)
    finally:
        raw._release()


def _put_back(
    raw: _kvstore.gdbm, entry: Entry, before: dict[bytes, bytes | None], database: str, name: str
) -> None:
    try:
        raw._apply(before)
    except _kvstore.error:
        report = raw.recover(force=True)
        replace(name, Entry(identity_of(database), entry.count, entry.records))
        raw._apply(before)
        if report["failed_keys"] or report["failed_buckets"]:
            raw.sync()
            raise _kvstore.error(
                errno.EIO,
                f"rebuilding the file lost records ({report}): the batch's records are back as "
                + "they were, and the records lost are gone unless the batch had changed them",
            ) from None
    raw.sync()
