"""A failure inside gdbm is reported as `error`, never as a missing key, the
end of a traversal or an empty database."""

import pytest

import _kvstore
from support import file_layout, library_message, make_db
from support.paths import DAMAGED_CYCLE

RECORDS = {b"key%d" % i: b"value%d" % i for i in range(50)}
MANY_RECORDS = {b"key%d" % i: b"value%d" % i for i in range(1000)}


def write_records(path, records):
    make_db(path, records).close()


@pytest.fixture
def damaged(path):
    """A database file whose header and bucket directory are intact, so that
    it opens, but whose every other block is garbage, so that reading any
    bucket fails inside the library."""
    write_records(path, RECORDS)
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        block_size, _, dir_offset, dir_size, _ = file_layout(data)
        assert block_size > 0 and dir_offset >= block_size
        assert dir_offset + dir_size < len(data), "no bucket block to damage"
        for start in range(block_size, len(data), block_size):
            if not dir_offset <= start < dir_offset + dir_size:
                data[start:start + block_size] = b"\xff" * block_size
        f.seek(0)
        f.write(data)
    return path


@pytest.fixture
def partly_damaged(path):
    """A database of several buckets in which only the bucket that the
    traversal reaches last is garbage."""
    write_records(path, MANY_RECORDS)
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        _, bucket_size, _, _, directory = file_layout(data)
        buckets = list(dict.fromkeys(directory))
        assert len(buckets) > 1, "the records fit in one bucket"
        f.seek(buckets[-1])
        f.write(b"\xff" * bucket_size)
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
    assert str(info.value) == library_message("GDBM_BAD_BUCKET")


@pytest.mark.parametrize("operation", [
    pytest.param(lambda db: db.setdefault(b"key1", b"new"), id="setdefault-stored-key"),
    pytest.param(lambda db: db.setdefault(b"never-stored", b"new"), id="setdefault-missing-key"),
    pytest.param(lambda db: db.clear(), id="clear"),
])
def test_changes_report_the_library_failure(damaged, operation):
    with _kvstore.open(damaged, "w") as db:
        with pytest.raises(_kvstore.error) as info:
            operation(db)
    assert str(info.value) == library_message("GDBM_BAD_BUCKET")


def test_failed_truth_value_caches_no_count(damaged):
    with _kvstore.open(damaged, "r") as db:
        with pytest.raises(_kvstore.error):
            bool(db)
        # A cached 0 would answer here; the library must be asked again, and
        # it now refuses every call until the file is recovered.
        with pytest.raises(_kvstore.error, match=library_message("GDBM_NEED_RECOVERY")):
            len(db)
        with pytest.raises(_kvstore.error, match=library_message("GDBM_NEED_RECOVERY")):
            bool(db)


@pytest.mark.parametrize("flags", ["r", "w"])
def test_sync_reports_the_library_failure(damaged, flags):
    with _kvstore.open(damaged, flags) as db:
        assert db.sync() is None
        with pytest.raises(_kvstore.error):
            db.firstkey()
        with pytest.raises(_kvstore.error) as info:
            db.sync()
    assert str(info.value) == library_message("GDBM_NEED_RECOVERY")
    assert info.value.errno is None


def walk_until_failure(db):
    walked = []
    key = db.firstkey()
    with pytest.raises(_kvstore.error, match=library_message("GDBM_BAD_BUCKET")):
        while key is not None:
            walked.append(key)
            key = db.nextkey(key)
    return walked


def test_partly_damaged_file_fails_where_the_damage_is(partly_damaged):
    with _kvstore.open(partly_damaged, "r") as db:
        walked = walk_until_failure(db)
    assert 0 < len(walked) < len(MANY_RECORDS)
    unreached = next(key for key in MANY_RECORDS if key not in set(walked))
    with _kvstore.open(partly_damaged, "r") as db:
        assert db[walked[0]] == MANY_RECORDS[walked[0]]
        assert walked[0] in db
        assert db
        with pytest.raises(_kvstore.error, match=library_message("GDBM_BAD_BUCKET")):
            db[unreached]
    with _kvstore.open(partly_damaged, "r") as db:
        with pytest.raises(_kvstore.error, match=library_message("GDBM_BAD_BUCKET")):
            unreached in db
    with _kvstore.open(partly_damaged, "r") as db:
        # Not the part of the list read before the damage.
        with pytest.raises(_kvstore.error, match=library_message("GDBM_BAD_BUCKET")):
            db.keys()


def test_clear_of_a_partly_damaged_file_does_not_report_success(partly_damaged):
    with _kvstore.open(partly_damaged, "w") as db:
        with pytest.raises(_kvstore.error, match=library_message("GDBM_BAD_BUCKET")):
            db.clear()


def test_keys_of_a_file_whose_traversal_circles_raises(tmp_path):
    # A mutated bucket directory sends the library's traversal back to its
    # first key after 341 keys while the library counts 681 records.
    cycle = tmp_path / "cycle.db"
    cycle.write_bytes(DAMAGED_CYCLE.read_bytes())
    with _kvstore.open(str(cycle), "r") as db:
        walked = [db.firstkey()]
        while len(walked) <= len(db):
            walked.append(db.nextkey(walked[-1]))
        assert walked[-1] in walked[:-1]
        with pytest.raises(_kvstore.error, match="traversal does not end"):
            db.keys()
