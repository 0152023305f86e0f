"""Damaged files: empty, text, random bytes, truncated databases and seeded
random mutations of valid ones. Opening and reading each must work or raise
`error`; the interpreter must never crash or hang.

Each file is read in a worker child (tests/support/programs/damage_worker.py) that
takes file after file, so a crash costs one restart, not one process per
file. KVSTORE_DAMAGE_SEED picks other mutations; KVSTORE_TEST_SCALE sets
how many; KVSTORE_CRASH_DIR keeps every file that crashed or hung a worker.
"""

import json
import os
import random
import select
import shutil
import subprocess
from collections import Counter
from pathlib import Path

import pytest

import _kvstore
from support.scale import CHILD_PREFIX, MEMTOOL, scaled
from support import record_stats
from support.children import program_command
from support.paths import DATA

SEED = int(os.environ.get("KVSTORE_DAMAGE_SEED", "20261210"))
MUTATIONS = scaled(20000, minimum=100)
# Seconds one file may take before the worker counts as hung.
TIMEOUT = 180 if MEMTOOL else 30
# Files that once made a read misbehave, kept so that they stay fixed.
KEPT = sorted(DATA.glob("damaged-*.db"))


class Worker:
    """Hands files to a child, one at a time, and starts a new child after
    one died."""

    def __init__(self):
        self.process = None
        self.started = 0

    def start(self):
        self.process = subprocess.Popen(
            [*CHILD_PREFIX, *program_command("damage_worker")],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.started += 1

    def died(self):
        code = self.process.wait()
        self.process = None
        return {"outcome": "crash", "detail": f"worker exit status {code}"}

    def examine(self, path):
        if self.process is None:
            self.start()
        try:
            self.process.stdin.write(f"{path}\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            return self.died()
        ready, _, _ = select.select([self.process.stdout], [], [], TIMEOUT)
        if not ready:
            self.process.kill()
            self.process.wait()
            self.process = None
            return {"outcome": "hang", "detail": f"no answer within {TIMEOUT} s"}
        line = self.process.stdout.readline()
        if not line:
            return self.died()
        return json.loads(line)

    def stop(self):
        """The exit status of the last child; a crash at exit counts too."""
        if self.process is None:
            return 0
        self.process.stdin.close()
        code = self.process.wait(TIMEOUT)
        self.process.stdout.close()
        self.process = None
        return code


class Campaign:
    """Runs cases through a worker and keeps the tally and the bad files."""

    def __init__(self, tmp_path):
        self.folder = tmp_path
        self.worker = Worker()
        self.tally = Counter()
        self.bad = []
        self.crash_dir = Path(os.environ.get("KVSTORE_CRASH_DIR", tmp_path / "crashes"))

    def run(self, name, data):
        path = self.folder / "case.db"
        path.write_bytes(data)
        result = self.worker.examine(str(path))
        self.tally[result["outcome"]] += 1
        self.tally["vanished keys"] += result.get("vanished", 0)
        self.tally["endless walks"] += result.get("endless walk", 0)
        if result["outcome"] in ("fail", "crash", "hang"):
            self.crash_dir.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, self.crash_dir / f"{name}.db")
            self.bad.append(f"{name}: {result['outcome']}: {result.get('detail')}")
        return result["outcome"]

    def finish(self, label):
        code = self.worker.stop()
        if code != 0:
            self.tally["crash"] += 1
            self.bad.append(f"worker exit status {code} after the last file")
        record_stats(label, self.worker.started, json.dumps(dict(self.tally)))
        assert self.bad == [], f"{len(self.bad)} bad files (kept in {self.crash_dir}): {self.bad[:20]}"


def valid_database(path, records, deleted_every, seed):
    rnd = random.Random(seed)
    with _kvstore.open(str(path), "n") as db:
        for i in range(records):
            db[b"key%d" % i] = rnd.randbytes(rnd.randrange(0, 300))
        for i in range(0, records, deleted_every):
            del db[b"key%d" % i]
    return path.read_bytes()


@pytest.fixture(scope="module")
def bases(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bases")
    return {
        "small": valid_database(folder / "small.db", 12, 5, 1),
        "medium": valid_database(folder / "medium.db", 600, 4, 2),
    }


INTERESTING_WORDS = [0, 1, 2, 0x7F, 0x80, 0xFF, 0x1000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]


def mutate(data, rnd):
    data = bytearray(data)
    for _ in range(rnd.choice([1, 1, 1, 2, 2, 3, 4, 8, 16])):
        where = rnd.random()
        # Most of the file is record bytes; aim half the changes at the
        # header and the first block, where the library keeps its structure.
        if where < 0.25:
            offset = rnd.randrange(min(len(data), 128))
        elif where < 0.5:
            offset = rnd.randrange(min(len(data), 4096))
        else:
            offset = rnd.randrange(len(data))
        kind = rnd.randrange(4)
        if kind == 0:
            data[offset] ^= 1 << rnd.randrange(8)
        elif kind == 1:
            data[offset] = rnd.randrange(256)
        elif kind == 2:
            offset -= offset % 4
            size = rnd.choice([4, 8])
            word = rnd.choice(INTERESTING_WORDS + [len(data), len(data) - 1, len(data) + 4096])
            data[offset:offset + size] = (word % (1 << (8 * size))).to_bytes(size, "little")
        else:
            data[offset:offset + rnd.randrange(1, 64)] = rnd.randbytes(rnd.randrange(1, 64))
    if rnd.random() < 0.1:
        del data[rnd.randrange(1, len(data)):]
    return bytes(data)


def test_pristine_files_read_fully(tmp_path, bases):
    campaign = Campaign(tmp_path)
    for name, data in bases.items():
        assert campaign.run(name, data) == "ok"
    campaign.finish("damaged-pristine")


def test_files_that_are_no_database_raise_error(tmp_path, bases):
    rnd = random.Random(SEED)
    campaign = Campaign(tmp_path)
    cases = {
        "empty": b"",
        "text": b"This is not a database.\n" * 400,
        "one-byte": b"\0",
        "magic-only": bases["small"][:4],
        "header-zeroed": bases["small"][:4] + bytes(len(bases["small"]) - 4),
    }
    for size in (1, 16, 512, 4096, 65536):
        cases[f"random-{size}"] = rnd.randbytes(size)
    for name, data in cases.items():
        assert campaign.run(name, data) == "error", name
    campaign.finish("damaged-not-database")


def test_truncated_databases_read_or_raise_error(tmp_path, bases):
    campaign = Campaign(tmp_path)
    for base_name, data in bases.items():
        cuts = {1, 3, 4, 8, 31, 32, 64, 128, 511, 512, 4095, 4096, 4097}
        cuts |= set(range(0, len(data), 1024)) | {len(data) - 1, len(data) - 4096}
        for cut in sorted(c for c in cuts if 0 <= c < len(data)):
            campaign.run(f"{base_name}-cut{cut}", data[:cut])
    campaign.finish("damaged-truncated")


def test_random_mutations_read_or_raise_error(tmp_path, bases):
    campaign = Campaign(tmp_path)
    names = sorted(bases)
    for number in range(MUTATIONS):
        rnd = random.Random(f"{SEED}-{number}")
        base = names[number % len(names)]
        campaign.run(f"{base}-seed{SEED}-{number}", mutate(bases[base], rnd))
    campaign.finish("damaged-mutations")


@pytest.mark.parametrize("kept", KEPT, ids=[path.stem for path in KEPT])
def test_kept_damaged_files_read_or_raise_error(tmp_path, kept):
    # damaged-traversal-cycle.db: a mutated directory sends the library's
    # traversal back to its first key after 341 keys, so a walk never ends.
    campaign = Campaign(tmp_path)
    assert campaign.run(kept.stem, kept.read_bytes()) in ("ok", "error")
    campaign.finish("damaged-kept")
