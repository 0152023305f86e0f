"""A database object inherited through fork(): the child may read through
a reader; a writer refuses every use, reads included, since the child's copy
of the library's cache does not follow the parent's writes; a change raises
instead of vanishing; the child's closing or freeing the object takes
nothing from the parent, neither its lock nor its records."""

import errno

import pytest

import _kvstore
from support.children import run_json

# The parent opens the file, changes it (the changes still in its cache),
# forks, and once the child is done checks that its lock still keeps a
# second writer out, goes on writing and closes. The child tries every kind
# of read and of change, and lets go of the object as `ending` says: close(),
# dropping the last reference, or leaving it to the interpreter's exit.
FORKING_PARENT = r"""
import json, os, sys
import _kvstore

path, flags, ending = sys.argv[1], sys.argv[2], sys.argv[3]
READS = {
    "getitem": lambda db: db[b"key0"].decode(),
    "get": lambda db: db.get(b"key0").decode(),
    "contains": lambda db: b"key0" in db,
    "len": len,
    "bool": bool,
    "keys": lambda db: len(db.keys()),
    "walk": lambda db: db.nextkey(db.firstkey()) is not None,
    "dump": lambda db: db.dump(path + ".out"),
}
CHANGES = {
    "store": lambda db: db.__setitem__(b"child", b"c"),
    "delete": lambda db: db.__delitem__(b"key1"),
    "setdefault": lambda db: db.setdefault(b"child", b"c"),
    "clear": lambda db: db.clear(),
    "sync": lambda db: db.sync(),
    "reorganize": lambda db: db.reorganize(),
    "recover": lambda db: db.recover(force=True),
    "load": lambda db: db.load(path + ".dump"),
}

db = _kvstore.open(path, flags)
if flags != "r":
    for i in range(200):
        db[b"parent%d" % i] = b"p%d" % i
reader, writer = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(reader)
    seen = {}
    for kind, calls in (("reads", READS), ("changes", CHANGES)):
        seen[kind] = {}
        for name, call in calls.items():
            try:
                seen[kind][name] = ["returned", call(db)]
            except Exception as caught:
                seen[kind][name] = [type(caught).__name__, str(caught)]
    with os.fdopen(writer, "w") as report:
        report.write(json.dumps(seen))
    if ending == "close":
        db.close()
    elif ending == "free":
        del db
    sys.exit(0)
os.close(writer)
with os.fdopen(reader) as report:
    child = json.loads(report.read())
_, status = os.waitpid(pid, 0)
try:
    _kvstore.open(path, "w").close()
    second = None
except _kvstore.error as caught:
    second = caught.errno
if flags != "r":
    for i in range(200, 400):
        db[b"parent%d" % i] = b"p%d" % i
db.close()
print(json.dumps({"child": child, "status": status, "second": second}))
"""


def refused(outcome):
    return outcome[0] == "error" and "opened in another process" in outcome[1]


@pytest.mark.parametrize("ending", ["close", "free", "exit"])
@pytest.mark.parametrize("flags", ["r", "w", "c"])
def test_child_of_fork_takes_nothing_from_the_parent(path, flags, ending):
    with _kvstore.open(path, "n") as db:
        for i in range(50):
            db[b"key%d" % i] = b"v%d" % i
    outcome = run_json(FORKING_PARENT, path, flags, ending)
    child = outcome["child"]
    assert outcome["status"] == 0
    if flags == "r":
        assert child["reads"] == {
            "getitem": ["returned", "v0"], "get": ["returned", "v0"],
            "contains": ["returned", True], "len": ["returned", 50], "bool": ["returned", True],
            "keys": ["returned", 50], "walk": ["returned", True], "dump": ["returned", None],
        }
    else:
        # A writer's records in the child are a copy of the parent's cache,
        # which goes stale with the parent's next write.
        for name, read in child["reads"].items():
            assert refused(read), f"{name} read through a writer in the child: {read}"
            assert "open the file again in this process" in read[1]
    for name, raised in child["changes"].items():
        assert refused(raised), f"{name} went through in the child: {raised}"
    # The parent's lock held while the child let go of its copy.
    assert outcome["second"] in (errno.EAGAIN, errno.EWOULDBLOCK)
    expected = {b"key%d" % i: b"v%d" % i for i in range(50)}
    if flags != "r":
        expected.update({b"parent%d" % i: b"p%d" % i for i in range(400)})
    with _kvstore.open(path, "r") as db:
        assert {key: db[key] for key in db.keys()} == expected


# A parent whose progress callable forks once, at its first call, during
# compact(), load() or dump(). The child makes the operation unwind (progress
# raises there) and leaves as `ending` says: os._exit() once the exception is
# out, or sys.exit() raised inside progress, which unwinds and then runs the
# interpreter's exit. The parent waits for the child, notes its new file and
# whether another process still finds it locked, then lets the operation go
# on; it must end well and leave a whole file.
FORK_IN_PROGRESS = r"""
import json, os, subprocess, sys
import _kvstore

path, operation, fmt, ending = sys.argv[1:5]
folder = os.path.dirname(path)
parent = os.getpid()
seen = {}
LOCK_PROBE = '''
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
refused = []
for take in (lambda: fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB),
             lambda: fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)):
    try:
        take()
        refused.append(False)
    except OSError:
        refused.append(True)
print(any(refused))
'''


class ChildUnwinds(Exception):
    pass


def made_files():
    return sorted(name for name in os.listdir(folder)
                  if ".compact." in name or ".unfinished-" in name)


def progress(done, total):
    if os.getpid() != parent:
        raise ChildUnwinds  # a later call in the child: unwind as well
    if seen:
        return
    seen["before"] = made_files()
    pid = os.fork()
    if pid == 0:
        if ending == "sys.exit":
            sys.exit(0)
        raise ChildUnwinds
    seen["status"] = os.waitpid(pid, 0)[1]
    seen["after"] = made_files()
    seen["locked"] = [
        subprocess.run([sys.executable, "-c", LOCK_PROBE, os.path.join(folder, name)],
                       capture_output=True, text=True, check=True).stdout.strip() == "True"
        for name in seen["after"]]


try:
    if operation == "compact":
        with _kvstore.open(path, "w") as db:
            db.compact(progress=progress)
    elif operation == "load":
        with _kvstore.open(path + ".target", "w") as db:
            db.load(path + ".dump", progress=progress)
    else:
        with _kvstore.open(path, "r") as db:
            db.dump(path + ".out", fmt, progress=progress)
except ChildUnwinds:
    assert os.getpid() != parent
    os._exit(0)
seen["left"] = made_files()
print(json.dumps(seen))
"""

FORKED_RECORDS = {b"key%05d" % i: b"value %d" % i for i in range(20_000)}


@pytest.mark.parametrize("ending", ["raise-then-_exit", "sys.exit"])
@pytest.mark.parametrize("operation, fmt", [
    ("compact", "-"), ("load", "ascii"), ("load", "binary"), ("dump", "ascii"),
    ("dump", "binary"),
])
def test_a_child_forked_in_progress_leaves_the_parents_file(path, operation, fmt, ending):
    with _kvstore.open(path, "n") as db:
        for key, value in FORKED_RECORDS.items():
            db[key] = value
        if operation == "load":
            db.dump(path + ".dump", fmt)
    if operation == "load":
        with _kvstore.open(path + ".target", "n") as target:
            target[b"mine"] = b"kept"
    seen = run_json(FORK_IN_PROGRESS, path, operation, fmt, ending)
    assert seen["status"] == 0
    # The child's unwinding took neither the new file nor its lock.
    assert len(seen["before"]) == 1 and seen["after"] == seen["before"]
    if operation != "dump":
        assert seen["locked"] == [True]
    assert seen["left"] == []
    if operation == "compact":
        result, expected = path, FORKED_RECORDS
    elif operation == "load":
        result, expected = path + ".target", {**FORKED_RECORDS, b"mine": b"kept"}
    else:
        with _kvstore.open(path + ".copy", "n") as copy:
            copy.load(path + ".out")
        result, expected = path + ".copy", FORKED_RECORDS
    with _kvstore.open(result, "r") as db:
        assert {key: db[key] for key in db.keys()} == expected


# fork() inside a long operation's progress callable: the child's copy of the
# operation stops at once, with error, and lets go of nothing of the
# parent's; the parent finishes, keeps its lock, and its next synced stores
# reach the file under the database's name.
PROGRESS_FORKS_AND_GOES_ON = r"""
import json, os, sys
import _kvstore

path, operation = sys.argv[1], sys.argv[2]
db = _kvstore.open(path, "ws")
forked = []

def progress(done, total):
    if forked:
        return
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reader)
        forked.append(writer)
        return
    os.close(writer)
    forked.append((pid, reader))

try:
    if operation == "dump":
        db.dump(path + ".out", progress=progress)
    else:
        getattr(db, operation)(*([path + ".dump"] if operation == "load" else []), progress=progress)
    outcome = "returned"
except _kvstore.error as caught:
    outcome = str(caught)
if isinstance(forked[0], int):
    with os.fdopen(forked[0], "w") as report:
        report.write(outcome)
    os._exit(0)
pid, reader = forked[0]
with os.fdopen(reader) as report:
    child = report.read()
_, status = os.waitpid(pid, 0)
try:
    _kvstore.open(path, "r").close()
    second = None
except _kvstore.error as caught:
    second = caught.errno
for i in range(10):
    db[b"after%d" % i] = b"a"
db.close()
print(json.dumps({"parent": outcome, "child": child, "status": status, "second": second}))
"""


@pytest.mark.parametrize("operation", ["compact", "load", "dump"])
def test_fork_in_progress_leaves_the_work_to_the_parent(path, operation):
    records = {b"key%d" % i: b"v%d" % i * 20 for i in range(3000)}
    with _kvstore.open(path, "n") as db:
        for key, value in records.items():
            db[key] = value
        db.dump(path + ".dump", "binary")
        if operation == "load":
            db.clear()
    outcome = run_json(PROGRESS_FORKS_AND_GOES_ON, path, operation)
    assert outcome["parent"] == "returned"
    assert outcome["child"].startswith(f"{operation}() cannot go on in a process forked during it")
    assert outcome["status"] == 0
    assert outcome["second"] in (errno.EAGAIN, errno.EWOULDBLOCK)
    records.update({b"after%d" % i: b"a" for i in range(10)})
    with _kvstore.open(path, "r") as db:
        assert {key: db[key] for key in db.keys()} == records
    if operation == "dump":
        with _kvstore.open(path + ".copy", "n") as copy:
            copy.load(path + ".out")
            assert len(copy) == 3000


# A child forked by another thread while a long operation runs finds the
# object in the middle of that work: every use is refused at once (it could
# never end there), and close() lets go of the child's copy.
FORK_FROM_ANOTHER_THREAD = r"""
import json, os, sys, threading, time
import _kvstore

path = sys.argv[1]
db = _kvstore.open(path, "w")
started = threading.Event()
seen = {}

def fork_now():
    started.wait()
    pid = os.fork()
    if pid == 0:
        outcome = {}
        for name, call in (("len", lambda: len(db)), ("get", lambda: db.get(b"key1")), ("close", db.close)):
            try:
                outcome[name] = ["returned", call()]
            except _kvstore.error as caught:
                outcome[name] = ["error", str(caught)]
        with open(path + ".child", "w") as report:
            json.dump(outcome, report)
        os._exit(0)
    seen["status"] = os.waitpid(pid, 0)[1]

thread = threading.Thread(target=fork_now)
thread.start()

def progress(done, total):
    if not started.is_set():
        started.set()
        time.sleep(0.5)

db.compact(progress=progress)
thread.join()
seen["len"] = len(db)
with open(path + ".child") as report:
    seen["child"] = json.load(report)
print(json.dumps(seen))
"""


def test_child_forked_during_long_work_is_refused(path):
    with _kvstore.open(path, "n") as db:
        for i in range(3000):
            db[b"key%d" % i] = b"v" * 100
    outcome = run_json(FORK_FROM_ANOTHER_THREAD, path)
    assert outcome["status"] == 0
    assert outcome["len"] == 3000
    child = outcome["child"]
    for name in ("len", "get"):
        assert child[name][0] == "error"
        assert child[name][1].startswith("compact() was in progress on this database in another process")
    assert child["close"] == ["returned", None]
