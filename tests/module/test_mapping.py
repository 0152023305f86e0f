"""The mapping protocol: subscription, assignment, deletion, len, `in` and
the truth value."""

import contextlib
import ctypes
import json
import os

import pytest

import _kvstore
from support.children import build_shim, preload_env, run_json
from support import CLOSED, INDICES_ONLY, Bytes, Exporter, Text, library_message




@pytest.fixture
def reader(path):
    """A read-only database holding two records."""
    with _kvstore.open(path, "c") as db:
        db[b"a"] = b"1"
        db[b"b"] = b"2"
    with _kvstore.open(path, "r") as db:
        yield db


# ---- keys ---------------------------------------------------------------------

@pytest.mark.parametrize("text, raw", [
    ("k", b"k"),
    ("\xe9", b"\xc3\xa9"),
    ("a\x00b", b"a\x00b"),
    ("", b""),
])
@pytest.mark.parametrize("stored_as_text", [True, False], ids=["stored-str", "stored-bytes"])
def test_str_key_and_its_utf8_bytes_name_one_record(db, text, raw, stored_as_text):
    db[text if stored_as_text else raw] = b"v"
    other = raw if stored_as_text else text
    assert db[other] == b"v"
    assert text in db and raw in db
    assert db.keys() == [raw]
    del db[other]
    assert raw not in db
    assert len(db) == 0


def test_nul_is_part_of_the_key(db):
    db[b"a\x00b"] = b"three"
    db[b"a"] = b"one"
    assert db[b"a\x00b"] == b"three"
    assert db[b"a"] == b"one"
    assert sorted(db.keys()) == [b"a", b"a\x00b"]
    assert b"a\x00" not in db


@pytest.mark.parametrize("value, expected", [
    ("v", b"v"),
    ("\xe9\x00", b"\xc3\xa9\x00"),
    (Bytes(b"sub"), b"sub"),
    (Text("sub"), b"sub"),
    (b"", b""),
    ("", b""),
])
def test_values_come_back_as_plain_bytes(db, value, expected):
    db[b"k"] = value
    got = db[b"k"]
    assert type(got) is bytes
    assert got == expected


def test_bytes_subclass_works_as_key_everywhere(db):
    key = Bytes(b"k")
    db[key] = Bytes(b"v")
    assert db[key] == b"v"
    assert key in db
    assert db.get(key) == b"v"
    assert db.setdefault(key, b"other") == b"v"
    assert db.nextkey(key) is None
    del db[key]
    assert key not in db


@pytest.mark.parametrize("make", [
    pytest.param(Exporter, id="python-exporter"),
    pytest.param(lambda data: ctypes.create_string_buffer(data, len(data)), id="ctypes-array"),
])
def test_read_only_buffer_exporters_work_as_keys_and_values(db, make):
    stored = [b"k", b"x", b"y"]
    for key in stored:
        db[make(key)] = make(b"v" + key)
    assert db[b"k"] == b"vk"
    assert db[make(b"x")] == b"vx"
    walked = []
    key = db.firstkey()
    while key is not None:
        walked.append(key)
        key = db.nextkey(make(key))
    assert sorted(walked) == stored
    del db[make(b"k")]
    assert sorted(db.keys()) == [b"x", b"y"]


# Each operation refuses what it cannot take with its own exception.
OPERATIONS = {
    "subscription": lambda db, key: db[key],
    "assignment": lambda db, key: db.__setitem__(key, b"v"),
    "deletion": lambda db, key: db.__delitem__(key),
    "in": lambda db, key: key in db,
    "nextkey": lambda db, key: db.nextkey(key),
}
READ_ONLY_BYTES = "read-only bytes-like object"
NOT_STR_OR_BYTES = "gdbm key must be bytes or string, not "


def refusal(operation, key, exception, message):
    return pytest.param(operation, key, exception, message,
                        id=f"{operation}-{type(key).__name__}")


@pytest.mark.parametrize("operation, key, exception, message", [
    refusal("subscription", bytearray(b"k"), TypeError,
            "argument must be " + READ_ONLY_BYTES + ", not bytearray"),
    refusal("subscription", memoryview(b"k"), TypeError,
            "argument must be " + READ_ONLY_BYTES + ", not memoryview"),
    refusal("subscription", 1, TypeError, "a bytes-like object is required, not 'int'"),
    refusal("subscription", "\udc80", UnicodeEncodeError, "surrogates not allowed"),
    refusal("assignment", bytearray(b"k"), TypeError, INDICES_ONLY),
    refusal("assignment", memoryview(b"k"), TypeError, INDICES_ONLY),
    refusal("assignment", None, TypeError, INDICES_ONLY),
    refusal("assignment", "\udc80", TypeError, INDICES_ONLY),
    refusal("deletion", bytearray(b"k"), TypeError, INDICES_ONLY),
    refusal("deletion", memoryview(b"k"), TypeError, INDICES_ONLY),
    refusal("deletion", "\udc80", TypeError, INDICES_ONLY),
    refusal("in", bytearray(b"k"), TypeError, NOT_STR_OR_BYTES + "bytearray"),
    refusal("in", memoryview(b"k"), TypeError, NOT_STR_OR_BYTES + "memoryview"),
    refusal("in", Exporter(b"k"), TypeError, NOT_STR_OR_BYTES + "Exporter"),
    refusal("in", 1, TypeError, NOT_STR_OR_BYTES + "int"),
    refusal("in", "\udc80", UnicodeEncodeError, "surrogates not allowed"),
    refusal("nextkey", bytearray(b"k"), TypeError,
            "nextkey() argument 1 must be " + READ_ONLY_BYTES + ", not bytearray"),
    refusal("nextkey", memoryview(b"k"), TypeError,
            "nextkey() argument 1 must be " + READ_ONLY_BYTES + ", not memoryview"),
    refusal("nextkey", None, TypeError, "a bytes-like object is required, not 'NoneType'"),
    refusal("nextkey", "\udc80", UnicodeEncodeError, "surrogates not allowed"),
])
def test_refused_keys(db, operation, key, exception, message):
    db[b"k"] = b"v"
    with pytest.raises(exception) as info:
        OPERATIONS[operation](db, key)
    assert type(info.value) is exception
    assert getattr(info.value, "reason", str(info.value)) == message
    assert db.keys() == [b"k"]


@pytest.mark.parametrize("value", [
    bytearray(b"v"), memoryview(b"v"), 1, None, "\udc80",
], ids=lambda v: type(v).__name__)
def test_refused_values_store_nothing(db, value):
    with pytest.raises(TypeError) as info:
        db[b"k"] = value
    assert str(info.value) == INDICES_ONLY
    assert b"k" not in db


@pytest.mark.parametrize("key", [b"missing", "missing", Bytes(b"missing"), "\xe9"],
                         ids=["bytes", "str", "bytes-subclass", "non-ascii-str"])
def test_missing_key_raises_keyerror_with_the_callers_key(db, key):
    db[b"other"] = b"v"
    with pytest.raises(KeyError) as fetched:
        db[key]
    assert fetched.value.args[0] is key
    with pytest.raises(KeyError) as deleted:
        del db[key]
    assert deleted.value.args[0] is key
    assert key not in db
    assert db.keys() == [b"other"]


def test_assignment_replaces_the_stored_value(db):
    db[b"k"] = b"first"
    db["k"] = "second"
    assert db[b"k"] == b"second"
    assert len(db) == 1


# ---- the record count and the truth value ---------------------------------------

def test_len_follows_changes_made_through_the_object(db):
    assert len(db) == 0
    for i in range(5):
        db[b"%d" % i] = b"v"
    assert len(db) == 5
    db[b"0"] = b"replaced"
    assert len(db) == 5
    del db[b"0"]
    assert len(db) == 4


# The cache seen from outside: each step's operation, then a len() or bool()
# whose calls into the library the preloaded tests/support/shims/count_shim.c counts.
# (operation, probe, (what the operation raised, what the probe answered,
# gdbm_count calls, gdbm_firstkey calls)).
CACHE_STEPS = [
    ("pass", "len", (None, 3, 1, 0)),
    ("pass", "len", (None, 3, 0, 0)),
    ("pass", "bool", (None, True, 0, 0)),
    # A reorganisation carries every record and changes none.
    ("db.reorganize()", "len", (None, 3, 0, 0)),
    ("db[b'a']; db.get(b'a'); db.keys(); b'a' in db; db.setdefault(b'a'); db.sync()", "len", (None, 3, 0, 0)),
    # Forgotten once the key is converted, before the value is refused.
    ("db[b'n'] = 1", "len", ("TypeError", 3, 1, 0)),
    ("db.setdefault(b'missing')", "len", ("TypeError", 3, 1, 0)),
    ("db[b'd'] = b'4'", "bool", (None, True, 0, 1)),
    ("pass", "len", (None, 4, 1, 0)),
    ("del db[b'd']", "len", (None, 3, 1, 0)),
    ("del db[b'missing']", "len", ("KeyError", 3, 1, 0)),
    # A count not known before a reorganisation is not known after it.
    ("db[b'd'] = b'4'; db.reorganize()", "len", (None, 4, 1, 0)),
    # The rewrite counts the records it copies.
    ("db.compact()", "len", (None, 4, 0, 0)),
    # Additions that may change the records forget the count.
    ("db.recover(force=True)", "len", (None, 4, 1, 0)),
    ("db.load(dump)", "len", (None, 5, 1, 0)),
    ("db.clear()", "bool", (None, False, 0, 1)),
    ("pass", "len", (None, 0, 0, 0)),
]

def test_the_cached_count_spares_the_library(tmp_path, path):
    with _kvstore.open(path, "c") as db:
        for key in (b"a", b"b", b"c"):
            db[key] = key
    dump = tmp_path / "one.dump"
    with _kvstore.open(str(tmp_path / "other.db"), "c") as other:
        other[b"loaded"] = b"v"
        other.dump(str(dump))
    shim = build_shim(tmp_path, "count_shim")
    steps = [[operation, probe] for operation, probe, _ in CACHE_STEPS]
    result = run_json("mapping_count_steps", path, dump, shim, json.dumps(steps), env=preload_env(shim))
    if not result["linked"]:
        pytest.skip("gdbm is linked into the module, out of the preloaded counter's reach")
    expected = [[operation, probe, list(outcome)] for operation, probe, outcome in CACHE_STEPS]
    assert [[*step, seen] for step, seen in zip(steps, result["seen"], strict=True)] == expected


def open_fds_to(path):
    return {int(fd) for fd in os.listdir("/proc/self/fd")
            if os.path.realpath("/proc/self/fd/" + fd) == os.path.realpath(path)}


def test_failed_store_drops_the_cached_count(path):
    db = _kvstore.open(path, "c")
    try:
        (fd,) = open_fds_to(path)
        db[b"a"] = b"1"
        assert len(db) == 1
        # Put a pipe behind the handle's descriptor: growing the file then
        # fails inside the library, which refuses every later call.
        read_end, write_end = os.pipe()
        os.dup2(read_end, fd)
        os.close(read_end)
        os.close(write_end)
        with pytest.raises(_kvstore.error) as failed:
            db[b"big"] = b"x" * (1 << 20)
        assert failed.value.errno is not None
        # The cached 1 is gone: len asks the library, which now fails.
        with pytest.raises(_kvstore.error, match=library_message("GDBM_NEED_RECOVERY")):
            len(db)
    finally:
        # The last write cannot reach a pipe: close reports that.
        with contextlib.suppress(_kvstore.error):
            db.close()


def test_truth_value(db):
    assert not db
    assert bool(db) is False
    assert len(db) == 0
    db[b"k"] = b"v"
    assert bool(db) is True
    assert bool(db) is True
    assert len(db) == 1
    assert db
    del db[b"k"]
    assert not db


# ---- a database opened for reading only -------------------------------------------

@pytest.mark.parametrize("change, error", [
    (lambda db: db.__setitem__(b"a", b"new"), "GDBM_READER_CANT_STORE"),
    (lambda db: db.__setitem__(b"new", b"v"), "GDBM_READER_CANT_STORE"),
    (lambda db: db.__delitem__(b"a"), "GDBM_READER_CANT_DELETE"),
    (lambda db: db.__delitem__(b"missing"), "GDBM_READER_CANT_DELETE"),
], ids=["store-existing", "store-new", "delete-existing", "delete-missing"])
def test_read_only_database_refuses_changes(reader, change, error):
    with pytest.raises(_kvstore.error) as info:
        change(reader)
    assert not isinstance(info.value, KeyError)
    assert str(info.value) == library_message(error)
    assert sorted(reader.keys()) == [b"a", b"b"]
    assert reader[b"a"] == b"1"
    assert len(reader) == 2


# ---- a closed object ----------------------------------------------------------------

# Which comes first when an object is closed and its argument refused too.
@pytest.mark.parametrize("operation, exception, message", [
    (lambda db: db.__setitem__(b"k", 1), _kvstore.error, CLOSED),
    (lambda db: 1 in db, _kvstore.error, CLOSED),
    # The key is converted before the object is looked at.
    (lambda db: db[1], TypeError, "a bytes-like object is required, not 'int'"),
    (lambda db: db.__setitem__(1, b"v"), TypeError, INDICES_ONLY),
    (lambda db: db.__delitem__(1), TypeError, INDICES_ONLY),
], ids=["set-bad-value", "in-bad-key", "get-bad-key", "set-bad-key", "del-bad-key"])
def test_closed_object_and_check_order(db, operation, exception, message):
    db.close()
    with pytest.raises(exception) as info:
        operation(db)
    assert type(info.value) is exception
    assert str(info.value) == message


def test_value_exporter_that_closes_the_database(path):
    db = _kvstore.open(path, "c")

    class Closing:
        def __buffer__(self, flags):
            db.close()
            return memoryview(bytearray(b"v"))

    with pytest.raises(_kvstore.error) as info:
        db[b"k"] = Closing()
    assert str(info.value) == CLOSED
    with _kvstore.open(path, "r") as reopened:
        assert reopened.keys() == []
