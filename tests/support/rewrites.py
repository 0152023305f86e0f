"""The three operations that write a file beside their target (compact(),
load(), dump()), run the same way by the leftover tests and the children
they kill or pause."""

import _kvstore


def run_operation(operation, path, other, progress=None, lock=True):
    """Runs `operation` ("compact", "load", "dump-ascii" or "dump-binary")
    on the database `path`: a load reads the dump `other`, a dump writes
    `path` from the database `other`. Without `lock`, the file is opened
    with 'u', so that another process may rewrite it meanwhile."""
    unlocked = "" if lock else "u"
    if operation == "compact":
        with _kvstore.open(path, "w" + unlocked) as db:
            db.compact(progress=progress)
    elif operation == "load":
        with _kvstore.open(path, "w" + unlocked) as db:
            db.load(other, True, progress=progress)
    else:
        with _kvstore.open(other, "r" + unlocked) as db:
            db.dump(path, operation.split("-")[1], progress=progress)
