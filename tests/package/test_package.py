"""kvstore.Database: the mutable mapping over a _kvstore object, its
iterators, and open() with its wait for another opener's lock."""

import collections.abc
import copy
import errno
import gc
import math
import os
import pathlib
import pickle
import shelve
import sys
import threading
import time
import tracemalloc
import weakref

import pytest

import _kvstore
import kvstore
from support.scale import scaled
from support import CLOSED
from support.paths import DAMAGED_CYCLE

CHANGED = "database changed during iteration"
SEED = {b"a": b"1", b"b": b"2", b"c": b"3"}


@pytest.fixture
def pdb(path):
    """A package Database holding SEED, open for writing."""
    with kvstore.open(path, "c") as opened:
        opened.update(SEED)
        yield opened


def outcome(operation, mapping):
    """What operation does to mapping: its result or its exception's type,
    and the mapping's contents afterwards."""
    try:
        result = operation(mapping)
    except Exception as caught:  # noqa: BLE001 - the type is the outcome
        result = type(caught)
    return result, dict(mapping.items())


# Each operation runs on a dict and on a Database holding the same records;
# both must give the same result and leave the same contents.
LIKE_A_DICT = {
    "getitem": lambda m: m[b"a"],
    "getitem-missing": lambda m: m[b"zz"],
    "get": lambda m: m.get(b"b"),
    "get-missing": lambda m: m.get(b"zz"),
    "get-default": lambda m: m.get(b"zz", 7),
    "contains": lambda m: (b"a" in m, b"zz" in m),
    "len-bool": lambda m: (len(m), bool(m)),
    "sorted-iter": lambda m: sorted(m),
    "sorted-keys": lambda m: sorted(m.keys()),
    "sorted-values": lambda m: sorted(m.values()),
    "sorted-items": lambda m: sorted(m.items()),
    "view-contains": lambda m: (b"a" in m.keys(), (b"a", b"1") in m.items(), (b"a", b"2") in m.items(),
                                b"3" in m.values(), b"9" in m.values()),
    "view-set-ops": lambda m: (m.keys() & {b"a", b"x"}, m.keys() - {b"a"}, m.items() & {(b"b", b"2")}),
    "view-len": lambda m: (len(m.keys()), len(m.items()), len(m.values())),
    "setitem": lambda m: m.__setitem__(b"d", b"4"),
    "setitem-replace": lambda m: m.__setitem__(b"a", b"new"),
    "delitem": lambda m: m.__delitem__(b"b"),
    "delitem-missing": lambda m: m.__delitem__(b"zz"),
    "pop": lambda m: m.pop(b"a"),
    "pop-missing": lambda m: m.pop(b"zz"),
    "pop-default": lambda m: m.pop(b"zz", None),
    "pop-present-with-default": lambda m: m.pop(b"c", b"unused"),
    "popitem-all": lambda m: sorted(m.popitem() for _ in range(3)),
    "popitem-empty": lambda m: [m.popitem() for _ in range(4)],
    "setdefault-present": lambda m: m.setdefault(b"a", b"other"),
    "setdefault-missing": lambda m: m.setdefault(b"d", b"4"),
    "update-mapping": lambda m: m.update({b"a": b"x", b"e": b"5"}),
    "update-pairs": lambda m: m.update([(b"f", b"6")]),
    "clear": lambda m: m.clear(),
    "equal": lambda m: (m == SEED, m == {}, m != SEED),
    # Elements that no store takes: a dict's views answer, never refuse.
    "view-foreign-elements": lambda m: (
        m.keys() & {1, b"a", "\udc80"}, m.keys() | {1}, m.keys() - {1, b"c"}, m.keys().isdisjoint({1, 2.5}),
        (1, 2) in m.items(), 1 in m.items(), (b"a",) in m.items(), [b"a", b"1"] in m.items(),
        m.items() & {(1, 2), (b"a", b"1")}, "\udc80" in m.keys(), None in m.keys()),
    "view-unhashable-key": lambda m: [1] in m.keys(),
    "view-unhashable-item-key": lambda m: ([1], b"1") in m.items(),
    "match": lambda m: _matched(m),
}


def _matched(mapping):
    match mapping:
        case {b"a": value, **rest}:
            return value, sorted(rest)
        case _:
            return None


@pytest.mark.parametrize("name", LIKE_A_DICT)
def test_behaves_like_a_dict(pdb, name):
    operation = LIKE_A_DICT[name]
    assert outcome(operation, pdb) == outcome(operation, dict(SEED))


def test_is_a_mutable_mapping_importable_at_run_time(pdb):
    assert isinstance(pdb, kvstore.Database)
    assert isinstance(pdb, collections.abc.MutableMapping)
    assert isinstance(pdb.keys(), collections.abc.KeysView)
    assert isinstance(pdb.items(), collections.abc.ItemsView)
    assert isinstance(pdb.values(), collections.abc.ValuesView)
    assert type(pdb.raw).__module__ == "_kvstore"
    assert kvstore.error is _kvstore.error
    assert kvstore.latest_snapshot is _kvstore.latest_snapshot


def test_dir_lists_the_public_names():
    listed = dir(kvstore)
    assert {name for name in listed if not name.startswith("_")} == set(kvstore.__all__)
    # Also the version, which is read only when first asked for.
    assert "__version__" in listed
    assert all(hasattr(kvstore, name) for name in listed)


def test_str_keys_and_values_come_back_as_bytes(pdb):
    pdb["clé"] = "valeur"
    assert pdb["clé"] == pdb["clé".encode()] == "valeur".encode()
    assert "clé" in pdb and "clé".encode() in pdb.keys()
    assert pdb.setdefault("é", "x") == b"x"
    assert pdb.pop("é") == b"x"
    pdb.update({"k": "v"}, word="mot")
    assert pdb[b"k"] == b"v" and pdb[b"word"] == b"mot"
    with pytest.raises(KeyError) as missing:
        pdb["absent"]
    assert missing.value.args == ("absent",)
    assert all(type(key) is bytes for key in pdb)
    assert all(type(value) is bytes for value in pdb.values())


@pytest.mark.parametrize("operation, exception", [
    (lambda m: m[1], TypeError),
    (lambda m: m.__setitem__(b"k", 1), TypeError),
    (lambda m: m.__setitem__(b"k", bytearray(b"v")), TypeError),
    (lambda m: 1 in m, TypeError),
    (lambda m: m.pop(1.5), TypeError),
    (lambda m: m.get("\udc80"), UnicodeEncodeError),
    (lambda m: m.setdefault(b"new"), TypeError),
], ids=["getitem", "setitem", "setitem-bytearray", "contains", "pop", "get-surrogate", "setdefault-none"])
def test_refuses_what_the_module_refuses(pdb, operation, exception):
    with pytest.raises(exception):
        operation(pdb)
    assert dict(pdb) == SEED


def test_views_are_live(pdb):
    keys, items, values = pdb.keys(), pdb.items(), pdb.values()
    pdb[b"z"] = b"26"
    del pdb[b"a"]
    assert sorted(keys) == [b"b", b"c", b"z"]
    assert (b"z", b"26") in items and (b"a", b"1") not in items
    assert sorted(values) == [b"2", b"26", b"3"]


def test_popitem_removes_the_first_key_in_file_order(pdb):
    first = next(iter(pdb))
    assert pdb.popitem() == (first, SEED[first])
    assert first not in pdb
    with pytest.raises(KeyError, match="database is empty"):
        pdb.clear() or pdb.popitem()


# ---- iteration and changes made meanwhile ---------------------------------------

def reload(m):
    """Puts the same records under the handle through a new file."""
    dumped = m.filename + ".dump"
    m.raw.dump(dumped)
    m.raw.load(dumped, True)


# Each change is made after the first key has been yielded.
ADDS_OR_REMOVES = {
    "store-new": lambda m: m.__setitem__(b"new", b"v"),
    "store-new-str": lambda m: m.__setitem__("new", "v"),
    "delete": lambda m: m.__delitem__(b"a"),
    "pop": lambda m: m.pop(b"b"),
    "popitem": lambda m: m.popitem(),
    "setdefault-new": lambda m: m.setdefault(b"new", b"v"),
    "update-new": lambda m: m.update({b"new": b"v"}),
    "clear": lambda m: m.clear(),
    "reorganize": lambda m: m.reorganize(),
    "recover": lambda m: m.recover(force=True),
    "load": reload,
}

LEAVES_KEYS = {
    "replace-value": lambda m: m.__setitem__(b"a", b"other value"),
    "replace-value-str": lambda m: m.__setitem__("b", "x" * 5000),
    "setdefault-present": lambda m: m.setdefault(b"c", b"unused"),
    "pop-missing-default": lambda m: m.pop(b"zz", None),
    "read": lambda m: (m[b"a"], m.get(b"zz"), b"b" in m, len(m)),
    "sync": lambda m: m.sync(),
    "refused-store": lambda m: pytest.raises(TypeError, m.__setitem__, b"new", 1),
    "refused-delete": lambda m: pytest.raises(KeyError, m.__delitem__, b"zz"),
}

# The same kinds of change made through the gdbm object underneath: the count
# the walks read is that object's.
RAW_ADDS_OR_REMOVES = {
    "store-new": lambda m: m.raw.__setitem__(b"new", b"v"),
    "delete": lambda m: m.raw.__delitem__(b"a"),
    "setdefault-new": lambda m: m.raw.setdefault(b"new", b"v"),
    "clear": lambda m: m.raw.clear(),
    "reorganize": lambda m: m.raw.reorganize(),
    "compact": lambda m: m.raw.compact(),
    "recover": lambda m: m.raw.recover(force=True),
    "load": reload,
}

RAW_LEAVES_KEYS = {
    "replace-value": lambda m: m.raw.__setitem__(b"a", b"other value"),
    "setdefault-present": lambda m: m.raw.setdefault(b"c", b"unused"),
    "read": lambda m: (m.raw.keys(), m.raw.firstkey(), m.raw.get(b"zz"), len(m.raw)),
    "refused-delete": lambda m: pytest.raises(KeyError, m.raw.__delitem__, b"zz"),
    "refused-load": lambda m: pytest.raises(OSError, m.raw.load, m.filename + ".missing"),
}


WALKS = {"iter": iter, "keys": lambda m: iter(m.keys()), "items": lambda m: iter(m.items()),
         "values": lambda m: iter(m.values())}


# The changes through the Database and through its raw object alike.
STOPS_WALKS = {**ADDS_OR_REMOVES, **{f"raw-{name}": change for name, change in RAW_ADDS_OR_REMOVES.items()}}


@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize("change", STOPS_WALKS)
def test_adding_or_removing_keys_stops_a_running_iterator(pdb, walk, change):
    running = WALKS[walk](pdb)
    next(running)
    STOPS_WALKS[change](pdb)
    with pytest.raises(RuntimeError, match=CHANGED):
        next(running)
    # A new iterator starts afresh.
    assert sorted(pdb) == sorted(pdb.keys())


def test_a_long_walk_stops_at_a_change_through_raw(pdb):
    # Past the steps a walk takes before it first counts the records.
    pdb.update((b"%04d" % i, b"") for i in range(2000))
    seen = 0
    with pytest.raises(RuntimeError, match=CHANGED):
        for _ in pdb:
            seen += 1
            if seen == 1500:
                pdb.raw[b"new"] = b"v"
    assert seen == 1500


# The other operations, through the Database and through its raw object.
LEAVES_WALKS = {**LEAVES_KEYS, **{f"raw-{name}": change for name, change in RAW_LEAVES_KEYS.items()}}


@pytest.mark.parametrize("change", LEAVES_WALKS)
def test_other_operations_leave_a_running_iterator_going(pdb, change):
    seen = []
    for key in pdb:
        seen.append(key)
        LEAVES_WALKS[change](pdb)
    assert sorted(seen) == sorted(SEED)


@pytest.mark.parametrize("walk", WALKS)
def test_a_walk_started_while_a_new_key_is_stored_is_stopped(pdb, walk):
    # The value's conversion runs Python code before the store: a walk it
    # starts must still hear that the store added a key.
    started = []

    class Value:
        def __buffer__(self, flags):
            running = WALKS[walk](pdb)
            next(running)
            started.append(running)
            return memoryview(b"value")

    pdb[b"new"] = Value()
    with pytest.raises(RuntimeError, match=CHANGED):
        list(started[0])
    assert pdb[b"new"] == b"value"


def test_a_change_before_the_first_key_is_seen_is_no_change(pdb):
    running = iter(pdb)
    pdb[b"d"] = b"4"
    assert sorted(running) == [b"a", b"b", b"c", b"d"]


def test_every_iterator_of_one_object_is_stopped(pdb):
    first, second = iter(pdb), iter(pdb.items())
    next(first), next(second)
    del pdb[b"c"]
    for running in (first, second):
        with pytest.raises(RuntimeError):
            next(running)


def test_a_finished_or_dropped_iterator_no_longer_watches(pdb):
    list(pdb)
    abandoned = iter(pdb)
    next(abandoned)
    del abandoned
    # With no iterator running, stores skip the existence check: they must
    # still store.
    for i in range(5):
        pdb[str(i)] = "v"
    assert len(pdb) == 8


def test_iteration_streams_the_keys(path):
    count = 20000
    with kvstore.open(path, "c") as db:
        for i in range(count):
            db[b"key-%08d" % i] = b""
        whole_list = count * (33 + 13) + 8 * count  # bytes objects and the list's slots
        tracemalloc.start()
        try:
            walked = sum(1 for _ in db)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert walked == count
    assert peak < whole_list / 20, f"iterating {count} keys took {peak} bytes at its peak"


def test_a_walk_that_circles_raises_instead_of_running_forever():
    damaged = DAMAGED_CYCLE
    with kvstore.open(damaged, "r") as db:
        with pytest.raises(_kvstore.error, match="traversal does not end"):
            for _ in db:
                pass


# ---- the object, its file and its life cycle ------------------------------------

@pytest.mark.parametrize("as_name", [str, os.fsencode, pathlib.Path], ids=["str", "bytes", "path"])
def test_filename_flag_and_repr(path, as_name):
    db = kvstore.open(as_name(path), "cf", 0o600)
    assert db.filename == path and db.flag == "cf"
    assert repr(db) == f"<kvstore.Database {path!r} flag='cf' open>"
    assert not db.closed
    db.close()
    assert repr(db) == f"<kvstore.Database {path!r} flag='cf' closed>"
    assert db.closed
    assert os.stat(path).st_mode & 0o777 == 0o600 & ~current_umask()


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_with_block_closes_and_closed_objects_refuse(path):
    with kvstore.open(path, "c") as db:
        db[b"k"] = b"v"
    assert db.closed
    for operation in (lambda: db[b"k"], lambda: list(db), lambda: len(db), lambda: db.sync(),
                      lambda: db.popitem(), lambda: db.setdefault(b"k", b"v"), lambda: db.clear()):
        with pytest.raises(_kvstore.error, match=CLOSED):
            operation()
    db.close()
    with kvstore.open(path) as reread:
        assert dict(reread) == {b"k": b"v"}


@pytest.mark.parametrize("flag", ["x", "rq", "w"])
def test_open_refuses_as_the_module_does(path, flag):
    with pytest.raises(_kvstore.error) as ours:
        kvstore.open(path, flag)
    with pytest.raises(_kvstore.error) as module:
        _kvstore.open(path, flag)
    assert (ours.value.errno, str(ours.value)) == (module.value.errno, str(module.value))


@pytest.mark.parametrize("options", [{}, {"force": True}, {"force": True, "backup": True}])
def test_recover_delegates_to_the_module(path, pdb, options):
    report = pdb.recover(**options)
    assert set(report) == {"recovered_keys", "recovered_buckets", "failed_keys", "failed_buckets",
                           "duplicate_keys", "backup_name"}
    assert report["recovered_keys"] == (len(SEED) if options else 0)
    assert (report["backup_name"] is not None) == bool(options.get("backup"))
    assert dict(pdb) == SEED
    with pytest.raises(ValueError):
        pdb.recover(max_failures=0)


def test_failure_atomic_delegates_to_the_module(tmp_path, pdb):
    # Where the file system has no reflink copies, both refuse alike.
    snapshots = [str(tmp_path / "even"), str(tmp_path / "odd")]
    try:
        pdb.raw.failure_atomic(*snapshots)
    except _kvstore.error as refused:
        with pytest.raises(_kvstore.error) as ours:
            pdb.failure_atomic(*snapshots)
        assert (ours.value.errno, str(ours.value)) == (refused.errno, str(refused))
        return
    pdb.sync()
    assert kvstore.latest_snapshot(*snapshots) in snapshots


def test_read_only_database_refuses_writes(path, pdb):
    pdb.close()
    with kvstore.open(path) as reader:
        for operation in (lambda: reader.__setitem__(b"k", b"v"), lambda: reader.pop(b"a"),
                          lambda: reader.popitem(), lambda: reader.clear(), lambda: reader.reorganize(),
                          lambda: reader.recover(force=True)):
            with pytest.raises(_kvstore.error):
                operation()
        assert dict(reader) == SEED


def test_shelf_over_a_database(path):
    with shelve.Shelf(kvstore.open(path, "c")) as shelf:
        shelf["config"] = {"retries": 3}
        assert list(shelf) == ["config"]
    with kvstore.open(path) as db:
        assert list(db) == [b"config"]


# ---- waiting for another opener's lock ---------------------------------------

@pytest.mark.parametrize("held_by, flag", [("c", "w"), ("c", "r"), ("c", "n"), ("r", "w")])
def test_a_locked_file_raises_an_error_that_says_so(path, held_by, flag):
    _kvstore.open(path, "c").close()
    with _kvstore.open(path, held_by):
        with pytest.raises(_kvstore.error) as locked:
            kvstore.open(path, flag)
    assert locked.value.errno == errno.EAGAIN
    assert locked.value.filename == path
    assert locked.value.strerror == ("the database file is locked by another opener: pass timeout=SECONDS to "
                                     "wait for it, or use kvstore.Shared, which gives each process its turn "
                                     "at the file")


def test_timeout_waits_then_gives_up(path):
    with _kvstore.open(path, "c"):
        started = time.monotonic()
        with pytest.raises(_kvstore.error, match=r"locked by another opener \(waited 0.3 s\)") as locked:
            kvstore.open(path, "w", timeout=0.3)
        assert time.monotonic() - started >= 0.3
    assert locked.value.errno == errno.EAGAIN


# The waiter probes the lock as gdbm takes it: shared for a reader,
# exclusive for a writer.
@pytest.mark.parametrize("held, wanted", [("w", "w"), ("w", "r"), ("r", "w")])
def test_timeout_opens_once_the_other_opener_lets_go(path, held, wanted):
    with _kvstore.open(path, "c") as db:
        db[b"k"] = b"v"
    holder = _kvstore.open(path, held)
    releaser = threading.Timer(0.2, holder.close)
    releaser.start()
    try:
        with kvstore.open(path, wanted, timeout=30) as db:
            assert db[b"k"] == b"v"
            # Not before the other opener let go.
            with pytest.raises(_kvstore.error, match=CLOSED):
                len(holder)
    finally:
        releaser.join()


def test_other_errors_are_not_retried(path):
    started = time.monotonic()
    with pytest.raises(_kvstore.error) as missing:
        kvstore.open(path, "r", timeout=30)
    assert missing.value.errno == errno.ENOENT
    assert time.monotonic() - started < 10


@pytest.mark.parametrize("timeout, exception", [(-1, ValueError), (math.nan, ValueError), ("1", TypeError)])
def test_timeout_must_be_seconds(path, timeout, exception):
    with pytest.raises(exception):
        kvstore.open(path, "c", timeout=timeout)
    assert not os.path.exists(path)


# ---- the per-record paths, in C ---------------------------------------------------

def test_per_record_operations_run_no_python_code(pdb):
    walks = [iter(pdb), iter(pdb.keys()), iter(pdb.items()), iter(pdb.values())]
    operations = [
        lambda: pdb[b"a"], lambda: pdb.__setitem__(b"d", b"4"), lambda: pdb.__delitem__(b"d"),
        lambda: b"a" in pdb, lambda: len(pdb), lambda: bool(pdb), lambda: pdb.get(b"zz", b""),
        lambda: pdb.setdefault(b"a"), lambda: pdb.pop(b"zz", None),
        *[lambda walk=walk: next(walk) for walk in walks],
        lambda: pdb.popitem(),
    ]
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename != __file__:
            entered.append(frame.f_code.co_qualname)

    sys.setprofile(profile)
    try:
        for operation in operations:
            operation()
    finally:
        sys.setprofile(None)
    assert entered == []


# The arguments each method and slot of the C base takes on an open database.
BASE_CALLS = {
    "__getitem__": (b"a",), "__setitem__": (b"a", b"v"), "__delitem__": (b"a",),
    "__contains__": (b"a",), "__len__": (), "__bool__": (), "__iter__": (), "get": (b"a",),
    "setdefault": (b"a", b"v"), "pop": (b"a", None), "popitem": (), "clear": (), "reorganize": (),
    "_iter_values": (), "_iter_items": (),
}


def test_the_table_names_every_method_of_the_base():
    methods = {name for name, attribute in vars(_kvstore._Mapping).items() if callable(attribute)}
    # The wait for another thread's batch comes before close() too.
    assert methods - {"__new__", "__init_subclass__", "_wait_for_batch"} == set(BASE_CALLS)


@pytest.mark.parametrize("state", ["closed", "never-opened"])
@pytest.mark.parametrize("name", sorted(BASE_CALLS))
def test_every_per_record_operation_on_a_closed_database(pdb, name, state):
    if state == "closed":
        pdb.close()
        db = pdb
    else:
        db = kvstore.Database.__new__(kvstore.Database)
    with pytest.raises(_kvstore.error, match=CLOSED):
        result = getattr(db, name)(*BASE_CALLS[name])
        if isinstance(result, collections.abc.Iterator):
            next(result)


def test_the_file_underneath_is_set_once(pdb):
    raw = pdb.raw
    for change in (lambda: setattr(pdb, "_raw", raw), lambda: delattr(pdb, "_raw")):
        with pytest.raises(AttributeError):
            change()
    assert pdb.raw is raw and dict(pdb) == SEED
    unopened = kvstore.Database.__new__(kvstore.Database)
    with pytest.raises(TypeError):
        unopened._raw = {}
    with pytest.raises(AttributeError):
        unopened.raw


def test_weak_references_die_with_the_database(path):
    db = kvstore.open(path, "c")
    db[b"k"] = b"v"
    reference = weakref.ref(db)
    assert reference() is db
    del db
    gc.collect()
    assert reference() is None
    with kvstore.open(path) as reopened:
        assert dict(reopened) == {b"k": b"v"}


@pytest.mark.parametrize("walk", ["values", "items"])
def test_view_walks_stream_and_detect_a_circling_file(walk):
    damaged = DAMAGED_CYCLE
    with kvstore.open(damaged, "r") as db:
        with pytest.raises((_kvstore.error, KeyError)):
            for _ in getattr(db, walk)():
                pass


# ---- threads sharing one Database, and copies ---------------------------------

# Without one critical section, a run of this size failed 5 to 115 times; the
# memory checks' scaled-down runs only need the paths.
ROUNDS = scaled(50000, minimum=500)


def run_threads(worker, count=4):
    """Runs worker(i) in `count` threads switching as often as the
    interpreter can; returns what they raised."""
    raised = []

    def guarded(i):
        try:
            worker(i)
        except Exception as caught:  # noqa: BLE001 - the test reports them
            raised.append(caught)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    return raised


def test_pop_with_a_default_is_atomic(pdb):
    def worker(_):
        for _ in range(ROUNDS):
            pdb[b"shared"] = b"v"
            pdb.pop(b"shared", None)

    assert run_threads(worker) == []


def test_popitem_of_a_database_never_empty_is_atomic(pdb):
    pdb.update({b"%d" % i: b"v" for i in range(8)})

    def worker(_):
        for _ in range(ROUNDS):
            key, value = pdb.popitem()
            pdb[key] = value

    assert run_threads(worker) == []
    assert len(pdb) == len(SEED) + 8


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, pickle.dumps],
                         ids=["copy", "deepcopy", "pickle"])
def test_copying_is_refused_as_pickling_is(pdb, duplicate):
    with pytest.raises(TypeError, match="cannot pickle"):
        duplicate(pdb)
    assert not pdb.closed and dict(pdb) == SEED
