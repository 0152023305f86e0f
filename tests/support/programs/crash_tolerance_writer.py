"""A writer that turns crash tolerance on (snapshots `even` and `odd`) and
stores records in batches of `batch`, syncing after each batch and saying
how many records are synced, until it is killed.

Run by support/programs/crash_tolerance_harness.py, which reads back what
value() stored."""

import sys

import _kvstore


def value(i):
    """The value of the record key<i>."""
    return b"%d:" % i * (i % 89 + 1)


def main(path, even, odd, batch):
    db = _kvstore.open(path, "n")
    db.failure_atomic(even, odd)
    i = 0
    while True:
        for _ in range(batch):
            db[b"key%d" % i] = value(i)
            i += 1
        db.sync()
        print(i, flush=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]))
