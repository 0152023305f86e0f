"""As two users in turn (forked children of root): the first commits a batch
and is killed between commits, leaving its void journal; the second may
read and write the database and must not be locked out by it.

Run by package/test_files_beside.py."""

import json, os, sys, kvstore
from support.forking import child_report, fork_with_pipe, report

path, first, second = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
child = os.fork()
if child == 0:
    os.setgid(first)
    os.setuid(first)
    db = kvstore.open(path, "w")
    with db.batch():
        db[b"a"] = b"first"
    os._exit(0)
os.waitpid(child, 0)
journal = os.lstat(path + "-journal")
child, pipe = fork_with_pipe()
if child == 0:
    os.setgid(second)
    os.setuid(second)
    seen = {}
    for name, use in [
        ("open r", lambda: kvstore.open(path, "r")[b"a"]),
        ("Shared read", lambda: kvstore.Shared(path, "r", timeout=2)[b"a"]),
        ("open w", lambda: kvstore.open(path, "w")[b"a"]),
    ]:
        try:
            seen[name] = use().decode()
        except OSError as caught:
            seen[name] = f"{type(caught).__name__}: {caught}"
    report(pipe, json.dumps(seen))
    os._exit(0)
seen = json.loads(child_report(child, pipe)[0])
seen["journal owner"] = journal.st_uid
print(json.dumps(seen))
