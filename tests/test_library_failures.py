"""A failure inside gdbm is reported as `error`, never as a missing key, the
end of a traversal or an empty database."""

import struct

import pytest

import _kvstore

RECORDS = {b"key%d" % i: b"value%d" % i for i in range(50)}

# gdbm 1.23's answer when a bucket read back from the file fails validation.
BAD_BUCKET = "Malformed bucket header"


@pytest.fixture
def damaged(path):
    """A database file whose header and bucket directory are intact, so that
    it opens, but whose every other block is garbage, so that reading any
    bucket fails inside the library."""
    with _kvstore.open(path, "c") as db:
        for key, value in RECORDS.items():
            db[key] = value
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        # Header: magic (int), block size (int), directory offset (off_t),
        # directory size (int).
        block_size, dir_offset, dir_size = struct.unpack_from("<iqi", data, 4)
        assert block_size > 0 and dir_offset >= block_size
        assert dir_offset + dir_size < len(data), "no bucket block to damage"
        for start in range(block_size, len(data), block_size):
            if not dir_offset <= start < dir_offset + dir_size:
                data[start:start + block_size] = b"\xff" * block_size
        f.seek(0)
        f.write(data)
    return path


# Each operation meets the damage first, on a fresh handle.
FAILING_READS = [
    pytest.param(lambda db: db[b"key1"], id="subscription"),
    pytest.param(lambda db: db["key1"], id="subscription-str"),
    pytest.param(lambda db: db[b"never-stored"], id="subscription-missing-key"),
    pytest.param(lambda db: db.get(b"key1"), id="get"),
    pytest.param(lambda db: db.get(b"key1", object()), id="get-with-default"),
    pytest.param(lambda db: b"key1" in db, id="in"),
    pytest.param(lambda db: "never-stored" in db, id="in-str-missing-key"),
    pytest.param(bool, id="bool"),
    pytest.param(len, id="len"),
    pytest.param(lambda db: db.keys(), id="keys"),
    pytest.param(lambda db: db.firstkey(), id="firstkey"),
    pytest.param(lambda db: db.nextkey(b"key1"), id="nextkey"),
]


@pytest.mark.parametrize("flags", ["r", "w"])
@pytest.mark.parametrize("operation", FAILING_READS)
def test_reads_report_the_library_failure(damaged, flags, operation):
    with _kvstore.open(damaged, flags) as db:
        with pytest.raises(_kvstore.error) as info:
            operation(db)
    assert str(info.value) == BAD_BUCKET


@pytest.mark.parametrize("operation", [
    pytest.param(lambda db: db.setdefault(b"key1", b"new"), id="setdefault-stored-key"),
    pytest.param(lambda db: db.setdefault(b"never-stored", b"new"), id="setdefault-missing-key"),
    pytest.param(lambda db: db.clear(), id="clear"),
])
def test_changes_report_the_library_failure(damaged, operation):
    with _kvstore.open(damaged, "w") as db:
        with pytest.raises(_kvstore.error) as info:
            operation(db)
    assert str(info.value) == BAD_BUCKET


def test_failed_truth_value_caches_no_count(damaged):
    with _kvstore.open(damaged, "r") as db:
        with pytest.raises(_kvstore.error):
            bool(db)
        # A cached 0 would answer here; the library must be asked again, and
        # it now refuses every call until the file is recovered.
        with pytest.raises(_kvstore.error, match="needs recovery"):
            len(db)
        with pytest.raises(_kvstore.error, match="needs recovery"):
            bool(db)


@pytest.mark.parametrize("flags", ["r", "w"])
def test_sync_reports_the_library_failure(damaged, flags):
    with _kvstore.open(damaged, flags) as db:
        assert db.sync() is None
        with pytest.raises(_kvstore.error):
            db.firstkey()
        with pytest.raises(_kvstore.error) as info:
            db.sync()
    assert str(info.value) == "Database needs recovery"
    assert info.value.errno is None
