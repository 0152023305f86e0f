"""Commits two batches, then dies (os._exit) before closing: the void
journal stays beside the file.

Run by package/test_batches.py."""

import os, sys, kvstore
db = kvstore.open(sys.argv[1], "c")
with db.batch():
    db[b"a"] = b"1"
with db.batch():
    db[b"b"] = b"2"
os._exit(7)
