"""Key traversal with firstkey and nextkey, and the file maintenance methods
sync and reorganize."""

import os
import re
import shutil
import struct
from pathlib import Path

import pytest

import _kvstore
from support import CLOSED, library_message, package_over, walk
from support.paths import DAMAGED_CYCLE


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


# ---- damaged files: every walk holds the traversal to the library's count ----------


def circling(path):
    """A file whose traversal goes round in a circle (a mutated directory)."""
    shutil.copyfile(DAMAGED_CYCLE, path)
    return "the key traversal does not end: the database file is damaged"


def short(path):
    """Two records, one of them marked empty in its bucket: the library's
    count still has it, but the traversal skips it."""
    keys = [b"Qz7!hidden", b"Wx9#listed"]
    with _kvstore.open(path, "n") as db:
        for key in keys:
            db[key] = b"v"
    data = bytearray(Path(path).read_bytes())
    # The bucket element: hash value, the key's first four bytes, then the
    # offset of the key's bytes in the file.
    for element in re.finditer(re.escape(keys[0][:4]), data):
        start = element.start()
        if struct.unpack_from("q", data, start + 4)[0] == data.rindex(keys[0]):
            struct.pack_into("i", data, start - 4, -1)
            break
    else:
        pytest.fail("the record's bucket element was not found")
    Path(path).write_bytes(data)
    return "the key traversal found 1 of the 2 records: the database file is damaged"


def load_empty_dump(db, tmp_path):
    empty = str(tmp_path / "empty.db")
    with _kvstore.open(empty, "n") as source:
        source.dump(empty + ".dump")
    db.load(empty + ".dump")


WALKS_OF_THE_FILE = {
    "keys": lambda db, tmp_path: db.keys(),
    "dump": lambda db, tmp_path: db.dump(str(tmp_path / "out.dump")),
    "dump-binary": lambda db, tmp_path: db.dump(str(tmp_path / "out.dump"), "binary"),
    "compact": lambda db, tmp_path: db.compact(),
    "load": load_empty_dump,
    "clear": lambda db, tmp_path: db.clear(),
    "package-iter": lambda db, tmp_path: list(package_over(db)),
    "package-items": lambda db, tmp_path: list(package_over(db).items()),
    "package-values": lambda db, tmp_path: list(package_over(db).values()),
    "package-reorganize": lambda db, tmp_path: package_over(db).reorganize(),
}


@pytest.mark.parametrize("walk_of", WALKS_OF_THE_FILE)
@pytest.mark.parametrize("damage", [circling, short])
def test_a_walk_of_a_damaged_file_raises_and_changes_nothing(tmp_path, damage, walk_of):
    path = str(tmp_path / "damaged.db")
    message = damage(path)
    before = Path(path).read_bytes()
    with _kvstore.open(path, "w") as db, pytest.raises(_kvstore.error) as info:
        WALKS_OF_THE_FILE[walk_of](db, tmp_path)
    assert str(info.value) == message
    assert Path(path).read_bytes() == before
    assert not (tmp_path / "out.dump").exists()
