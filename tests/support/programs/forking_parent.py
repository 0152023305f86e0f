"""The parent opens the file, changes it (the changes still in its cache),
forks, and once the child is done checks that its lock still keeps a
second writer out, goes on writing and closes. The child tries every kind
of read and of change, and lets go of the object as `ending` says:
close(), dropping the last reference, or leaving it to the interpreter's
exit.

Run by concurrency/test_fork.py."""

import json, sys
import _kvstore
from support.forking import child_report, fork_with_pipe, refusal, report

path, flags, ending = sys.argv[1], sys.argv[2], sys.argv[3]
READS = {
    "getitem": lambda db: db[b"key0"].decode(),
    "get": lambda db: db.get(b"key0").decode(),
    "contains": lambda db: b"key0" in db,
    "len": len,
    "bool": bool,
    "keys": lambda db: len(db.keys()),
    "walk": lambda db: db.nextkey(db.firstkey()) is not None,
    "dump": lambda db: db.dump(path + ".out"),
}
CHANGES = {
    "store": lambda db: db.__setitem__(b"child", b"c"),
    "delete": lambda db: db.__delitem__(b"key1"),
    "setdefault": lambda db: db.setdefault(b"child", b"c"),
    "clear": lambda db: db.clear(),
    "sync": lambda db: db.sync(),
    "reorganize": lambda db: db.reorganize(),
    "recover": lambda db: db.recover(force=True),
    "load": lambda db: db.load(path + ".dump"),
}

db = _kvstore.open(path, flags)
if flags != "r":
    for i in range(200):
        db[b"parent%d" % i] = b"p%d" % i
pid, pipe = fork_with_pipe()
if pid == 0:
    seen = {}
    for kind, calls in (("reads", READS), ("changes", CHANGES)):
        seen[kind] = {}
        for name, call in calls.items():
            try:
                seen[kind][name] = ["returned", call(db)]
            except Exception as caught:
                seen[kind][name] = [type(caught).__name__, str(caught)]
    report(pipe, json.dumps(seen))
    if ending == "close":
        db.close()
    elif ending == "free":
        del db
    sys.exit(0)
text, status = child_report(pid, pipe)
child = json.loads(text)
second = refusal(path, "w")
if flags != "r":
    for i in range(200, 400):
        db[b"parent%d" % i] = b"p%d" % i
db.close()
print(json.dumps({"child": child, "status": status, "second": second}))
