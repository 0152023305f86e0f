"""The files that a killed compact(), load() or dump() leaves beside its target.

compact() and load() write a database's new file beside it, as
``NAME.compact.XXXXXX``; dump() writes a dump's unfinished file beside its
final name, as ``NAME.unfinished-XXXXXXXX``. A process killed meanwhile
leaves that file behind; the next compact(), load() or dump() for the same
name removes those that no live process holds (each maker locks its file with
flock() from its creation). leftovers() lists them for a target without
touching them, as the command line's ``info`` may show them.

The names are those module/files.h describes: where ``NAME`` (the last part of
the target's name) is too long for the file system with the mark and the
unique part after it, the start of ``NAME`` (cut between two UTF-8
characters), ``~`` and 8 hex digits of its 32-bit FNV-1a hash stand for it.
"""

from __future__ import annotations

import fcntl
import os
import re
import stat
from typing import NamedTuple

from ._database import FileName

# The mark after the stem, the unique part's length and its characters.
_KINDS = (
    (b".compact.", 6, b"[A-Za-z0-9]"),
    (b".unfinished-", 8, b"[0-9a-f]"),
)
_HASH_LENGTH = 9  # "~" and 8 hex digits


class Leftover(NamedTuple):
    """A file made beside a target by compact(), load() or dump()."""

    path: bytes
    # True while a live process holds it (its operation is running now);
    # False for a leftover of a killed process, which the next operation on
    # the target removes; None where it cannot be opened to tell.
    in_use: bool | None


def _fnv1a(data: bytes) -> int:
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value


def _stem(folder: bytes, base: bytes, mark: bytes, unique: int) -> bytes:
    try:
        longest = os.pathconf(folder or b".", "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    if longest <= 0:
        longest = 255
    tail = len(mark) + unique
    if len(base) + tail <= longest:
        return base
    kept = min(max(longest - tail - _HASH_LENGTH, 0), len(base))
    while kept > 0 and base[kept] & 0xC0 == 0x80:
        kept -= 1
    return base[:kept] + b"~%08x" % _fnv1a(base)


def _in_use(path: bytes) -> bool | None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True
        return False
    finally:
        os.close(fd)


def leftovers(target: FileName) -> list[Leftover]:
    """The files that compact() or load() of the database `target`, or
    dump() to the file `target`, made beside it and that are still there:
    those of operations running now (in_use) and those that killed processes
    left. Sorted by name; an unreadable folder has none."""
    name = os.path.realpath(os.fsencode(target))
    folder, base = os.path.split(name)
    try:
        entries = os.listdir(folder or b".")
    except OSError:
        return []
    found: list[Leftover] = []
    for mark, unique, letters in _KINDS:
        start = re.escape(_stem(folder, base, mark, unique) + mark)
        pattern = re.compile(start + letters + b"{%d}" % unique)
        for entry in entries:
            if pattern.fullmatch(entry):
                path = os.path.join(folder, entry)
                found.append(Leftover(path, _in_use(path)))
    return sorted(found)
