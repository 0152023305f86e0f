"""The gdbm type and the life of its objects: closing, with-blocks, freeing."""

import errno
import gc
import inspect
import os
import sys

import pytest

import _kvstore
import support
from support import CLOSED



@pytest.fixture
def stored(path):
    """An open database holding one record; the record is on disk once it closes."""
    db = _kvstore.open(path, "c")
    db[b"key"] = b"value"
    yield db
    db.close()


def assert_closed(db):
    with pytest.raises(_kvstore.error, match=f"^{CLOSED}$"):
        len(db)


def assert_open(db):
    db[b"probe"] = b"1"
    assert db[b"probe"] == b"1"


def test_close_twice(db):
    assert db.close() is None
    assert db.close() is None
    assert_closed(db)


# Every method and slot of the type, found by dir(), so that one added later
# is checked too; a method that must work on a closed object is named here.
WORKS_WHEN_CLOSED = {"close", "_close_letting_go", "__enter__", "__exit__"}
# A value for each required parameter, by name; a file name that no call may
# reach, since the object is closed.
ARGUMENTS = {"key": b"key", "value": b"changed", "default": b"default",
             "filename": "/nonexistent/closed-object",
             "even": "/nonexistent/closed-object.even", "odd": "/nonexistent/closed-object.odd",
             "changes": {b"key": b"changed"}, "replace": True, "commit": print}


def closed_object_calls():
    database_type = support.database_type()
    calls = []
    for name in sorted(set(dir(database_type)) - set(dir(object)) - WORKS_WHEN_CLOSED):
        if not callable(getattr(database_type, name)):
            continue
        parameters = list(inspect.signature(getattr(database_type, name)).parameters.values())[1:]
        required = [p for p in parameters if p.default is p.empty]
        positional = [ARGUMENTS[p.name] for p in required if p.kind is not p.KEYWORD_ONLY]
        keywords = {p.name: ARGUMENTS[p.name] for p in required if p.kind is p.KEYWORD_ONLY}
        calls.append(pytest.param(name, positional, keywords, id=name))
    return calls


@pytest.mark.parametrize("name, args, kwargs", closed_object_calls())
def test_every_operation_on_a_closed_object(stored, path, name, args, kwargs):
    stored.close()
    with pytest.raises(_kvstore.error) as caught:
        getattr(stored, name)(*args, **kwargs)
    assert type(caught.value) is _kvstore.error
    assert caught.value.args == (CLOSED,)
    with _kvstore.open(path) as db:
        assert db.keys() == [b"key"]
        assert db[b"key"] == b"value"


def test_with_binds_the_object_and_closes_it(path):
    db = _kvstore.open(path, "c")
    with db as bound:
        assert bound is db
        assert_open(db)
    assert_closed(db)


def test_exception_in_with_block_propagates_unchanged(path):
    raised = LookupError("from the block")
    db = _kvstore.open(path, "c")
    with pytest.raises(LookupError) as caught:
        with db:
            raise raised
    assert caught.value is raised
    assert_closed(db)


def test_with_on_a_closed_object(db):
    db.close()
    with db as bound:
        assert bound is db
    assert_closed(db)


@pytest.mark.parametrize("args", [(), (None,), (None, None, None), (1, 2, 3, 4)],
                         ids=["none", "one", "three", "four"])
def test_exit_takes_any_positional_arguments(db, args):
    assert db.__exit__(*args) is None
    assert_closed(db)
    assert db.__exit__(*args) is None


REFUSED_CALLS = {
    "exit-keyword": lambda db: db.__exit__(x=1),
    "exit-keyword-and-positional": lambda db: db.__exit__(None, x=1),
    "close-positional": lambda db: db.close(1),
    "close-keyword": lambda db: db.close(x=1),
    "enter-positional": lambda db: db.__enter__(1),
}


@pytest.mark.parametrize("call", REFUSED_CALLS.values(), ids=REFUSED_CALLS.keys())
def test_refused_calls_leave_the_object_open(db, call):
    with pytest.raises(TypeError, match="takes no"):
        call(db)
    assert_open(db)


def _release_by_close(db):
    db.close()


def _release_by_exit(db):
    db.__exit__(None, None, None)


RELEASES = {"close": _release_by_close, "exit": _release_by_exit, "last-reference": None}


@pytest.mark.parametrize("release", RELEASES.values(), ids=RELEASES.keys())
def test_releasing_the_object_unlocks_the_file(path, release):
    first = _kvstore.open(path, "c")
    first[b"key"] = b"value"
    # gdbm locks the file for a writer: a second writer is turned away.
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.open(path, "w")
    assert caught.value.errno in (errno.EAGAIN, errno.EACCES)
    if release is None:
        del first
        gc.collect()
    else:
        release(first)
    with _kvstore.open(path, "w") as second:
        assert second[b"key"] == b"value"


def _descriptors_of(path):
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
        except OSError:  # the descriptor listdir itself used
            continue
        if target == path:
            found.append(int(name))
    return found


def _pull_descriptor(path):
    """Close the database file's descriptor behind the library's back.

    The library's own close of it then fails with EBADF. The caller closes
    the database right after, before anything else can be given the number.
    """
    descriptors = _descriptors_of(path)
    assert len(descriptors) == 1, descriptors
    os.close(descriptors[0])


CLOSERS = {"close": _release_by_close, "exit": _release_by_exit}


@pytest.mark.parametrize("closer", CLOSERS.values(), ids=CLOSERS.keys())
def test_failure_while_closing_is_reported(stored, path, closer):
    _pull_descriptor(path)
    with pytest.raises(_kvstore.error) as caught:
        closer(stored)
    assert type(caught.value) is _kvstore.error
    assert caught.value.errno == errno.EBADF
    assert caught.value.strerror == os.strerror(errno.EBADF)
    assert_closed(stored)
    assert stored.close() is None
    assert stored.__exit__() is None


def test_failure_while_closing_in_with_block(stored, path):
    with pytest.raises(_kvstore.error) as caught:
        with stored:
            _pull_descriptor(path)
    assert caught.value.errno == errno.EBADF
    assert_closed(stored)


def test_failure_while_freeing_is_silent(path, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    db = _kvstore.open(path, "c")
    db[b"key"] = b"value"
    _pull_descriptor(path)
    del db
    gc.collect()
    assert unraisable == []


def _call_type(db):
    type(db)()


def _subclass_type(db):
    class Sub(type(db)):
        pass


def _set_type_attribute(db):
    type(db).extra = 1


def _replace_type_method(db):
    type(db).close = lambda self: None


def _delete_type_method(db):
    del type(db).close


def _set_instance_attribute(db):
    db.extra = 1


REFUSED_TYPE_USES = {
    "call-type": (_call_type, TypeError, "cannot create"),
    "subclass": (_subclass_type, TypeError, "not an acceptable base type"),
    "set-type-attribute": (_set_type_attribute, TypeError, "immutable type"),
    "replace-type-method": (_replace_type_method, TypeError, "immutable type"),
    "delete-type-method": (_delete_type_method, TypeError, "immutable type"),
    "iter": (iter, TypeError, "not iterable"),
    "call-object": (lambda db: db(), TypeError, "not callable"),
    "set-instance-attribute": (_set_instance_attribute, AttributeError, "extra"),
}


@pytest.mark.parametrize("use, exception, match", REFUSED_TYPE_USES.values(),
                         ids=REFUSED_TYPE_USES.keys())
def test_refused_uses_of_the_type(db, use, exception, match):
    with pytest.raises(exception, match=match):
        use(db)
    assert_open(db)
    assert not hasattr(type(db), "extra")
    assert type(db).close.__doc__ == "Close the database."


def test_type_identity(db):
    db_type = type(db)
    assert db_type.__name__ == "gdbm"
    assert db_type.__qualname__ == "gdbm"
    assert db_type.__module__ == "_kvstore"
    assert db_type.__bases__ == (object,)
    assert not callable(db)
    assert db_type.__doc__.startswith("This object represents a GDBM database.")
    assert not hasattr(db, "__dict__")


def test_closing_keeps_other_objects_of_the_type_working(tmp_path):
    first = _kvstore.open(str(tmp_path / "first.db"), "c")
    second = _kvstore.open(str(tmp_path / "second.db"), "c")
    first.close()
    assert_open(second)
    second.close()
