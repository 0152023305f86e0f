"""Writers killed at random points on a file system with reflink copies.

Run inside a private mount namespace (unshare --mount) as root:
    python -m support.programs.crash_tolerance_harness IMAGE MOUNTPOINT TRIALS SEED
mounts the XFS image IMAGE on MOUNTPOINT and, TRIALS times, starts a writer
that turns crash tolerance on and stores records in batches, syncing after
each batch and saying how many records were synced, kills it at a random
moment, puts the latest snapshot back in the database's place, and checks
that every synced record is there (and no record holds a wrong value).
Prints one JSON line: trials, records synced and read back, failures.
"""

import json
import os
import random
import subprocess
import sys
import time

import _kvstore
from support.children import program_command
from support.programs.crash_tolerance_writer import value


def trial(folder, chooser):
    path, even, odd = (os.path.join(folder, name) for name in ("db", "db.even", "db.odd"))
    for name in (path, even, odd):
        if os.path.exists(name):
            os.unlink(name)
    batch = chooser.choice([1, 7, 50, 400])
    writer = subprocess.Popen(program_command("crash_tolerance_writer", path, even, odd, batch),
                              stdout=subprocess.PIPE, text=True)
    # Killed once it has synced its first batch, however slow the machine
    # (a sanitizer, other work): at a random moment of the batches after it.
    first = writer.stdout.readline()
    time.sleep(chooser.uniform(0.05, 0.6))
    writer.kill()
    out, _ = writer.communicate(timeout=60)
    lines = (first + out).split()
    synced = int(lines[-1]) if lines else 0
    if not synced:
        return 0, 0, None
    latest = _kvstore.latest_snapshot(even, odd)
    os.replace(latest, path)
    with _kvstore.open(path, "r") as db:
        held = {key: db[key] for key in db.keys()}
    read_back = sum(held.get(b"key%d" % i) == value(i) for i in range(synced))
    wrong = [key for key, stored in held.items() if stored != value(int(key[3:]))]
    failure = None
    if read_back != synced or wrong:
        failure = f"batch {batch}: {read_back} of {synced} synced records, {len(wrong)} wrong"
    return synced, read_back, failure


def main():
    image, mountpoint, trials, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    subprocess.run(["mount", "-o", "loop", image, mountpoint], check=True)
    try:
        chooser = random.Random(seed)
        totals = {"trials": trials, "synced": 0, "read_back": 0, "failures": []}
        for _ in range(trials):
            synced, read_back, failure = trial(mountpoint, chooser)
            totals["synced"] += synced
            totals["read_back"] += read_back
            if failure:
                totals["failures"].append(failure)
    finally:
        subprocess.run(["umount", mountpoint], check=True)
    print(json.dumps(totals))


if __name__ == "__main__":
    main()
