"""Stores, deletions and rewrites in turn on a handle with a small cache:
resizing such a cache while the handle is in use aborts inside the
library, so a rewrite leaves a chosen size alone.

Run by module/test_tuning.py."""

import json, random, sys
import _kvstore
path, size = sys.argv[1], int(sys.argv[2])
chosen = random.Random(size)
model = {}
with _kvstore._open_tuned(path, "n", cache_size=size) as db:
    for round in range(8):
        for _ in range(chosen.randrange(1, 3000)):
            key = b"k%d" % chosen.randrange(5000)
            model[key] = db[key] = chosen.randbytes(chosen.randrange(1, 300))
        for key in list(model)[: chosen.randrange(len(model) + 1)]:
            del db[key], model[key]
        if round % 2:
            db.compact()
        else:
            db.dump(path + ".dump")
            db.load(path + ".dump", True)
    print(json.dumps(len(db) == len(model) and all(db[key] == value for key, value in model.items())))
