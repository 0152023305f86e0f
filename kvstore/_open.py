"""open(), which can wait for another opener's lock, and load()."""

from __future__ import annotations

import errno
import os
import time
from collections.abc import Callable
from typing import Final, Unpack

import _kvstore

from ._database import Database, FileName, Tuning
from ._waiting import locked, wait_for_gdbm


def open(
    filename: FileName, flag: str = "r", mode: int = 0o666, *, timeout: float = 0.0, **tuning: Unpack[Tuning]
) -> Database:
    """Opens a gdbm database file and returns a Database.

    flag is "r" (read only, the default), "w" (read and write), "c" (create
    when missing) or "n" (always a new, empty database), followed by any of
    _kvstore.open_flags[4:]. mode is the permission of a newly created file.
    While another opener holds the file's lock, retries for up to timeout
    seconds, then raises error with errno EAGAIN. The other keywords tune
    gdbm for this handle; None keeps gdbm's own choice, and none changes the
    file's format or when data reaches the disk: mmap (True or False) maps
    the file into memory; cache_size is the number of buckets kept in memory
    (0: as many as the file has); block_size is the block size of a new
    file, a power of two from 512 to 2**28; central_free (True or False)
    keeps the list of freed blocks in the header only; coalesce_blocks (True
    or False) merges adjacent freed blocks, which makes deleting many
    records faster.
    """
    return open_waiting(filename, flag, mode, timeout, OPEN_ADVICE, **tuning)


# What a caller of open() can do about a lock that another opener holds.
OPEN_ADVICE: Final = (
    "pass timeout=SECONDS to wait for it, or use kvstore.Shared, which gives each process "
    + "its turn at the file"
)


def open_waiting(
    filename: FileName, flag: str, mode: int, timeout: float, advice: str, **tuning: Unpack[Tuning]
) -> Database:
    """open(), whose lock error ends with `advice` (the command line's own)."""
    if not timeout >= 0:
        raise ValueError(f"timeout must be a number of seconds, 0 or more, not {timeout!r}")
    deadline = time.monotonic() + timeout
    missed = 0
    while True:
        try:
            return Database(filename, flag, mode, **tuning)
        except _kvstore.error as refused:
            if refused.errno != errno.EAGAIN:
                raise
        if time.monotonic() >= deadline or not wait_for_gdbm(filename, flag[:1] != "r", deadline, missed):
            raise locked(filename, timeout, advice) from None
        missed += 1


def load(
    dump_path: FileName,
    db_path: FileName,
    replace: bool = False,
    *,
    progress: Callable[[int, int], object] | None = None,
) -> None:
    """Stores every record of a dump file (made by Database.dump or gdbm's
    tools) in the database at db_path, created when missing. An existing key
    raises error unless replace is true. progress as in Database.dump(). A
    database file that the failing call created is removed again."""
    created = _create(db_path)
    try:
        with open(db_path, "c") as db:
            db.load(dump_path, replace, progress=progress)
    except BaseException:
        if created is not None:
            _remove(db_path, created)
        raise


def _create(path: FileName) -> os.stat_result | None:
    """Creates path as an empty file, which the database's opening then
    fills in; None when the file was there already (or cannot be made here:
    opening it then reports why)."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError:
        return None
    try:
        return os.fstat(fd)
    finally:
        os.close(fd)


def _remove(path: FileName, created: os.stat_result) -> None:
    """Removes the file created at path, unless the name leads elsewhere now."""
    try:
        now = os.stat(path, follow_symlinks=False)
        if (now.st_dev, now.st_ino) == (created.st_dev, created.st_ino):
            os.unlink(path)
    except OSError:
        pass
