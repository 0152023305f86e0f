"""Key traversal with firstkey and nextkey, and the file maintenance methods
sync and reorganize."""

import os

import pytest

import _kvstore
from support import CLOSED, library_message, walk


def test_firstkey_of_an_empty_database_is_none(db):
    assert db.firstkey() is None


def test_single_record_traversal(db):
    db["only"] = b"v"
    first = db.firstkey()
    assert type(first) is bytes
    assert first == b"only"
    assert db.nextkey(first) is None


@pytest.mark.parametrize("count", [2, 1000])
def test_walk_visits_each_key_once_in_the_order_of_keys(db, count):
    stored = {b"key%d" % i for i in range(count)} | {"\xe9".encode(), b"a\x00b"}
    for key in stored:
        db[key] = b"v"
    walked = walk(db)
    assert walked == db.keys()
    assert len(walked) == len(stored)
    assert set(walked) == stored
    assert all(type(key) is bytes for key in walked)


def test_nextkey_takes_str_and_bytes_alike(db):
    stored = ["\xe9", "a\x00b", "plain", "", "k2", "k3"]
    for key in stored:
        db[key] = b"v"
    by_text = []
    key = db.firstkey()
    while key is not None:
        by_text.append(key)
        key = db.nextkey(key.decode())
    assert by_text == walk(db)
    assert sorted(by_text) == sorted(key.encode() for key in stored)


def test_nextkey_of_an_unstored_key_is_none(db):
    db[b"stored"] = b"v"
    assert db.nextkey(b"never stored") is None
    assert db.nextkey("") is None


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "nextkey() takes exactly 1 positional argument (0 given)"),
    ((b"a", b"b"), {}, "nextkey() takes at most 1 argument (2 given)"),
    ((), {"key": b"a"}, "nextkey() takes exactly 1 positional argument (0 given)"),
    ((1,), {}, "a bytes-like object is required, not 'int'"),
    ((bytearray(b"a"),), {},
     "nextkey() argument 1 must be read-only bytes-like object, not bytearray"),
], ids=["no-argument", "two-arguments", "keyword", "int", "bytearray"])
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
def test_nextkey_argument_errors_come_before_the_closed_check(db, args, kwargs, message, closed):
    if closed:
        db.close()
    with pytest.raises(TypeError) as info:
        db.nextkey(*args, **kwargs)
    assert str(info.value) == message


def test_nextkey_with_a_usable_key_on_a_closed_object(db):
    db.close()
    with pytest.raises(_kvstore.error) as info:
        db.nextkey(b"k")
    assert str(info.value) == CLOSED


# ---- sync and reorganize ------------------------------------------------------------

@pytest.mark.parametrize("flags", ["c", "cf", "cs"])
def test_sync_returns_none_and_the_records_stay(path, flags):
    with _kvstore.open(path, flags) as db:
        db[b"k"] = b"v"
        assert db.sync() is None
    with _kvstore.open(path, "r") as db:
        assert db[b"k"] == b"v"


def test_reorganize_shrinks_the_file_after_mass_deletion(path):
    with _kvstore.open(path, "c") as db:
        for i in range(3000):
            db[b"key%d" % i] = b"x" * 500
        for i in range(10, 3000):
            del db[b"key%d" % i]
        assert len(db) == 10
        before = os.path.getsize(path)
        assert db.reorganize() is None
        after = os.path.getsize(path)
        assert after < before // 10
        assert len(db) == 10
        assert sorted(db.keys()) == sorted(b"key%d" % i for i in range(10))
        assert db[b"key3"] == b"x" * 500
        db[b"new"] = b"v"
        assert len(db) == 11
    with _kvstore.open(path, "r") as db:
        assert len(db) == 11


def test_reorganize_on_a_read_only_database(path):
    with _kvstore.open(path, "c") as db:
        db[b"k"] = b"v"
    with _kvstore.open(path, "r") as db:
        with pytest.raises(_kvstore.error) as info:
            db.reorganize()
        assert str(info.value) == library_message("GDBM_READER_CANT_REORGANIZE")
        assert db.keys() == [b"k"]
