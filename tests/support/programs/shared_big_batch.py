"""A batch big enough that its commit takes a while: killed as soon as its
journal is there, in the middle of the commit.

Run by package/test_shared.py."""

import sys, kvstore
shared = kvstore.Shared(sys.argv[1], timeout=60)
print("ready", flush=True)
with shared.batch() as db:
    for i in range(int(sys.argv[2])):
        db[b"k%d" % i] = b"new"
print("committed", flush=True)
