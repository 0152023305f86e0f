"""python -m kvstore, run as a user would: a child process, its exit status,
its standard output and its standard error."""

import os
import pty
import select
import subprocess
import sys
from pathlib import Path

import pytest

import _kvstore

RECORDS = {b"alpha": b"1", b"caf\xc3\xa9": b"cr\xc3\xa8me", b"\xff\x00bin": b"\x01\x02",
           b"two\nlines": b"back\\slash"}
PREFIX = "python -m kvstore: error: "
KEPT_DAMAGED = Path(__file__).with_name("data") / "damaged-traversal-cycle.db"


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
    reader = subprocess.Popen([sys.executable, "-m", "kvstore", "keys", str(path)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert reader.stdout.readline().startswith(b"key ")
    reader.stdout.close()
    assert reader.wait(60) == 1
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
    # gdbm's dump files cannot hold an empty value; RECORDS has none.
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
    "info": [], "get": ["alpha"], "set": ["k", "v"], "delete": ["alpha"], "keys": [],
    "dump": ["out.dump"], "load": ["in.dump"], "recover": ["--force"], "reorganize": [],
}


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
    args = [tmp_path / "x.dump" if arg == "in.dump" else tmp_path / arg if arg.endswith(".dump")
            else arg for arg in COMMANDS[command]]
    assert_one_line_error(*cli(command, missing, *args), "missing")


@pytest.fixture
def damaged(dbfile):
    """A database whose header's magic number was overwritten."""
    with open(dbfile, "r+b") as file:
        file.write(b"\x00" * 4)
    return dbfile


@pytest.mark.parametrize("command", COMMANDS)
def test_a_damaged_file(damaged, tmp_path, command):
    (tmp_path / "in.dump").write_text("")
    args = [tmp_path / arg if arg.endswith(".dump") else arg for arg in COMMANDS[command]]
    before = damaged.read_bytes()
    assert_one_line_error(*cli(command, damaged, *args))
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
    holder = subprocess.Popen(
        [sys.executable, "-c",
         "import sys, _kvstore; db = _kvstore.open(sys.argv[1], 'w'); print('held', flush=True); "
         "sys.stdin.read()", str(dbfile)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "held\n"
    yield dbfile
    holder.stdin.close()
    holder.wait(30)


@pytest.mark.parametrize("command", COMMANDS)
def test_a_file_locked_by_another_process(locked, tmp_path, command):
    (tmp_path / "in.dump").write_text("")
    args = [tmp_path / arg if arg.endswith(".dump") else arg for arg in COMMANDS[command]]
    assert_one_line_error(*cli(command, locked, *args), "locked by another opener")


def test_a_lock_waited_for(locked):
    assert_one_line_error(*cli("--timeout", "0.2", "keys", locked), "waited 0.2 s")


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
    ["keys", "DB", "--bogus"],
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
