"""Stores the synced records, syncs, says so, then stores more records until
killed. New keys only: every synced record keeps its value.

Run by files/test_durability.py."""

import sys
import _kvstore

path, flags, synced = sys.argv[1], sys.argv[2], int(sys.argv[3])
def record(i):
    return b"key%d" % i, b"%d:" % i * (i % 97 + 1)
db = _kvstore.open(path, flags)
for i in range(synced):
    key, value = record(i)
    db[key] = value
db.sync()
print("synced", flush=True)
i = synced
while True:
    key, value = record(i)
    db[key] = value * 3
    i += 1
