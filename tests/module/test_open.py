"""open(): its arguments, the order in which it checks them, and how it reports failures."""

import errno
import gc
import inspect
import os
import pathlib
import re
import stat

import pytest

import _kvstore
from support.foundation_gdbm import current_library_message

FIRST_FLAG = "First flag must be one of 'r', 'w', 'c' or 'n'"


@pytest.fixture
def umask_zero():
    old = os.umask(0)
    try:
        yield
    finally:
        os.umask(old)


@pytest.fixture
def existing(path):
    """The path of a database holding one record, closed."""
    with _kvstore.open(path, "c") as db:
        db[b"key"] = b"value"
    return path


@pytest.mark.parametrize("args, message", [
    ((), "open expected at least 1 argument, got 0"),
    (("x.db", "c", 0o666, None), "open expected at most 3 arguments, got 4"),
])
def test_argument_count(args, message):
    with pytest.raises(TypeError) as caught:
        _kvstore.open(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize("name, value", [("flags", "c"), ("mode", 0o600), ("cache_size", 8)])
def test_keywords_are_refused(path, name, value):
    with pytest.raises(TypeError) as caught:
        _kvstore.open(path, **{name: value})
    # The interpreter's own wording, which names the module from 3.13 on.
    assert re.fullmatch(r"(_kvstore\.)?open\(\) takes no keyword arguments", str(caught.value))
    assert not os.path.exists(path)


def test_signature():
    assert _kvstore.open.__text_signature__ == "($module, filename, flags='r', mode=0o666, /)"
    assert str(inspect.signature(_kvstore.open)) == "(filename, flags='r', mode=438, /)"


@pytest.mark.parametrize("name, value", [("flags", "c"), ("mode", 0o600)])
def test_positional_arguments_by_name_are_refused_with_settings(path, name, value):
    with pytest.raises(TypeError, match=f"positional-only arguments passed as keyword arguments: '{name}'"):
        _kvstore._open_tuned(path, **{name: value})
    assert not os.path.exists(path)


@pytest.mark.parametrize("flags", ["c", "n", "cfsu", "nuu", "cs", "cf", "cu", "csf"])
def test_valid_flags_create(path, flags):
    with _kvstore.open(path, flags) as db:
        db[b"key"] = b"value"
    with _kvstore.open(path, "r") as db:
        assert db[b"key"] == b"value"


@pytest.mark.parametrize("flags", ["r", "rsf", "ru", "w", "wfff", "wsu"])
def test_valid_flags_on_an_existing_database(existing, flags):
    with _kvstore.open(existing, flags) as db:
        assert db[b"key"] == b"value"


# The lock is the one modifier whose effect shows from outside: a writer
# that took none does not turn a second writer away.
@pytest.mark.parametrize("flags, locked", [
    ("c", True),
    ("cf", True),
    ("cs", True),
    ("cu", False),
    ("cfu", False),
    ("cuu", False),
    ("nsu", False),
])
def test_lock_modifier(path, flags, locked):
    with _kvstore.open(path, flags):
        if locked:
            with pytest.raises(_kvstore.error):
                _kvstore.open(path, "w")
        else:
            _kvstore.open(path, "w").close()


def test_flags_may_be_a_str_subclass_and_mode_an_index(path, umask_zero):
    class Flags(str):
        pass

    class Mode:
        def __index__(self):
            return 0o640

    _kvstore.open(path, Flags("c"), Mode()).close()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640


@pytest.mark.parametrize("flags, message", [
    ("", FIRST_FLAG),
    ("R", FIRST_FLAG),
    ("x", FIRST_FLAG),
    ("fc", FIRST_FLAG),
    (" r", FIRST_FLAG),
    ("rw", "Flag 'w' is not supported."),
    ("cc", "Flag 'c' is not supported."),
    ("cF", "Flag 'F' is not supported."),
    ("r ", "Flag ' ' is not supported."),
    ("cfx", "Flag 'x' is not supported."),
    # The message shows the character whose code is the first UTF-8 byte.
    ("r\u00e9", "Flag '\u00c3' is not supported."),
    ("r\u20ac", "Flag '\u00e2' is not supported."),
    ("r\U0001f600", "Flag '\u00f0' is not supported."),
])
def test_invalid_flags(path, flags, message):
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.open(path, flags)
    assert caught.value.args == (message,)
    assert caught.value.errno is None
    assert not os.path.exists(path)


@pytest.mark.parametrize("flags", ["c\0", "\0", "c\0f"])
def test_nul_in_flags(path, flags):
    with pytest.raises(ValueError, match="^embedded null character$"):
        _kvstore.open(path, flags)
    assert not os.path.exists(path)


def test_bytes_flags(path):
    with pytest.raises(TypeError) as caught:
        _kvstore.open(path, b"c")
    assert str(caught.value) == "open() argument 2 must be str, not bytes"


def test_flags_without_utf8_form(path):
    with pytest.raises(UnicodeEncodeError):
        _kvstore.open(path, "c\ud800")
    assert not os.path.exists(path)


# Each row pairs two faults and shows which one is reported: flags first
# (type, NUL), then the mode, then the flag letters, and only then the name.
@pytest.mark.parametrize("args, exception, match", [
    ((42, "x"), _kvstore.error, FIRST_FLAG),
    ((42, "cz"), _kvstore.error, "Flag 'z'"),
    ((42, "c"), TypeError, "os.PathLike"),
    (("x.db", "x", "0o600"), TypeError, "'str' object cannot be interpreted as an integer"),
    (("x.db", "x", 2**31), OverflowError, "too large"),
    (("x.db", "c", -2**31 - 1), OverflowError, "too large"),
    (("x.db", "c", 1.5), TypeError, "'float' object cannot be interpreted as an integer"),
    (("x.db", "x\0", "bad"), ValueError, "embedded null character"),
    (("x.db", b"x", "bad"), TypeError, "argument 2 must be str"),
    ((42, "c\0"), ValueError, "embedded null character"),
])
def test_check_order(tmp_path, monkeypatch, args, exception, match):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(exception, match=match):
        _kvstore.open(*args)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("mode", [None, 0o600, 0o640, 0o444, 0])
def test_mode_reaches_the_created_file(path, umask_zero, mode):
    args = () if mode is None else (mode,)
    _kvstore.open(path, "c", *args).close()
    assert stat.S_IMODE(os.stat(path).st_mode) == (0o666 if mode is None else mode)


def test_mode_minus_one_is_passed_on(tmp_path, umask_zero):
    # -1 reaches the system as all mode bits set; a file created directly
    # with them shows what the system makes of that for this user.
    reference = tmp_path / "reference"
    os.close(os.open(reference, os.O_CREAT | os.O_WRONLY, 0o7777))
    path = tmp_path / "minus-one.db"
    _kvstore.open(str(path), "c", -1).close()
    assert stat.S_IMODE(os.stat(path).st_mode) == stat.S_IMODE(os.stat(reference).st_mode)


NAME_FORMS = {
    "str": str,
    "bytes": os.fsencode,
    "path": pathlib.Path,
}


@pytest.mark.parametrize("form", NAME_FORMS.values(), ids=NAME_FORMS.keys())
def test_file_name_forms_open_the_same_file(existing, form):
    with _kvstore.open(form(existing), "w") as db:
        assert db[b"key"] == b"value"
        db[b"other"] = b"added"
    with _kvstore.open(existing) as db:
        assert db[b"other"] == b"added"


@pytest.mark.parametrize("form", NAME_FORMS.values(), ids=NAME_FORMS.keys())
def test_nul_in_file_name_never_reaches_the_library(tmp_path, form):
    name = str(tmp_path / "a") + "\0b"
    # With "c" the library would create the file named up to the NUL.
    with pytest.raises(ValueError):
        _kvstore.open(form(name), "c")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("flags", [None, "r", "w"])
@pytest.mark.parametrize("name", [
    "missing.db",
    b"missing.db",
    pathlib.Path("missing.db"),
    b"missing-\xff.db",
])
def test_missing_file_raises_error_from_errno(tmp_path, monkeypatch, name, flags):
    monkeypatch.chdir(tmp_path)
    args = (name,) if flags is None else (name, flags)
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.open(*args)
    exc = caught.value
    assert type(exc) is _kvstore.error
    assert exc.errno == errno.ENOENT
    assert exc.strerror == os.strerror(errno.ENOENT)
    assert type(exc.filename) is str
    assert exc.filename == os.fsdecode(name)
    assert list(tmp_path.iterdir()) == []


def test_file_name_alone_opens_read_only(existing):
    with _kvstore.open(existing) as db:
        assert db[b"key"] == b"value"
        with pytest.raises(_kvstore.error):
            db[b"key"] = b"changed"
    with _kvstore.open(existing) as db:
        assert db[b"key"] == b"value"


def test_new_database_flag_truncates(existing):
    with _kvstore.open(existing, "n") as db:
        assert len(db) == 0
        db[b"fresh"] = b"1"
    with _kvstore.open(existing) as db:
        assert db.keys() == [b"fresh"]


TEXT = b"this is plain text, not a database\n" * 20


# An empty file is refused only for reading: a writer makes a database of it.
@pytest.mark.parametrize("content, flags", [
    (b"", "r"),
    (TEXT, "r"),
    (TEXT, "w"),
    (TEXT, "c"),
], ids=["empty-r", "text-r", "text-w", "text-c"])
def test_file_that_is_no_database(path, content, flags):
    with open(path, "wb") as f:
        f.write(content)
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.open(path, flags)
    exc = caught.value
    # The library, not the system, refused the file: its message is the
    # only argument and no errno is attached.
    assert exc.errno is None
    assert len(exc.args) == 1 and type(exc.args[0]) is str
    assert exc.args[0] == current_library_message()
    with open(path, "rb") as f:
        assert f.read() == content


def test_failed_open_leaves_no_handle_behind(path):
    with pytest.raises(_kvstore.error):
        _kvstore.open(path, "r")
    _kvstore.open(path, "c").close()

    holder = _kvstore.open(path, "w")
    with pytest.raises(_kvstore.error):
        _kvstore.open(path, "w")
    gc.collect()
    holder.close()
    # Had the refused attempt kept its handle, its lock would stop this one.
    with _kvstore.open(path, "w") as db:
        db[b"key"] = b"value"


@pytest.fixture
def deeper_than_path_max(tmp_path, monkeypatch):
    """A working folder whose absolute name is longer than PATH_MAX: a short
    relative name there can be created, but has no absolute name."""
    monkeypatch.chdir(tmp_path)
    for _ in range(os.pathconf(".", "PC_PATH_MAX") // 255 + 1):
        os.mkdir("d" * 255)
        os.chdir("d" * 255)
    return "x.db"


# Only what the failing call created goes: a file that was there stays.
@pytest.mark.parametrize("there", [None, b"", TEXT], ids=["missing", "empty", "text"])
@pytest.mark.parametrize("flags", ["c", "n", "cu"])
def test_failed_open_removes_the_file_it_created(deeper_than_path_max, flags, there):
    if there is not None:
        pathlib.Path(deeper_than_path_max).write_bytes(there)
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.open(deeper_than_path_max, flags)
    assert caught.value.errno == errno.ENAMETOOLONG
    if there is None:
        assert os.listdir(".") == []
    else:
        assert pathlib.Path(deeper_than_path_max).read_bytes() == there
