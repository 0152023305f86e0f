"""The dictionary-style methods get, setdefault, clear and keys, and the
argument rules of the methods that take no arguments."""

import pytest

import _kvstore
from support import CLOSED, INDICES_ONLY, library_message



@pytest.fixture
def reader(path):
    """A read-only database holding three records."""
    with _kvstore.open(path, "c") as db:
        for key in (b"a", b"b", b"c"):
            db[key] = key.upper()
    with _kvstore.open(path, "r") as db:
        yield db


# ---- get ------------------------------------------------------------------------

def test_get_returns_the_stored_value_as_bytes(db):
    db["k"] = "v"
    assert db.get(b"k") == b"v"
    assert db.get("k", b"default") == b"v"
    assert type(db.get("k")) is bytes


@pytest.mark.parametrize("default", [42, [], "text", b"bytes"],
                         ids=lambda v: type(v).__name__)
def test_get_returns_the_default_object_itself(db, default):
    assert db.get(b"missing", default) is default
    assert b"missing" not in db


def test_get_without_default_returns_none(db):
    assert db.get(b"missing") is None


def test_get_reports_a_refused_key_instead_of_the_default(db):
    with pytest.raises(TypeError, match="bytes-like object is required, not 'int'"):
        db.get(1, b"default")
    with pytest.raises(UnicodeEncodeError):
        db.get("\udc80", b"default")


@pytest.mark.parametrize("name", ["get", "setdefault"])
@pytest.mark.parametrize("call, message", [
    (lambda m: m(), "{} expected at least 1 argument, got 0"),
    (lambda m: m(b"k", b"d", b"x"), "{} expected at most 2 arguments, got 3"),
    (lambda m: m(b"k", default=b"d"), "gdbm.{}() takes no keyword arguments"),
    (lambda m: m(key=b"k"), "gdbm.{}() takes no keyword arguments"),
], ids=["no-argument", "three-arguments", "keyword-default", "keyword-key"])
def test_get_and_setdefault_argument_errors(db, name, call, message):
    with pytest.raises(TypeError) as info:
        call(getattr(db, name))
    assert str(info.value) == message.format(name)
    assert db.keys() == []


@pytest.mark.parametrize("name", ["get", "setdefault"])
def test_get_and_setdefault_on_a_closed_object(db, name):
    method = getattr(db, name)
    db.close()
    with pytest.raises(_kvstore.error) as info:
        method(b"k", b"d")
    assert str(info.value) == CLOSED
    # The key is converted before the object is looked at.
    with pytest.raises(TypeError, match="not 'int'"):
        method(1, b"d")


# ---- setdefault -------------------------------------------------------------------

def test_setdefault_of_a_stored_key_returns_it_and_writes_nothing(db):
    db[b"k"] = b"stored"
    assert db.setdefault("k", b"other") == b"stored"
    assert db[b"k"] == b"stored"
    assert len(db) == 1


@pytest.mark.parametrize("default, stored", [
    ("\xe9", b"\xc3\xa9"),
    (b"v", b"v"),
    ("", b""),
])
def test_setdefault_stores_the_default_and_returns_it_as_bytes(db, default, stored):
    result = db.setdefault(b"k", default)
    assert type(result) is bytes
    assert result == stored
    assert db[b"k"] == stored
    assert len(db) == 1


@pytest.mark.parametrize("args", [(b"k",), (b"k", None), (b"k", 1), (b"k", bytearray(b"v"))],
                         ids=["no-default", "none", "int", "bytearray"])
def test_setdefault_with_an_unstorable_default_stores_nothing(db, args):
    with pytest.raises(TypeError) as info:
        db.setdefault(*args)
    assert str(info.value) == INDICES_ONLY
    assert b"k" not in db
    assert len(db) == 0


def test_setdefault_on_a_read_only_database(reader):
    assert reader.setdefault(b"a", b"other") == b"A"
    with pytest.raises(_kvstore.error) as info:
        reader.setdefault(b"new", b"v")
    assert not isinstance(info.value, KeyError)
    assert str(info.value) == library_message("GDBM_READER_CANT_STORE")
    assert b"new" not in reader
    assert len(reader) == 3


# ---- clear ------------------------------------------------------------------------

def test_clear_on_an_empty_database(db):
    assert db.clear() is None
    assert len(db) == 0
    assert db.keys() == []


def test_clear_removes_every_record(db):
    for i in range(10_000):
        db[b"key%d" % i] = b"value%d" % i
    assert len(db) == 10_000
    assert db.clear() is None
    assert len(db) == 0
    assert db.firstkey() is None
    assert not db
    db[b"after"] = b"v"
    assert db.keys() == [b"after"]


def test_clear_on_a_read_only_database_keeps_every_record(reader):
    with pytest.raises(_kvstore.error) as info:
        reader.clear()
    assert str(info.value) == "cannot delete item from database"
    assert sorted(reader.keys()) == [b"a", b"b", b"c"]
    assert len(reader) == 3


# ---- keys ---------------------------------------------------------------------------

def test_keys_of_an_empty_database(db):
    assert db.keys() == []


def test_keys_returns_every_stored_key_once_as_bytes(db):
    stored = {"\xe9", "a\x00b", "", b"a", b"\xff\x00"} | {b"k%d" % i for i in range(500)}
    for key in stored:
        db[key] = b"v"
    keys = db.keys()
    assert all(type(key) is bytes for key in keys)
    assert len(keys) == len(stored)
    assert set(keys) == {k.encode() if isinstance(k, str) else k for k in stored}


# ---- methods that take no arguments ---------------------------------------------------

NO_ARGUMENT_METHODS = ["keys", "firstkey", "sync", "reorganize", "clear"]


@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})],
                         ids=["positional", "keyword", "two-positional"])
@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
def test_methods_that_take_no_arguments(db, name, args, kwargs, closed):
    db[b"k"] = b"v"
    method = getattr(db, name)
    if closed:
        db.close()
    with pytest.raises(TypeError) as info:
        method(*args, **kwargs)
    assert str(info.value) == f"{name}() takes no arguments"
    if not closed:
        assert db.keys() == [b"k"]
