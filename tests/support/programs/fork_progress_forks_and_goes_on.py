"""fork() inside a long operation's progress callable: the child's copy of
the operation stops at once, with error, and lets go of nothing of the
parent's; the parent finishes, keeps its lock, and its next synced stores
reach the file under the database's name.

Run by concurrency/test_fork.py."""

import json, os, sys
import _kvstore
from support.forking import child_report, fork_with_pipe, refusal, report

path, operation = sys.argv[1], sys.argv[2]
db = _kvstore.open(path, "ws")
forked = []

def progress(done, total):
    if forked:
        return
    forked.append(fork_with_pipe())

try:
    if operation == "dump":
        db.dump(path + ".out", progress=progress)
    else:
        getattr(db, operation)(*([path + ".dump"] if operation == "load" else []), progress=progress)
    outcome = "returned"
except _kvstore.error as caught:
    outcome = str(caught)
pid, pipe = forked[0]
if pid == 0:
    report(pipe, outcome)
    os._exit(0)
child, status = child_report(pid, pipe)
second = refusal(path, "r")
for i in range(10):
    db[b"after%d" % i] = b"a"
db.close()
print(json.dumps({"parent": outcome, "child": child, "status": status, "second": second}))
