"""A child program of test_shared.py.

Run by package/test_shared.py."""

import sys, kvstore
db = kvstore.open(sys.argv[1], "w")
print("holding", flush=True)
sys.stdin.readline()
db.close()
