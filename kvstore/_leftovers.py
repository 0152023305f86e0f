"""The files that a killed compact(), load(), dump() or roll-back leaves beside its target.

compact() and load() write a database's new file beside it, as
``NAME.compact.XXXXXX``; dump() writes a dump's unfinished file beside its
final name, as ``NAME.unfinished-XXXXXXXX``; a roll-back that rebuilt the
file makes its batch's journal anew beside the old one, as
``NAME-journal.new-XXXXXXXX``. A process killed meanwhile leaves that file
behind; the next operation that makes one for the same name removes those
that no live process holds (each maker locks its file with flock() from its
creation). leftovers() lists them for a target without
touching them, as the command line's ``info`` may show them.

Where ``NAME`` (the last part of the target's name) is too long for the file
system with the mark and the unique part after it, the start of ``NAME`` and a
hash of it stand for it; the module, which makes the files, also lists them
(module/temporary_names.h), so that the rule lives in one place.
"""

from __future__ import annotations

import fcntl
import os
import stat
from typing import NamedTuple

import _kvstore

from ._database import FileName


class Leftover(NamedTuple):
    """A file made beside a target by compact(), load(), dump() or a roll-back."""

    path: bytes
    # True while a live process holds it (its operation is running now);
    # False for a leftover of a killed process, which the next operation on
    # the target removes; None where it cannot be opened to tell.
    in_use: bool | None


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
    """The files that compact() or load() of the database `target`, the
    roll-back of its batches, or dump() to the file `target`, made beside it
    and that are still there:
    those of operations running now (in_use) and those that killed processes
    left. Sorted by name; an unreadable folder has none."""
    name = os.path.realpath(os.fsencode(target))
    names = _kvstore._leftover_names(name)  # pyright: ignore[reportPrivateUsage]
    return sorted(Leftover(path, _in_use(path)) for path in names)
