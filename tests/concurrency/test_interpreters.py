"""One file, several interpreters with a GIL of their own: readers share it
at the same time, a writer keeps the others out as between processes, and the
example that spreads reads over interpreters runs."""

import errno
import importlib.util
import os
import select
import subprocess
import sys
import threading

import pytest

import _kvstore
from support.scale import scaled
from support.paths import ROOT

EXAMPLE = ROOT / "examples" / "parallel_reads.py"


# The example's run_in_new_interpreter: whichever interpreters API this Python has.
_spec = importlib.util.spec_from_file_location("parallel_reads", EXAMPLE)
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)
run_in_new_interpreter = example.run_in_new_interpreter


def make_file(path, records):
    with _kvstore.open(path, "n") as db:
        for i in range(records):
            db[b"k%d" % i] = b"v%d:" % i * (i % 7 + 1)


class Running:
    """`code` in `count` new interpreters at once, each on a thread of its own.

    The code finds the file descriptors `ready` (write a byte there once set
    up), `go` (read a byte there before going on) and `report` (write one line
    there) among its globals, beside `names`.
    """

    TIMEOUT = 300  # seconds: under valgrind everything runs tens of times slower

    def __init__(self, code, count, **names):
        self.count = count
        self.errors = []
        self.ready_in, ready = os.pipe()
        go, self.go_out = os.pipe()
        self.report_in, report = os.pipe()
        self.fds = [self.ready_in, ready, go, self.go_out, self.report_in, report]
        names.update(ready=ready, go=go, report=report)
        self.threads = [threading.Thread(target=self._run, args=(code, names))
                        for _ in range(count)]
        for thread in self.threads:
            thread.start()

    def _run(self, code, names):
        try:
            run_in_new_interpreter(code, **names)
        except RuntimeError as failure:
            self.errors.append(failure)

    def wait_ready(self):
        """Return once every interpreter has written to `ready`."""
        seen = 0
        while seen < self.count:
            readable, _, _ = select.select([self.ready_in], [], [], self.TIMEOUT)
            assert readable and not self.errors, f"{seen} of {self.count} ready: {self.errors}"
            seen += len(os.read(self.ready_in, self.count - seen))

    def finish(self):
        """Let the interpreters go on; return their reports once all have ended."""
        self.close()
        assert not self.errors, "\n".join(map(str, self.errors))
        return self.reports

    def close(self):
        if self.go_out < 0:
            return
        os.write(self.go_out, b"." * self.count)
        for thread in self.threads:
            thread.join(self.TIMEOUT)
        assert not any(thread.is_alive() for thread in self.threads), "an interpreter hangs"
        readable, _, _ = select.select([self.report_in], [], [], 0)
        self.reports = os.read(self.report_in, 1 << 16).decode().splitlines() if readable else []
        for fd in self.fds:
            os.close(fd)
        self.go_out = -1


@pytest.fixture
def start():
    """Starts a Running; whatever the test does, the interpreters are let go and joined."""
    started = []

    def run(code, count, **names):
        started.append(Running(code, count, **names))
        return started[-1]

    yield run
    for running in started:
        running.close()


# Every reader opens the file, waits until all of them have it open, then
# walks it and checks every record.
READER = """
import os
import _kvstore

with _kvstore.open(path, "r") as db:
    os.write(ready, b".")
    os.read(go, 1)
    seen = {}
    key = db.firstkey()
    while key is not None:
        seen[key] = db[key]
        key = db.nextkey(key)
expected = {b"k%d" % i: b"v%d:" % i * (i % 7 + 1) for i in range(records)}
if seen != expected:
    raise AssertionError(f"{len(seen)} records read; {len(seen.items() ^ expected.items())} differ")
os.write(report, b"%d\\n" % len(seen))
"""


def test_two_interpreters_read_one_file_at_the_same_time(start, path):
    records = scaled(3000, minimum=100)
    make_file(path, records)
    running = start(READER, 2, path=path, records=records)
    running.wait_ready()
    # Every reader holds the file open now: a writer is kept out, here too.
    with pytest.raises(_kvstore.error) as caught:
        _kvstore.open(path, "w")
    assert caught.value.errno == errno.EAGAIN
    assert running.finish() == [str(records)] * 2


# Tries to open the file while the other interpreter writes to it, and reports
# what was raised; then reads it without the lock.
LOCKED_OUT = """
import os
import _kvstore

for flags in ("r", "w", "c"):
    try:
        _kvstore.open(path, flags).close()
    except _kvstore.error as refused:
        if type(refused) is not _kvstore.error or not isinstance(refused, OSError):
            raise AssertionError(f"{type(refused)} is not this interpreter's error")
        os.write(report, b"%s %d %s\\n" % (flags.encode(), refused.errno, refused.filename.encode()))
with _kvstore.open(path, "ru") as db:
    os.write(report, b"unlocked %s\\n" % db[b"k1"])
"""

# Holds the file open for writing until told to go.
WRITER = """
import os
import _kvstore

with _kvstore.open(path, "w") as db:
    db[b"written"] = b"by the other interpreter"
    db.sync()
    os.write(ready, b".")
    os.read(go, 1)
"""


def refusals(path):
    return [f"{flags} {errno.EAGAIN} {path}" for flags in "rwc"]


def test_writer_here_keeps_reader_in_other_interpreter_out(path):
    make_file(path, 3)
    with _kvstore.open(path, "w") as db:
        db[b"k1"] = b"stored by the writer"
        db.sync()
        lines = []
        read_out, report = os.pipe()
        try:
            run_in_new_interpreter(LOCKED_OUT, path=path, report=report)
            lines = os.read(read_out, 1 << 16).decode().splitlines()
        finally:
            os.close(read_out)
            os.close(report)
    assert lines == refusals(path) + ["unlocked stored by the writer"]
    with _kvstore.open(path, "w") as db:  # the lock went with the writer
        assert db[b"k1"] == b"stored by the writer"


def test_writer_in_other_interpreter_keeps_this_one_out(start, path):
    make_file(path, 3)
    running = start(WRITER, 1, path=path)
    running.wait_ready()
    for flags in "rwc":
        with pytest.raises(_kvstore.error) as caught:
            _kvstore.open(path, flags)
        assert type(caught.value) is _kvstore.error
        assert (caught.value.errno, caught.value.filename) == (errno.EAGAIN, path)
    with _kvstore.open(path, "ru") as db:
        assert db[b"written"] == b"by the other interpreter"
    assert running.finish() == []
    with _kvstore.open(path, "w") as db:
        assert db[b"written"] == b"by the other interpreter"


def test_example_spreads_reads_over_interpreters():
    result = subprocess.run([sys.executable, str(EXAMPLE), "3000", "3"], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert f"a reader in another one gets: _kvstore.error: [Errno {errno.EAGAIN}]" in out
    for line in ("1 interpreter : 3,000 records (3,000) in",
                 "2 interpreters: 3,000 records (1,500 + 1,500) in",
                 "3 interpreters: 3,000 records (1,000 + 1,000 + 1,000) in"):
        assert line in out
