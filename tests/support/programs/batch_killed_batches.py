"""Batch n stores every key as n (and "count" too), holds "odd" only when n
is odd, starts some batches with clear(), and abandons others with an
exception after part of their changes: any state but a whole batch's
shows.

Run by package/test_batches.py."""

import sys, kvstore
path, durable, keys = sys.argv[1], sys.argv[2] == "1", int(sys.argv[3])
PAD = b"." * 200
db = kvstore.open(path, "c", timeout=30)
n = int(db.get(b"count", b"0"))
print("ready", flush=True)
attempt = 0
told = False
while True:
    n += 1
    attempt += 1
    try:
        with db.batch(durable=durable):
            if n % 5 == 0:
                db.clear()
            for i in range(keys):
                db[b"k%d" % i] = b"%d" % n + PAD
                if attempt % 7 == 3 and i == keys // 2:
                    raise ValueError
            db[b"count"] = b"%d" % n
            if n % 2:
                db[b"odd"] = b"1"
            else:
                db.pop(b"odd", None)
    except ValueError:
        n -= 1
    else:
        if not told:
            print("committed", flush=True)
            told = True
