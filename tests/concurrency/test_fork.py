"""A database object inherited through fork(): the child may read through
a reader; a writer refuses every use, reads included, since the child's copy
of the library's cache does not follow the parent's writes; a change raises
instead of vanishing; the child's closing or freeing the object takes
nothing from the parent, neither its lock nor its records."""

import errno

import pytest

import _kvstore
from support.children import run_json

def refused(outcome):
    return outcome[0] == "error" and "opened in another process" in outcome[1]


@pytest.mark.parametrize("ending", ["close", "free", "exit"])
@pytest.mark.parametrize("flags", ["r", "w", "c"])
def test_child_of_fork_takes_nothing_from_the_parent(path, flags, ending):
    with _kvstore.open(path, "n") as db:
        for i in range(50):
            db[b"key%d" % i] = b"v%d" % i
    outcome = run_json("forking_parent", path, flags, ending)
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
    seen = run_json("fork_in_progress", path, operation, fmt, ending)
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


@pytest.mark.parametrize("operation", ["compact", "load", "dump"])
def test_fork_in_progress_leaves_the_work_to_the_parent(path, operation):
    records = {b"key%d" % i: b"v%d" % i * 20 for i in range(3000)}
    with _kvstore.open(path, "n") as db:
        for key, value in records.items():
            db[key] = value
        db.dump(path + ".dump", "binary")
        if operation == "load":
            db.clear()
    outcome = run_json("fork_progress_forks_and_goes_on", path, operation)
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


def test_child_forked_during_long_work_is_refused(path):
    with _kvstore.open(path, "n") as db:
        for i in range(3000):
            db[b"key%d" % i] = b"v" * 100
    outcome = run_json("fork_from_another_thread", path)
    assert outcome["status"] == 0
    assert outcome["len"] == 3000
    child = outcome["child"]
    for name in ("len", "get"):
        assert child[name][0] == "error"
        assert child[name][1].startswith("compact() was in progress on this database in another process")
    assert child["close"] == ["returned", None]
