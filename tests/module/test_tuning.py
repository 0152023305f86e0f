"""open()'s keyword-only settings of gdbm: what each accepts and refuses, that
they take effect where a test can see it, and that a file written under any
of them is the same gdbm file to a later opener and to gdbm's own tools."""

import os
import signal
import shutil
import struct
import subprocess

import pytest

import _kvstore
import kvstore
from support.children import program_command, run_json

# open() with gdbm's settings: the route kvstore.open() takes.
tuned_open = _kvstore._open_tuned

RECORDS = {b"k%05d" % i: b"v%d" % i * (1 + i % 50) for i in range(3000)}

SETTINGS = [
    {"mmap": False},
    {"mmap": True},
    {"cache_size": 0},
    {"cache_size": 7},
    {"block_size": 512},
    {"block_size": 65536},
    {"central_free": False},
    {"coalesce_blocks": True},
    {"central_free": True, "coalesce_blocks": True, "mmap": False, "cache_size": 1},
    {"mmap": None, "cache_size": None, "block_size": None, "central_free": None, "coalesce_blocks": None},
]


def churn(db):
    """Stores every record, deletes two thirds and stores some again: the
    deletes fill the free lists that central_free and coalesce_blocks run."""
    for key, value in RECORDS.items():
        db[key] = value
    kept = {}
    for i, (key, value) in enumerate(RECORDS.items()):
        if i % 3:
            del db[key]
        else:
            kept[key] = value
    for i, (key, value) in enumerate(RECORDS.items()):
        if i % 3 == 1:
            db[key] = value[::-1]
            kept[key] = value[::-1]
    return kept


def contents(path, **settings):
    with tuned_open(path, "r", **settings) as db:
        return {key: db[key] for key in db.keys()}


@pytest.mark.parametrize("settings", SETTINGS, ids=repr)
def test_a_file_written_under_any_setting_reads_back_everywhere(path, settings):
    with tuned_open(path, "n", **settings) as db:
        kept = churn(db)
        assert {key: db[key] for key in db.keys()} == kept
    assert contents(path) == kept
    assert contents(path, **settings) == kept
    tool = shutil.which("gdbm_dump")
    if tool is None:
        pytest.skip("gdbm_dump is missing: scripts/setup.sh installs it (Debian package gdbmtool)")
    dump = path + ".dump"
    subprocess.run([tool, "--format=binary", path, dump], check=True, capture_output=True, timeout=60)
    with _kvstore.open(path + ".copy", "n") as copy:
        copy.load(dump)
    assert contents(path + ".copy") == kept


def header_block_size(path):
    # A gdbm file starts with its magic number and then its block size, both
    # native ints.
    with open(path, "rb") as file:
        return struct.unpack("=ii", file.read(8))[1]


@pytest.mark.parametrize("size", [512, 8192, 65536])
def test_block_size_is_that_of_a_new_file_only(path, size):
    with tuned_open(path, "n", block_size=size) as db:
        db[b"key"] = b"value"
    assert header_block_size(path) == size
    with tuned_open(path, "w", block_size=size * 2) as db:
        db[b"other"] = b"value"
    assert header_block_size(path) == size


def mapped(path):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(os.path.realpath(path)) for line in maps)


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc/self/maps")
@pytest.mark.parametrize("flags", ["n", "r"])
def test_mmap_decides_whether_the_file_is_mapped(path, flags):
    _kvstore.open(path, "n").close()
    with tuned_open(path, flags, mmap=False) as db:
        assert not mapped(path)
        assert b"key" not in db
    with tuned_open(path, flags, mmap=True) as db:
        assert b"key" not in db
        assert mapped(path)


@pytest.mark.parametrize("settings, exception, message", [
    ({"mmap": 1}, TypeError, "open() argument 'mmap' must be True, False or None, not int"),
    ({"central_free": "yes"}, TypeError, "open() argument 'central_free' must be True, False or None, not str"),
    ({"coalesce_blocks": 0}, TypeError, "open() argument 'coalesce_blocks' must be True, False or None, not int"),
    ({"cache_size": 1.5}, TypeError, "open() argument 'cache_size' must be an int or None, not float"),
    ({"cache_size": True}, TypeError, "open() argument 'cache_size' must be an int or None, not bool"),
    ({"cache_size": -1}, ValueError, "open() argument 'cache_size' must be from 0 to"),
    ({"block_size": "4096"}, TypeError, "open() argument 'block_size' must be an int or None, not str"),
    ({"block_size": 256}, ValueError, "open() argument 'block_size' must be from 512 to 268435456, not 256"),
    # Larger blocks the library takes, then fails at the first store.
    ({"block_size": 2**29}, ValueError, "open() argument 'block_size' must be from 512 to 268435456, not 536870912"),
    ({"block_size": 2**40}, ValueError, "open() argument 'block_size' must be from 512 to 268435456, not"),
    ({"block_size": 6000}, ValueError, "open() argument 'block_size' must be a power of two, not 6000"),
    ({"mapping": True}, TypeError, "open() got an unexpected keyword argument 'mapping'"),
])
@pytest.mark.parametrize("opener", [tuned_open, kvstore.open], ids=["_kvstore", "kvstore"])
def test_refused_settings_create_nothing(path, opener, settings, exception, message):
    with pytest.raises(exception) as caught:
        opener(path, "c", **settings)
    assert str(caught.value).startswith(message)
    assert not os.path.exists(path)


def test_an_index_is_taken_as_a_size(path):
    class Size:
        def __index__(self):
            return 8192

    with tuned_open(path, "n", block_size=Size(), cache_size=Size()) as db:
        db[b"key"] = b"value"
    assert header_block_size(path) == 8192


def test_the_package_passes_the_settings_on(path):
    with kvstore.open(path, "n", block_size=8192, mmap=False, coalesce_blocks=True) as db:
        db[b"key"] = b"value"
        assert not mapped(path)
    assert header_block_size(path) == 8192
    with kvstore.Database(path, "r", mmap=True) as db:
        assert db[b"key"] == b"value"


@pytest.mark.parametrize("flags", ["", "s"])
def test_a_killed_writer_leaves_every_change_in_the_file(path, flags):
    child = subprocess.run([*program_command("tuning_killed_writer"), path, flags], timeout=120)
    assert child.returncode == -signal.SIGKILL
    assert contents(path) == {b"k%d" % i: b"v" * (i % 300) for i in range(1, 2000, 2)}


def grown_after_reuse(path, **settings):
    """The file's size after small records are deleted and larger ones stored:
    merged free blocks can hold the larger records, unmerged ones cannot."""
    with tuned_open(path, "n", **settings) as db:
        for i in range(400):
            db[b"k%03d" % i] = b"x" * 100
        for i in range(400):
            del db[b"k%03d" % i]
        for i in range(20):
            db[b"big%d" % i] = b"y" * 3000
    return os.path.getsize(path)


def test_freed_blocks_are_merged_only_when_asked(path):
    # Merging stays off by default: a store that fails for want of disk space
    # can then leave a file that needs recovery before it opens again.
    unmerged = grown_after_reuse(path)
    assert grown_after_reuse(path, coalesce_blocks=None) == unmerged
    assert grown_after_reuse(path, coalesce_blocks=False) == unmerged
    assert grown_after_reuse(path, coalesce_blocks=True) < unmerged


@pytest.mark.parametrize("size", [1, 2, 3, 4, 8, 16])
def test_rewrites_survive_a_small_cache(path, size):
    assert run_json("tuning_small_cache_rewrites", path, size) is True
