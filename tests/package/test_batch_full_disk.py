"""A batch's commit on a disk that fills up: a success only when the whole
batch is in the file, an error only when none of it is, and every record
stored before the batch readable at the next open.

The file-size limit (RLIMIT_FSIZE, in a child) stands for a full disk at
every size from the file's own to past what the batch needs; a small tmpfs
is a real one, where the test may mount it."""

import errno
import json
import os
import shutil
import subprocess

import pytest

import kvstore
from support.children import run_json

OLD = {b"old%05d" % i: b"o" * 20 for i in range(3000)}
SMALL = {b"old00001": b"changed", b"old00002": None, b"new": b"n"}
LARGE = {b"new%05d" % i: b"v" * 20 for i in range(3500)}

@pytest.fixture(scope="module")
def template(tmp_path_factory):
    path = tmp_path_factory.mktemp("template") / "full.db"
    with kvstore.open(path, "c") as db:
        db.update(OLD)
    return path


def as_text(changes):
    return {key.decode(): None if value is None else value.decode() for key, value in changes.items()}


def commit_under_limit(template, folder, limit, changes, *, durable=False, dump=None):
    path = folder / "full.db"
    shutil.copyfile(template, path)
    kind = "load" if dump else "batch"
    args = [path, limit, int(durable), kind, json.dumps(as_text(changes))]
    return path, run_json("batch_commit", *args, *([dump] if dump else []))


def check_all_or_nothing(path, result, changes):
    """The next open finds every record of before the batch, and the batch
    whole when the commit said so, else none of it."""
    after = dict(OLD)
    for key, value in changes.items():
        if value is None:
            after.pop(key, None)
        else:
            after[key] = value
    with kvstore.open(path, "w") as db:
        found = dict(db.items())
        assert len(db) == len(found)
    if result["raised"] is None:
        assert found == after
    else:
        assert result["raised"][0] in (errno.EFBIG, errno.ENOSPC), result
        assert "nothing was changed" in result["raised"][1], result
        assert found == OLD


@pytest.mark.parametrize("durable", [False, True], ids=["plain", "durable"])
@pytest.mark.parametrize("limit", [0, 4096, 65536, 204800, 1 << 20, 2 << 20, 8 << 20])
def test_a_large_batch_is_whole_or_absent_at_every_limit(template, tmp_path, limit, durable):
    path, result = commit_under_limit(template, tmp_path, limit, LARGE, durable=durable)
    check_all_or_nothing(path, result, LARGE)
    if limit >= 8 << 20:
        assert result["raised"] is None


@pytest.mark.parametrize("limit", [0, 4096, 1 << 20])
def test_a_small_batch_is_whole_or_absent_at_every_limit(template, tmp_path, limit):
    path, result = commit_under_limit(template, tmp_path, limit, SMALL)
    check_all_or_nothing(path, result, SMALL)
    if limit >= 1 << 20:
        assert result["raised"] is None


@pytest.mark.parametrize("limit", [0, 65536, 8 << 20])
def test_a_load_in_place_is_whole_or_absent_at_every_limit(template, tmp_path, limit):
    loaded = {b"new%05d" % i: b"d" * 20 for i in range(1500)}
    source = tmp_path / "source.db"
    with kvstore.open(source, "n") as db:
        db.update(loaded)
        db.dump(tmp_path / "small.dump")
    path, result = commit_under_limit(template, tmp_path, limit, loaded, dump=tmp_path / "small.dump")
    check_all_or_nothing(path, result, loaded)
    if limit >= 8 << 20:
        assert result["raised"] is None


@pytest.fixture
def small_disk(tmp_path):
    """An 8 MiB tmpfs, where this process may mount one."""
    mount = tmp_path / "disk"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(mount)],
                          capture_output=True)
    if made.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + made.stderr.decode().strip())
    try:
        space = os.statvfs(mount)
        if space.f_bavail * space.f_frsize < 4 << 20:
            pytest.skip(f"the tmpfs mounted here has {space.f_bavail * space.f_frsize} bytes free")
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=True)


@pytest.mark.serial
def test_a_batch_larger_than_the_free_space_of_a_full_disk_changes_nothing(template, small_disk):
    path = small_disk / "full.db"
    shutil.copyfile(template, path)
    filler = small_disk / "filler"
    # The disk filled to 64 KiB past the file, less than the batch may take.
    space = os.statvfs(small_disk)
    try:
        with open(filler, "wb") as out:
            os.posix_fallocate(out.fileno(), 0, space.f_bavail * space.f_frsize - 64 * 1024)
    except OSError as caught:
        # Seen once in make check-matrix, the machine loaded: the tmpfs
        # refused the file before it was filled. The batch is not reached.
        if caught.errno != errno.ENOSPC:
            raise
        pytest.skip(f"the tmpfs refused the filler before it was filled: {caught}")
    with kvstore.open(path, "w") as db:
        with pytest.raises(kvstore.error, match="nothing was changed") as raised:
            with db.batch(durable=True):
                db.update(LARGE)
        assert raised.value.errno == errno.ENOSPC
        assert dict(db.items()) == OLD
        # Room made, the same batch goes through whole.
        os.unlink(filler)
        with db.batch(durable=True):
            db.update(LARGE)
    with kvstore.open(path) as db:
        assert dict(db.items()) == {**OLD, **LARGE}
