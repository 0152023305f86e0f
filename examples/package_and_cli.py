"""A tour of the kvstore package and its command line: a Database as a
mapping, a reorganize that reports its progress while another thread keeps
running, a backup, and the same file looked at with python -m kvstore."""

import os
import subprocess
import sys
import tempfile
import threading
import time

import kvstore


def cli(*args: str) -> None:
    """Runs python -m kvstore as a shell user would, showing the command."""
    print(f"$ python -m kvstore {' '.join(args)}")
    run = subprocess.run([sys.executable, "-m", "kvstore", *args], capture_output=True, text=True)
    for line in (run.stdout + run.stderr).splitlines():
        print(f"  {line}")
    print(f"  (exit status {run.returncode})")


def main() -> None:
    folder = tempfile.mkdtemp(prefix="kvstore-demo-")
    path = os.path.join(folder, "fruit.db")

    with kvstore.open(path, "c") as db:
        for fruit, colour in [("apple", "red"), ("banana", "yellow"), ("kiwi", "green")]:
            db[fruit] = colour
        print(f"kvstore.open({path!r}, 'c'): {len(db)} records, "
              f"db['apple'] = {db['apple']!r}, sorted keys {sorted(db)}")
        for i in range(50_000):
            db[f"crate {i}"] = "x" * 100
        for i in range(50_000):
            del db[f"crate {i}"]
        before = os.path.getsize(path)

        # Another thread keeps ticking while the file is rewritten in steps.
        ticks = []
        done = threading.Event()

        def ticker() -> None:
            while not done.is_set():
                ticks.append(time.perf_counter())
                time.sleep(0.005)

        thread = threading.Thread(target=ticker)
        thread.start()
        reports = []
        db.reorganize(progress=lambda done_, total: reports.append((done_, total)))
        done.set()
        thread.join()
        longest = max((b - a for a, b in zip(ticks, ticks[1:])), default=0.0)
        print(f"reorganize(progress=...): {before} -> {os.path.getsize(path)} bytes, "
              f"{len(reports)} progress reports ending at {reports[-1]}, "
              f"a ticking thread waited at most {longest * 1000:.0f} ms")
        backup = os.path.join(folder, "fruit.dump")
        db.dump(backup)
        print(f"dump({backup!r}): gdbm's portable dump format")

    print()
    cli("info", path)
    cli("set", path, "plum", "purple")
    cli("get", path, "plum")
    cli("keys", path)
    cli("set", "--hex", path, "ff00", "0102")
    cli("keys", path)
    cli("delete", path, "kiwi")
    cli("get", path, "kiwi")
    cli("load", os.path.join(folder, "copy.db"), backup)
    cli("reorganize", path)
    cli("get", os.path.join(folder, "missing.db"), "apple")
    print(f"\nfiles left in {folder}")


if __name__ == "__main__":
    main()
