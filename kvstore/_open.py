"""open(), which can wait for another opener's lock, and load()."""

from __future__ import annotations

import errno
import fcntl
import os
import time
from collections.abc import Callable
from typing import Unpack, final

import _kvstore

from ._database import Database, FileName, Tuning

# gdbm takes its lock without blocking, and a blocking wait could not honour
# the timeout: waiting for another opener probes the lock on a descriptor of
# its own, as gdbm takes it (flock(), shared for a reader, exclusive for a
# writer), which costs microseconds, and tries gdbm's open, which costs a
# hundred or more, only once the probe finds the lock free. A free lock is
# found within this long of its release.
_PROBE_INTERVAL = 0.002
# Where the probe cannot tell (a gdbm that locks otherwise, a file system
# without flock()), the opens it lets through back off up to this long.
_LONGEST_PAUSE = 0.05


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
    if not timeout >= 0:
        raise ValueError(f"timeout must be a number of seconds, 0 or more, not {timeout!r}")
    deadline = time.monotonic() + timeout
    probe: _LockProbe | None = None
    try:
        while True:
            try:
                return Database(filename, flag, mode, **tuning)
            except _kvstore.error as refused:
                if refused.errno != errno.EAGAIN:
                    raise
            if probe is None:
                probe = _LockProbe(filename, exclusive=flag[:1] != "r")
            else:
                probe.missed()
            if not probe.wait_until_free(deadline):
                raise _locked(filename, timeout) from None
    finally:
        if probe is not None:
            probe.close()


@final
class _LockProbe:
    """Waits, sleeping between cheap probes, until the file's lock is free."""

    def __init__(self, filename: FileName, exclusive: bool) -> None:
        self._operation: int = (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB
        self._pause: float = 0.0
        try:
            self._fd: int | None = os.open(filename, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            self._fd = None

    def missed(self) -> None:
        """The probe found the lock free, and gdbm's open found it taken:
        the next opens come further apart."""
        self._pause = min(max(2 * self._pause, _PROBE_INTERVAL), _LONGEST_PAUSE)

    def wait_until_free(self, deadline: float) -> bool:
        """True once the lock looks free, False at the deadline."""
        if self._pause:
            if not _sleep_until(min(time.monotonic() + self._pause, deadline), deadline):
                return False
        while not self._free():
            if not _sleep_until(time.monotonic() + _PROBE_INTERVAL, deadline):
                return False
        return True

    def _free(self) -> bool:
        if self._fd is None:
            return True
        try:
            fcntl.flock(self._fd, self._operation)
        except BlockingIOError:
            return False
        except OSError:
            # No flock() here: the probe cannot tell, the opens back off.
            os.close(self._fd)
            self._fd = None
            return True
        fcntl.flock(self._fd, fcntl.LOCK_UN)
        return True

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


def _sleep_until(moment: float, deadline: float) -> bool:
    """Sleeps until moment, or until the deadline when that comes first;
    False when the deadline has passed."""
    now = time.monotonic()
    if now >= deadline:
        return False
    time.sleep(min(moment, deadline) - now)
    return True


def _locked(filename: FileName, timeout: float) -> _kvstore.error:
    waited = f" (waited {timeout:g} s)" if timeout else ""
    message = f"the database file is locked by another opener{waited}"
    return _kvstore.error(errno.EAGAIN, message, os.fsdecode(filename))


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
