"""Dump files: dump() and load() on _kvstore objects, Database.dump and
kvstore.load, and files exchanged with gdbm's own gdbm_dump and gdbm_load."""

import errno
import os
import pathlib
import re
import shutil
import subprocess
import threading
import time

import pytest

import _kvstore
import kvstore
from support.children import build_flush_shim, build_shim, preload_env, program_command, run_json
from support.dump_files import (FORMATS, TOOL_ENV, ascii_dump, binary_item, contents,
                        documented_gdbm_version, gdbm_load_reads, in_dump_order,
                        installed_gdbm_version, item, target, tool_run, write_db, written_dump)
from support import CLOSED, library_message


# Keys and values the text format must encode: NUL bytes, bytes that are no
# UTF-8, a line break, a long value.
RECORDS = {
    b"a\x00b": b"\x00\xff\xfe",
    "clé".encode(): "valeur\n".encode(),
    b"\xff\xfe": b"\n",
    b"long": bytes(range(256)) * 300,
    **{b"k%04d" % i: b"v%d" % i for i in range(300)},
}


def gdbm_tool(name, *args):
    tool = shutil.which(name)
    if tool is None:
        # As on a machine that runs the module from a wheel, without gdbm.
        pytest.skip(f"{name} is missing: scripts/setup.sh installs it (Debian package gdbmtool)")
    subprocess.run([tool, *map(str, args)], check=True, capture_output=True, timeout=60, env=TOOL_ENV)


@pytest.fixture
def source(tmp_path):
    path = tmp_path / "source.db"
    write_db(path, RECORDS)
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
    before = target.read_bytes()
    with pytest.raises(_kvstore.error, match=library_message("GDBM_CANNOT_REPLACE")
                       + ": the key b'k0005' is already stored"):
        kvstore.load(tmp_path / "backup.dump", target)
    assert target.read_bytes() == before
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
    (lambda t: t, {"errno": errno.EISDIR, "filename": ""}),
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


@pytest.mark.parametrize("records", [True, False], ids=["records", "no-records"])
def test_load_into_a_read_only_database_is_refused(tmp_path, source, records):
    # Even a dump without records applies no owner or mode through a reader.
    if records:
        with _kvstore.open(str(source)) as db:
            db.dump(str(tmp_path / "backup.dump"))
    else:
        (tmp_path / "backup.dump").write_bytes(ascii_dump(header=b"#:uid=65534,gid=65534,mode=777\n"))
    write_db(tmp_path / "target.db", {})
    os.chmod(tmp_path / "target.db", 0o640)
    before = os.stat(tmp_path / "target.db")
    with _kvstore.open(str(tmp_path / "target.db"), "r") as reader:
        with pytest.raises(_kvstore.error, match=library_message("GDBM_READER_CANT_STORE")):
            reader.load(str(tmp_path / "backup.dump"))
    after = os.stat(tmp_path / "target.db")
    assert (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid, before.st_gid)
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


# ---- what dump() may replace, and what a failed dump leaves --------------------

def folder_listing(folder):
    return sorted(os.listdir(folder))


@pytest.mark.parametrize("flags", ["r", "w"])
@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("name", ["same", "relative", "symlink", "hard-link"])
def test_dump_onto_the_database_itself_is_refused(tmp_path, monkeypatch, name, fmt, flags):
    path = tmp_path / "x.db"
    write_db(path, {b"k": b"v"})
    os.symlink(path, tmp_path / "symlink")
    os.link(path, tmp_path / "hard-link")
    monkeypatch.chdir(tmp_path)
    target = {"same": str(path), "relative": "./x.db"}.get(name, name)
    before = path.read_bytes()
    with _kvstore.open(str(path), flags) as db:
        with pytest.raises(_kvstore.error, match="the database's own file") as refused:
            db.dump(target, fmt)
        assert (refused.value.errno, refused.value.filename) == (errno.EINVAL, target)
        assert db[b"k"] == b"v"
    assert path.read_bytes() == before
    assert folder_listing(tmp_path) == ["hard-link", "symlink", "x.db"]


def make_fifo(folder):
    os.mkfifo(folder / "fifo")
    return folder / "fifo"


@pytest.mark.parametrize("make_target, code", [
    (make_fifo, errno.EINVAL),
    (lambda folder: pathlib.Path("/dev/full"), errno.EINVAL),
    (lambda folder: pathlib.Path("/dev/null"), errno.EINVAL),
    (lambda folder: folder, errno.EISDIR),
], ids=["fifo", "dev-full", "dev-null", "folder"])
@pytest.mark.parametrize("method", ["dump", "load"])
def test_only_regular_files_are_written_and_read(tmp_path, make_target, code, method):
    # Neither blocks on a FIFO nor reads a device that never ends.
    target = make_target(tmp_path)
    with _kvstore.open(str(tmp_path / "db"), "c") as db:
        db[b"k"] = b"v"
        with pytest.raises(_kvstore.error) as refused:
            getattr(db, method)(str(target))
    assert (refused.value.errno, refused.value.filename) == (code, str(target))
    if method == "dump" and target.name == "fifo":
        assert pathlib.Path(target).is_fifo()


def test_dump_writes_through_a_symlink_and_keeps_the_mode(tmp_path, source):
    (tmp_path / "real.dump").write_bytes(b"old")
    os.chmod(tmp_path / "real.dump", 0o640)
    os.symlink("real.dump", tmp_path / "link.dump")
    with _kvstore.open(str(source)) as db:
        db.dump(str(tmp_path / "link.dump"))
    assert os.path.islink(tmp_path / "link.dump")
    assert os.stat(tmp_path / "real.dump").st_mode & 0o777 == 0o640
    kvstore.load(tmp_path / "link.dump", tmp_path / "copy.db")
    assert contents(tmp_path / "copy.db") == RECORDS


# Symbolic links to a missing file: (links to make, as name -> contents, in
# the test's folder; the name dumped to; where the dump must land, or None
# when the dump is refused as for a missing folder).
DANGLING = {
    "missing-folder": ({"d": "missing-folder/x.dump"}, "d", None),
    "into-existing-folder": ({"d": "out/x.dump"}, "d", "out/x.dump"),
    "absolute": ({"d": "{root}/out/x.dump"}, "d", "out/x.dump"),
    "through-a-link": ({"d": "e", "e": "out/x.dump"}, "d", "out/x.dump"),
    "relative-to-the-link": ({"out/d": "sub/x.dump"}, "out/d", "out/sub/x.dump"),
    "through-a-folder-link": ({"d": "linked/x.dump", "linked": "out"}, "d", "out/x.dump"),
    "link-to-itself": ({"d": "d"}, "d", None),
    "chain-to-missing-folder": ({"d": "e", "e": "out/missing/x.dump"}, "d", None),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("case", list(DANGLING))
def test_dump_through_a_dangling_symlink_writes_where_it_points(tmp_path, monkeypatch, case, fmt):
    # As through a link to a file, which is replaced and the link kept: the
    # file the link names is written, never the link.
    links, name, lands = DANGLING[case]
    (tmp_path / "out" / "sub").mkdir(parents=True)
    write_db(tmp_path / "x.db", {b"k": b"v", b"": b""})
    for link, points_to in links.items():
        os.symlink(points_to.format(root=tmp_path), tmp_path / link)
    monkeypatch.chdir(tmp_path)

    def listing():
        return {str(path.relative_to(tmp_path)) for path in tmp_path.rglob("*")}

    before = listing()
    with _kvstore.open("x.db") as db:
        if lands is None:
            with pytest.raises(_kvstore.error) as refused:
                db.dump(name, fmt)
            assert refused.value.filename == name
            assert refused.value.errno in (errno.ENOENT, errno.ELOOP)
        else:
            db.dump(name, fmt)
    # The links are as they were, and the dump is where they lead, alone.
    for link, points_to in links.items():
        assert os.readlink(tmp_path / link) == points_to.format(root=tmp_path)
    assert listing() == before | ({lands} if lands else set())
    if lands:
        kvstore.load(tmp_path / lands, tmp_path / "copy.db")
        assert contents(tmp_path / "copy.db") == {b"k": b"v", b"": b""}


@pytest.mark.parametrize("chain", [1, 2], ids=["link", "link-to-link"])
def test_dump_through_a_live_symlink_replaces_the_file_it_names(tmp_path, source, chain):
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "x.dump").write_bytes(b"old")
    os.symlink("out/x.dump", tmp_path / "link1")
    os.symlink("link1", tmp_path / "link2")
    with _kvstore.open(str(source)) as db:
        db.dump(str(tmp_path / f"link{chain}"))
    assert os.readlink(tmp_path / "link1") == "out/x.dump"
    assert os.readlink(tmp_path / "link2") == "link1"
    assert folder_listing(tmp_path / "out") == ["x.dump"]
    assert folder_listing(tmp_path) == ["link1", "link2", "out", "source.db"]
    kvstore.load(tmp_path / "out" / "x.dump", tmp_path / "copy.db")
    assert contents(tmp_path / "copy.db") == RECORDS


@pytest.mark.parametrize("existing", [False, True], ids=["new", "replacing"])
@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("how, code", [("size-limit", errno.EFBIG), ("fsync-fails", errno.EIO)])
def test_a_failed_dump_leaves_no_short_file(tmp_path, source, how, code, fmt, existing):
    out = tmp_path / "out"
    out.mkdir()
    target = out / "backup.dump"
    if existing:
        target.write_bytes(b"the previous backup")
    env = preload_env(build_flush_shim(tmp_path)) if how == "fsync-fails" else None
    assert run_json("backup_failing_dump", source, target, how, fmt, env=env) == [code, str(target)]
    assert folder_listing(out) == (["backup.dump"] if existing else [])
    if existing:
        assert target.read_bytes() == b"the previous backup"


def test_a_dump_needs_no_descriptor_once_written(tmp_path, source):
    target = tmp_path / "backup.dump"
    assert run_json("backup_no_descriptor_left", source, target) == [None, True]
    assert folder_listing(tmp_path) == ["backup.dump", "source.db"]
    kvstore.load(target, tmp_path / "copy.db")
    assert contents(tmp_path / "copy.db") == RECORDS


@pytest.mark.serial
def test_a_dump_over_a_private_file_is_never_open_to_others(tmp_path, source):
    # No one else may open the unfinished file between its creation and the
    # change of its mode, and read the records as they are written.
    target = tmp_path / "private.dump"
    target.write_bytes(b"old")
    os.chmod(target, 0o600)
    shim = build_shim(tmp_path, "creation_shim")
    created = run_json("backup_created_mode", source, target, env=preload_env(shim))
    assert created != -1
    assert created & ~0o022 & ~0o600 == 0
    assert os.stat(target).st_mode & 0o777 == 0o600


@pytest.fixture
def small_disk(tmp_path):
    folder = tmp_path / "small"
    folder.mkdir()
    mount = shutil.which("mount")
    if os.geteuid() != 0 or mount is None or subprocess.run(
            [mount, "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)],
            capture_output=True).returncode != 0:
        pytest.skip("mounting a small tmpfs needs root and the right to mount")
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


def test_a_dump_that_fills_the_disk_leaves_nothing(small_disk, source):
    (small_disk / "backup.dump").write_bytes(b"old")
    with _kvstore.open(str(source)) as db:
        with pytest.raises(_kvstore.error) as refused:
            db.dump(str(small_disk / "backup.dump"))
    assert refused.value.errno == errno.ENOSPC
    assert folder_listing(small_disk) == ["backup.dump"]
    assert (small_disk / "backup.dump").read_bytes() == b"old"


# ---- names the ASCII header must carry ------------------------------------------

@pytest.mark.parametrize("folder, name", [
    ("backups,2024", "a,b.db"),
    ("plain", "back\\slash.db"),
    ("plain", " spaced, name.db"),
], ids=["commas", "backslash", "space-comma"])
def test_a_recorded_name_loads_back_with_gdbm_load(tmp_path, folder, name):
    (tmp_path / folder).mkdir()
    path = tmp_path / folder / name
    write_db(path, {b"k": b"v"})
    with _kvstore.open(str(path)) as db:
        db.dump(str(tmp_path / "backup.dump"))
    kvstore.load(tmp_path / "backup.dump", tmp_path / "ours.db")
    assert contents(tmp_path / "ours.db") == {b"k": b"v"}
    # gdbm_load without a database name restores the file under the name recorded.
    path.unlink()
    gdbm_tool("gdbm_load", tmp_path / "backup.dump")
    assert contents(path) == {b"k": b"v"}


@pytest.mark.parametrize("name", ["line\nbreak.db", 'quote",comma.db', "slash\\,comma.db"],
                         ids=["newline", "quote-comma", "backslash-comma"])
def test_a_name_the_ascii_header_cannot_carry_is_refused(tmp_path, name):
    path = tmp_path / name
    write_db(path, {b"k": b"v"})
    with _kvstore.open(str(path)) as db:
        with pytest.raises(_kvstore.error, match="'ascii' dump format cannot record"):
            db.dump(str(tmp_path / "backup.dump"))
        assert not (tmp_path / "backup.dump").exists()
        db.dump(str(tmp_path / "backup.dump"), "binary")
    kvstore.load(tmp_path / "backup.dump", tmp_path / "copy.db")
    assert contents(tmp_path / "copy.db") == {b"k": b"v"}


# ---- empty keys and values --------------------------------------------------------

# Databases with empty keys or values, which gdbm's formats carry as a zero
# length: "#:len=0" and no Base64 line in text, a zero length and no bytes in
# binary.
WITH_EMPTY = {
    "no-empty": RECORDS,
    "empty-key": {**RECORDS, b"": b"v"},
    "empty-value": {**RECORDS, b"k": b""},
    "empty-key-and-value": {**RECORDS, b"": b""},
    "empty-values": {**{b"set member %03d" % i: b"" for i in range(100)}, b"": b"x"},
    "only-empty": {b"": b""},
}


@pytest.fixture(params=list(WITH_EMPTY))
def empty_source(request, tmp_path):
    path = tmp_path / "source.db"
    write_db(path, WITH_EMPTY[request.param])
    return path


@pytest.mark.parametrize("fmt", FORMATS)
def test_our_dump_is_byte_for_byte_gdbm_dump(tmp_path, empty_source, fmt):
    with _kvstore.open(str(empty_source)) as db:
        db.dump(str(tmp_path / "ours"), fmt)
    dumped = tool_run("gdbm_dump", f"--format={fmt}", empty_source, tmp_path / "theirs")
    ours, theirs = ((tmp_path / name).read_bytes() for name in ("ours", "theirs"))
    if fmt == "ascii":
        # The first line holds the time of the dump.
        ours, theirs = (text.split(b"\n", 1)[1] for text in (ours, theirs))
    if dumped.returncode == 0:
        assert ours == theirs
        kvstore.load(tmp_path / "theirs", tmp_path / "copy.db")
        assert contents(tmp_path / "copy.db") == contents(empty_source)
        return
    # gdbm_dump's binary writer (1.23 at least) takes a write of no bytes for a
    # failed one: it stops with a write error right after the zero length of
    # the first empty key or value. What it wrote is where ours begins, and
    # ours goes on as the format does.
    records = in_dump_order(empty_source)
    assert fmt == "binary" and b"File write error" in dumped.stderr
    assert any(not data for record in records for data in record)
    assert ours.startswith(theirs)
    assert theirs.endswith(bytes(8))
    header = theirs[:theirs.index(b"!\r\n", 3) + 3]
    assert ours == header + b"".join(binary_item(data) for record in records for data in record)


@pytest.mark.parametrize("fmt", FORMATS)
def test_dumps_with_empty_keys_and_values_load_back(tmp_path, empty_source, fmt):
    with kvstore.open(empty_source) as db:
        db.dump(tmp_path / "backup.dump", fmt)
    records = contents(empty_source)
    kvstore.load(tmp_path / "backup.dump", tmp_path / "new.db")
    assert contents(tmp_path / "new.db") == records
    # Into a database that has records: the load rewrites the file.
    write_db(tmp_path / "target.db", {b"mine": b"kept"})
    kvstore.load(tmp_path / "backup.dump", tmp_path / "target.db")
    assert contents(tmp_path / "target.db") == {**records, b"mine": b"kept"}


# Dumps written by hand, so that the empty field is where gdbm_load's limits
# lie: (key, value) pairs in file order.
HANDMADE_EMPTY = {
    "value-last": [(b"a", b"1"), (b"b", b"")],
    "value-alone": [(b"b", b"")],
    "value-first": [(b"a", b""), (b"b", b"2")],
    "values-last-two": [(b"a", b"1"), (b"b", b""), (b"c", b"")],
    "key-first": [(b"", b"1"), (b"b", b"2")],
    "key-last": [(b"a", b"1"), (b"", b"2")],
    "key-and-value": [(b"", b"")],
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("case", list(HANDMADE_EMPTY))
def test_empty_keys_and_values_against_gdbm_load(tmp_path, case, fmt):
    records = HANDMADE_EMPTY[case]
    dump = tmp_path / "case.dump"
    dump.write_bytes(written_dump(records, fmt))
    kvstore.load(dump, tmp_path / "ours.db")
    assert contents(tmp_path / "ours.db") == dict(records)
    loaded = tool_run("gdbm_load", dump, tmp_path / "theirs.db")
    if loaded.returncode == 0:
        assert contents(tmp_path / "theirs.db") == dict(records)
    # On the release the docs describe, it reads exactly what they
    # say; other releases read more or less of these.
    if installed_gdbm_version() == documented_gdbm_version():
        assert (loaded.returncode == 0) == gdbm_load_reads(records, fmt), loaded.stderr


@pytest.mark.parametrize("fmt", FORMATS)
def test_gdbm_load_reads_our_dumps_as_the_readme_says(tmp_path, empty_source, fmt):
    with _kvstore.open(str(empty_source)) as db:
        db.dump(str(tmp_path / "ours.dump"), fmt)
    records = in_dump_order(empty_source)
    loaded = tool_run("gdbm_load", tmp_path / "ours.dump", tmp_path / "theirs.db")
    if loaded.returncode == 0:
        assert contents(tmp_path / "theirs.db") == dict(records)
    if installed_gdbm_version() == documented_gdbm_version():
        assert (loaded.returncode == 0) == gdbm_load_reads(records, fmt), loaded.stderr


# ---- steps: progress, other callers, failures ----------------------------------

MANY = {b"key%06d" % i: b"value %d" % i * 3 for i in range(40_000)}


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """A database of MANY, and a dump of it in each format."""
    folder = tmp_path_factory.mktemp("many")
    write_db(folder / "many.db", MANY)
    os.chmod(folder / "many.db", 0o604)
    with _kvstore.open(str(folder / "many.db")) as db:
        for fmt in FORMATS:
            db.dump(str(folder / fmt), fmt)
    return folder


class Recorder:
    def __init__(self, action=None):
        self.calls = []
        self.action = action

    def __call__(self, done, total):
        self.calls.append((done, total))
        if self.action is not None:
            self.action(done, total)


def run_operation(operation, folder, many, progress, fmt="ascii", target=None, replace=False):
    """Runs dump (of many.db) or load (into target) with progress."""
    if operation == "dump":
        with _kvstore.open(str(many / "many.db")) as db:
            db.dump(str(folder / "out.dump"), fmt, progress=progress)
    else:
        with _kvstore.open(str(target), "w") as db:
            db.load(str(many / fmt), replace, progress=progress)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("operation", ["dump", "load"])
def test_progress_rises_to_the_total(tmp_path, many, target, operation, fmt):
    progress = Recorder()
    run_operation(operation, tmp_path, many, progress, fmt, target)
    done = [d for d, _ in progress.calls]
    # A load counts the database's own record too, copied into the new file.
    total = len(MANY) + (operation == "load")
    assert {total for _, total in progress.calls} == {total}
    assert done == sorted(set(done)) and done[-1] == total
    assert all(d > 0 for d in done)


def raise_at(when):
    def action(done, total):
        if when == "first" or done == total:
            raise ZeroDivisionError(f"stop at {done}")
    return action


@pytest.mark.parametrize("when", ["first", "last"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_a_raising_progress_leaves_the_dump_target_as_it_was(tmp_path, many, when, fmt):
    (tmp_path / "out.dump").write_bytes(b"the previous backup")
    with pytest.raises(ZeroDivisionError):
        run_operation("dump", tmp_path, many, Recorder(raise_at(when)), fmt)
    assert folder_listing(tmp_path) == ["out.dump"]
    assert (tmp_path / "out.dump").read_bytes() == b"the previous backup"


@pytest.mark.parametrize("replace", [False, True], ids=["insert", "replace"])
@pytest.mark.parametrize("when", ["first", "last"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_a_raising_progress_leaves_the_load_target_as_it_was(tmp_path, many, when, fmt,
                                                             replace):
    path = tmp_path / "target.db"
    mine = {b"mine": b"kept", **({b"key000007": b"old value"} if replace else {})}
    write_db(path, mine)
    os.chmod(path, 0o600)
    before = path.read_bytes()
    progress = Recorder(raise_at(when))
    with pytest.raises(ZeroDivisionError):
        run_operation("load", tmp_path, many, progress, fmt, path, replace)
    assert progress.calls[-1][0] > 0
    assert path.read_bytes() == before
    assert folder_listing(tmp_path) == ["target.db"]
    # The dump's mode comes only with success.
    assert os.stat(path).st_mode & 0o777 == 0o600


def test_a_load_that_fails_midway_leaves_the_file_as_it_was(tmp_path, target):
    # The same key twice: the second store is refused after the first was made.
    dump = ascii_dump(item(b"new"), item(b"1"), item(b"twice"), item(b"2"),
                      item(b"twice"), item(b"3"))
    (tmp_path / "twice.dump").write_bytes(dump)
    before = target.read_bytes()
    with _kvstore.open(str(target), "w") as db:
        with pytest.raises(_kvstore.error, match=re.escape(library_message("GDBM_CANNOT_REPLACE"))
                           + ".*b'twice'"):
            db.load(str(tmp_path / "twice.dump"))
        assert target.read_bytes() == before
        assert {key: db[key] for key in db.keys()} == {b"mine": b"kept"}
        db.load(str(tmp_path / "twice.dump"), True)
        assert {key: db[key] for key in db.keys()} == {b"mine": b"kept", b"new": b"1",
                                                       b"twice": b"3"}


def test_a_load_that_outgrows_the_file_size_limit_leaves_the_file_as_it_was(tmp_path, many,
                                                                            target):
    assert run_json("backup_failing_load", target, many / "ascii") == [errno.EFBIG, True, True,
                                                              ["target.db"]]


CALLS = {
    "len": len,
    "get": lambda db: db[b"key000001"],
    "store": lambda db: db.__setitem__(b"x", b"y"),
    "keys": lambda db: db.keys(),
    "sync": lambda db: db.sync(),
    "close": lambda db: db.close(),
    "dump": lambda db: db.dump(os.devnull + ".never"),
    "load": lambda db: db.load(os.devnull),
}


@pytest.mark.parametrize("call", list(CALLS))
@pytest.mark.parametrize("operation", ["dump", "load"])
def test_calls_from_progress_are_refused(tmp_path, many, operation, call):
    path = tmp_path / "db"
    write_db(path, MANY if operation == "dump" else {})
    refusals = []

    def progress(done, total):
        with pytest.raises(_kvstore.error) as refused:
            CALLS[call](db)
        refusals.append(str(refused.value))

    with _kvstore.open(str(path), "w") as db:
        if operation == "dump":
            db.dump(str(tmp_path / "out.dump"), progress=progress)
        else:
            db.load(str(many / "ascii"), progress=progress)
        assert refusals and set(refusals) == {
            f"{operation}() is in progress on this database: its progress callable cannot use "
            "the database until it returns"}
        # Usable again once it returned.
        assert len(db) == len(MANY)
    assert db.close() is None


@pytest.mark.parametrize("operation", ["dump", "load"])
def test_another_thread_waits_while_steps_run(tmp_path, many, operation):
    path = tmp_path / "db"
    write_db(path, MANY if operation == "dump" else {})
    started = threading.Event()
    outcome = []
    seen_during = []

    def other():
        started.wait(60)
        outcome.append(len(db))

    def progress(done, total):
        if not started.is_set():
            started.set()
            # The other thread calls in now, between two steps.
            time.sleep(0.2)
        seen_during.append(len(outcome))

    with _kvstore.open(str(path), "w") as db:
        thread = threading.Thread(target=other)
        thread.start()
        if operation == "dump":
            db.dump(str(tmp_path / "out.dump"), progress=progress)
        else:
            db.load(str(many / "binary"), progress=progress)
        thread.join(60)
        assert set(seen_during) == {0}
        assert outcome == [len(MANY)]


def test_progress_must_be_callable(tmp_path, source):
    with _kvstore.open(str(source)) as db:
        with pytest.raises(TypeError, match=r"dump\(\) progress must be callable or None, not int"):
            db.dump(str(tmp_path / "x"), progress=1)
    assert not (tmp_path / "x").exists()


def test_the_package_passes_progress_on(tmp_path, source):
    calls = []
    with kvstore.open(source) as db:
        db.dump(tmp_path / "backup.dump", progress=lambda *report: calls.append(("dump", report)))
    kvstore.load(tmp_path / "backup.dump", tmp_path / "a.db",
                 progress=lambda *report: calls.append(("kvstore.load", report)))
    with kvstore.open(tmp_path / "b.db", "c") as db:
        db.load(tmp_path / "backup.dump", progress=lambda *report: calls.append(("load", report)))
    total = (len(RECORDS), len(RECORDS))
    assert [call for call in calls if call[1] == total] == [
        ("dump", total), ("kvstore.load", total), ("load", total)]


def test_a_dump_killed_midway_leaves_the_old_file_under_the_name(tmp_path, many):
    out = tmp_path / "out"
    out.mkdir()
    (out / "backup.dump").write_bytes(b"the previous backup")
    child = subprocess.run([*program_command("backup_killed_midway"), many / "many.db",
                            out / "backup.dump"], timeout=120)
    assert child.returncode == -9
    assert (out / "backup.dump").read_bytes() == b"the previous backup"
    left = [name for name in folder_listing(out) if name != "backup.dump"]
    assert len(left) == 1 and left[0].startswith("backup.dump.unfinished-")
