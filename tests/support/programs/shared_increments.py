"""A child program of test_shared.py.

Run by package/test_shared.py."""

import sys, kvstore
shared = kvstore.Shared(sys.argv[1], timeout=60)
print("ready", flush=True)
sys.stdin.readline()
for _ in range(int(sys.argv[2])):
    with shared.batch() as db:
        db[b"n"] = b"%d" % (int(db.get(b"n", b"0")) + 1)
    shared.setdefault(b"seen-%d" % (int(shared[b"n"]) % 7), b"x")
print("[]")
