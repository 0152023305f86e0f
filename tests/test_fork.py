"""A database object inherited through fork(): the child may read through
it; a change raises instead of vanishing; the child's closing or freeing it
takes nothing from the parent, neither its lock nor its records."""

import errno

import pytest

import _kvstore
from children import run_json

# The parent opens the file, changes it (the changes still in its cache),
# forks, and once the child is done checks that its lock still keeps a
# second writer out, goes on writing and closes. The child reads, tries
# every kind of change, and lets go of the object as `ending` says: close(),
# dropping the last reference, or leaving it to the interpreter's exit.
FORKING_PARENT = r"""
import json, os, sys
import _kvstore

path, flags, ending = sys.argv[1], sys.argv[2], sys.argv[3]
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
    seen = {"read": db[b"key0"].decode(), "count": len(db.keys()), "changes": {}}
    for name, change in CHANGES.items():
        try:
            change(db)
            seen["changes"][name] = None
        except Exception as caught:
            seen["changes"][name] = [type(caught).__name__, str(caught)]
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


@pytest.mark.parametrize("ending", ["close", "free", "exit"])
@pytest.mark.parametrize("flags", ["r", "w", "c"])
def test_child_of_fork_reads_but_takes_nothing_from_the_parent(path, flags, ending):
    with _kvstore.open(path, "n") as db:
        for i in range(50):
            db[b"key%d" % i] = b"v%d" % i
    outcome = run_json(FORKING_PARENT, path, flags, ending)
    child = outcome["child"]
    assert outcome["status"] == 0
    assert child["read"] == "v0"
    assert child["count"] == (50 if flags == "r" else 250)
    for name, raised in child["changes"].items():
        assert raised is not None, f"{name} went through in the child"
        assert raised[0] == "error" and "opened in another process" in raised[1], name
    # The parent's lock held while the child let go of its copy.
    assert outcome["second"] in (errno.EAGAIN, errno.EWOULDBLOCK)
    expected = {b"key%d" % i: b"v%d" % i for i in range(50)}
    if flags != "r":
        expected.update({b"parent%d" % i: b"p%d" % i for i in range(400)})
    with _kvstore.open(path, "r") as db:
        assert {key: db[key] for key in db.keys()} == expected
