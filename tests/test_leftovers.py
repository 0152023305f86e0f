"""A call that fails leaves behind no file that it created, and removes no
file that was there before it."""

import os

import pytest

import _kvstore
import kvstore


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
