"""What the file promises: `s` flushes every change and reports a failed
flush; reorganize() carries every record or changes nothing; the file
opened is the file rewritten, whatever the working folder or a symlink
says; the descriptor stays out of programs started with exec; only
regular files open; a database left damaged by a crash is recovered.

Crashes, kills and process limits run in child interpreters."""

import errno
import os
import random
import socket
import subprocess
import time

import pytest

import _kvstore
from support.children import build_flush_shim, build_shim, preload_env, program_command, run_json
from support.scale import MEMTOOL, scaled
from support import file_layout


def record(i):
    return b"key%d" % i, b"%d:" % i * (i % 97 + 1)


def records(count):
    return dict(record(i) for i in range(count))


def read_all(path, flags="r"):
    with _kvstore.open(path, flags) as db:
        return {key: db[key] for key in db.keys()}


def folder_state(folder):
    """Every file below `folder` with its bytes (or its link target)."""
    state = {}
    for root, dirs, files in os.walk(folder):
        for name in files + dirs:
            full = os.path.join(root, name)
            if os.path.islink(full):
                state[full] = ("link", os.readlink(full))
            elif os.path.isfile(full):
                with open(full, "rb") as f:
                    state[full] = f.read()
    return state


# ---- the s flag ---------------------------------------------------------------

@pytest.fixture(scope="module")
def flush_shim(tmp_path_factory):
    return build_flush_shim(tmp_path_factory.mktemp("shim"))


def test_sync_mode_flushes_after_every_change(tmp_path, flush_shim):
    flushes = run_json("durability_sync_child", tmp_path, flush_shim, 0, env=preload_env(flush_shim))
    unflushed = {name: calls for name, calls in flushes.items() if 0 in calls}
    assert not unflushed, f"calls that returned without a flush: {unflushed}"


# A disk reports a failed write back once (Linux clears the error after
# telling one fsync), or on every flush from then on.
@pytest.mark.parametrize("failing", [1, 1000], ids=["once", "from-then-on"])
def test_sync_mode_raises_the_failed_flush(tmp_path, flush_shim, failing):
    raised = run_json("durability_sync_child", tmp_path, flush_shim, failing, env=preload_env(flush_shim))
    eio = [errno.EIO, os.strerror(errno.EIO)]
    assert raised == {name: eio for name in raised}


# ---- reorganize() ---------------------------------------------------------------


@pytest.fixture
def damaged_bucket(path):
    """1,000 records, the bucket that the traversal reaches last garbage."""
    with _kvstore.open(path, "n") as db:
        for i in range(1000):
            key, value = record(i)
            db[key] = value
    with open(path, "r+b") as f:
        data = f.read()
        _, bucket_size, _, _, directory = file_layout(data)
        f.seek(list(dict.fromkeys(directory))[-1])
        f.write(b"\xff" * bucket_size)
    return path


def test_reorganize_refuses_a_damaged_file_and_leaves_it_as_it_was(damaged_bucket, tmp_path):
    before = folder_state(tmp_path)
    with _kvstore.open(damaged_bucket, "w") as db:
        with pytest.raises(_kvstore.error):
            db.reorganize()
    assert folder_state(tmp_path) == before


@pytest.mark.skipif(MEMTOOL == "asan", reason="the sanitizer needs an unlimited address space")
def test_reorganize_that_cannot_read_a_record_changes_nothing(tmp_path):
    path = str(tmp_path / "big.db")
    big = b"b" * (48 << 20)
    with _kvstore.open(path, "n") as db:
        db[b"big"] = big
        for i in range(100):
            key, value = record(i)
            db[key] = value
    before = folder_state(tmp_path)
    outcome = run_json("durability_address_limit_child", path)
    if outcome == "limit not enforced":
        pytest.skip("this system does not enforce RLIMIT_AS (qemu's user-mode emulation does not)")
    assert outcome in ("error", "MemoryError")
    assert folder_state(tmp_path) == before
    with _kvstore.open(path, "r") as db:
        assert db[b"big"] == big
        assert len(db) == 101


def test_reorganize_keeps_every_record_and_gives_back_space(path):
    with _kvstore.open(path, "n") as db:
        for i in range(3000):
            key, value = record(i)
            db[key] = value
        for i in range(0, 3000, 2):
            del db[record(i)[0]]
        grown = os.path.getsize(path)
        db.reorganize()
        db[b"after"] = b"stored"
    assert os.path.getsize(path) < grown
    assert read_all(path) == {**{k: v for k, v in records(3000).items() if int(k[3:]) % 2},
                              b"after": b"stored"}


# ---- where the file is ------------------------------------------------------------


def test_reorganize_after_chdir_rewrites_the_file_that_was_opened(tmp_path, monkeypatch):
    opened_in, moved_to = tmp_path / "opened", tmp_path / "moved"
    opened_in.mkdir()
    moved_to.mkdir()
    (moved_to / "y.db").write_bytes(b"an unrelated file")
    monkeypatch.chdir(opened_in)
    with _kvstore.open("y.db", "c") as db:
        for i in range(50):
            key, value = record(i)
            db[key] = value
        monkeypatch.chdir(moved_to)
        db.reorganize()
        db[b"after"] = b"stored"
    assert (moved_to / "y.db").read_bytes() == b"an unrelated file"
    assert sorted(os.listdir(opened_in)) == ["y.db"]
    assert read_all(str(opened_in / "y.db")) == {**records(50), b"after": b"stored"}


@pytest.mark.parametrize("relative", [False, True], ids=["absolute-link", "relative-link"])
def test_reorganize_through_a_symlink_keeps_the_link(tmp_path, relative):
    (tmp_path / "data").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "data" / "real.db"
    link = tmp_path / "links" / "link.db"
    link.symlink_to("../data/real.db" if relative else target)
    link_text = os.readlink(link)
    with _kvstore.open(str(link), "c") as db:
        for i in range(200):
            key, value = record(i)
            db[key] = value
        for i in range(100):
            del db[record(i)[0]]
        db.reorganize()
        db[b"after"] = b"stored"
    assert link.is_symlink() and os.readlink(link) == link_text
    assert sorted(os.listdir(tmp_path / "links")) == ["link.db"]
    assert sorted(os.listdir(tmp_path / "data")) == ["real.db"]
    expected = {k: v for k, v in records(200).items() if int(k[3:]) >= 100}
    assert read_all(str(target)) == {**expected, b"after": b"stored"}


def test_open_errors_name_the_file_as_given(tmp_path, monkeypatch):
    (tmp_path / "data").mkdir()
    (tmp_path / "link.db").symlink_to("data/real.db")
    monkeypatch.chdir(tmp_path)
    with _kvstore.open("link.db", "c"):
        # Locked by the first opener: the error names the link, relative.
        for name in ("link.db", b"link.db", "./data/../link.db"):
            with pytest.raises(_kvstore.error) as caught:
                _kvstore.open(name, "w")
            assert caught.value.errno is not None
            assert caught.value.filename == os.fsdecode(name)


# ---- processes started with exec ----------------------------------------------------

@pytest.mark.parametrize("flags", ["r", "w", "cu"])
def test_descriptor_stays_out_of_programs_started_with_exec(path, flags):
    _kvstore.open(path, "n").close()
    with _kvstore.open(path, flags):
        inherited = subprocess.run([*program_command("durability_list_files")], close_fds=False,
                                   capture_output=True, text=True, check=True).stdout
    assert os.path.realpath(path) not in inherited


# ---- only regular files ----------------------------------------------------------------

def make_fifo(folder):
    name = str(folder / "fifo")
    os.mkfifo(name)
    return name


def make_folder(folder):
    name = str(folder / "folder")
    os.mkdir(name)
    return name


def make_socket(folder):
    name = str(folder / "socket")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(name)
    listener.close()
    return name


@pytest.mark.parametrize("flags", ["r", "w", "c", "n", "cu"])
@pytest.mark.parametrize("make", [
    make_fifo, make_folder, make_socket, lambda folder: os.devnull,
], ids=["fifo", "folder", "socket", "device"])
def test_only_regular_files_open(tmp_path, make, flags):
    name = make(tmp_path)
    # A child, so that a name which blocks the opener fails the test.
    outcome = run_json("open_probe", name, flags, timeout=30)
    assert outcome != "opened"
    raised_errno, filename, _ = outcome
    assert raised_errno is not None and filename == name
    if os.path.isdir(name):
        assert raised_errno == errno.EISDIR


# ---- recover() -------------------------------------------------------------------

def read_synced(db, count):
    """Reads the first `count` records; when the file needs it, recovers it
    first. Returns what recover() reported (None when it was not needed),
    how many of the records are missing, and how many hold a wrong value."""
    expected = records(count)
    report = None
    try:
        found = {key: db.get(key) for key in expected}
    except _kvstore.error:
        report = db.recover()
        found = {key: db.get(key) for key in expected}
    missing = sum(value is None for value in found.values())
    wrong = sum(value is not None and value != expected[key] for key, value in found.items())
    return report, missing, wrong


@pytest.mark.serial
@pytest.mark.parametrize("flags", ["c", "cs"])
def test_killed_writer_loses_no_synced_record_silently(tmp_path, flags):
    synced = 1500
    chooser = random.Random()
    for trial in range(scaled(10, minimum=2)):
        path = str(tmp_path / f"killed{trial}.db")
        child = subprocess.Popen([*program_command("durability_killed_writer"), path, flags, str(synced)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "synced\n"
        # A random moment within the stores that follow.
        time.sleep(chooser.uniform(0.005, 0.1))
        child.kill()
        child.communicate(timeout=60)
        try:
            db = _kvstore.open(path, "w")
        except _kvstore.error:
            # Rarely the kill tears the header's free-space list, and the
            # library refuses to open the file: a loss, but not a silent one.
            continue
        with db:
            report, missing, wrong = read_synced(db, synced)
        assert wrong == 0, f"trial {trial}: {wrong} synced records hold another value"
        # Most often every synced record comes back. Rarely the kill tears a
        # bucket that holds synced records (the writer was rewriting it):
        # recover() must then say that it could not read it.
        if missing:
            assert report is not None and report["failed_buckets"] + report["failed_keys"], (
                f"trial {trial}: {missing} of {synced} synced records missing, {report}")


def test_write_to_a_full_disk_recovers_every_synced_record(path):
    assert run_json("durability_full_disk_writer", path, 200) == errno.EFBIG
    with _kvstore.open(path, "w") as db:
        report, missing, wrong = read_synced(db, 200)
    assert report is not None, "the failed write left the file readable: nothing was tested"
    assert (missing, wrong) == (0, 0), report


def test_recover_reports_what_it_did_and_keeps_a_backup(damaged_bucket):
    with open(damaged_bucket, "rb") as f:
        damaged_bytes = f.read()
    with _kvstore.open(damaged_bucket, "w") as db:
        report = db.recover(backup=True)
        kept = {key: db[key] for key in db.keys()}
    assert report["failed_buckets"] == 1 and report["failed_keys"] == 0
    assert report["recovered_keys"] == len(kept) and 0 < len(kept) < 1000
    assert report["recovered_buckets"] > 0 and report["duplicate_keys"] == 0
    assert all(records(1000)[key] == value for key, value in kept.items())
    with open(report["backup_name"], "rb") as f:
        assert f.read() == damaged_bytes
    assert os.path.dirname(report["backup_name"]) == os.path.dirname(damaged_bucket)


def test_recover_that_reaches_its_limit_says_so_and_leaves_the_file_as_it_was(
        damaged_bucket, tmp_path):
    before = folder_state(tmp_path)
    with _kvstore.open(damaged_bucket, "w") as db:
        with pytest.raises(_kvstore.error, match="stopped at its limit of failures: "
                                                 "0 keys and 1 buckets could not be read"):
            db.recover(max_failures=1)
    assert folder_state(tmp_path) == before


REWRITES = {
    "reorganize": lambda db: db.reorganize(),
    "recover": lambda db: db.recover(force=True),
    "recover-backup": lambda db: db.recover(force=True, backup=True),
}


# The library opens the rewrite itself: its descriptor must still stay out
# of programs started with exec, and take the handle's locking mode.
@pytest.mark.parametrize("rewrite", REWRITES.values(), ids=REWRITES.keys())
@pytest.mark.parametrize("flags", ["c", "ws", "cf", "cu", "wu", "csu"])
def test_rewrite_keeps_close_on_exec_and_the_locking_mode(path, flags, rewrite):
    _kvstore.open(path, "n").close()
    with _kvstore.open(path, flags) as db:
        for i in range(100):
            key, value = record(i)
            db[key] = value
        rewrite(db)
        inherited = subprocess.run([*program_command("durability_list_files")], close_fds=False,
                                   capture_output=True, text=True, check=True).stdout
        try:
            _kvstore.open(path, "w").close()
            second = None
        except _kvstore.error as caught:
            second = caught.errno
        db[b"after"] = b"stored"
    assert os.path.realpath(path) not in inherited
    assert second == (None if "u" in flags else errno.EAGAIN)
    assert read_all(path) == {**records(100), b"after": b"stored"}


@pytest.fixture(scope="module")
def rename_shim(tmp_path_factory):
    return build_shim(tmp_path_factory.mktemp("shim"), "rename_shim")


# recover(backup=True) renames the database to its backup name, then the
# rewrite to the database's name. Whichever step fails, the database stays
# under its own name, as it was, with the handle on it, and nothing but the
# database is left in the folder.
@pytest.mark.parametrize("how, passing, failing", [
    ("rename", 0, 1),      # the backup's rename
    ("rename", 1, 1),      # the rewrite's rename, after the backup's
    ("file-size", 0, 0),   # the rewrite cannot grow
    ("folder", 0, 0),      # no new file can be made beside the database
], ids=["backup-rename", "last-rename", "file-size", "folder"])
def test_failed_recover_leaves_the_database_under_its_name(tmp_path, rename_shim, how, passing,
                                                           failing):
    path = str(tmp_path / "x.db")
    with _kvstore.open(path, "n") as db:
        for i in range(500):
            key, value = record(i)
            db[key] = value
    if how == "folder":
        os.chmod(tmp_path, 0o555)
    try:
        outcome = run_json("durability_failing_recover", path, rename_shim, how, passing, failing,
                           env=preload_env(rename_shim))
    finally:
        os.chmod(tmp_path, 0o755)
    assert outcome["raised"] is not None
    assert outcome["count"] == 500
    assert os.listdir(tmp_path) == ["x.db"]
    assert read_all(path) == {**records(500), b"after": b"stored"}


def test_recover_that_cannot_put_the_database_back_names_where_it_is(tmp_path, rename_shim):
    path = str(tmp_path / "x.db")
    with _kvstore.open(path, "n") as db:
        for i in range(500):
            key, value = record(i)
            db[key] = value
    # The rewrite's rename fails, and so does the one that would undo the
    # backup's.
    outcome = run_json("durability_failing_recover", path, rename_shim, "rename", 1, 2,
                       env=preload_env(rename_shim))
    assert outcome["raised"] == [errno.EIO, path + ".~1~"]
    assert outcome["count"] == 500
    assert not os.path.exists(path)
    assert read_all(path + ".~1~") == {**records(500), b"after": b"stored"}
    # The rewritten copy stays too, under the library's temporary name.
    assert len(os.listdir(tmp_path)) == 2


@pytest.mark.parametrize("force", [False, True])
def test_recover_of_a_sound_file_keeps_every_record(path, force):
    with _kvstore.open(path, "n") as db:
        for i in range(500):
            key, value = record(i)
            db[key] = value
        report = db.recover(force=force)
        assert report == {
            "recovered_keys": 500 if force else 0,
            "recovered_buckets": report["recovered_buckets"] if force else 0,
            "failed_keys": 0, "failed_buckets": 0, "duplicate_keys": 0, "backup_name": None,
        }
    assert read_all(path) == records(500)


@pytest.mark.parametrize("kwargs, exc", [
    ({"max_failures": 0}, ValueError),
    ({"max_failures": -1}, OverflowError),
    ({"max_failures": "1"}, TypeError),
    ({"limit": 1}, TypeError),
])
def test_recover_refuses_bad_arguments(db, kwargs, exc):
    with pytest.raises(exc):
        db.recover(**kwargs)


def test_recover_needs_a_database_open_for_writing(path):
    _kvstore.open(path, "n").close()
    with _kvstore.open(path, "r") as db:
        with pytest.raises(_kvstore.error, match="Reader can't"):
            db.recover(force=True)
