"""Child process of the damaged-file tests: reads one file path per line on
stdin, opens and reads the whole database, and answers one JSON line per
file. A crash kills only this process; the parent sees which file did it.

Outcomes: "ok" (everything read), "error" (the module raised its `error`,
as it must for a file it cannot use) and "fail" (any other exception).
A firstkey/nextkey walk that comes back to a key it already gave is noted
as "endless walk": each call works, but a damaged directory can make the
library's traversal go round for ever, and the caller is the one walking.
"""

import json
import os
import resource
import sys

import _kvstore

# A damaged header can announce sizes the library then tries to allocate;
# keep such a file from taking the machine's memory. Sanitizers and valgrind
# reserve huge address ranges, so no limit under them.
if not os.environ.get("KVSTORE_MEMTOOL"):
    limit = 4 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


class Failure(Exception):
    pass


def call(outcome, func, *args):
    """Runs one read; `error` is noted and the read goes on with None."""
    try:
        return func(*args)
    except _kvstore.error:
        outcome["errors"] += 1
        return None


def read_everything(db, outcome):
    listed = call(outcome, db.keys) or []
    for key in listed:
        if type(key) is not bytes:
            raise Failure(f"keys() gave {type(key).__name__}")
        try:
            value = call(outcome, db.__getitem__, key)
        except KeyError:
            # The listing and the lookup follow different paths through a
            # damaged file: a key may be listed that a lookup cannot find.
            outcome["vanished"] += 1
            continue
        if value is not None and type(value) is not bytes:
            raise Failure(f"db[key] gave {type(value).__name__}")
        call(outcome, db.__contains__, key)
        call(outcome, db.get, key)
    call(outcome, len, db)
    call(outcome, bool, db)
    seen = set()
    key = call(outcome, db.firstkey)
    while key is not None:
        if key in seen:
            outcome["endless walk"] = 1
            break
        seen.add(key)
        key = call(outcome, db.nextkey, key)


def examine(path):
    outcome = {"errors": 0, "vanished": 0}
    try:
        try:
            db = _kvstore.open(path, "ru")
        except _kvstore.error:
            outcome["errors"] += 1
        else:
            with db:
                read_everything(db, outcome)
    except Failure as failure:
        return {"outcome": "fail", "detail": str(failure)}
    except Exception as exc:
        return {"outcome": "fail", "detail": f"{type(exc).__name__}: {exc}"}
    outcome["outcome"] = "error" if outcome["errors"] else "ok"
    return outcome


def main():
    for line in sys.stdin:
        result = examine(line.rstrip("\n"))
        sys.stdout.write(json.dumps(result) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
