"""compact(): reorganize() in steps, with progress, other threads running
between the steps; and the package's reorganize() and recover() over it.
load() rewrites the file the same way, with a dump's records added: the
all-or-nothing cases run for both."""

import errno
import fcntl
import hashlib
import os
import threading
import time
from pathlib import Path

import pytest

import _kvstore
import kvstore
from support.children import build_flush_shim, preload_env, run_json
from support.scale import MEMTOOL
from support import CLOSED
from support.paths import DAMAGED_CYCLE

BUSY = "compact() is in progress on this database: its progress callable cannot use the database until it returns"
DAMAGED = DAMAGED_CYCLE
RECORDS = {b"key%05d" % i: b"value %d " % i * 20 for i in range(6000)}


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


@pytest.fixture
def full(path):
    """A file holding RECORDS after many deletions, open for writing."""
    with _kvstore.open(path, "n", 0o640) as db:
        for key, value in RECORDS.items():
            db[key] = value
            db[key + b"-gone"] = value
        for key in RECORDS:
            del db[key + b"-gone"]
    db = _kvstore.open(path, "w")
    yield db
    db.close()


@pytest.fixture(scope="module")
def dump(tmp_path_factory):
    """A dump of records that RECORDS does not hold."""
    folder = tmp_path_factory.mktemp("dump")
    with _kvstore.open(str(folder / "new.db"), "n") as db:
        for i in range(20_000):
            db[b"new%05d" % i] = b"loaded"
        db.dump(str(folder / "new.dump"))
    return str(folder / "new.dump")


def rewrite(db, operation, dump, progress=None):
    if operation == "compact":
        db.compact(progress=progress)
    else:
        db.load(dump, progress=progress)


# When progress raises, or looks at the lock: the first report, one while
# the dump's records are stored (after the database's own), the last.
STOPS = {
    "first": lambda done, total: True,
    "storing": lambda done, total: len(RECORDS) < done < total,
    "last": lambda done, total: done == total,
}
STOP_CASES = [("compact", "first"), ("compact", "last"),
              ("load", "first"), ("load", "storing"), ("load", "last")]


def records_of(db):
    return {key: db[key] for key in db.keys()}


def others_in(folder, path):
    return sorted(name for name in os.listdir(folder) if name != os.path.basename(path))


def test_carries_every_record_into_a_smaller_file_with_the_same_mode(full, path):
    before = os.path.getsize(path)
    calls = []
    full.compact(progress=lambda done, total: calls.append((done, total)))
    assert records_of(full) == RECORDS
    assert len(full) == len(RECORDS)
    assert os.path.getsize(path) < before * 0.75
    assert os.stat(path).st_mode & 0o7777 == 0o640
    assert others_in(os.path.dirname(path), path) == []
    # The counts rise, every report names the total, and the last is (total, total).
    done = [d for d, _ in calls]
    assert done == sorted(done) and len(set(done)) == len(done)
    assert {total for _, total in calls} == {len(RECORDS)}
    assert calls[-1] == (len(RECORDS), len(RECORDS))
    full[b"after"] = b"works"
    full.close()
    with _kvstore.open(path, "r") as reopened:
        assert records_of(reopened) == {**RECORDS, b"after": b"works"}


@pytest.mark.parametrize("records", [{}, {b"": b"empty key", b"empty value": b""}])
def test_small_and_edge_records(make_db, records):
    db = make_db(records)
    calls = []
    db.compact(progress=lambda done, total: calls.append((done, total)))
    assert records_of(db) == records
    # A slow machine may report between the two records too; the last
    # report is always the whole.
    assert calls[-1] == (len(records), len(records))
    assert all(total == len(records) for _, total in calls)


@pytest.mark.parametrize("operation, stop_at", STOP_CASES)
def test_a_raising_progress_leaves_the_file_as_it_was(full, path, dump, operation, stop_at):
    before = digest(path)
    reports = []

    def progress(done, total):
        reports.append(done)
        if STOPS[stop_at](done, total):
            raise ZeroDivisionError("stop")

    with pytest.raises(ZeroDivisionError):
        rewrite(full, operation, dump, progress)
    assert STOPS[stop_at](reports[-1], len(RECORDS) + (20_000 if operation == "load" else 0))
    assert digest(path) == before
    assert others_in(os.path.dirname(path), path) == []
    assert records_of(full) == RECORDS
    full[b"still"] = b"usable"


def test_a_damaged_file_is_refused_and_left_as_it_was(tmp_path):
    path = tmp_path / "damaged.db"
    path.write_bytes(DAMAGED.read_bytes())
    before = digest(path)
    with _kvstore.open(str(path), "w") as db, pytest.raises(_kvstore.error, match="damaged"):
        db.compact()
    assert digest(path) == before
    assert others_in(tmp_path, path) == []


@pytest.mark.parametrize("operation", ["compact", "load"])
def test_a_failed_flush_of_the_new_file_leaves_the_old_one(tmp_path, operation):
    """The disk fails the first flush, which is the new file's."""
    shim = build_flush_shim(tmp_path)
    folder = tmp_path / "data"
    folder.mkdir()
    raised, same, names, count = run_json("compact_failed_flush_child", folder, shim, operation,
                                          env=preload_env(shim))
    # Where the library meets the failed flush decides the words.
    assert raised is not None
    assert same
    assert names == ["db"] + (["new.dump"] if operation == "load" else [])
    assert count == 3000


def test_other_threads_wait_for_the_end_then_run(full):
    """A thread that uses the object while compact() runs waits until it
    returns, with the interpreter released so that the work goes on, then
    runs: compact() and close() included."""
    started = threading.Event()
    outcomes = []

    def other():
        started.wait()
        calls = [("get", lambda: full[b"key00001"]), ("store", lambda: full.__setitem__(b"x", b"y")),
                 ("len", lambda: len(full)), ("keys", lambda: len(full.keys())),
                 ("compact", full.compact), ("close", full.close)]
        for name, call in calls:
            try:
                outcomes.append((name, call()))
            except _kvstore.error as caught:
                outcomes.append((name, str(caught)))

    thread = threading.Thread(target=other)
    thread.start()
    seen_during = []

    def progress(done, total):
        if not started.is_set():
            started.set()
            # The other thread runs now, and makes its first call.
            time.sleep(0.2)
        seen_during.append(len(outcomes))

    full.compact(progress=progress)
    thread.join(30)
    assert not thread.is_alive()
    assert seen_during and set(seen_during) == {0}
    assert outcomes == [("get", RECORDS[b"key00001"]), ("store", None), ("len", len(RECORDS) + 1),
                        ("keys", len(RECORDS) + 1), ("compact", None), ("close", None)]
    with pytest.raises(_kvstore.error, match=CLOSED):
        len(full)


def test_the_refusal_names_the_method_called(path):
    with kvstore.open(path, "n") as db:
        for key, value in RECORDS.items():
            db[key] = value
        refused = []

        def progress(done, total):
            with pytest.raises(_kvstore.error) as caught:
                db.get(b"key00001")
            refused.append(str(caught.value))

        db.reorganize(progress=progress)
        assert refused and set(refused) == {BUSY.replace("compact()", "reorganize()")}
        assert db[b"key00001"] == RECORDS[b"key00001"]


def test_progress_itself_is_refused_too(full):
    refused = []

    def progress(done, total):
        for call in (full.sync, full.firstkey, full.reorganize):
            with pytest.raises(_kvstore.error, match="in progress") as caught:
                call()
            refused.append(str(caught.value))

    full.compact(progress=progress)
    assert set(refused) == {BUSY}


def probe_lock(path):
    """The errno another process's open for reading gets (0: it opens)."""
    outcome = run_json("open_probe", path, "r")
    return 0 if outcome == "opened" else outcome[0]


@pytest.mark.parametrize("operation, moment", STOP_CASES)
def test_no_other_opener_takes_the_file_meanwhile(full, path, dump, operation, moment):
    seen = []

    def progress(done, total):
        if not seen and STOPS[moment](done, total):
            seen.append(probe_lock(path))

    rewrite(full, operation, dump, progress)
    assert seen and set(seen) == {errno.EAGAIN}
    # The new file is locked by the object's new handle, not by the old one.
    assert probe_lock(path) == errno.EAGAIN
    full.close()
    assert probe_lock(path) == 0


def test_the_new_handle_keeps_the_open_flags(tmp_path):
    path = str(tmp_path / "nolock.db")
    with _kvstore.open(path, "cu") as db:
        db[b"a"] = b"1"
        db.compact()
        # Opened without locking, as before.
        assert probe_lock(path) == 0
        opened = [int(fd) for fd in os.listdir("/proc/self/fd")
                  if os.path.realpath(f"/proc/self/fd/{fd}") == os.path.realpath(path)]
        assert opened
        assert all(fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC for fd in opened)


def maps_file(path):
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return any(line.split(maxsplit=5)[5:] == [real + "\n"] for line in maps)


@pytest.mark.parametrize("mmap", [False, True])
@pytest.mark.parametrize("operation", ["compact", "load"])
def test_the_new_handle_keeps_the_settings(path, dump, operation, mmap):
    # Of open()'s settings, memory mapping is the one seen from outside.
    with _kvstore._open_tuned(path, "n", mmap=mmap, cache_size=7) as db:
        db[b"a"] = b"1"
        assert maps_file(path) == mmap
        rewrite(db, operation, dump)
        db[b"b"] = b"2"
        assert maps_file(path) == mmap


def test_refusals(make_db, tmp_path):
    reader = make_db({b"a": b"1"}, "r", "reader.db")
    with pytest.raises(_kvstore.error):
        reader.compact()
    db = make_db({b"a": b"1"}, "c", "writer.db")
    with pytest.raises(TypeError, match="callable"):
        db.compact(progress=1)
    with pytest.raises(TypeError):
        db.compact(lambda done, total: None)
    db.close()
    with pytest.raises(_kvstore.error, match=CLOSED):
        db.compact()
    assert others_in(tmp_path, "") == ["reader.db", "writer.db"]


def test_a_forked_child_is_refused(path):
    message, value = run_json("compact_fork_child", path)
    assert "opened in another process" in message
    assert value == "1"


def test_package_reorganize_and_recover_report_progress(path):
    with kvstore.open(path, "c") as db:
        db.update(RECORDS)
        calls = []
        db.reorganize(progress=lambda done, total: calls.append((done, total)))
        assert calls[-1] == (len(RECORDS), len(RECORDS))
        calls.clear()
        report = db.recover(force=True, progress=lambda done, total: calls.append((done, total)))
        assert calls == [(0, 1), (1, 1)]
        assert report["recovered_keys"] == len(RECORDS)
        assert dict(db.items()) == RECORDS


def test_package_reorganize_survives_a_keyboard_interrupt_in_progress(path):
    with kvstore.open(path, "c") as db:
        db.update(RECORDS)
        before = digest(path)

        def progress(done, total):
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            db.reorganize(progress=progress)
        assert digest(path) == before
        assert len(db) == len(RECORDS)


@pytest.mark.skipif(bool(MEMTOOL), reason="a million records take too long under a memory checker")
def test_a_million_records_loaded_read_back(tmp_path):
    assert run_json("compact_million", tmp_path) == [1_000_000, "value 999999 " * 4]
