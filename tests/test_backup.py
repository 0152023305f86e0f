"""Dump files: dump() and load() on _kvstore objects, Database.dump and
kvstore.load, and files exchanged with gdbm's own gdbm_dump and gdbm_load."""

import errno
import os
import pathlib
import re
import shutil
import subprocess

import pytest

import _kvstore
import kvstore
from support import CLOSED, library_message, make_db

FORMATS = ["ascii", "binary"]

# Keys and values the text format must encode: NUL bytes, bytes that are no
# UTF-8, a line break, a long value.
RECORDS = {
    b"a\x00b": b"\x00\xff\xfe",
    "clé".encode(): "valeur\n".encode(),
    b"\xff\xfe": b"\n",
    b"long": bytes(range(256)) * 300,
    **{b"k%04d" % i: b"v%d" % i for i in range(300)},
}


def write_db(path, records=RECORDS):
    make_db(str(path), records).close()


def contents(path):
    with _kvstore.open(str(path)) as db:
        return {key: db[key] for key in db.keys()}


def gdbm_tool(name, *args):
    tool = shutil.which(name)
    if tool is None:
        # As on a machine that runs the module from a wheel, without gdbm.
        pytest.skip(f"{name} is missing: scripts/setup.sh installs it (Debian package gdbmtool)")
    subprocess.run([tool, *map(str, args)], check=True, capture_output=True, timeout=60)


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "source.db"
    write_db(path)
    return path


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("as_name", [str, os.fsencode, pathlib.Path], ids=["str", "bytes", "path"])
def test_dump_and_load_round_trip(tmp_path, source, fmt, as_name):
    dump = tmp_path / "backup.dump"
    with _kvstore.open(str(source)) as db:
        assert db.dump(as_name(str(dump)), fmt) is None
    with _kvstore.open(str(tmp_path / "copy.db"), "n") as copy:
        assert len(copy) == 0  # the cached count must not survive the load
        assert copy.load(as_name(str(dump))) is None
        assert len(copy) == len(RECORDS)
    assert contents(tmp_path / "copy.db") == RECORDS


@pytest.mark.parametrize("fmt", FORMATS)
def test_gdbm_load_reads_our_dump(tmp_path, source, fmt):
    with _kvstore.open(str(source)) as db:
        db.dump(str(tmp_path / "ours.dump"), fmt)
    gdbm_tool("gdbm_load", tmp_path / "ours.dump", tmp_path / "theirs.db")
    assert contents(tmp_path / "theirs.db") == RECORDS


@pytest.mark.parametrize("fmt", FORMATS)
def test_we_load_a_gdbm_dump_file(tmp_path, source, fmt):
    gdbm_tool("gdbm_dump", f"--format={fmt}", source, tmp_path / "theirs.dump")
    kvstore.load(tmp_path / "theirs.dump", tmp_path / "ours.db")
    assert contents(tmp_path / "ours.db") == RECORDS


def test_ascii_dump_keeps_the_file_mode_and_binary_does_not(tmp_path):
    write_db(tmp_path / "private.db", {b"k": b"v"})
    os.chmod(tmp_path / "private.db", 0o640)
    with kvstore.open(tmp_path / "private.db") as db:
        db.dump(tmp_path / "text.dump")
        db.dump(tmp_path / "binary.dump", "binary")
    header = (tmp_path / "text.dump").read_text().split("# End of header")[0]
    assert f"#:file={tmp_path / 'private.db'}\n" in header and "mode=640" in header
    for name, expected in [("text", 0o640), ("binary", 0o600)]:
        target = tmp_path / f"{name}.db"
        write_db(target, {})
        os.chmod(target, 0o600)
        kvstore.load(tmp_path / f"{name}.dump", target)
        assert os.stat(target).st_mode & 0o777 == expected, name
        assert contents(target) == {b"k": b"v"}


@pytest.mark.skipif(os.geteuid() != 0, reason="changing a file's owner needs root")
def test_ascii_dump_keeps_the_owner(tmp_path):
    write_db(tmp_path / "owned.db", {b"k": b"v"})
    os.chown(tmp_path / "owned.db", 65534, 65534)
    with kvstore.open(tmp_path / "owned.db") as db:
        db.dump(tmp_path / "owned.dump")
    kvstore.load(tmp_path / "owned.dump", tmp_path / "restored.db")
    restored = os.stat(tmp_path / "restored.db")
    assert (restored.st_uid, restored.st_gid) == (65534, 65534)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("record", [{b"": b"v"}, {b"k": b""}], ids=["empty-key", "empty-value"])
def test_a_database_with_an_empty_key_or_value_is_not_dumped(tmp_path, fmt, record):
    # gdbm's loader refuses such a record in either format: no backup is
    # better than one that cannot be loaded.
    write_db(tmp_path / "source.db", {**RECORDS, **record})
    with _kvstore.open(str(tmp_path / "source.db")) as db:
        with pytest.raises(_kvstore.error, match="cannot hold an empty key or value"):
            db.dump(str(tmp_path / "backup.dump"), fmt)
    assert not (tmp_path / "backup.dump").exists()


def test_dump_replaces_an_existing_file(tmp_path, source):
    dump = tmp_path / "backup.dump"
    dump.write_bytes(b"x" * 1_000_000)
    with kvstore.open(source) as db:
        db.dump(dump)
    assert dump.stat().st_size < 1_000_000
    kvstore.load(dump, tmp_path / "copy.db")
    assert contents(tmp_path / "copy.db") == RECORDS


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_stored_key_is_refused_unless_replace(tmp_path, source, fmt):
    with kvstore.open(source) as db:
        db.dump(tmp_path / "backup.dump", fmt)
    target = tmp_path / "target.db"
    write_db(target, {b"k0005": b"mine", b"only here": b"kept"})
    with pytest.raises(_kvstore.error, match=library_message("GDBM_CANNOT_REPLACE")):
        kvstore.load(tmp_path / "backup.dump", target)
    assert contents(target)[b"k0005"] == b"mine"
    kvstore.load(tmp_path / "backup.dump", target, replace=True)
    assert contents(target) == {**RECORDS, b"only here": b"kept"}


# ---- what load and dump refuse ---------------------------------------------------

def malformed(tmp_path):
    dump = tmp_path / "bad.dump"
    lines = (tmp_path / "good.dump").read_text().splitlines()
    lines[6] = "#:len=zz"
    dump.write_text("\n".join(lines) + "\n")
    return dump


@pytest.mark.parametrize("make_dump, expected", [
    (lambda t: t / "missing.dump", {"errno": errno.ENOENT, "filename": "missing.dump"}),
    (lambda t: t, {"errno": errno.EISDIR}),
    (malformed, {"text": "{malformed}: {dump}, line \\d+"}),
    (lambda t: t / "empty.dump", {"text": "{malformed}: {dump}, line 1"}),
], ids=["missing", "directory", "malformed", "empty"])
def test_load_reports_a_file_it_cannot_read(tmp_path, make_dump, expected):
    write_db(tmp_path / "good.db", {b"a": b"1", b"b": b"2"})
    with _kvstore.open(str(tmp_path / "good.db")) as db:
        db.dump(str(tmp_path / "good.dump"))
    (tmp_path / "empty.dump").write_bytes(b"")
    dump = make_dump(tmp_path)
    with _kvstore.open(str(tmp_path / "target.db"), "n") as target:
        with pytest.raises(_kvstore.error) as refused:
            target.load(str(dump))
    if "errno" in expected:
        assert refused.value.errno == expected["errno"]
    if "filename" in expected:
        assert refused.value.filename == str(tmp_path / expected["filename"])
    if "text" in expected:
        pattern = expected["text"].format(malformed=re.escape(library_message("GDBM_MALFORMED_DATA")),
                                          dump=re.escape(str(dump)))
        assert re.fullmatch(pattern, str(refused.value))


def test_dump_reports_a_file_it_cannot_write(tmp_path, source):
    with _kvstore.open(str(source)) as db:
        with pytest.raises(_kvstore.error) as refused:
            db.dump(str(tmp_path / "no" / "such.dump"))
    assert refused.value.errno == errno.ENOENT
    assert refused.value.filename == str(tmp_path / "no" / "such.dump")


def test_load_into_a_read_only_database_is_refused(tmp_path, source):
    with _kvstore.open(str(source)) as db:
        db.dump(str(tmp_path / "backup.dump"))
    write_db(tmp_path / "target.db", {})
    with _kvstore.open(str(tmp_path / "target.db"), "r") as reader:
        with pytest.raises(_kvstore.error, match=library_message("GDBM_READER_CANT_STORE")):
            reader.load(str(tmp_path / "backup.dump"))
    assert contents(tmp_path / "target.db") == {}


@pytest.mark.parametrize("method, args, exception, message", [
    ("dump", ("x", "yaml"), ValueError, "dump format must be 'ascii' or 'binary', not 'yaml'"),
    ("dump", ("x", b"ascii"), TypeError, "dump() argument 2 must be str, not bytes"),
    ("dump", (1,), TypeError, None),
    ("dump", ("a\0b",), ValueError, None),
    ("dump", (), TypeError, None),
    ("dump", ("x", "ascii", 3), TypeError, None),
    ("load", (2.5,), TypeError, None),
    ("load", ("x", object()), None, None),
    ("load", (), TypeError, None),
    ("load", ("x", True, 3), TypeError, None),
], ids=["format-value", "format-type", "name-type", "name-nul", "dump-no-args", "dump-3-args",
        "load-name-type", "load-closed-after-checks", "load-no-args", "load-3-args"])
def test_argument_checks_come_before_the_closed_check(tmp_path, method, args, exception, message):
    db = _kvstore.open(str(tmp_path / "db"), "c")
    db.close()
    # Valid arguments reach the closed check.
    expected = exception or _kvstore.error
    with pytest.raises(expected) as refused:
        getattr(db, method)(*args)
    assert str(refused.value) == (message or str(refused.value))
    if exception is None:
        assert str(refused.value) == CLOSED


def test_keywords_are_refused(tmp_path, source):
    with _kvstore.open(str(source)) as db:
        with pytest.raises(TypeError, match="positional argument"):
            db.dump(filename=str(tmp_path / "x"))
        with pytest.raises(TypeError, match="keyword"):
            db.load(str(tmp_path / "x"), replace=True)


def test_replace_takes_a_truth_value_that_may_fail(tmp_path, source):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError

    with _kvstore.open(str(source)) as db:
        db.dump(str(tmp_path / "backup.dump"))
    with _kvstore.open(str(tmp_path / "copy.db"), "n") as copy:
        with pytest.raises(ZeroDivisionError):
            copy.load(str(tmp_path / "backup.dump"), Undecided())
        copy.load(str(tmp_path / "backup.dump"), 1)
        copy.load(str(tmp_path / "backup.dump"), [1])
        assert len(copy) == len(RECORDS)


# ---- the package ---------------------------------------------------------------

def test_kvstore_load_creates_the_database(tmp_path, source):
    with kvstore.open(source) as db:
        db.dump(tmp_path / "backup.dump", format="binary")
    kvstore.load(tmp_path / "backup.dump", tmp_path / "new.db")
    assert contents(tmp_path / "new.db") == RECORDS


def test_kvstore_load_waits_for_no_lock_and_says_so(tmp_path, source):
    with kvstore.open(source) as db:
        db.dump(tmp_path / "backup.dump")
    with _kvstore.open(str(tmp_path / "busy.db"), "c"):
        with pytest.raises(_kvstore.error, match="locked by another opener"):
            kvstore.load(tmp_path / "backup.dump", tmp_path / "busy.db")


def test_loading_stops_a_running_iterator(tmp_path, source):
    with kvstore.open(source) as db:
        db.dump(tmp_path / "backup.dump")
    with kvstore.open(tmp_path / "target.db", "c") as target:
        target[b"first"] = b"1"
        running = iter(target)
        next(running)
        target.load(tmp_path / "backup.dump")
        with pytest.raises(RuntimeError):
            next(running)
        assert len(target) == len(RECORDS) + 1
