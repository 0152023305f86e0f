"""A child program of test_shared.py.

Run by package/test_shared.py."""

import sys, kvstore
shared = kvstore.Shared(sys.argv[1], timeout=60)
tag = sys.argv[3].encode()
print("ready", flush=True)
sys.stdin.readline()
for i in range(int(sys.argv[2])):
    shared.incr(b"n")
    if i % 10 == 0:
        shared.transform(b"trail", lambda value: (value or b"") + tag)
print("[]")
