"""A writer stores every key as one number in each batch; readers check that
what they see, in reading() blocks, snapshots and single reads of one key
against a count kept beside it, is always one whole batch.

Run by package/test_shared.py."""

import sys, time, kvstore
shared = kvstore.Shared(sys.argv[1], timeout=60)
end = time.monotonic() + float(sys.argv[2])
n = 0
while time.monotonic() < end:
    n += 1
    with shared.batch() as db:
        for i in range(20):
            db[b"k%d" % i] = b"%d" % n
print(n)
