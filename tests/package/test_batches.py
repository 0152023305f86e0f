"""Batches: `with db.batch():` keeps its changes in memory, shows them to the
reads made through the Database, and writes them all or none, through a
rollback journal beside the file that the next open for writing rolls back.

The kill tests (KVSTORE_TEST_SCALE sets their number; make crash-batches runs
hundreds) kill children in the middle of batches and check what the next
open finds."""

import contextlib
import errno
import os
import random
import shutil
import signal
import stat
import struct
import subprocess
import threading
import time
import zlib

import pytest

import _kvstore
import kvstore
from support.children import build_flush_shim, preload_env, program_command, run_json
from support.paths import DAMAGED_CYCLE
from support.scale import MEMTOOL, scaled

RECORDS = {b"a": b"1", b"b": b"2", b"c": b"3"}


@pytest.fixture
def db(tmp_path):
    with kvstore.open(tmp_path / "batch.db", "c") as opened:
        opened.update(RECORDS)
        yield opened


def journal_of(db):
    return db._database + "-journal"


def contents(db):
    return dict(db.items()), len(db), sorted(db)


# Each changing method, done to the Database and to a dict alike; what it
# returns is compared too.
CHANGES = {
    "assign-new": lambda m: m.__setitem__(b"d", b"4"),
    "assign-replace": lambda m: m.__setitem__(b"a", b"one"),
    "delete": lambda m: m.__delitem__(b"b"),
    "update": lambda m: m.update({b"a": b"x", b"e": b"5"}),
    "pop": lambda m: m.pop(b"c"),
    "pop-default": lambda m: m.pop(b"zz", b"none"),
    "popitem": lambda m: m.popitem(),
    "setdefault-new": lambda m: m.setdefault(b"f", b"6"),
    "setdefault-present": lambda m: m.setdefault(b"a", b"ignored"),
    "clear": lambda m: m.clear(),
    "clear-then-store": lambda m: (m.clear(), m.__setitem__(b"a", b"again")),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_an_exception_drops_every_change_and_goes_on(db, change):
    before = contents(db)
    failure = ValueError("from the block")
    with pytest.raises(ValueError) as raised:
        with db.batch():
            change(db)
            db[b"also"] = b"changed"
            raise failure
    assert raised.value is failure
    assert contents(db) == before
    assert not os.path.exists(journal_of(db))


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_reads_see_the_batch_and_the_commit_keeps_it(db, change, tmp_path):
    model = dict(RECORDS)
    with db.batch():
        returned = change(db)
        if change is CHANGES["popitem"]:
            # The file's order, not the dict's: the pair must have been there.
            key, value = returned
            assert model.pop(key) == value
        else:
            assert returned == change(model)
        assert dict(db.items()) == model
        assert len(db) == len(model) and bool(db) == bool(model)
        assert sorted(db.keys()) == sorted(model) and sorted(db.values()) == sorted(model.values())
        assert all(db[key] == value and key in db for key, value in model.items())
        assert b"zz" not in db and db.get(b"zz") is None
    assert dict(db.items()) == model
    db.close()
    with kvstore.open(tmp_path / "batch.db") as again:
        assert dict(again.items()) == model


class Subclass(bytes):
    pass


# What keys and values may be: a batch takes and refuses what the Database
# does, with the same messages, at every position that converts one.
DATA = {
    "bytes": b"k",
    "str": "ключ",
    "bytes-subclass": Subclass(b"sub"),
    "bytearray": bytearray(b"array"),
    "memoryview": memoryview(b"a"),
    "int": 5,
    "None": None,
    "surrogate": "\udcff",
}
POSITIONS = {
    "store-key": lambda db, x: db.__setitem__(x, b"value"),
    "store-value": lambda db, x: db.__setitem__(b"key", x),
    "fetch": lambda db, x: db[x],
    "delete": lambda db, x: db.__delitem__(x),
    "in": lambda db, x: x in db,
    "get": lambda db, x: db.get(x, b"none"),
    "setdefault-key": lambda db, x: db.setdefault(x, b"default"),
    "setdefault-default": lambda db, x: db.setdefault(b"new", x),
    "pop": lambda db, x: db.pop(x, b"none"),
}


@pytest.mark.parametrize("position", POSITIONS.values(), ids=POSITIONS.keys())
@pytest.mark.parametrize("data", DATA.values(), ids=DATA.keys())
def test_a_batch_takes_keys_and_values_as_the_database_does(tmp_path, data, position):
    def outcome(db):
        try:
            return position(db, data)
        except Exception as refused:
            return type(refused), str(refused)

    results = []
    for batched in (False, True):
        with kvstore.open(tmp_path / f"{batched}.db", "c") as db:
            db.update({b"a": b"1", b"k": b"2", "ключ": b"3", b"array": b"4"})
            with db.batch() if batched else contextlib.nullcontext():
                returned = outcome(db)
                seen = dict(db.items())
            results.append((returned, seen, dict(db.items())))
    assert results[0] == results[1]


def test_batch_is_the_only_kind_of_pending_changes(db):
    with pytest.raises(TypeError, match="_batch must be"):
        db._batch = {}
    db[b"still"] = b"works"
    assert db[b"still"] == b"works"


def test_the_journal_stays_void_between_commits_and_goes_at_close(tmp_path):
    path = tmp_path / "void.db"
    # A process that dies between commits leaves the void journal.
    done = subprocess.run(program_command("batch_dies_between_commits", path))
    assert done.returncode == 7
    journal = str(path) + "-journal"
    assert os.path.exists(journal) and not kvstore._journal.unfinished(str(path))
    with kvstore.open(path, "r") as reader:
        assert dict(reader.items()) == {b"a": b"1", b"b": b"2"}
    with kvstore.open(path, "w") as writer:
        assert not os.path.exists(journal)
        with writer.batch():
            writer[b"c"] = b"3"
        assert os.path.exists(journal)
    assert not os.path.exists(journal)
    with kvstore.open(path, "r") as reader:
        assert dict(reader.items()) == {b"a": b"1", b"b": b"2", b"c": b"3"}


def test_an_inner_batch_that_fails_drops_its_own_changes_only(db):
    with pytest.raises(KeyError):
        with db.batch():
            db[b"outer"] = b"1"
            with pytest.raises(ValueError):
                with db.batch():
                    db[b"inner"] = b"2"
                    del db[b"a"]
                    raise ValueError
            assert b"inner" not in db and db[b"a"] == b"1" and db[b"outer"] == b"1"
            with db.batch():
                db[b"kept"] = b"3"
            assert db[b"kept"] == b"3"
            raise KeyError("outer fails")
    assert dict(db.items()) == RECORDS


def test_a_reader_refuses_a_batch_at_once(tmp_path):
    with kvstore.open(tmp_path / "r.db", "c"):
        pass
    with kvstore.open(tmp_path / "r.db") as reader:
        with pytest.raises(kvstore.error, match="opened for writing"):
            reader.batch()


def test_iteration_sees_the_batch_and_stops_when_its_keys_change(db):
    with db.batch():
        del db[b"a"]
        db[b"b"] = b"new"
        db[b"z"] = b"26"
        assert sorted(db) == [b"b", b"c", b"z"]
        assert dict(db.items())[b"b"] == b"new"
        walk = iter(db)
        next(walk)
        db[b"b"] = b"replaced again"  # a value replaced moves no key
        next(walk)
        db[b"y"] = b"25"
        with pytest.raises(RuntimeError):
            list(walk)


@pytest.mark.parametrize("batched", [False, True], ids=["outside", "inside"])
@pytest.mark.parametrize("walk", [iter, lambda db: iter(db.values()), lambda db: iter(db.items())],
                         ids=["keys", "values", "items"])
def test_a_walk_of_a_circling_file_fails_in_a_batch_as_outside(tmp_path, batched, walk):
    path = tmp_path / "cycle.db"
    shutil.copyfile(DAMAGED_CYCLE, path)
    with kvstore.open(path, "w") as db:
        with db.batch() if batched else contextlib.nullcontext():
            with pytest.raises(kvstore.error, match="the key traversal does not end"):
                for steps, _ in enumerate(walk(db)):
                    assert steps < 100_000, "the walk goes round the file's circle"


@pytest.mark.parametrize("batched", [False, True], ids=["outside", "inside"])
def test_a_store_through_raw_stops_a_walk_in_a_batch_as_outside(db, batched):
    db.update({b"k%d" % i: b"v" for i in range(2000)})
    with db.batch() if batched else contextlib.nullcontext():
        db[b"batch"] = b"pending"
        walk = iter(db.items())
        next(walk)
        db.raw[b"k0"] = b"replaced"  # a value replaced moves no key
        next(walk)
        assert len(db) == 2004
        db.raw[b"raw"] = b"new"
        with pytest.raises(RuntimeError, match="database changed during iteration"):
            next(walk)
        assert db[b"raw"] == b"new" and len(db) == 2005


def test_a_walk_shows_the_mapping_as_it_stands_at_each_step(db):
    """A walk started before a batch goes on with the batch's values, each
    key once; a batch that changes nothing leaves a walk going, and one that
    commits changes stops it, as the commit rewrites records under it."""
    walk = iter(db.items())
    first = next(walk)
    later = {key: b"batch's" for key in RECORDS if key != first[0]}
    with db.batch():
        db.update(later)
        walked = [first, *walk]
    assert sorted(walked) == sorted({**RECORDS, **later}.items())
    walk = iter(db)
    keys = [next(walk)]
    with db.batch():
        pass
    assert sorted(keys + list(walk)) == sorted(RECORDS)
    walk = iter(db)
    next(walk)
    with db.batch():
        db[b"a"] = b"again"
    with pytest.raises(RuntimeError, match="database changed during iteration"):
        next(walk)


@pytest.mark.parametrize("method", ["reorganize", "dump", "load", "close"])
def test_file_operations_are_refused_inside_a_batch(db, method, tmp_path):
    calls = {
        "reorganize": lambda: db.reorganize(),
        "dump": lambda: db.dump(tmp_path / "d"),
        "load": lambda: db.load(tmp_path / "d"),
        "close": lambda: db.close(),
    }
    with db.batch():
        db[b"x"] = b"1"
        with pytest.raises(kvstore.error, match=f"{method}\\(\\) cannot run inside a batch"):
            calls[method]()
    assert db[b"x"] == b"1" and not db.closed


FILE_OPERATIONS = {
    "reorganize": lambda db, folder: db.reorganize(),
    "sync": lambda db, folder: db.sync(),
    "dump": lambda db, folder: db.dump(folder / "d"),
    "load": lambda db, folder: (db.dump(folder / "d"), db.load(folder / "d", replace=True)),
    "recover": lambda db, folder: db.recover(force=True),
    "failure_atomic": lambda db, folder: db.failure_atomic(folder / "even", folder / "odd"),
    "clear": lambda db, folder: db.clear(),
    "close": lambda db, folder: db.close(),
}


@pytest.mark.parametrize("operation", FILE_OPERATIONS.values(), ids=FILE_OPERATIONS.keys())
def test_file_operations_of_other_threads_wait_for_the_batch(db, operation, tmp_path):
    events = []

    def other():
        try:
            operation(db, tmp_path)
        except kvstore.error as refused:
            # A file system without reflink copies refuses failure_atomic.
            assert "batch" not in str(refused)
        events.append("operation")

    thread = threading.Thread(target=other)
    with db.batch():
        db[b"x"] = b"1"
        thread.start()
        time.sleep(0.2)
        events.append("batch ends")
    thread.join(10)
    assert events == ["batch ends", "operation"]


def test_other_threads_wait_for_the_batch_and_then_see_it_whole(db):
    seen = []
    entered = threading.Event()

    def other():
        entered.wait()
        seen.append((db.get(b"a"), db.get(b"new"), len(db)))
        db[b"later"] = b"x"

    thread = threading.Thread(target=other)
    thread.start()
    with db.batch():
        db[b"a"] = b"changed"
        entered.set()
        time.sleep(0.2)
        db[b"new"] = b"n"
        assert not seen
    thread.join(10)
    assert seen == [(b"changed", b"n", 4)]
    assert db[b"later"] == b"x"


# ---- journals left by a crash ---------------------------------------------------


def journal_content(before, identity):
    """A journal putting back `before` (None: not stored) into the file of
    `identity`, built here from the layout the package documents."""
    body = b"".join(
        struct.pack(">BII", value is not None, len(key), len(value or b"")) + key + (value or b"")
        for key, value in before.items()
    )
    header = struct.pack(">16sQQQQ", b"kvstore-journal\x01", identity.st_dev, identity.st_ino,
                         len(before), len(body))
    return header + body + struct.pack(">I", zlib.crc32(header + body))


def crash_in_commit(path, records, changes):
    """Leaves what a process killed in the middle of a commit leaves: the
    journal written whole, half of the changes in the file (flushed)."""
    done = subprocess.run(program_command("batch_crash_in_commit", path, repr(records), repr(changes)))
    assert done.returncode == 9


def test_the_next_writer_rolls_back_a_commit_cut_short(tmp_path):
    path = tmp_path / "cut.db"
    changes = {b"k%d" % i: b"new" for i in range(0, 40, 2)}
    crash_in_commit(path, {b"k%d" % i: b"old" for i in range(20)}, changes)
    journal = str(path) + "-journal"
    assert os.path.exists(journal)
    with pytest.raises(kvstore.error, match="open it for writing") as refused:
        kvstore.open(path, "r")
    assert refused.value.errno == errno.EUCLEAN
    with kvstore.open(path, "w") as writer:
        assert dict(writer.items()) == {b"k%d" % i: b"old" for i in range(20)}
    assert not os.path.exists(journal)


def test_a_journal_cut_short_is_only_removed(tmp_path):
    path = str(tmp_path / "torn.db")
    with kvstore.open(path, "c") as db:
        db.update(RECORDS)
    content = journal_content({b"a": b"journal's", b"new": None}, os.stat(path))
    for cut in (len(content) - 1, 40, 10, 0):
        with open(path + "-journal", "wb") as journal:
            journal.write(content[:cut])
        with kvstore.open(path, "w") as writer:
            assert dict(writer.items()) == RECORDS
        assert not os.path.exists(path + "-journal")


def test_a_journal_of_another_file_is_left_with_an_error(tmp_path):
    path = tmp_path / "moved.db"
    with kvstore.open(path, "c") as db:
        db[b"a"] = b"1"
    journal = str(path) + "-journal"
    with open(journal, "wb") as out:
        out.write(journal_content({b"a": b"old"}, os.stat(tmp_path)))
    with pytest.raises(kvstore.error, match="belongs to another file"):
        kvstore.open(path, "w")
    assert os.path.exists(journal)
    with kvstore.open(path, "n") as emptied:
        assert len(emptied) == 0
    assert not os.path.exists(journal)


# ---- processes killed in the middle of batches ------------------------------------

KILL_TRIALS = scaled(16, minimum=4)
KILL_SEED = int(os.environ.get("KVSTORE_CRASH_SEED", "20261211"))
# How long a child runs after its first commit before it is killed: the
# next batch and its commit, which take many times longer under a sanitizer.
KILL_WINDOW = 2.0 if MEMTOOL else 0.1
KEYS = 5000

def whole_batch(records):
    """The batch number the records are the whole of; fails on a part."""
    if not records:
        return 0
    n = int(records[b"count"])
    expected = {b"k%d" % i: b"%d" % n + b"." * 200 for i in range(KEYS)}
    expected[b"count"] = b"%d" % n
    if n % 2:
        expected[b"odd"] = b"1"
    assert records == expected, f"not the whole of batch {n}"
    return n


# On gdbm 1.24 and 1.26 a kill in the middle of a commit's writes was seen to
# leave a bucket that recover() cannot rebuild (once in 16 kills): the next
# open then puts the batch's records back but raises error, saying that the
# rebuild lost records. A part of a batch is never shown there either: any other
# failure, a partial batch above all, still fails the test.
@pytest.mark.xfail(_kvstore._KVSTORE_VERSION[:2] >= (1, 24), raises=_kvstore.error, strict=False,
                   reason="gdbm 1.24 and later: a kill inside a commit's writes can leave a bucket "
                   "that recovery cannot rebuild")
@pytest.mark.serial
def test_processes_killed_in_batches_leave_a_whole_batch(tmp_path):
    """Children killed at random points, while they fill, commit or abandon
    batches: the next open finds the last batch committed, whole."""
    chance = random.Random(KILL_SEED)
    path = str(tmp_path / "killed.db")
    last, rolled_back = 0, 0
    for trial in range(KILL_TRIALS):
        child = subprocess.Popen([*program_command("batch_killed_batches"), path, str(trial % 2), str(KEYS)],
                                 stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"ready\n"
        # Killed once it has committed a batch, however slow the machine: at
        # a random point of the batches after it.
        assert child.stdout.readline() == b"committed\n"
        time.sleep(chance.uniform(0, KILL_WINDOW))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        rolled_back += kvstore._journal.unfinished(path)
        with kvstore.open(path, "c", timeout=30) as db:
            n = whole_batch(dict(db.items()))
        assert not os.path.exists(path + "-journal")
        assert n >= last, "a committed batch was lost"
        last = n
    assert last > 0, "no batch was ever committed: the children died too early"
    print(f"{KILL_TRIALS} kills, {rolled_back} in a commit (rolled back), last batch {last}")


# ---- a failing disk -------------------------------------------------------------

@pytest.fixture(scope="module")
def flush_shim(tmp_path_factory):
    return build_flush_shim(tmp_path_factory.mktemp("shim"))


# The flushes of a durable commit: the journal, its name in the folder, the
# file (which fails first), the voided journal.
@pytest.mark.parametrize(("passing", "failing"), [(1, 1), (2, 1), (2, 1000)],
                         ids=["journal's folder flush fails", "commit fails", "undo fails too"])
def test_a_full_disk_in_the_commit_leaves_the_records_as_before(tmp_path, flush_shim, passing, failing):
    path = str(tmp_path / "full.db")
    result = run_json("batch_failing_disk", path, flush_shim, passing, failing, env=preload_env(flush_shim))
    before = {"a": "1", "b": "2"}
    assert result["raised"][0] == errno.ENOSPC
    assert result["reopened"] == before
    if failing == 1:
        assert not result["journal"] and result["records"] == before
    else:
        assert "undo" in result["raised"][1] and result["journal"], result
        assert result["recovered"] == before and not result["journal after recover"]


# ---- loads into a larger database: a batch in place ------------------------------


@pytest.fixture
def large(tmp_path):
    """A database file larger than the dumps of a few records below."""
    path = tmp_path / "large.db"
    with kvstore.open(path, "c") as db:
        db.update({b"k%d" % i: b"v" * 100 for i in range(2000)})
    return path


def dump_of(folder, records, dump_format="ascii", mode=0o640):
    source = folder / "source.db"
    with kvstore.open(source, "n") as db:
        db.update(records)
        os.chmod(source, mode)
        db.dump(folder / f"small.{dump_format}", dump_format)
    return folder / f"small.{dump_format}"


@pytest.mark.parametrize("dump_format", ["ascii", "binary"])
def test_a_small_load_is_stored_in_place(large, tmp_path, dump_format):
    dump = dump_of(tmp_path, {b"new": b"1", b"k1": b"replaced"}, dump_format)
    before = os.stat(large)
    seen = []
    with kvstore.open(large, "w") as db:
        expected = {**dict(db.items()), b"new": b"1", b"k1": b"replaced"}
        db.load(dump, True, progress=lambda done, total: seen.append((done, total)))
        assert dict(db.items()) == expected
    after = os.stat(large)
    assert after.st_ino == before.st_ino, "the file was rewritten"
    assert seen == [(0, 2), (2, 2)]
    # An ASCII dump records the mode of the file it was made from.
    expected_mode = 0o640 if dump_format == "ascii" else stat.S_IMODE(before.st_mode)
    assert stat.S_IMODE(after.st_mode) == expected_mode
    assert not os.path.exists(str(large) + "-journal")


def duplicated_key_dump(folder, extra):
    """An ASCII dump that holds the key b"dup1" twice."""
    dump = dump_of(folder, {b"dup1": b"first", b"dup2": b"second", **extra})
    text = dump.read_bytes()
    assert text.count(b"ZHVwMg==") == 1
    dump.write_bytes(text.replace(b"ZHVwMg==", b"ZHVwMQ=="))
    return dump


@pytest.mark.parametrize("target", ["larger", "smaller"])
@pytest.mark.parametrize("case", ["stored", "twice", "progress raises"])
def test_a_refused_load_changes_nothing_in_place_or_rewritten(large, tmp_path, target, case):
    path = large if target == "larger" else tmp_path / "tiny.db"
    with kvstore.open(path, "c") as db:
        db[b"new"] = b"there"
        before = dict(db.items())
        inode = os.stat(path).st_ino
        # A dump larger than the file is loaded by a rewrite.
        extra = {} if target == "larger" else {b"big": b"x" * 200_000}
        if case == "twice":
            dump, progress = duplicated_key_dump(tmp_path, extra), None
        else:
            dump = dump_of(tmp_path, {b"new": b"1", b"other": b"2", **extra})

            def progress(done, total):
                if done == total and case == "progress raises":
                    raise ValueError("stop")

        assert db._loads_in_place(dump) == (target == "larger")
        with pytest.raises(ValueError if case == "progress raises" else kvstore.error) as refused:
            db.load(dump, case == "progress raises", progress=progress)
        if case != "progress raises":
            assert "already stored (replace=True replaces it)" in str(refused.value)
        assert dict(db.items()) == before
    assert os.stat(path).st_ino == inode
    assert not os.path.exists(str(path) + "-journal")
