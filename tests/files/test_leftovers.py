"""A call that fails leaves behind no file that it created, and removes no
file that was there before it; what a killed process left, the next call
for the same name removes; names as long as a file name may be fit."""

import fcntl
import os
import signal
import subprocess

import pytest

import _kvstore
import kvstore
from kvstore._leftovers import leftovers
from support.children import program_command
from support.rewrites import run_operation


def not_a_dump(folder):
    name = folder / "text.dump"
    name.write_bytes(b"this is no dump\n" * 10)
    return name


DUMPS = {
    "missing": lambda folder: folder / "missing.dump",
    "not-a-dump": not_a_dump,
    "folder": lambda folder: folder,
}


@pytest.mark.parametrize("dump", DUMPS.values(), ids=DUMPS.keys())
def test_failed_kvstore_load_removes_the_database_it_created(tmp_path, dump):
    target = tmp_path / "target.db"
    with pytest.raises(_kvstore.error):
        kvstore.load(dump(tmp_path), target)
    assert not os.path.lexists(target)


@pytest.mark.parametrize("dump", DUMPS.values(), ids=DUMPS.keys())
def test_failed_kvstore_load_keeps_a_database_that_was_there(tmp_path, dump):
    target = tmp_path / "target.db"
    with _kvstore.open(str(target), "n") as db:
        db[b"kept"] = b"yes"
    with pytest.raises(_kvstore.error):
        kvstore.load(dump(tmp_path), target)
    with _kvstore.open(str(target), "r") as db:
        assert {key: db[key] for key in db.keys()} == {b"kept": b"yes"}


# ---- long names ------------------------------------------------------------------

def long_name(length, kind):
    """A file name of `length` bytes: ASCII, or two-byte UTF-8 characters,
    whose cut must not split one."""
    if kind == "ascii":
        return os.fsencode("d" * (length - 3) + ".db")
    start = "é" * ((length - 4) // 2)
    return (start + "x" * (length - 3 - len(start.encode())) + ".db").encode()


def temporary_names(folder):
    return [name for name in os.listdir(os.fsencode(folder))
            if b".compact." in name or b".unfinished-" in name]


@pytest.mark.parametrize("kind", ["ascii", "utf-8"])
@pytest.mark.parametrize("length", [200, 240, 245, 250, 255])
@pytest.mark.parametrize("operation", ["compact", "load", "dump-of", "dump-to"])
def test_long_names_fit_in_the_temporary_names(tmp_path, operation, length, kind):
    # Where the name fits, so does the file made beside it, and it is
    # recognisably the name's.
    name = long_name(length, kind)
    most = os.pathconf(tmp_path, "PC_NAME_MAX")
    if len(name) > most:
        pytest.skip(f"this file system takes names of {most} bytes at most")
    folder = os.fsencode(tmp_path)
    long_path = os.path.join(folder, name)
    short_path = os.path.join(folder, b"short.db")
    records = {b"k%03d" % i: b"v%d" % i for i in range(300)}
    db_path = short_path if operation == "dump-to" else long_path
    with _kvstore.open(db_path, "n") as db:
        for key, value in records.items():
            db[key] = value
    seen = []

    def progress(done, total):
        seen.extend(temporary_names(tmp_path))

    if operation == "load":
        with _kvstore.open(db_path, "r") as db:
            db.dump(os.path.join(folder, b"backup.dump"))
        with _kvstore.open(db_path, "w") as db:
            db.load(os.path.join(folder, b"backup.dump"), True, progress=progress)
    elif operation == "compact":
        with _kvstore.open(db_path, "w") as db:
            db.compact(progress=progress)
    else:
        target = long_path if operation == "dump-to" else os.path.join(folder, b"out.dump")
        with _kvstore.open(db_path, "r") as db:
            db.dump(target, "binary", progress=progress)
        with _kvstore.open(os.path.join(folder, b"copy.db"), "n") as copy:
            copy.load(target)
        db_path = os.path.join(folder, b"copy.db")
    with _kvstore.open(db_path, "r") as db:
        assert {key: db[key] for key in db.keys()} == records
    assert seen and temporary_names(tmp_path) == []
    made_for = long_path if operation != "dump-of" else os.path.join(folder, b"out.dump")
    for made in set(seen):
        assert len(made) <= most
        made.decode()  # no character cut in two
        assert made.startswith(os.path.basename(made_for)[:100])


# ---- what killed processes leave, and the next call removes -----------------------

# Which call leaves a file and which call then cleans: a rewrite (compact()
# or load()) cleans a rewrite's, a dump to the same name a dump's.
AFTER_A_KILL = {
    "compact-then-compact": ("compact", "compact"),
    "compact-then-load": ("compact", "load"),
    "load-then-compact": ("load", "compact"),
    "dump-then-dump": ("dump-ascii", "dump-binary"),
    "binary-dump-then-dump": ("dump-binary", "dump-ascii"),
}
RECORDS = {b"key%04d" % i: b"value %d" % i * 5 for i in range(3000)}


def make_records(path, records=RECORDS):
    with _kvstore.open(path, "n") as db:
        for key, value in records.items():
            db[key] = value


def kill_during(operation, path, other):
    child = subprocess.run(program_command("leftovers_killed", path, operation, other),
                           capture_output=True, timeout=120)
    assert child.returncode == -signal.SIGKILL, child.stderr


def contents(path):
    with _kvstore.open(path, "r") as db:
        return {key: db[key] for key in db.keys()}


@pytest.mark.parametrize("length", [None, 255], ids=["short-name", "255-byte-name"])
@pytest.mark.parametrize("case", list(AFTER_A_KILL))
def test_the_next_call_removes_what_killed_processes_left(tmp_path, case, length):
    killed, next_call = AFTER_A_KILL[case]
    name = "target.db" if length is None else "t" * (length - 3) + ".db"
    if length is not None and length > os.pathconf(tmp_path, "PC_NAME_MAX"):
        pytest.skip("this file system takes shorter names")
    target = str(tmp_path / name)
    source = str(tmp_path / "source.db")
    make_records(source)
    dump = str(tmp_path / "source.dump")
    with _kvstore.open(source, "r") as db:
        db.dump(dump)
    if killed.startswith("dump"):
        other = source
    else:
        make_records(target, {b"own": b"record"})
        other = dump
    before = set(os.listdir(tmp_path))
    kill_during(killed, target, other)
    first = leftovers(target)
    assert len(first) == 1 and first[0].in_use is False
    # A call killed in its turn has removed the first leftover before it
    # made its own.
    kill_during(killed, target, other)
    left = leftovers(target)
    assert len(left) == 1 and left[0].in_use is False and left != first
    assert {os.fsdecode(os.path.basename(left[0].path))} == set(os.listdir(tmp_path)) - before
    # Another target's leftovers are its own.
    assert leftovers(source) == [] and leftovers(dump) == []
    run_operation(next_call, target, other)
    assert leftovers(target) == []
    assert set(os.listdir(tmp_path)) == before | ({name} if killed.startswith("dump") else set())
    if killed.startswith("dump"):
        assert contents(source) == RECORDS
        with _kvstore.open(str(tmp_path / "copy.db"), "n") as db:
            db.load(target)
        assert contents(str(tmp_path / "copy.db")) == RECORDS
    else:
        loaded = RECORDS if next_call == "load" else {}
        assert contents(target) == {**loaded, b"own": b"record"}


LIVE = {
    "compact-during-compact": ("compact", "compact"),
    "load-during-compact": ("compact", "load"),
    "compact-during-load": ("load", "compact"),
    "dump-during-dump": ("dump-ascii", "dump-binary"),
}


@pytest.mark.parametrize("case", list(LIVE))
def test_a_file_a_live_process_is_writing_is_left_alone(tmp_path, case):
    running, meanwhile = LIVE[case]
    target = str(tmp_path / "target.db")
    source = str(tmp_path / "source.db")
    make_records(source)
    dump = str(tmp_path / "source.dump")
    with _kvstore.open(source, "r") as db:
        db.dump(dump)
    other = source if running.startswith("dump") else dump
    if not running.startswith("dump"):
        make_records(target, {b"own": b"record"})
    with subprocess.Popen(program_command("leftovers_paused", target, running, other),
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "ready\n"
            live = leftovers(target)
            assert len(live) == 1 and live[0].in_use is True
            before = os.stat(live[0].path)
            if meanwhile.startswith("dump"):
                with _kvstore.open(source, "r") as db:
                    db.dump(target, meanwhile.split("-")[1])
            else:
                with _kvstore.open(target, "wu") as db:
                    if meanwhile == "compact":
                        db.compact()
                    else:
                        db.load(dump, True)
            # The same file, still there, still in use.
            assert leftovers(target) == live
            after = os.stat(live[0].path)
            assert (after.st_dev, after.st_ino) == (before.st_dev, before.st_ino)
            child.stdin.write("go\n")
            child.stdin.flush()
            assert child.stdout.readline() == "done\n"
        finally:
            child.stdin.close()
            assert child.wait(timeout=120) == 0
    assert leftovers(target) == []
    # The child's file, whole, took the name last.
    if running.startswith("dump"):
        with _kvstore.open(str(tmp_path / "copy.db"), "n") as db:
            db.load(target)
        assert contents(str(tmp_path / "copy.db")) == RECORDS
    elif running == "load":
        assert contents(target) == {**RECORDS, b"own": b"record"}
    else:
        assert contents(target) == {b"own": b"record"}


def hostile_neighbours(folder, stem, mark, unique):
    """Names the sweep must leave alone, as name -> what is there; and a
    dead leftover, which it removes."""
    (folder / "precious").write_bytes(b"precious")
    made = {}
    link = folder / (stem + mark + unique("A"))
    os.symlink(folder / "precious", link)
    made[link.name] = "link"
    (folder / (stem + mark + unique("B"))).mkdir()
    made[stem + mark + unique("B")] = "folder"
    os.mkfifo(folder / (stem + mark + unique("C")))
    made[stem + mark + unique("C")] = "fifo"
    for name in [stem + mark + "keep", stem + mark + unique("D") + "0", stem + mark + unique("E")[:-1] + "-",
                 "other.db" + mark + unique("F"), stem + mark[:-1] + "x" + unique("G")]:
        (folder / name).write_bytes(b"not a leftover of this target")
        made[name] = "file"
    return made


@pytest.mark.parametrize("operation", ["compact", "dump"])
def test_the_sweep_takes_only_dead_leftovers_of_its_own_target(tmp_path, operation):
    target = tmp_path / ("target.db" if operation == "compact" else "out.dump")
    make_records(str(tmp_path / "target.db"), {b"k": b"v"})
    if operation == "compact":
        mark, unique = ".compact.", lambda letter: letter * 6
    else:
        mark, unique = ".unfinished-", lambda letter: letter.lower() * 8
    kept = hostile_neighbours(tmp_path, target.name, mark, unique)
    if operation == "dump":
        # Upper-case hex is no unfinished file's.
        (tmp_path / (target.name + mark + "ABCDEF01")).write_bytes(b"not ours")
        kept[target.name + mark + "ABCDEF01"] = "file"
    dead = tmp_path / (target.name + mark + unique("9"))
    dead.write_bytes(b"left by a killed process")
    held = tmp_path / (target.name + mark + unique("8"))
    held.write_bytes(b"held by a live process: this one, through another open file")
    holder = os.open(held, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    try:
        if operation == "compact":
            with _kvstore.open(str(target), "w") as db:
                db.compact()
        else:
            with _kvstore.open(str(tmp_path / "target.db"), "r") as db:
                db.dump(str(target))
    finally:
        os.close(holder)
    assert not dead.exists()
    assert held.read_bytes().startswith(b"held")
    assert (tmp_path / "precious").read_bytes() == b"precious"
    for name, kind in kept.items():
        path = tmp_path / name
        assert {"link": path.is_symlink, "folder": path.is_dir, "fifo": path.is_fifo,
                "file": path.is_file}[kind](), name
    assert contents(str(tmp_path / "target.db")) == {b"k": b"v"}


def test_a_database_opened_without_locking_stays_unlocked_after_a_rewrite(tmp_path):
    # The new file's own lock goes once it has the database's name.
    path = str(tmp_path / "target.db")
    make_records(path, {b"k": b"v"})
    with _kvstore.open(path, "wu") as db:
        db.compact()
        probe = os.open(path, os.O_RDONLY)
        try:
            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(probe)
        with _kvstore.open(path, "r") as reader:
            assert reader[b"k"] == b"v"


# ---- paths changed while the call runs --------------------------------------------

# (the operation, what its first progress call changes): the working
# directory, under a dump to a relative name, or the name of the folder that
# holds the target.
MOVED = [("dump", "chdir"), ("dump", "rename-folder"), ("compact", "rename-folder"),
         ("load", "rename-folder")]


@pytest.mark.parametrize("operation, change", MOVED, ids=["-".join(case) for case in MOVED])
def test_the_file_takes_the_name_in_the_folder_where_it_began(tmp_path, monkeypatch,
                                                               operation, change):
    # The file is made, and renamed over its target, in the folder that the
    # target's name led to when the call began: the call neither fails at its
    # end nor leaves its file behind.
    home, elsewhere = tmp_path / "a", tmp_path / "elsewhere"
    home.mkdir()
    elsewhere.mkdir()
    make_records(str(home / "source.db"))
    with _kvstore.open(str(home / "source.db"), "r") as db:
        db.dump(str(home / "source.dump"))
    make_records(str(home / "target.db"), {b"own": b"record"})
    monkeypatch.chdir(home)
    moved = []

    def progress(done, total):
        if not moved:
            moved.append(change)
            if change == "chdir":
                os.chdir(elsewhere)
            else:
                os.rename(home, tmp_path / "b")

    if operation == "dump":
        with _kvstore.open(str(home / "source.db"), "r") as db:
            db.dump("out.dump" if change == "chdir" else str(home / "out.dump"),
                    progress=progress)
    else:
        run_operation(operation, str(home / "target.db"), str(home / "source.dump"), progress)
    folder = home if change == "chdir" else tmp_path / "b"
    assert os.listdir(elsewhere) == []
    assert sorted(os.listdir(folder)) == sorted(
        ["source.db", "source.dump", "target.db"] + (["out.dump"] if operation == "dump" else []))
    if operation == "dump":
        make_records(str(tmp_path / "copy.db"), {})
        with _kvstore.open(str(tmp_path / "copy.db"), "w") as db:
            db.load(str(folder / "out.dump"))
        assert contents(str(tmp_path / "copy.db")) == RECORDS
    else:
        loaded = RECORDS if operation == "load" else {}
        assert contents(str(folder / "target.db")) == {**loaded, b"own": b"record"}


def test_a_journal_made_anew_is_swept_and_listed_like_the_others(tmp_path):
    """A roll-back that rebuilt the file makes the batch's journal anew beside
    the old one (NAME-journal.new-XXXXXXXX): what a killed one left is listed,
    then removed when the next is made; one a live process holds is left."""
    path = str(tmp_path / "db")
    make_records(path, {b"a": b"1"})
    dead = tmp_path / "db-journal.new-0123abcd"
    held = tmp_path / "db-journal.new-89abcdef"
    dead.write_bytes(b"left by a killed process")
    held.write_bytes(b"being written")
    with open(held, "rb") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        assert leftovers(path) == [(os.fsencode(dead), False), (os.fsencode(held), True)]
        with _kvstore.open(path, "w") as db:
            journal = _kvstore._Journal(path)
            journal.begin(db, {b"a": b"2", b"b": b"3"})
            journal.replace(12, 34)
        assert leftovers(path) == [(os.fsencode(held), True)]
    # The journal took its name whole, for the file it was made for.
    again = _kvstore._Journal(path)
    assert again.read() == (12, 34)
    assert again.before() == {b"a": b"1", b"b": None}
