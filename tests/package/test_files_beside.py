"""The files kept beside a database (a batch's journal, the shared store's
lock file) are the package's or refused: whatever another user of the folder
puts at their names is never followed, never waited on, never read whole and
never written into; and a journal never locks out a user who may use the
database.

Each case runs in a child with a time limit: a hang fails the case instead
of the suite."""

import errno
import json
import os
import stat
import subprocess
import tempfile
import time

import pytest

import kvstore
from support.children import program_command
from support.hostile import NOT_REGULAR, REGULAR

# Each case bounds its child's wait from above.
pytestmark = pytest.mark.serial

# How long a Shared operation may wait; a case must answer well within its
# child's limit.
SHARED_TIMEOUT = 2
CHILD_LIMIT = 30
RECORDS = {b"a": b"1", b"b": b"2"}




def run_case(folder, suffix, kind, operation):
    """Plants `kind` at the database's name with `suffix` and runs
    `operation` in a child; returns what it saw, and the database file's
    records once the planted object is gone."""
    path = str(folder / "db")
    victim = folder / "victim"
    victim.write_bytes(b"the victim's own bytes")
    os.utime(victim, (1_000_000, 1_000_000))
    nowhere = folder / "nowhere"
    with kvstore.open(path, "c") as db:
        db.update(RECORDS)
    try:
        done = subprocess.run(
            program_command("files_beside_case", path, suffix, kind, operation, victim, nowhere,
                            SHARED_TIMEOUT),
            capture_output=True, text=True, timeout=CHILD_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{operation} with a {kind} at {suffix} hung")
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.splitlines()[-1])
    # Whatever the outcome, the objects the planted one leads to are untouched.
    assert victim.read_bytes() == b"the victim's own bytes"
    assert victim.stat().st_mtime == 1_000_000
    assert not os.path.lexists(nowhere), "a file was made through a dangling link"
    planted = path + suffix
    if os.path.isdir(planted) and not os.path.islink(planted):
        os.rmdir(planted)
    elif os.path.lexists(planted):
        os.unlink(planted)
    with kvstore.open(path, "r") as db:
        seen["records"] = {key.decode(): value.decode() for key, value in db.items()}
    return seen


OPERATIONS = ["open w", "open r", "commit", "Shared read", "Shared write"]
BEFORE = {key.decode(): value.decode() for key, value in RECORDS.items()}


# Each name beside the database with the operations that open it: the
# journal's every operation, the lock file's the shared store's turns.
BESIDE = ([("-journal", operation) for operation in OPERATIONS]
          + [("-lock", operation) for operation in ["Shared read", "Shared write"]])


@pytest.mark.parametrize(("suffix", "operation"), BESIDE)
@pytest.mark.parametrize("kind", NOT_REGULAR)
def test_anything_but_a_regular_file_beside_the_database_is_refused(tmp_path, kind, suffix, operation):
    seen = run_case(tmp_path, suffix, kind, operation)
    assert seen["outcome"] == "error", seen
    assert seen["filename"] == str(tmp_path / f"db{suffix}")
    assert "Not a regular file" in seen["text"] and "refused" in seen["text"]
    assert seen["seconds"] < SHARED_TIMEOUT
    # Nothing was changed: not the commit, not the writer's own store.
    assert seen["records"] == BEFORE


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize("kind", REGULAR)
def test_a_regular_file_at_the_journal_is_never_read_whole_nor_written_into(tmp_path, kind, operation):
    started = time.monotonic()
    seen = run_case(tmp_path, "-journal", kind, operation)
    if operation == "commit":
        assert seen["outcome"] == "error", seen
        assert seen["errno"] == errno.EEXIST and seen["filename"] == str(tmp_path / "db-journal")
        assert "nothing was changed" in seen["text"]
        assert seen["records"] == BEFORE
    else:
        # It holds no journal: nothing to roll back, and an 8 GB file is
        # not read to find that out.
        assert seen["outcome"] == "done", seen
        assert seen["seconds"] < SHARED_TIMEOUT
    assert time.monotonic() - started < CHILD_LIMIT


# ---- other users ------------------------------------------------------------


def test_the_journal_has_the_database_files_permission_bits(tmp_path):
    path = tmp_path / "db"
    with kvstore.open(path, "c") as db:
        db.update(RECORDS)
    for mode in (0o664, 0o640, 0o606):
        os.chmod(path, mode)
        old_umask = os.umask(0o077)
        try:
            with kvstore.open(path, "w") as db:
                with db.batch():
                    db[b"a"] = b"changed"
                # The void journal stays between commits.
                assert stat.S_IMODE(os.lstat(f"{path}-journal").st_mode) == mode
        finally:
            os.umask(old_umask)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as two other users")
def test_a_void_journal_of_another_user_locks_nobody_out():
    folder = tempfile.mkdtemp(dir="/tmp")
    try:
        os.chmod(folder, 0o777)
        path = os.path.join(folder, "db")
        with kvstore.open(path, "c", 0o666) as db:
            db.update(RECORDS)
        os.chmod(path, 0o666)
        done = subprocess.run([*program_command("files_beside_other_users"), path, "12345", "23456"],
                              capture_output=True, text=True, timeout=CHILD_LIMIT)
        assert done.returncode == 0, done.stderr
        seen = json.loads(done.stdout.splitlines()[-1])
        assert seen == {"open r": "first", "Shared read": "first", "open w": "first",
                        "journal owner": 12345}
    finally:
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)
