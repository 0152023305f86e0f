"""kvstore.Shared: one file, many processes, each operation a turn of its
own. The processes are children, so that kills and forks cannot touch the
test runner; what the file holds afterwards is checked from here."""

import errno
import json
import os
import pickle
import re
import shutil
import subprocess
import threading
import time

import pytest

import _kvstore
import kvstore
from support.children import build_shim, preload_env, program_command, run_json
from support.scale import scaled

# Waits bounded by their timeouts and kills at chosen moments.
pytestmark = pytest.mark.serial

# gdbm's tools run without a sanitizer that the memory checks preload.
TOOL_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
# How long a turn may wait where the test expects it to get in: long, for
# slow machines and memory checkers.
PATIENT = 60.0


def child(program, *args):
    """A child running `program` (support.programs), its output a pipe of
    lines."""
    return subprocess.Popen(program_command(program, *args), stdout=subprocess.PIPE, text=True)


def expect(process, line):
    assert process.stdout.readline().strip() == line


def finish(process):
    """The JSON the child printed on its last line, once it exits with 0."""
    out, _ = process.communicate(timeout=600)
    assert process.returncode == 0, out
    return json.loads(out.splitlines()[-1])


def start_together(commands):
    """Runs each [program, args...] of `commands` in a child; once all say
    "ready", tells them to go at once. What each printed last, as finish()
    reads it."""
    children = [subprocess.Popen(program_command(*command), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True) for command in commands]
    for process in children:
        expect(process, "ready")
    for process in children:
        process.stdin.write("go\n")
        process.stdin.flush()
    return [finish(process) for process in children]


def refused_for_lock(call, timeout):
    """Checks that call() raises error EAGAIN, after about timeout seconds."""
    start = time.monotonic()
    with pytest.raises(kvstore.error) as caught:
        call()
    assert caught.value.errno == errno.EAGAIN
    assert "locked by another opener" in str(caught.value)
    assert time.monotonic() - start >= timeout


@pytest.fixture
def shared(path):
    return kvstore.Shared(path)


# ---- the mapping ---------------------------------------------------------------

# Each step runs on the Shared and on a dict, which must return the same
# and then hold the same records.
STEPS = [
    lambda m: m.__setitem__(b"a", b"1"),
    lambda m: m.update({b"b": b"2", b"c": b"3"}),
    lambda m: m.update([(b"d", b"4")]),
    lambda m: m[b"b"],
    lambda m: m.get(b"zz", 7),
    lambda m: (b"a" in m, b"zz" in m),
    lambda m: m.setdefault(b"a", b"other"),
    lambda m: m.setdefault(b"e", b"5"),
    lambda m: m.pop(b"c"),
    lambda m: m.pop(b"c", None),
    lambda m: m.__delitem__(b"d"),
    len,
    lambda m: sorted(m),
    lambda m: sorted(m.keys()),
    lambda m: sorted(m.values()),
    lambda m: ((b"a", b"1") in m.items(), (b"a", b"2") in m.items(), b"e" in m.keys()),
    lambda m: m == {b"a": b"1", b"b": b"2", b"e": b"5"},
    lambda m: m.clear(),
]


def test_operations_behave_as_on_a_dict(shared):
    model = {}
    for number, step in enumerate(STEPS):
        assert step(shared) == step(model), number
        assert dict(shared.items()) == model, number
    shared.update([(b"x", b"1")], y=b"2")
    key, value = shared.popitem()
    assert (key, value) in [(b"x", b"1"), (b"y", b"2")] and key not in shared and len(shared) == 1
    shared["text"] = "é"
    assert shared[b"text"] == "é".encode()
    with pytest.raises(KeyError):
        shared[b"missing"]
    with pytest.raises(KeyError):
        del shared[b"missing"]
    shared.clear()
    with pytest.raises(KeyError, match="empty"):
        shared.popitem()
    with pytest.raises(TypeError):
        _ = 1 in shared


def test_update_is_all_or_nothing(shared):
    shared[b"kept"] = b"1"
    with pytest.raises(TypeError):
        shared.update({b"new": b"2", b"bad": 3})
    assert dict(shared.items()) == {b"kept": b"1"}


@pytest.fixture(params=["Shared", "Database", "Database in a batch"])
def changed(request, path):
    """Where transform() and incr() run: a Shared, a Database, or a
    Database inside a batch that the test ends (the block yields the
    mapping and a way to read the file afterwards)."""
    if request.param == "Shared":
        yield kvstore.Shared(path)
        return
    with kvstore.open(path, "c") as db:
        if request.param == "Database":
            yield db
        else:
            with db.batch():
                yield db


def test_read_modify_write_in_one_call(changed):
    assert changed.incr(b"n") == 1
    assert changed.incr("n", 10) == 11
    assert changed.decr(b"n", 2) == 9
    assert changed[b"n"] == b"9"
    assert changed.incr(b"from", default=100) == 101
    assert changed.decr(b"below", 5) == -5 and changed[b"below"] == b"-5"
    changed[b"text"] = b" 7\n"
    assert changed.incr(b"text") == 8
    with pytest.raises(KeyError):
        changed.incr(b"absent", default=None)
    changed[b"word"] = b"seven"
    with pytest.raises(ValueError, match="not a whole number"):
        changed.incr(b"word")
    with pytest.raises(TypeError):
        changed.incr(b"n", 0.5)
    assert changed.transform(b"trail", lambda value: (value or b"") + b"a") == b"a"
    assert changed.transform(b"trail", lambda value: value + b"b") == b"ab"
    assert changed.transform(b"trail", lambda value: None) is None
    assert changed.transform(b"absent", lambda value: None) is None
    with pytest.raises(ZeroDivisionError):
        changed.transform(b"n", lambda value: 1 / 0)
    assert dict(changed.items()) == {b"n": b"9", b"from": b"101", b"below": b"-5", b"text": b"8",
                                     b"word": b"seven"}


def test_transform_holds_the_turn_for_its_function(path):
    shared = kvstore.Shared(path, timeout=PATIENT)
    other = kvstore.Shared(path, timeout=PATIENT)
    seen = []

    def function(value):
        with pytest.raises(kvstore.error) as caught:
            other.get(b"k")
        seen.append((value, caught.value.errno))
        return b"new"

    shared[b"k"] = b"old"
    assert shared.transform(b"k", function) == b"new"
    assert seen == [(b"old", errno.EDEADLK)] and other[b"k"] == b"new"
    with kvstore.open(path, "r") as reader, pytest.raises(kvstore.error, match="opened for writing"):
        reader.incr(b"k")


def test_database_transform_makes_other_threads_wait(path):
    """The lookup and the store are one step for another thread's use of the
    same Database, which would otherwise fall between them."""
    with kvstore.open(path, "c") as db:
        inside, release = threading.Event(), threading.Event()

        def slow(value):
            inside.set()
            assert release.wait(PATIENT)
            return b"%d" % (int(value or b"0") + 1)

        thread = threading.Thread(target=lambda: db.transform(b"n", slow))
        thread.start()
        assert inside.wait(PATIENT)
        other = threading.Thread(target=lambda: db.incr(b"n"))
        other.start()
        time.sleep(0.1)
        release.set()
        thread.join()
        other.join()
        assert db[b"n"] == b"2"


def test_a_copy_made_by_pickle_reaches_the_same_file(shared):
    shared[b"k"] = b"v"
    copy = pickle.loads(pickle.dumps(shared))
    assert (copy.filename, copy.flag, copy.timeout) == (shared.filename, shared.flag, shared.timeout)
    copy[b"k2"] = b"v2"
    assert dict(shared.items()) == {b"k": b"v", b"k2": b"v2"}


@pytest.mark.parametrize(
    "flag, timeout, message",
    [("n", 1.0, "flag must be"), ("cu", 1.0, "flag must be"), ("c", -1.0, "timeout must be"),
     ("c", float("nan"), "timeout must be")],
)
def test_arguments_are_checked(path, flag, timeout, message):
    with pytest.raises(ValueError, match=message):
        kvstore.Shared(path, flag, timeout=timeout)
    assert not os.path.exists(path)


def test_a_reader_refuses_changes_and_a_missing_file_is_reported(path):
    with pytest.raises(kvstore.error):
        kvstore.Shared(path, "w")
    kvstore.Shared(path)[b"k"] = b"v"
    reader = kvstore.Shared(path, "r")
    assert reader[b"k"] == b"v"
    with pytest.raises(kvstore.error, match="reading only"):
        reader[b"k"] = b"w"
    with pytest.raises(kvstore.error, match="reading only"):
        with reader.batch():
            pass


def test_blocks_give_a_database_and_batches_are_all_or_nothing(shared):
    with shared.batch() as db:
        db[b"a"] = b"1"
        db[b"b"] = b"2"
    with pytest.raises(RuntimeError):
        with shared.batch() as db:
            db[b"a"] = b"changed"
            raise RuntimeError
    with shared.reading() as db:
        assert dict(db.items()) == {b"a": b"1", b"b": b"2"}
        assert db.flag == "r"
    assert db.closed


@pytest.mark.parametrize("block", ["batch", "reading"])
@pytest.mark.parametrize("operation", [
    lambda s: s.get(b"k"),
    lambda s: s.__setitem__(b"k", b"v"),
    lambda s: list(s),
    lambda s: s.reading().__enter__(),
])
def test_an_operation_inside_the_threads_own_block_is_refused_at_once(path, block, operation):
    shared = kvstore.Shared(path, timeout=PATIENT)
    other = kvstore.Shared(path, timeout=PATIENT)
    start = time.monotonic()
    with getattr(shared, block)():
        with pytest.raises(kvstore.error) as caught:
            operation(other)
    assert caught.value.errno == errno.EDEADLK
    assert time.monotonic() - start < PATIENT
    # The block let go of everything: a writer gets in at once.
    kvstore.Shared(path, timeout=0)[b"after"] = b"1"


# ---- turns between processes -----------------------------------------------------

def test_a_counter_incremented_by_many_processes_ends_at_the_total(path):
    processes, each = 4, scaled(500, minimum=20)
    kvstore.Shared(path)
    assert start_together([["shared_increments", path, each]] * processes) == [[]] * processes
    assert kvstore.Shared(path, "r")[b"n"] == b"%d" % (processes * each)


def test_incr_from_many_processes_loses_no_increment(path):
    processes, each = 4, scaled(1000, minimum=20)
    kvstore.Shared(path)
    commands = [["shared_incr", path, each, "abcd"[number]] for number in range(processes)]
    assert start_together(commands) == [[]] * processes
    shared = kvstore.Shared(path, "r")
    assert shared[b"n"] == b"%d" % (processes * each)
    trail = shared[b"trail"]
    assert sorted(set(trail)) == sorted(b"abcd") and {trail.count(tag) for tag in b"abcd"} == {-(-each // 10)}


def test_readers_see_only_whole_batches_in_order(path):
    shared = kvstore.Shared(path)
    shared.update({b"k%d" % i: b"0" for i in range(20)})
    seconds = 2.0
    writer = child("shared_writer", path, seconds)
    readers = [child("shared_reader", path, seconds) for _ in range(2)]
    batches = finish(writer)
    for reader in readers:
        seen = finish(reader)
        assert seen["blocks"] > 0 and seen["snapshots"] > 0
        assert seen["torn"] == 0 and seen["backwards"] == 0, seen
    assert batches > 0
    assert set(shared.values()) == {b"%d" % batches}


# ---- holders that die -------------------------------------------------------------

HOLDERS = ["inside a batch", "inside a reading block", "among single changes"]


@pytest.mark.parametrize("holder", HOLDERS)
def test_a_killed_holder_lets_the_others_in(path, holder):
    shared = kvstore.Shared(path, timeout=PATIENT)
    shared.update({b"a": b"0", b"b": b"0"})
    process = child("shared_holder", path, holder)
    expect(process, "holding")
    time.sleep(0.05)
    process.kill()
    process.wait()
    process.stdout.close()
    shared[b"b"] = b"after"
    records = dict(shared.items())
    assert records[b"b"] == b"after"
    assert records[b"a"] != b"changed"
    assert not os.path.exists(path + "-journal")


@pytest.mark.xfail(_kvstore._KVSTORE_VERSION[:2] >= (1, 24), raises=_kvstore.error, strict=False,
                   reason="gdbm 1.24 and later: a kill inside a commit's writes can leave a bucket "
                   "that recovery cannot rebuild")
def test_a_batch_killed_in_its_commit_is_rolled_back_by_the_next_reader(path):
    count = 50_000
    shared = kvstore.Shared(path, timeout=PATIENT)
    with shared.batch() as db:
        for i in range(count):
            db[b"k%d" % i] = b"old"
    journal = path + "-journal"
    process = child("shared_big_batch", path, count)
    expect(process, "ready")
    deadline = time.monotonic() + PATIENT
    while not os.path.exists(journal) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.0005)
    process.kill()
    process.wait()
    process.stdout.close()
    in_commit = os.path.exists(journal)
    # A reader's turn rolls the commit back before it reads.
    values = set(kvstore.Shared(path, "r", timeout=PATIENT).values())
    assert values in ({b"old"}, {b"new"}), "a part of a batch"
    # A whole journal is rolled back; one cut short holds nothing to roll
    # back, and a reader leaves it for the next writer.
    assert not kvstore._journal.unfinished(path)
    if in_commit:
        assert values == {b"old"}


# ---- other openers -------------------------------------------------------------------

def gdbmtool():
    tool = shutil.which("gdbmtool")
    if tool is None:
        pytest.skip("gdbmtool is missing: scripts/setup.sh installs it (Debian package gdbmtool)")
    return tool


def held_by_gdbmtool(path):
    """gdbmtool, started on path, once it holds the file open for writing:
    seen in /proc/locks, since a probe of the lock could make its open fail."""
    tool = subprocess.Popen([gdbmtool(), "-q", "-N", path], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True, env=TOOL_ENV)
    tool.stdin.write("count\n")
    tool.stdin.flush()
    held = re.compile(rf"FLOCK\s+ADVISORY\s+WRITE\s+{tool.pid}\s+\S+:{os.stat(path).st_ino}\s")
    deadline = time.monotonic() + PATIENT
    while time.monotonic() < deadline:
        with open("/proc/locks") as locks:
            if held.search(locks.read()):
                return tool
        time.sleep(0.01)
    raise AssertionError("gdbmtool never held the file")


def held_by_a_plain_writer(path):
    process = subprocess.Popen([*program_command("shared_plain_writer"), path],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    expect(process, "holding")
    return process


@pytest.mark.parametrize("holder", [held_by_gdbmtool, held_by_a_plain_writer], ids=["gdbmtool", "kvstore.open"])
def test_a_foreign_holder_makes_every_turn_wait_then_time_out(path, holder):
    impatient = kvstore.Shared(path, timeout=0.3)
    impatient[b"k"] = b"v"
    with holder(path) as process:
        for call in (lambda: impatient[b"k"], lambda: impatient.__setitem__(b"k", b"w"),
                     lambda: impatient.reading().__enter__(), lambda: impatient.batch().__enter__()):
            refused_for_lock(call, 0.3)
        # A turn that waits gets in once the holder lets go.
        got = []
        waiting = threading.Thread(target=lambda: got.append(kvstore.Shared(path, timeout=PATIENT)[b"k"]))
        waiting.start()
        time.sleep(0.2)
        assert got == []
        process.stdin.close()
        process.wait()
        waiting.join()
    assert got == [b"v"]


@pytest.mark.parametrize("block", ["batch", "reading"])
def test_a_turn_keeps_gdbmtool_out(path, block):
    shared = kvstore.Shared(path)
    shared[b"k"] = b"v"
    with getattr(shared, block)():
        refused = subprocess.run([gdbmtool(), "-q", "-N", path], input="count\n", capture_output=True,
                                 text=True, timeout=PATIENT, env=TOOL_ENV)
        assert "There is 1 item" not in refused.stdout
    done = subprocess.run([gdbmtool(), "-q", "-N", path], input="count\n", capture_output=True,
                          text=True, timeout=PATIENT, env=TOOL_ENV)
    assert "There is 1 item" in done.stdout, done.stdout + done.stderr


def test_readers_share_while_a_writer_waits_for_them(path):
    shared = kvstore.Shared(path, timeout=0.3)
    shared[b"k"] = b"v"
    process = child("shared_holder", path, "inside a reading block")
    expect(process, "holding")
    try:
        assert shared[b"k"] == b"v"
        with shared.reading() as db:
            assert db[b"k"] == b"v"
        refused_for_lock(lambda: shared.__setitem__(b"k", b"w"), 0.3)
    finally:
        process.kill()
        process.wait()
        process.stdout.close()
    shared[b"k"] = b"w"


# ---- fork ---------------------------------------------------------------------------

def test_fork_inside_a_batch(path):
    kvstore.Shared(path)
    process = subprocess.Popen([*program_command("shared_fork_in_batch"), path], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    in_child = json.loads(process.stdout.readline())
    assert in_child["inside"] == errno.EDEADLK
    assert "another process" in in_child["commit"]
    other = kvstore.Shared(path, timeout=PATIENT)
    assert dict(other.items()) == {b"parent": b"1"}
    other[b"third"] = b"1"
    process.stdin.write("go\n")
    process.stdin.flush()
    assert finish(process) == {"status": 0}
    assert dict(other.items()) == {b"parent": b"1", b"third": b"1", b"child after": b"1"}


# ---- when the flush runs ---------------------------------------------------------

FLUSHES = {"fsync", "fdatasync", "msync"}
LOCK_UN = 8


@pytest.fixture(scope="module")
def call_log_shim(tmp_path_factory):
    return build_shim(tmp_path_factory.mktemp("shim"), "call_log_shim")


@pytest.mark.parametrize("order", ["after letting go", "strict"])
def test_a_write_turn_flushes_once_and_nothing_else_follows_its_letting_go(path, tmp_path, call_log_shim, order):
    """For the gdbm in use: after the writer lets go of gdbm's lock and the
    turnstile, its close flushes and writes nothing, through a descriptor
    or through the mapping (the file then is as it was at the unlock); with
    flush_in_turn the flush comes before both."""
    log = tmp_path / "calls.log"
    env = preload_env(call_log_shim) | {"KVSHIM_LOG": str(log), "KVSHIM_COPY": path}
    found = run_json("shared_turns", path, "strict" if order == "strict" else "fast", env=env)
    assert all(found["unchanged"].values()), found["unchanged"]
    turns, name = {}, None
    for line in log.read_text().splitlines():
        if line.startswith("mark "):
            name = line.removeprefix("mark ")
            turns[name] = []
            continue
        call, file, argument = line.split(" ")
        if name is not None and (file in (found["database"], found["lock"]) or call == "msync"):
            turns[name].append((call, "lock" if file == found["lock"] else "database", argument))
    del turns["end"]
    assert set(turns) == set(found["unchanged"])
    for name, calls in turns.items():
        flushes = [i for i, (call, _, _) in enumerate(calls) if call in FLUSHES]
        assert len(flushes) == 1, (name, calls)
        unlocks = {file: next(i for i, (call, f, argument) in enumerate(calls)
                              if call == "flock" and f == file and int(argument) & LOCK_UN)
                   for file in ("database", "lock")}
        if order == "strict":
            assert flushes[0] < min(unlocks.values()), (name, calls)
        else:
            assert flushes[0] > max(unlocks.values()), (name, calls)
            after = {call for call, file, _ in calls[unlocks["database"]:] if file == "database"}
            assert after <= FLUSHES | {"flock", "close"}, (name, calls)
