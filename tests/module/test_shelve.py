"""shelve.Shelf on top of a _kvstore database: pickled values under str keys."""

import pickle
import shelve

import pytest

import _kvstore
from support import CLOSED

RECORDS = {
    "int": 42,
    "text": "naïve ✓",
    "nested": {"list": [1, 2.5, None], "tuple": (b"\x00\xff", frozenset({3}))},
    "clé": ["non-ASCII key"],
    "": "the empty key",
}


def shelf(path, flags, **options):
    return shelve.Shelf(_kvstore.open(path, flags), **options)


def test_objects_survive_close_and_reopen(path):
    with shelf(path, "c") as stored:
        stored.update(RECORDS)
        assert len(stored) == len(RECORDS)

    with shelf(path, "r") as reopened:
        assert sorted(reopened) == sorted(RECORDS)
        assert dict(reopened.items()) == RECORDS
        assert "clé" in reopened and "missing" not in reopened
        assert reopened.get("missing", "default") == "default"


def test_records_are_pickles_under_utf8_keys(path):
    with shelf(path, "c") as stored:
        stored.update(RECORDS)
    with _kvstore.open(path, "r") as db:
        assert sorted(db.keys()) == sorted(key.encode() for key in RECORDS)
        assert pickle.loads(db["clé".encode()]) == RECORDS["clé"]


def test_iteration_yields_every_key_once(path):
    keys = {f"key-{number}" for number in range(1000)}
    with shelf(path, "c") as stored:
        for key in keys:
            stored[key] = key
        walked = list(stored)
        assert len(walked) == len(keys) and set(walked) == keys
        assert all(stored[key] == key for key in walked)


def test_mutable_mapping_methods(path):
    with shelf(path, "c") as stored:
        stored.update(RECORDS)
        del stored["int"]
        assert "int" not in stored
        with pytest.raises(KeyError):
            del stored["int"]
        with pytest.raises(KeyError):
            stored["int"]
        assert stored.pop("text") == RECORDS["text"]
        assert stored.setdefault("new", [7]) == [7]
        stored.clear()
        assert len(stored) == 0 and list(stored) == []
    with shelf(path, "r") as reopened:
        assert len(reopened) == 0


def test_writeback_persists_in_place_changes(path):
    with shelf(path, "c", writeback=True) as stored:
        stored["list"] = [1]
        stored["list"].append(2)
    with shelf(path, "c") as reopened:
        assert reopened["list"] == [1, 2]
        reopened["list"].append(3)
    with shelf(path, "r") as without_writeback:
        assert without_writeback["list"] == [1, 2]


def test_closing_the_shelf_closes_the_database(path):
    db = _kvstore.open(path, "c")
    stored = shelve.Shelf(db)
    stored["key"] = "value"
    stored.close()
    with pytest.raises(_kvstore.error, match=CLOSED):
        db["key"]
    with pytest.raises(ValueError):
        stored["key"]
    with shelf(path, "r") as reopened:
        assert reopened["key"] == "value"


def test_read_only_shelf_refuses_stores(path):
    with shelf(path, "c") as stored:
        stored["key"] = "value"
    with shelf(path, "r") as reader:
        with pytest.raises(_kvstore.error):
            reader["key"] = "other"
        assert reader["key"] == "value"
