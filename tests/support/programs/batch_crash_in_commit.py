"""Leaves what a process killed in the middle of a commit leaves: the
journal written whole, half of the changes in the file (flushed), then
dies (os._exit).

Run by package/test_batches.py."""

import os, sys, kvstore
path, records, changes = sys.argv[1], eval(sys.argv[2]), eval(sys.argv[3])
db = kvstore.open(path, "c")
db.update(records)
db.sync()
db._journal.begin(db.raw, changes, durable=True)
db.raw._apply(dict(list(changes.items())[: len(changes) // 2]))
db.sync()
os._exit(9)
