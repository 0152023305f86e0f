"""The rollback journal of a batch's commit: the records a batch is about to
change, as they were, in a file beside the database (``NAME-journal``).

A commit writes the journal whole before it changes the first record, and
voids it once the changes are in the file. A journal found whole beside a
database therefore means a commit that did not finish: its records are put
back (rolled back) by the next writer. A journal cut short (a crash while it
was written) or voided means the database is as a commit left it, and is
only removed.

The file, its layout and what may stand at its name are the module's
(_kvstore._Journal; module/journal.h): it is made where nothing stands, with
the database file's permission bits, never opened through a symbolic link
nor left waiting on a FIFO, and anything but a regular file there is refused
with error naming it. This module keeps the policy: when to roll back, and
what to say.
"""

from __future__ import annotations

import errno
import os
from typing import final

import _kvstore

type Identity = tuple[int, int]


def journal_name(database: str) -> str:
    """Where the journal of the database file `database` (an absolute,
    resolved name) is kept: beside it, so that a rename within the folder
    cannot part them and a symbolic link leads to one journal."""
    return _kvstore._Journal(database).name  # pyright: ignore[reportPrivateUsage]


def identity_of(database: str) -> Identity:
    status = os.stat(database)
    return status.st_dev, status.st_ino


def unfinished(database: str) -> bool:
    """Whether a whole journal lies beside `database`: a commit to roll back.
    error for anything at the journal's name that is not a regular file."""
    return _kvstore._Journal(database).read() is not None  # pyright: ignore[reportPrivateUsage]


@final
class Journal:
    """The journal file of one open Database's commits."""

    __slots__ = ("_file", "database", "name")

    def __init__(self, database: str) -> None:
        self.database: str = database
        self._file: _kvstore._Journal = _kvstore._Journal(database)  # pyright: ignore[reportPrivateUsage]
        self.name: str = self._file.name

    def begin(self, raw: _kvstore.gdbm, changes: dict[bytes, bytes | None], *, durable: bool) -> None:
        """Writes the journal of a commit about to apply `changes` to `raw`;
        with `durable`, it is on the disk (and its name in the folder) before
        this returns. On a failure, nothing was changed and the journal is
        left void."""
        try:
            self._file.begin(raw, changes, durable=durable)
        except _kvstore.error as failure:
            raise _kvstore.error(
                failure.errno or errno.EIO,
                f"a batch's journal could not be written ({failure.strerror or failure}): "
                + "nothing was changed",
                self.name,
            ) from failure

    def end(self, *, durable: bool) -> None:
        """Voids the journal: the commit's last step."""
        self._file.void(durable=durable)

    def unfinished(self) -> bool:
        """Whether the journal beside the database is whole: a commit to roll
        back, whose records before() then gives."""
        return self._file.read() is not None

    def before(self) -> dict[bytes, bytes | None]:
        """The records of the journal last begun or read, as they were
        (None: not stored)."""
        return self._file.before()

    def discard(self) -> None:
        """Removes the journal, flushed: a failed commit's, once undone, or
        one that holds nothing to roll back."""
        self._file.remove()

    def close(self) -> None:
        """Removes the void journal of this Database's commits, if any."""
        self._file.close()


def roll_back(raw: _kvstore.gdbm, journal: Journal, identity: Identity | None = None) -> None:
    """Puts back the records of the unfinished commit whose journal lies
    beside the database, open for writing in `raw` (whose lock keeps every
    other writer out meanwhile), flushes them, then removes the journal. A
    journal cut short or voided is only removed. A journal that names another
    file is left, with error raised: the database was replaced since, and
    putting those records into it could mix two files. `identity` is the
    file's (device, inode) when the caller has just rebuilt it under a new
    one."""
    found = journal._file.read()  # pyright: ignore[reportPrivateUsage]
    if found is not None:
        database, name = journal.database, journal.name
        if found != (identity or identity_of(database)):
            raise _kvstore.error(
                errno.EEXIST,
                f"the journal {name} of an unfinished batch belongs to another file than the "
                + "database now under this name (replaced since): remove it once you have "
                + "checked the database",
                database,
            )
        put_back(raw, journal)
    journal.discard()


def put_back(raw: _kvstore.gdbm, journal: Journal) -> None:
    """Stores the records of the journal last begun or read as they were
    (deleting those that were not there) and flushes them, once the room
    they may take is claimed. A write cut short by a crash or refused by a
    full disk can leave the library refusing every change until the file is
    rebuilt: then it is rebuilt first, and the journal made anew for the
    rebuilt file (a new inode) before anything else, so that it still rolls
    back should what follows fail too. A rebuild that could not read every
    record raises error once the journal's records are back: the records it
    lost are gone, unless the journal held them."""
    before = journal.before()
    raw._reserve(before)
    try:
        _put_back(raw, journal, before)
    finally:
        raw._release()


def _put_back(raw: _kvstore.gdbm, journal: Journal, before: dict[bytes, bytes | None]) -> None:
    try:
        raw._apply(before)
    except _kvstore.error:
        report = raw.recover(force=True)
        journal._file.replace(*identity_of(journal.database))  # pyright: ignore[reportPrivateUsage]
        raw._apply(before)
        if report["failed_keys"] or report["failed_buckets"]:
            raw.sync()
            raise _kvstore.error(
                errno.EIO,
                f"rebuilding the file lost records ({report}): the batch's records are back as "
                + "they were, and the records lost are gone unless the batch had changed them",
            ) from None
    raw.sync()
