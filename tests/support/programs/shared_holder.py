"""A holder that the test kills while it holds what `how` says: the
writer's turn with a batch's changes in memory ("inside a batch"), a
reader's block ("inside a reading block"), or somewhere in a stream of
single changes, each a turn ("among single changes").

Run by package/test_shared.py."""

import sys
import time

import kvstore

path, how = sys.argv[1:3]
shared = kvstore.Shared(path, timeout=60)
if how == "inside a batch":
    with shared.batch() as db:
        db[b"a"] = b"changed"
        db[b"b"] = b"changed"
        print("holding", flush=True)
        time.sleep(600)
elif how == "inside a reading block":
    with shared.reading():
        print("holding", flush=True)
        time.sleep(600)
else:
    print("holding", flush=True)
    n = 0
    while True:
        n += 1
        shared[b"a"] = b"%d" % n
