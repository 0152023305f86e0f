"""A child of fork() runs compact() on the parent's writer: it must refuse,
and the parent's file stays as it was.

Run by files/test_compact.py."""

import json, os, sys, _kvstore
from support.forking import child_report, fork_with_pipe, report

db = _kvstore.open(sys.argv[1], "c")
db[b"a"] = b"1"
pid, pipe = fork_with_pipe()
if pid == 0:
    try:
        db.compact()
        report(pipe, "done")
    except _kvstore.error as caught:
        report(pipe, str(caught))
    os._exit(0)
outcome, _ = child_report(pid, pipe)
print(json.dumps([outcome, db[b"a"].decode()]))
