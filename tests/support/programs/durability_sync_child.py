"""Each change, made in a database opened with "s", under the flush shim:
with no failure requested, prints how many flushes each call made;
otherwise makes the next `failing` flushes fail with EIO before each
change (on a fresh file) and prints the errno each change raised with.

Run by files/test_durability.py."""

import ctypes, errno, json, os, sys
import _kvstore

folder, shim_path, failing = sys.argv[1], sys.argv[2], int(sys.argv[3])
shim = ctypes.CDLL(shim_path)
flushes = ctypes.c_long.in_dll(shim, "kvshim_flushes")
fail_next = ctypes.c_long.in_dll(shim, "kvshim_fail_next")
ctypes.c_int.in_dll(shim, "kvshim_fail_errno").value = errno.EIO

CHANGES = {
    "store-new": lambda db, i: db.__setitem__(b"new%d" % i, b"v"),
    "store-replace": lambda db, i: db.__setitem__(b"key%d" % i, b"replaced"),
    "store-large": lambda db, i: db.__setitem__(b"large%d" % i, b"x" * 100_000),
    "delete": lambda db, i: db.__delitem__(b"key%d" % i),
    "setdefault": lambda db, i: db.setdefault(b"fresh%d" % i, b"v"),
    "clear": lambda db, i: db.clear(),
    "reorganize": lambda db, i: db.reorganize(),
}
CALLS = 8

def fresh(name):
    db = _kvstore.open(os.path.join(folder, name + ".db"), "ns")
    for i in range(50):
        db[b"key%d" % i] = b"value%d" % i
    return db

result = {}
for name, change in CHANGES.items():
    with fresh(name) as db:
        if not failing:
            result[name] = []
            for i in range(CALLS):
                before = flushes.value
                change(db, i)
                result[name].append(flushes.value - before)
            continue
        fail_next.value = failing
        try:
            change(db, 0)
            result[name] = None
        except _kvstore.error as caught:
            result[name] = [caught.errno, caught.strerror]
        fail_next.value = 0
        try:
            db.close()
        except _kvstore.error:
            pass
print(json.dumps(result))
