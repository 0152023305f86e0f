"""A million records loaded, in the dump's order (the source's hash order),
into a new file: gdbm 1.23 aborted in the first bucket read after the
rewrite made that handle's small cache larger, to give the library back
its own sizing.

Run by files/test_compact.py."""

import json, os, sys, _kvstore
folder = sys.argv[1]
with _kvstore.open(os.path.join(folder, "source.db"), "n") as db:
    for start in range(0, 1_000_000, 100_000):
        db._apply({b"key%07d" % i: b"value %d " % i * 4 for i in range(start, start + 100_000)})
    db.dump(os.path.join(folder, "all.dump"), "binary")
with _kvstore.open(os.path.join(folder, "target.db"), "n") as target:
    target.load(os.path.join(folder, "all.dump"))
    print(json.dumps([len(target), target[b"key0999999"].decode()]))
