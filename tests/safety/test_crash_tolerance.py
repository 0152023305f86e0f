"""Crash tolerance: with failure_atomic() on, a writer killed at any point
leaves the database as of its last sync in the latest snapshot. It needs a
file system with reflink copies: the kill test runs on an XFS image on a
loop device in a private mount namespace, and is skipped (saying why) where
that cannot be had. Elsewhere failure_atomic() must refuse at once.

KVSTORE_CRASH_SEED picks other kill points; KVSTORE_TEST_SCALE the number of
trials (make crash-long runs many)."""

import errno
import fcntl
import os
import shutil
import subprocess
from pathlib import Path

import pytest

import _kvstore
from support.children import build_shim, preload_env, program_command, run_json
from support.scale import scaled

# Loop devices mounted, writers killed at chosen moments.
pytestmark = pytest.mark.serial

TRIALS = scaled(10, minimum=3)
SEED = int(os.environ.get("KVSTORE_CRASH_SEED", "20261210"))
FICLONE = 0x40049409


def reflinks_work(folder):
    source, copy = folder / "probe.source", folder / "probe.copy"
    source.write_bytes(b"x" * 4096)
    try:
        with open(source, "rb") as src, open(copy, "wb") as dst:
            fcntl.ioctl(dst.fileno(), FICLONE, src.fileno())
        return True
    except OSError:
        return False
    finally:
        source.unlink()
        copy.unlink(missing_ok=True)


@pytest.fixture(scope="module")
def xfs_image(tmp_path_factory):
    """An XFS image and a mount point; skips where none can be mounted."""
    if os.geteuid() != 0:
        pytest.skip("mounting a loop device needs root")
    for tool in ("unshare", "mkfs.xfs", "mount"):
        if shutil.which(tool) is None:
            pytest.skip(f"{tool} is missing (mkfs.xfs comes with xfsprogs)")
    folder = tmp_path_factory.mktemp("xfs")
    image, mountpoint = folder / "xfs.img", folder / "mnt"
    mountpoint.mkdir()
    with open(image, "wb") as f:
        f.truncate(320 << 20)
    made = subprocess.run(["mkfs.xfs", "-q", str(image)], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(f"mkfs.xfs failed: {made.stderr.strip()}")
    probe = subprocess.run(
        ["unshare", "--mount", "sh", "-c", 'mount -o loop "$0" "$1" && umount "$1"',
         str(image), str(mountpoint)], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"no loop device can be mounted here: {probe.stderr.strip()}")
    return image, mountpoint


def test_killed_writers_leave_every_synced_record_in_the_latest_snapshot(xfs_image):
    image, mountpoint = xfs_image
    result = subprocess.run(
        ["unshare", "--mount", *program_command("crash_tolerance_harness"), str(image), str(mountpoint),
         str(TRIALS), str(SEED)],
        capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stderr
    totals = __import__("json").loads(result.stdout.splitlines()[-1])
    assert totals["failures"] == []
    assert totals["synced"] > 0 and totals["read_back"] == totals["synced"]


@pytest.fixture
def snapshots(tmp_path):
    return str(tmp_path / "db.even"), str(tmp_path / "db.odd")


def test_without_reflinks_failure_atomic_refuses_at_once(tmp_path, snapshots):
    if reflinks_work(tmp_path):
        pytest.skip("this file system has reflink copies")
    with _kvstore.open(str(tmp_path / "db"), "n") as db:
        with pytest.raises(_kvstore.error, match="reflink copies") as caught:
            db.failure_atomic(*snapshots)
        assert caught.value.errno is not None
        assert sorted(os.listdir(tmp_path)) == ["db"]
        db[b"key"] = b"value"
        db.sync()
    with _kvstore.open(str(tmp_path / "db"), "r") as db:
        assert db[b"key"] == b"value"


def test_failure_atomic_leaves_an_existing_file_alone(tmp_path, snapshots):
    even, _ = snapshots
    Path(even).write_bytes(b"someone else's")
    with _kvstore.open(str(tmp_path / "db"), "n") as db:
        with pytest.raises(_kvstore.error) as caught:
            db.failure_atomic(*snapshots)
    assert caught.value.errno == errno.EEXIST
    assert Path(even).read_bytes() == b"someone else's"
    assert sorted(os.listdir(tmp_path)) == ["db", "db.even"]


def test_failure_atomic_removes_its_own_files_and_no_one_elses(tmp_path):
    shim = build_shim(tmp_path, "creation_shim")
    folder = tmp_path / "data"
    folder.mkdir()
    assert run_json("crash_tolerance_appearing", folder, env=preload_env(shim)) == errno.EEXIST
    assert sorted(os.listdir(folder)) == ["db", "db.odd"]
    assert (folder / "db.odd").read_bytes() == b"someone else's"


def test_failure_atomic_needs_a_writer_in_this_process(tmp_path, snapshots):
    _kvstore.open(str(tmp_path / "db"), "n").close()
    with _kvstore.open(str(tmp_path / "db"), "r") as db:
        with pytest.raises(_kvstore.error, match="Reader"):
            db.failure_atomic(*snapshots)
    assert sorted(os.listdir(tmp_path)) == ["db"]


def test_latest_snapshot_of_missing_files_raises(snapshots):
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.latest_snapshot(*snapshots)
    assert caught.value.errno == errno.ENOENT


def test_latest_snapshot_of_two_incomplete_snapshots_raises(snapshots):
    # The library marks a snapshot it is still writing unreadable.
    for name in snapshots:
        Path(name).write_bytes(b"")
        os.chmod(name, 0o200)
    with pytest.raises(_kvstore.error, match="neither snapshot"):
        _kvstore.latest_snapshot(*snapshots)


@pytest.mark.parametrize("call", [
    lambda: _kvstore.latest_snapshot("a"),
    lambda: _kvstore.latest_snapshot("a", "b", "c"),
    lambda: _kvstore.latest_snapshot("a", 1),
])
def test_latest_snapshot_takes_two_names(call):
    with pytest.raises(TypeError):
        call()
