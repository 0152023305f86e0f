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
