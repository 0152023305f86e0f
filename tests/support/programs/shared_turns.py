"""Each write turn in a child under tests/call_log_shim.c, which logs the
calls that lock, write, flush or close a file, and copies the database
file at the moment its exclusive lock is let go.

Run by package/test_shared.py."""

import ctypes, json, os, sys, kvstore
mark = ctypes.CDLL(None).kvshim_mark
path, strict = sys.argv[1], sys.argv[2] == "strict"
shared = kvstore.Shared(path, flush_in_turn=strict)
shared.update({b"k%d" % i: b"v" * 100 for i in range(50)})
copy = path + ".at-unlock"
unchanged = {}

def batch():
    with shared.batch() as db:
        db[b"b1"] = b"1"
        del db[b"k1"]

turns = {
    "store": lambda: shared.__setitem__(b"k0", b"w" * 3000),
    "new key": lambda: shared.__setitem__(b"new", b"n"),
    "delete": lambda: shared.__delitem__(b"k2"),
    "pop": lambda: shared.pop(b"k3"),
    "popitem": shared.popitem,
    "incr": lambda: shared.incr(b"count"),
    "transform": lambda: shared.transform(b"k4", lambda value: value * 2),
    "update": lambda: shared.update({b"u%d" % i: b"u" for i in range(30)}),
    "batch": batch,
    "clear": shared.clear,
}
for name, turn in turns.items():
    if os.path.exists(copy):
        os.unlink(copy)
    mark(name.encode())
    turn()
    with open(copy, "rb") as then, open(path, "rb") as now:
        unchanged[name] = then.read() == now.read()
mark(b"end")
status = os.stat(path)
print(json.dumps({"unchanged": unchanged, "database": f"{status.st_dev}:{status.st_ino}",
                  "lock": "%d:%d" % (os.stat(path + "-lock").st_dev, os.stat(path + "-lock").st_ino)}))
