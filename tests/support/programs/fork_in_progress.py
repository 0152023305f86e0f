"""A parent whose progress callable forks once, at its first call, during
compact(), load() or dump(). The child makes the operation unwind
(progress raises there) and leaves as `ending` says: os._exit() once the
exception is out, or sys.exit() raised inside progress, which unwinds and
then runs the interpreter's exit. The parent waits for the child, notes
its new file and whether another process still finds it locked, then lets
the operation go on; it must end well and leave a whole file.

Run by concurrency/test_fork.py."""

import json, os, subprocess, sys
import _kvstore

path, operation, fmt, ending = sys.argv[1:5]
folder = os.path.dirname(path)
parent = os.getpid()
seen = {}


class ChildUnwinds(Exception):
    pass


def made_files():
    return sorted(name for name in os.listdir(folder)
                  if ".compact." in name or ".unfinished-" in name)


def progress(done, total):
    if os.getpid() != parent:
        raise ChildUnwinds  # a later call in the child: unwind as well
    if seen:
        return
    seen["before"] = made_files()
    pid = os.fork()
    if pid == 0:
        if ending == "sys.exit":
            sys.exit(0)
        raise ChildUnwinds
    seen["status"] = os.waitpid(pid, 0)[1]
    seen["after"] = made_files()
    seen["locked"] = [
        subprocess.run([sys.executable, "-m", "support.programs.flock_probe", os.path.join(folder, name)],
                       capture_output=True, text=True, check=True).stdout.strip() == "True"
        for name in seen["after"]]


try:
    if operation == "compact":
        with _kvstore.open(path, "w") as db:
            db.compact(progress=progress)
    elif operation == "load":
        with _kvstore.open(path + ".target", "w") as db:
            db.load(path + ".dump", progress=progress)
    else:
        with _kvstore.open(path, "r") as db:
            db.dump(path + ".out", fmt, progress=progress)
except ChildUnwinds:
    assert os.getpid() != parent
    os._exit(0)
seen["left"] = made_files()
print(json.dumps(seen))
