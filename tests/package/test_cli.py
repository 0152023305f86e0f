"""python -m kvstore, run as a user would: a child process, its exit status,
its standard output and its standard error."""

import errno
import importlib.metadata
import json
import os
import pty
import resource
import select
import signal
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import _kvstore
import kvstore
from support.children import program_command
from support.paths import DAMAGED_CYCLE

RECORDS = {b"alpha": b"1", b"caf\xc3\xa9": b"cr\xc3\xa8me", b"\xff\x00bin": b"\x01\x02",
           b"two\nlines": b"back\\slash"}
PREFIX = "python -m kvstore: error: "
KEPT_DAMAGED = DAMAGED_CYCLE


def cli(*args, timeout=60):
    run = subprocess.run([sys.executable, "-m", "kvstore", *map(str, args)],
                         capture_output=True, timeout=timeout)
    return run.returncode, run.stdout, run.stderr.decode()


def records_of(path):
    with _kvstore.open(str(path), "r") as db:
        return {key: db[key] for key in db.keys()}


@pytest.fixture
def dbfile(tmp_path):
    path = tmp_path / "data.db"
    with _kvstore.open(str(path), "c") as db:
        for key, value in RECORDS.items():
            db[key] = value
    return path


def test_info(dbfile):
    code, out, err = cli("info", dbfile)
    assert (code, err) == (0, "")
    fields = dict(line.split(":", 1) for line in out.decode().splitlines())
    assert fields["records"].strip() == str(len(RECORDS))
    assert fields["file size"].strip() == f"{dbfile.stat().st_size} bytes"
    assert int(fields["block size"].split()[0]) in (512, 1024, 2048, 4096, 8192, 16384, 65536)
    assert fields["gdbm version"].strip() == ".".join(map(str, _kvstore._KVSTORE_VERSION))
    assert "leftover" not in fields


def test_info_names_leftovers(dbfile):
    left = dbfile.parent / (dbfile.name + ".compact.AbC123")
    left.write_bytes(b"half a database")
    code, out, err = cli("info", dbfile)
    assert (code, err) == (0, "")
    assert f"leftover:     {left} (left by a killed process;" in out.decode()


def test_keys_are_shown_safely(dbfile):
    code, out, err = cli("keys", dbfile)
    assert (code, err) == (0, "")
    assert sorted(out.decode().splitlines()) == sorted(
        ["alpha", "café", "\\xff\\x00bin", "two\\nlines"])
    code, out, _ = cli("keys", "--hex", dbfile)
    assert sorted(bytes.fromhex(line) for line in out.decode().split()) == sorted(RECORDS)


@pytest.mark.parametrize(("args", "shown"), [
    (["café"], "crème\n"),
    (["--hex", "ff0062696e"], "0102\n"),
    (["two\nlines"], "back\\\\slash\n"),
])
def test_get(dbfile, args, shown):
    code, out, err = cli("get", dbfile, *args)
    assert (code, out.decode(), err) == (0, shown, "")


def test_keys_into_a_pipe_closed_early(tmp_path):
    path = tmp_path / "many.db"
    with _kvstore.open(str(path), "c") as db:
        for i in range(100_000):
            db[b"key %d" % i] = b""
    with subprocess.Popen([sys.executable, "-m", "kvstore", "keys", str(path)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as reader:
        assert reader.stdout.readline().startswith(b"key ")
        reader.stdout.close()
        # The status a shell gives a program that SIGPIPE stopped.
        assert reader.wait(60) == 141
        assert reader.stderr.read() == b""


def test_get_raw_writes_the_bytes(dbfile):
    assert cli("get", "--raw", "--hex", dbfile, "ff0062696e") == (0, b"\x01\x02", "")


def test_set_and_delete(dbfile, tmp_path):
    assert cli("set", dbfile, "new", "välue") == (0, b"", "")
    assert cli("set", "--hex", dbfile, "00ff", "") == (0, b"", "")
    assert cli("delete", dbfile, "alpha") == (0, b"", "")
    expected = {**RECORDS, b"new": "välue".encode(), b"\x00\xff": b""}
    del expected[b"alpha"]
    assert records_of(dbfile) == expected
    created = tmp_path / "created.db"
    assert cli("set", created, "k", "v") == (0, b"", "")
    assert records_of(created) == {b"k": b"v"}


@pytest.mark.parametrize("format", ["ascii", "binary"])
def test_dump_and_load(dbfile, tmp_path, format):
    dump = tmp_path / "backup.dump"
    assert cli("dump", "--format", format, dbfile, dump) == (0, b"", "")
    copy = tmp_path / "copy.db"
    assert cli("load", copy, dump) == (0, b"", "")
    assert records_of(copy) == RECORDS
    code, _, err = cli("load", copy, dump)
    assert code == 1 and err.startswith(PREFIX)
    assert cli("load", "--replace", copy, dump) == (0, b"", "")


def test_recover_and_reorganize(dbfile, tmp_path):
    code, out, err = cli("recover", "--force", "--backup", dbfile)
    assert (code, err) == (0, "")
    report = dict(line.split(": ", 1) for line in out.decode().splitlines())
    assert report["recovered_keys"] == str(len(RECORDS))
    assert Path(report["backup_name"]).exists()
    with _kvstore.open(str(dbfile), "w") as db:
        for i in range(2000):
            db[b"gone%d" % i] = b"x" * 200
        for i in range(2000):
            del db[b"gone%d" % i]
    before = dbfile.stat().st_size
    assert cli("reorganize", dbfile) == (0, b"", "")
    assert dbfile.stat().st_size < before
    assert records_of(dbfile) == RECORDS


# Every command, with the arguments it needs after the database file.
COMMANDS = {
    "info": [], "get": ["alpha"], "set": ["k", "v"], "delete": ["alpha"], "keys": [], "items": [],
    "dump": ["out.dump"], "load": ["in.dump"], "put-items": ["in.jsonl"], "recover": ["--force"],
    "reorganize": [],
}


def arguments(command, folder):
    """COMMANDS[command], its files in folder: an empty dump and a one-record
    JSON Lines file to read, a dump to write."""
    (folder / "in.dump").write_text("")
    (folder / "in.jsonl").write_text('{"key": "k", "value": "v"}\n')
    return [folder / arg if arg.endswith((".dump", ".jsonl")) else arg for arg in COMMANDS[command]]


def assert_one_line_error(code, out, err, *words):
    assert code == 1, err
    assert out == b""
    assert err.startswith(PREFIX) and err.count("\n") == 1, err
    for word in words:
        assert word in err


@pytest.mark.parametrize("command", COMMANDS)
def test_a_missing_file(tmp_path, command):
    # set and load create a missing database: a missing folder stops them.
    missing = tmp_path / "no folder" / "missing.db"
    assert_one_line_error(*cli(command, missing, *arguments(command, tmp_path)), "missing.db")


@pytest.fixture
def damaged(dbfile):
    """A database whose header's magic number was overwritten."""
    with open(dbfile, "r+b") as file:
        file.write(b"\x00" * 4)
    return dbfile


@pytest.mark.parametrize("command", COMMANDS)
def test_a_damaged_file(damaged, tmp_path, command):
    before = damaged.read_bytes()
    assert_one_line_error(*cli(command, damaged, *arguments(command, tmp_path)), str(damaged))
    assert damaged.read_bytes() == before


@pytest.mark.parametrize("command", ["keys", "reorganize"])
def test_a_file_whose_traversal_does_not_end(tmp_path, command):
    path = tmp_path / "cycle.db"
    path.write_bytes(KEPT_DAMAGED.read_bytes())
    code, _, err = cli(command, path)
    # keys prints the keys it met before the walk turned back on itself.
    assert_one_line_error(code, b"", err, "damaged")
    assert path.read_bytes() == KEPT_DAMAGED.read_bytes()


@pytest.fixture
def locked(dbfile):
    """The database held open for writing by another process."""
    with subprocess.Popen(program_command("hold_open", dbfile),
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as holder:
        assert holder.stdout.readline() == "held\n"
        yield dbfile
        holder.stdin.close()
        holder.wait(30)


@pytest.mark.parametrize("command", COMMANDS)
def test_a_file_locked_by_another_process(locked, tmp_path, command):
    assert_one_line_error(*cli(command, locked, *arguments(command, tmp_path)),
                          "locked by another opener")


@pytest.mark.parametrize("args", [["--timeout", "0.2", "keys", "DB"], ["keys", "DB", "--timeout", "0.2"],
                                  ["--timeout", "9", "keys", "DB", "--timeout", "0.2"]],
                         ids=["before", "after", "after-wins"])
def test_a_lock_waited_for(locked, args):
    args = [locked if arg == "DB" else arg for arg in args]
    assert_one_line_error(*cli(*args), "waited 0.2 s")


@pytest.mark.parametrize("args", [
    [],
    ["frobnicate", "x.db"],
    ["get"],
    ["get", "x.db"],
    ["set", "x.db", "k"],
    ["get", "--hex", "DB", "zz"],
    ["dump", "--format", "yaml", "DB", "out.dump"],
    ["--timeout", "-1", "keys", "DB"],
    ["--timeout", "soon", "keys", "DB"],
    ["keys", "DB", "--timeout", "-1"],
    ["keys", "DB", "--bogus"],
    ["items", "DB", "extra"],
    ["put-items", "DB"],
])
def test_bad_arguments(dbfile, args):
    args = [dbfile if arg == "DB" else arg for arg in args]
    before = dbfile.read_bytes()
    code, out, err = cli(*args)
    assert code == 2, err
    assert out == b""
    assert err.startswith("usage: python -m kvstore")
    assert err.splitlines()[-1].startswith("python -m kvstore")
    assert ": error: " in err.splitlines()[-1]
    assert dbfile.read_bytes() == before


def test_help_lists_the_commands():
    code, out, err = cli("--help")
    assert (code, err) == (0, "")
    text = out.decode()
    assert text.startswith("usage: python -m kvstore")
    for command in COMMANDS:
        assert f"    {command} " in text
    code, out, _ = cli("dump", "--help")
    assert code == 0 and b"--format {ascii,binary}" in out


def run_on_a_terminal(*args):
    """Runs the command line with standard error on a pseudo-terminal;
    returns the exit status and what the terminal showed."""
    leader, follower = pty.openpty()
    try:
        process = subprocess.Popen([sys.executable, "-m", "kvstore", *map(str, args)],
                                   stdout=subprocess.DEVNULL, stderr=follower)
        os.close(follower)
        shown = b""
        while True:
            ready, _, _ = select.select([leader], [], [], 60)
            assert ready, "no output for a minute"
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal is gone once the child exits
                break
            if not chunk:
                break
            shown += chunk
        return process.wait(30), shown.decode()
    finally:
        os.close(leader)


def test_a_progress_bar_only_on_a_terminal(dbfile):
    with _kvstore.open(str(dbfile), "w") as db:
        for i in range(30000):
            db[b"k%d" % i] = b"v" * 100
    code, shown = run_on_a_terminal("reorganize", dbfile)
    assert code == 0
    assert "reorganize [" in shown and "100% 30004/30004" in shown
    assert shown.endswith("\n")
    assert cli("reorganize", dbfile) == (0, b"", "")


def test_put_items_draws_a_progress_bar_on_a_terminal(tmp_path):
    items = tmp_path / "many.jsonl"
    items.write_text("".join(f'{{"key": "k{i}", "value": "v"}}\n' for i in range(20000)))
    code, shown = run_on_a_terminal("put-items", tmp_path / "new.db", items)
    assert code == 0
    assert "put-items [" in shown and "100% 20000/20000" in shown
    assert len(records_of(tmp_path / "new.db")) == 20000


# ---- pipelines and scripts ---------------------------------------------------

def test_version():
    code, out, err = cli("--version")
    assert (code, err) == (0, "")
    assert out.decode() == f"kvstore-gdbm {importlib.metadata.version('kvstore-gdbm')}\n"


# Every command that writes to standard output, with its arguments.
WRITERS = {
    "info": ["info", "DB"],
    "keys": ["keys", "DB"],
    "items": ["items", "DB"],
    "get": ["get", "DB", "alpha"],
    "get-raw": ["get", "--raw", "DB", "alpha"],
    "dump-ascii": ["dump", "DB", "-"],
    "dump-binary": ["dump", "--format", "binary", "DB", "-"],
    "recover": ["recover", "DB"],
    "version": ["--version"],
}


def writer_args(name, dbfile):
    return [dbfile if arg == "DB" else arg for arg in WRITERS[name]]


def kvstore_command(*args):
    return [sys.executable, "-m", "kvstore", *map(str, args)]


@pytest.mark.parametrize("name", WRITERS)
def test_output_to_a_reader_gone_already(dbfile, name):
    # The reader closed the pipe before the command wrote anything: even its
    # last flush, at exit, is quiet.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        run = subprocess.run(kvstore_command(*writer_args(name, dbfile)), stdout=write_end,
                             stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(write_end)
    assert (run.returncode, run.stderr) == (141, b"")


def test_a_pipeline_with_pipefail(dbfile):
    many = dbfile.with_name("many.db")
    with _kvstore.open(str(many), "c") as db:
        for i in range(50_000):
            db[b"key %d" % i] = b"value"
    script = 'set -o pipefail; "$@" | head -3 >/dev/null; echo "status $?"'
    run = subprocess.run(["bash", "-c", script, "bash", *kvstore_command("keys", many)],
                         capture_output=True, timeout=60)
    assert (run.stdout, run.stderr) == (b"status 141\n", b"")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize("name", WRITERS)
def test_output_to_a_full_disk(dbfile, name):
    with open("/dev/full", "wb") as full:
        run = subprocess.run(kvstore_command(*writer_args(name, dbfile)), stdout=full,
                             stderr=subprocess.PIPE, timeout=60)
    assert_one_line_error(run.returncode, b"", run.stderr.decode(), "standard output",
                          os.strerror(errno.ENOSPC))


@pytest.mark.parametrize("name", WRITERS)
def test_output_closed(dbfile, name):
    before = dbfile.read_bytes()
    script = 'exec "$@" >&-'
    run = subprocess.run(["sh", "-c", script, "sh", *kvstore_command(*writer_args(name, dbfile))],
                         capture_output=True, timeout=60)
    assert_one_line_error(run.returncode, run.stdout, run.stderr.decode(), "standard output", "closed")
    assert dbfile.read_bytes() == before


@pytest.mark.parametrize(("args", "shown"), [
    (["keys", "DB"], ["alpha", "caf\\xc3\\xa9", "\\xff\\x00bin", "two\\nlines"]),
    (["get", "DB", "café"], ["cr\\xc3\\xa8me"]),
    (["info", "DB"], None),
])
def test_output_in_an_encoding_without_the_characters(dbfile, args, shown):
    # Text that standard output's encoding cannot carry shows in the escape
    # form, as bytes that are no UTF-8 do: nothing is lost, nothing fails.
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    args = [dbfile if arg == "DB" else arg for arg in args]
    run = subprocess.run(kvstore_command(*args), capture_output=True, env=env, timeout=60)
    assert (run.returncode, run.stderr) == (0, b"")
    if shown is not None:
        assert sorted(run.stdout.decode("ascii").splitlines()) == sorted(shown)


def test_interrupted(tmp_path):
    path = tmp_path / "many.db"
    with _kvstore.open(str(path), "c") as db:
        for i in range(100_000):
            db[b"key %d" % i] = b""
    # keys fills the pipe, which is not read, and waits: Ctrl-C then. The
    # child gets Ctrl-C's default whatever this process was started with (a
    # shell ignores it for its background jobs, and the ignoring is inherited).
    with subprocess.Popen(kvstore_command("keys", path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as process:
        try:
            assert process.stdout.readline().startswith(b"key ")
            process.send_signal(signal.SIGINT)
            assert process.wait(60) == 130
            assert process.stderr.read() == b""
        finally:
            process.kill()


def test_recover_says_when_nothing_needed_recovering(dbfile):
    before = dbfile.read_bytes()
    code, out, err = cli("recover", dbfile)
    assert (code, err) == (0, "")
    assert out.decode().count("\n") == 1
    assert "nothing to recover" in out.decode() and "--force" in out.decode()
    assert dbfile.read_bytes() == before


@pytest.fixture
def needs_recovery(dbfile):
    """A database whose header and bucket directory are intact, so that it
    opens, but whose every other block is garbage: reading it fails inside
    gdbm, and the file then needs recovery."""
    data = bytearray(dbfile.read_bytes())
    block_size, dir_offset, dir_size = struct.unpack_from("=iqi", data, 4)
    for start in range(block_size, len(data), block_size):
        if not dir_offset <= start < dir_offset + dir_size:
            data[start:start + block_size] = b"\xff" * block_size
    dbfile.write_bytes(data)
    return dbfile


@pytest.mark.parametrize("command", ["info", "keys", "items", "get"])
def test_a_file_that_needs_recovery_names_recover(needs_recovery, command):
    args = ["alpha"] if command == "get" else []
    code, out, err = cli(command, needs_recovery, *args)
    assert_one_line_error(code, out, err, str(needs_recovery), f"python -m kvstore recover {needs_recovery}")


def test_info_on_a_file_that_is_no_database(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("not a database\n" * 1000)
    code, out, err = cli("info", path)
    assert_one_line_error(code, out, err, str(path), "not a gdbm database")


# ---- - as standard output and standard input --------------------------------

@pytest.mark.parametrize("format", ["ascii", "binary"])
def test_dump_into_a_pipe_and_load_from_one(dbfile, tmp_path, format):
    copy = tmp_path / "copy.db"
    with subprocess.Popen(kvstore_command("dump", "--format", format, dbfile, "-"),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as dump:
        load = subprocess.run(kvstore_command("load", copy, "-"), stdin=dump.stdout,
                              capture_output=True, timeout=60)
        dump.stdout.close()
        assert (dump.wait(60), dump.stderr.read()) == (0, b"")
    assert (load.returncode, load.stdout, load.stderr) == (0, b"", b"")
    assert records_of(copy) == RECORDS
    assert not Path("-").exists()
    # The same bytes a dump file gets.
    assert cli("dump", "--format", format, dbfile, tmp_path / "file.dump") == (0, b"", "")
    code, out, _ = cli("dump", "--format", format, dbfile, "-")
    if format == "ascii":  # its header says when it was written
        def body(text):
            return [line for line in text.splitlines() if not line.startswith(b"# GDBM dump file created")]
        assert body(out) == body((tmp_path / "file.dump").read_bytes())
    else:
        assert out == (tmp_path / "file.dump").read_bytes()


def feed(args, data):
    run = subprocess.run(kvstore_command(*args), input=data, capture_output=True, timeout=60)
    return run.returncode, run.stdout, run.stderr.decode()


BAD_DUMP = b"# GDBM dump file created by hand\n#:version=1.1\n#:len=3\nnot base64 at all!\n"


@pytest.mark.parametrize("source", ["file", "-"])
@pytest.mark.parametrize("dump", ["bad", "empty"])
def test_a_refused_load_creates_nothing(tmp_path, source, dump):
    data = BAD_DUMP if dump == "bad" else b""
    new = tmp_path / "new.db"
    if source == "file":
        (tmp_path / "in.dump").write_bytes(data)
        code, out, err = cli("load", new, tmp_path / "in.dump")
    else:
        code, out, err = feed(["load", new, "-"], data)
        assert "standard-input" not in err and "kvstore-" not in err
    assert_one_line_error(code, out, err)
    assert sorted(tmp_path.iterdir()) == sorted(tmp_path.glob("in.dump"))


def test_a_load_that_finds_a_stored_key_names_replace(dbfile, tmp_path):
    dump = tmp_path / "backup.dump"
    assert cli("dump", dbfile, dump)[0] == 0
    assert_one_line_error(*feed(["load", dbfile, "-"], dump.read_bytes()), "--replace")
    assert feed(["load", "--replace", dbfile, "-"], dump.read_bytes()) == (0, b"", "")


# ---- items and put-items -----------------------------------------------------

ITEMS = {
    b"alpha": b"1", b"caf\xc3\xa9": b"cr\xc3\xa8me", b"\xff\x00bin": b"\x01\x02",
    b"two\nlines": b"back\\slash", b"": b"empty key", b"nul\x00": b"", b"\xc3": b"\xe9t\xe9",
}


def test_items_as_json_lines(tmp_path):
    path = tmp_path / "items.db"
    with _kvstore.open(str(path), "c") as db:
        for key, value in ITEMS.items():
            db[key] = value
    code, out, err = cli("items", path)
    assert (code, err) == (0, "")
    lines = [json.loads(line) for line in out.decode("utf-8").splitlines()]
    assert sorted(lines, key=repr) == sorted([
        {"key": "alpha", "value": "1"},
        {"key": "café", "value": "crème"},
        {"key_hex": "ff0062696e", "value": "\x01\x02"},
        {"key": "two\nlines", "value": "back\\slash"},
        {"key": "", "value": "empty key"},
        {"key": "nul\x00", "value": ""},
        {"key_hex": "c3", "value_hex": "e974e9"},
    ], key=repr)
    code, out, _ = cli("items", "--hex", path)
    assert sorted(out.decode().splitlines()) == sorted(
        json.dumps({"key_hex": key.hex(), "value_hex": value.hex()}) for key, value in ITEMS.items())
    # put-items takes back what items gives, from a file or from a pipe.
    for option in ([], ["--hex"]):
        listing = cli("items", *option, path)[1]
        copy = tmp_path / f"copy{option}.db"
        assert feed(["put-items", copy, "-"], listing) == (0, b"", "")
        assert records_of(copy) == ITEMS
    (tmp_path / "items.jsonl").write_bytes(listing)
    assert cli("put-items", tmp_path / "file.db", tmp_path / "items.jsonl") == (0, b"", "")
    assert records_of(tmp_path / "file.db") == ITEMS


def test_put_items_adds_to_a_database(dbfile):
    lines = b'{"key": "new", "value": "v"}\n\n{"key_hex": "00ff", "value_hex": ""}\n'
    assert feed(["put-items", dbfile, "-"], lines) == (0, b"", "")
    assert records_of(dbfile) == {**RECORDS, b"new": b"v", b"\x00\xff": b""}


# Input that put-items refuses, whole, and the words that say why.
REFUSED_ITEMS = {
    "not-json": (b'{"key": "a", "value": "1"}\n{"key": \n', ["line 2", "not JSON"]),
    "not-an-object": (b'["a", "1"]\n', ["line 1", "not a JSON object"]),
    "no-value": (b'{"key": "a"}\n', ["line 1", '"value"']),
    "two-keys": (b'{"key": "a", "key_hex": "61", "value": "1"}\n', ["line 1", '"key"']),
    "unknown-field": (b'{"key": "a", "value": "1", "note": "x"}\n', ["line 1", "note"]),
    "not-a-string": (b'{"key": "a", "value": 1}\n', ["line 1", '"value" is not a string']),
    "not-hex": (b'{"key_hex": "zz", "value": "1"}\n', ["line 1", "hexadecimal"]),
    "lone-surrogate": (b'{"key": "\\ud800", "value": "1"}\n', ["line 1", "surrogate"]),
    "not-utf-8": (b'{"key": "\xff", "value": "1"}\n', ["line 1", "UTF-8"]),
    "nested": (b"[" * 100_000 + b"]" * 100_000 + b"\n", ["line 1", "nested too deeply"]),
    "nested-value": (b'{"key": "a", "value": ' + b"[" * 100_000 + b"]" * 100_000 + b"}\n",
                     ["line 1", "nested too deeply"]),
    "twice": (b'{"key": "a", "value": "1"}\n{"key": "a", "value": "2"}\n', ["line 2", "line 1", "--replace"]),
    "stored": (b'{"key": "new", "value": "1"}\n{"key": "alpha", "value": "2"}\n', ["line 2", "--replace"]),
}


@pytest.mark.parametrize(("into", "case"), [
    *(("existing", case) for case in REFUSED_ITEMS),
    *(("new", case) for case in REFUSED_ITEMS if case != "stored"),
])
def test_put_items_stores_all_or_nothing(dbfile, tmp_path, case, into):
    data, words = REFUSED_ITEMS[case]
    target = dbfile if into == "existing" else tmp_path / "new.db"
    assert_one_line_error(*feed(["put-items", target, "-"], data), "standard input", *words)
    if into == "existing":
        assert records_of(dbfile) == RECORDS
    else:
        assert not target.exists()


def test_put_items_that_fail_in_the_stores_leave_the_records_as_before(dbfile, tmp_path):
    # The file may not grow by more than a few blocks: the stores fail midway.
    size = dbfile.stat().st_size + 64 * 1024
    lines = b"".join(b'{"key": "k%d", "value": "%s"}\n' % (i, b"v" * 1000) for i in range(2000))

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

    run = subprocess.run(kvstore_command("put-items", dbfile, "-"), input=lines,
                         capture_output=True, timeout=60, preexec_fn=limited)
    assert_one_line_error(run.returncode, run.stdout, run.stderr.decode())
    # Undone at once, or (should the undo fail too) by the next writer.
    with kvstore.open(dbfile, "w") as db:
        assert dict(db.items()) == RECORDS
    assert not os.path.exists(str(dbfile) + "-journal")


def test_put_items_replaces_when_asked(dbfile):
    lines = b'{"key": "alpha", "value": "2"}\n{"key": "k", "value": "1"}\n{"key": "k", "value": "3"}\n'
    assert feed(["put-items", "--replace", dbfile, "-"], lines) == (0, b"", "")
    assert records_of(dbfile) == {**RECORDS, b"alpha": b"2", b"k": b"3"}


def test_put_items_names_a_missing_file(dbfile, tmp_path):
    assert_one_line_error(*cli("put-items", dbfile, tmp_path / "nothing.jsonl"), "nothing.jsonl")
