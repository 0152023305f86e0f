"""The rollback journal of a batch's commit: the records a batch is about to
change, as they were, in a file beside the database.

A commit writes the journal whole before it changes the first record, and
removes it once the changes are in the file. A journal found beside a
database therefore means a commit that did not finish: its records are put
back (rolled back) by the next writer. A journal cut short (a crash while it
was written) means the database was not touched yet, and is only removed.

Layout, integers big-endian: the magic, the database file's device and inode
numbers, the number of records and the length of what follows the header;
then each record (a flag byte, 1 when the key was stored, the key's and the
value's lengths, the key, the value); then the CRC-32 of all that precedes.
"""

from __future__ import annotations

import errno
import os
import struct
import zlib
from typing import TYPE_CHECKING, cast

import _kvstore

if TYPE_CHECKING:
    from collections.abc import Mapping

_MAGIC = b"kvstore-journal\x01"
_HEADER = struct.Struct(">16sQQQQ")
_RECORD = struct.Struct(">BII")
_CHECKSUM = struct.Struct(">I")

SUFFIX = "-journal"


def journal_name(database: str) -> str:
    """Where the journal of the database file `database` (an absolute,
    resolved name) is kept: beside it, so that a rename within the folder
    cannot part them and a symbolic link leads to one journal."""
    return database + SUFFIX


def encode(before: Mapping[bytes, bytes | None], identity: os.stat_result) -> bytes:
    """The journal's content for the records `before` (None: not stored)."""
    parts: list[bytes] = []
    append = parts.append
    pack = _RECORD.pack
    for key, value in before.items():
        if value is None:
            append(pack(0, len(key), 0))
            append(key)
        else:
            append(pack(1, len(key), len(value)))
            append(key)
            append(value)
    body = b"".join(parts)
    header = _HEADER.pack(_MAGIC, identity.st_dev, identity.st_ino, len(before), len(body))
    checksum = zlib.crc32(body, zlib.crc32(header))
    return b"".join((header, body, _CHECKSUM.pack(checksum)))


def decode(content: bytes) -> tuple[tuple[int, int], dict[bytes, bytes | None]] | None:
    """The database's (device, inode) and the records as they were, or None
    for a journal cut short or garbled: one whose writing did not finish."""
    if len(content) < _HEADER.size + _CHECKSUM.size:
        return None
    magic, device, inode, count, length = cast("tuple[bytes, int, int, int, int]", _HEADER.unpack_from(content))
    end = _HEADER.size + length
    if magic != _MAGIC or len(content) != end + _CHECKSUM.size:
        return None
    (checksum,) = cast("tuple[int]", _CHECKSUM.unpack_from(content, end))
    if zlib.crc32(memoryview(content)[:end]) != checksum:
        return None
    records: dict[bytes, bytes | None] = {}
    position = _HEADER.size
    for _ in range(count):
        stored, key_length, value_length = cast("tuple[int, int, int]", _RECORD.unpack_from(content, position))
        position += _RECORD.size
        key = content[position : position + key_length]
        position += key_length
        records[key] = content[position : position + value_length] if stored else None
        position += value_length
    return (device, inode), records


def write(name: str, content: bytes, *, durable: bool) -> None:
    """Writes the journal; with `durable`, it and its folder entry are on
    the disk before this returns."""
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
    try:
        try:
            view = memoryview(content)
            while view:
                view = view[os.write(fd, view) :]
            if durable:
                os.fsync(fd)
        finally:
            os.close(fd)
        if durable:
            flush_folder(name)
    except BaseException:
        # Nothing was changed yet: a journal cut short would only be removed
        # by the next open.
        os.unlink(name)
        raise


def replace(name: str, content: bytes) -> None:
    """Puts a new journal in the place of the old one in one step, flushed:
    the old one stays until the new one is whole on the disk."""
    fresh = name + ".new"
    write(fresh, content, durable=True)
    try:
        os.rename(fresh, name)
    except BaseException:
        os.unlink(fresh)
        raise
    flush_folder(name)


def remove(name: str, *, durable: bool) -> None:
    """Removes the journal: the commit's last step."""
    os.unlink(name)
    if durable:
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


def roll_back(
    raw: _kvstore.gdbm, database: str, name: str, identity: tuple[int, int] | None = None
) -> None:
    """Puts back the records of the unfinished commit whose journal `name`
    lies beside `database`, open for writing in `raw` (whose lock keeps every
    other writer out meanwhile), flushes them, then removes the journal. A
    journal cut short is only removed. A journal that names another file is
    left, with error raised: the database was replaced since, and putting
    those records into it could mix two files. `identity` is the file's
    (device, inode) when the caller has just rebuilt it under a new one."""
    content = read(name)
    if content is None:
        return
    found = decode(content)
    if found is not None:
        named, before = found
        if identity is None:
            now = os.stat(database)
            identity = (now.st_dev, now.st_ino)
        if named != identity:
            raise _kvstore.error(
                errno.EEXIST,
                f"the journal {name} of an unfinished batch belongs to another file than the "
                + "database now under this name (replaced since): remove it once you have "
                + "checked the database",
                database,
            )
        put_back(raw, before, database, name)
    remove(name, durable=True)


def put_back(raw: _kvstore.gdbm, before: Mapping[bytes, bytes | None], database: str, name: str) -> None:
    """Stores the records `before` (deleting those that were not there) and
    flushes them. A write cut short by a crash or refused by a full disk can
    leave the library refusing every change until the file is rebuilt: then
    it is rebuilt first, and the journal `name` made anew for the rebuilt
    file (a new inode), so that it still rolls back should this fail too."""
    try:
        raw._apply(dict(before))
    except _kvstore.error:
        report = raw.recover(force=True)
        if report["failed_keys"] or report["failed_buckets"]:
            raise _kvstore.error(
                errno.EIO, f"rebuilding the file lost records ({report}): the batch cannot be undone"
            ) from None
        replace(name, encode(before, os.stat(database)))
        raw._apply(dict(before))
    raw.sync()
