"""Waiting for a file's lock without spinning.

gdbm takes its lock (flock()) without blocking, and a blocking wait could
not honour a timeout: a waiter tries the lock on a descriptor of its own,
which costs microseconds, and between tries sleeps until the file is next
closed somewhere (an inotify watch: gdbm's close lets go of its lock before
it closes the file, and kvstore.Shared's turns end by closing their lock
file), or for a pause that doubles up to 10 ms where the watch cannot tell
(a killed holder's descriptors are closed a moment before its locks go; no
inotify on this system): a lock let go is found within 10 ms at the most.
kvstore.open(timeout=) and kvstore.Shared wait this way.
"""

from __future__ import annotations

import errno
import fcntl
import functools
import math
import os
import select
import threading
import time
from collections.abc import Callable
from typing import Final, cast, final

import _kvstore

from ._database import FileName

# Where a close wakes nobody, a waiter looks again after these pauses,
# each twice the one before.
_FIRST_PAUSE: Final = 0.002
_LONGEST_PAUSE: Final = 0.01

# inotify's events (linux/inotify.h): the watched file closed, gone or moved.
_IN_CLOSE_WRITE: Final = 0x08
_IN_CLOSE_NOWRITE: Final = 0x10
_IN_DELETE_SELF: Final = 0x400
_IN_MOVE_SELF: Final = 0x800
_WAKING_EVENTS: Final = _IN_CLOSE_WRITE | _IN_CLOSE_NOWRITE | _IN_DELETE_SELF | _IN_MOVE_SELF

type _Calls = tuple[Callable[[int], int], Callable[[int, bytes, int], int], Callable[[int, int], int]]


@functools.cache
def _inotify() -> _Calls | None:
    """libc's inotify_init1, inotify_add_watch and inotify_rm_watch; None
    where there are none."""
    # ctypes is loaded at the first wait, not at the package's import.
    import ctypes

    try:
        libc = ctypes.CDLL(None, use_errno=True)
        init = libc.inotify_init1
        add_watch = libc.inotify_add_watch
        rm_watch = libc.inotify_rm_watch
    except (OSError, AttributeError):
        return None
    init.argtypes = [ctypes.c_int]
    add_watch.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_uint32]
    rm_watch.argtypes = [ctypes.c_int, ctypes.c_int]
    for call in (init, add_watch, rm_watch):
        call.restype = ctypes.c_int
    return (cast("Callable[[int], int]", init), cast("Callable[[int, bytes, int], int]", add_watch),
            cast("Callable[[int, int], int]", rm_watch))


@final
class _Instance:
    """An inotify instance, kept by the thread that made it until the thread
    ends: closing one costs the kernel hundreds of microseconds, a watch
    added and removed again a few."""

    __slots__ = ("fd", "poll")

    def __init__(self, fd: int) -> None:
        self.fd: int = fd
        self.poll: select.poll = select.poll()
        self.poll.register(fd, select.POLLIN)

    def drain(self) -> None:
        try:
            while os.read(self.fd, 4096):
                pass
        except BlockingIOError:
            pass

    def __del__(self) -> None:
        os.close(self.fd)


class _ThreadInstance(threading.local):
    def __init__(self) -> None:
        self.made: bool = False
        self.instance: _Instance | None = None


_instances = _ThreadInstance()


def _forget_instances() -> None:
    # The inotify instance is the parent's too: a child makes its own.
    _instances.made = False
    _instances.instance = None


os.register_at_fork(after_in_child=_forget_instances)


def _thread_instance() -> _Instance | None:
    """This thread's inotify instance, made at its first wait; None where
    there is none to be had (no inotify, or none left for this user)."""
    if not _instances.made:
        _instances.made = True
        calls = _inotify()
        if calls is not None:
            fd = calls[0](os.O_NONBLOCK | os.O_CLOEXEC)
            if fd >= 0:
                _instances.instance = _Instance(fd)
    return _instances.instance


@final
class _Closes:
    """Sleeps until the watched file is closed by anyone, or a pause passes."""

    __slots__ = ("_instance", "_pause", "_watch")

    def __init__(self, path: FileName) -> None:
        self._pause: float = _FIRST_PAUSE
        self._instance: _Instance | None = _thread_instance()
        self._watch: int = -1
        calls = _inotify()
        if self._instance is not None and calls is not None:
            self._watch = calls[1](self._instance.fd, os.fsencode(path), _WAKING_EVENTS)

    def sleep(self, deadline: float) -> bool:
        """Sleeps until the next close, the next pause's end or the deadline;
        False when the deadline has passed."""
        now = time.monotonic()
        if now >= deadline:
            return False
        seconds = min(self._pause, deadline - now)
        self._pause = min(2 * self._pause, _LONGEST_PAUSE)
        if self._instance is None or self._watch < 0:
            time.sleep(seconds)
        elif self._instance.poll.poll(math.ceil(seconds * 1000)):
            self._instance.drain()
        return True

    def close(self) -> None:
        calls = _inotify()
        if self._instance is not None and self._watch >= 0 and calls is not None:
            _ = calls[2](self._instance.fd, self._watch)
            self._watch = -1
            # The events left, and the one that says the watch went.
            self._instance.drain()


def try_lock(fd: int, operation: int) -> bool:
    """Whether flock(fd, operation) was taken, or cannot be told here (a
    file system without flock(): the caller's open then decides)."""
    try:
        fcntl.flock(fd, operation | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    except OSError as refused:
        if refused.errno in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL):
            return True
        raise
    return True


def lock(fd: int, operation: int, watched: FileName, deadline: float) -> bool:
    """Takes flock(fd, operation) on the file `watched`, sleeping while
    another holds it; False at the deadline."""
    if try_lock(fd, operation):
        return True
    closes = _Closes(watched)
    try:
        # The watch is set now: a close from here on wakes the sleep.
        while not try_lock(fd, operation):
            if not closes.sleep(deadline):
                return False
    finally:
        closes.close()
    return True


def wait_for_gdbm(database: FileName, exclusive: bool, deadline: float, missed: int) -> bool:
    """Waits until gdbm's lock on `database` looks free for a reader, or for
    a writer; False at the deadline. missed: how many times an open that
    followed a wait found the lock taken all the same (another opener was
    quicker, or this gdbm does not lock with flock()): the opens then come
    further apart."""
    if missed:
        pause = min(_FIRST_PAUSE * (1 << (missed - 1)), _LONGEST_PAUSE)
        now = time.monotonic()
        if now >= deadline:
            return False
        time.sleep(min(pause, deadline - now))
    try:
        fd = os.open(database, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        # gdbm's open will say what is wrong.
        return True
    try:
        if not lock(fd, fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH, database, deadline):
            return False
    finally:
        # The lock goes with the descriptor: gdbm's open takes it next.
        os.close(fd)
    return True


def locked(filename: FileName, timeout: float, advice: str = "") -> _kvstore.error:
    """The error of a wait for the lock that timed out; advice, when given,
    follows what happened and says what to do instead."""
    waited = f" (waited {timeout:g} s)" if timeout else ""
    message = f"the database file is locked by another opener{waited}"
    if advice:
        message += f": {advice}"
    return _kvstore.error(errno.EAGAIN, message, os.fsdecode(filename))
