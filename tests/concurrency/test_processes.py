"""Two processes on one file: the library's lock keeps a second writer out
unless it opts out with 'u', and a writer killed right after `sync` leaves
every synced record readable."""

import signal
import subprocess

import pytest

import _kvstore
from support.children import program_command

def expected_records(count):
    return {b"key%d" % i: b"%d:" % i * (i % 97 + 1) for i in range(count) if i % 3}


class Child:
    def __init__(self, path, flags, count):
        self.process = subprocess.Popen(
            [*program_command("processes_child"), path, flags, str(count)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        line = self.process.stdout.readline()
        assert line == "synced\n", f"child failed before syncing (exit {self.process.poll()})"

    def finish(self):
        self.process.communicate("go\n", timeout=120)
        assert self.process.returncode == 0

    def kill(self):
        self.process.kill()
        self.process.communicate(timeout=120)
        assert self.process.returncode == -signal.SIGKILL


def read_all(path, flags="r"):
    with _kvstore.open(path, flags) as db:
        return {key: db[key] for key in db.keys()}


@pytest.mark.parametrize("held_with", ["c", "w"])
def test_second_writer_is_locked_out_unless_it_skips_the_lock(tmp_path, held_with):
    path = str(tmp_path / "locked.db")
    _kvstore.open(path, "c").close()
    child = Child(path, held_with, 50)
    try:
        for flags in ("w", "c", "wf", "ws", "r"):
            with pytest.raises(_kvstore.error) as caught:
                _kvstore.open(path, flags)
            assert caught.value.errno is not None and caught.value.filename == path
        # 'u' skips the lock: the synced records are there to read.
        assert read_all(path, "ru") == expected_records(50)
        with _kvstore.open(path, "wu") as unlocked:
            assert unlocked[b"key1"] == expected_records(50)[b"key1"]
    finally:
        child.finish()
    # The lock goes with the writer, and nothing it wrote was lost.
    with _kvstore.open(path, "w") as db:
        db[b"after"] = b"ok"
    assert read_all(path) == {**expected_records(50), b"after": b"ok"}


@pytest.mark.parametrize("flags", ["c", "cf", "cs", "cu"])
@pytest.mark.parametrize("count", [1, 300, 4000])
def test_writer_killed_after_sync_leaves_synced_records(tmp_path, flags, count):
    path = str(tmp_path / "killed.db")
    Child(path, flags, count).kill()
    assert read_all(path) == expected_records(count)
    # The killed writer's lock is gone: the file takes a new writer at once.
    with _kvstore.open(path, "w") as db:
        assert len(db) == len(expected_records(count))
