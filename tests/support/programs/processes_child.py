"""The child stores `count` records (every third one deleted again), syncs,
says so, and waits to be told to go or to be killed.

Run by concurrency/test_processes.py."""

import sys
import _kvstore

path, flags, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
db = _kvstore.open(path, flags)
for i in range(count):
    db[b"key%d" % i] = b"%d:" % i * (i % 97 + 1)
for i in range(0, count, 3):
    del db[b"key%d" % i]
db.sync()
print("synced", flush=True)
sys.stdin.readline()
db.close()
