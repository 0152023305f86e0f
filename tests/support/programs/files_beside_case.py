"""One case of the hostile-folder tests: plants `kind` at the database's name
with `suffix` (during the open, for a commit) and runs `operation`;
prints what it saw as JSON.

Run by package/test_files_beside.py."""

import json, sys, time, kvstore
from support.hostile import plant

path, suffix, kind, operation, victim, nowhere = sys.argv[1:7]
timeout = float(sys.argv[7])
name = path + suffix
started = time.monotonic()
result = {}
try:
    if operation == "commit":
        with kvstore.open(path, "w") as db:
            plant(kind, name, victim, nowhere)
            with db.batch():
                db[b"a"] = b"changed"
                db[b"new"] = b"3"
    else:
        plant(kind, name, victim, nowhere)
        if operation == "open w":
            with kvstore.open(path, "w") as db:
                db[b"w"] = b"4"
        elif operation == "open r":
            with kvstore.open(path, "r") as db:
                result["read"] = db[b"a"].decode()
        elif operation == "Shared read":
            result["read"] = kvstore.Shared(path, "r", timeout=timeout)[b"a"].decode()
        else:
            kvstore.Shared(path, "w", timeout=timeout)[b"s"] = b"5"
    result["outcome"] = "done"
except kvstore.error as caught:
    result.update(outcome="error", errno=caught.errno, filename=caught.filename, text=str(caught))
result["seconds"] = time.monotonic() - started
print(json.dumps(result))
