"""Parallel reads: one database fetched from by several workers at once, in one process.

usage: parallel.py WORKLOAD N DIR WORKERS...

Builds an _kvstore file and a dbm.sqlite3 file of the workload's first N
records (100-byte values), then, for each backend, runs the benchmark's random
fetch loop (driver.fetch over the keys in fetch order, round and round) in
WORKERS workers at once, each with the file open read-only in an object of its
own:
  interpreters: each worker is a new interpreter with a GIL of its own, on a
                thread of its own (the interpreters API of the running Python);
  threads:      each worker is a thread of this interpreter.
Every worker does the same number of fetches. The workers set up (import,
open, key list) before a common start; the rate is all their fetches over the
time from the first worker's start to the last one's end. Prints JSON.
"""

import json
import os
import platform
import sqlite3
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))
from parallel_reads import API, run_in_new_interpreter  # noqa: E402
from workload import Workload  # noqa: E402

VALUE_SIZE = 100
# A run on a busy machine may be given the cores first (chrt -f 1): say so.
SCHEDULING = {os.SCHED_OTHER: "normal", os.SCHED_FIFO: "real-time (SCHED_FIFO)",
              os.SCHED_RR: "real-time (SCHED_RR)"}
# Fetches per worker, whatever N is: about a second of work each on one core
# (dbm.sqlite3 pays some 25 us a fetch on a file of 200,000 records).
FETCHES = {"_kvstore": 1_000_000, "dbm.sqlite3": 50_000}

# Run by every worker, in a new interpreter or in a thread of this one.
WORKER = """
import os
import sys
import time

if bench_dir not in sys.path:
    sys.path.insert(0, bench_dir)
from driver import fetch
from workload import Workload

ready = False
try:
    if backend == "_kvstore":
        import _kvstore
        db = _kvstore.open(path, "r")
    else:
        import dbm.sqlite3
        db = dbm.sqlite3.open(path, "r")
    work = Workload(workload_path, n)
    order = [work.keys[i] for i in work.fetch_order]
    del work
    # Each worker starts at another place in the order, as independent
    # readers would, and goes round it until it has its count.
    keys = [order[(offset + i) % len(order)] for i in range(fetches)]
    del order
    ready = True
finally:
    os.write(ready_fd, b"." if ready else b"!")
os.read(go_fd, 1)
cpu = time.thread_time_ns()
start = time.perf_counter_ns()
fetch(db, keys)
stop = time.perf_counter_ns()
cpu = time.thread_time_ns() - cpu
db.close()
os.write(result_fd, b"%d %d %d\\n" % (start, stop, cpu))
"""


def run_in_thread_of_this_interpreter(code, **names):
    exec(code, dict(names))


MODES = {"interpreters": run_in_new_interpreter, "threads": run_in_thread_of_this_interpreter}


def build_files(workload, directory):
    import _kvstore
    import dbm.sqlite3

    paths = {"_kvstore": os.path.join(directory, "parallel.db"),
             "dbm.sqlite3": os.path.join(directory, "parallel.sqlite")}
    pairs = [(workload.keys[i], workload.value(i, VALUE_SIZE)) for i in workload.insert_order]
    with _kvstore.open(paths["_kvstore"], "n") as db:
        for key, value in pairs:
            db[key] = value
    # dbm.sqlite3 commits every store (about 0.2 ms each): let it make its
    # table, then fill that table in one transaction.
    dbm.sqlite3.open(paths["dbm.sqlite3"], "n").close()
    with sqlite3.connect(paths["dbm.sqlite3"]) as cx:
        (table,), = cx.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
        columns = [row[1] for row in cx.execute(f"PRAGMA table_info({table})")]
        if columns != ["key", "value"]:
            sys.exit(f"dbm.sqlite3 made a table {table}{columns}, not (key, value)")
        cx.executemany(f"INSERT INTO {table} (key, value) VALUES (?, ?)", pairs)
    cx.close()
    with dbm.sqlite3.open(paths["dbm.sqlite3"], "r") as db:
        key, value = pairs[-1]
        if len(db) != len(pairs) or db[key] != value:
            sys.exit("dbm.sqlite3 does not read back the records stored in its table")
    return paths


def measure(mode, backend, path, workers, workload_path, n):
    """One run of `workers` workers at once: the spans and CPU time of each."""
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    result_r, result_w = os.pipe()
    errors = []

    def worker(index):
        try:
            MODES[mode](WORKER, bench_dir=HERE, backend=backend, path=path,
                        workload_path=workload_path, n=n, offset=index * n // workers,
                        fetches=FETCHES[backend], ready_fd=ready_w, go_fd=go_r,
                        result_fd=result_w)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(workers)]
    try:
        for thread in threads:
            thread.start()
        ready = b""
        while len(ready) < workers:
            ready += os.read(ready_r, workers - len(ready))
        os.write(go_w, b"." * workers)
        for thread in threads:
            thread.join()
        if errors:
            raise errors[0]
        os.close(result_w)
        result_w = -1
        with os.fdopen(result_r) as lines:
            result_r = -1
            spans = [tuple(map(int, line.split())) for line in lines]
    finally:
        for fd in (ready_r, ready_w, go_r, go_w, result_r, result_w):
            if fd >= 0:
                os.close(fd)
    if len(spans) != workers:
        sys.exit(f"{mode}, {backend}: {len(spans)} of {workers} workers reported")
    wall = max(stop for _, stop, _ in spans) - min(start for start, _, _ in spans)
    return {"backend": backend, "mode": mode, "workers": workers,
            "fetches": workers * FETCHES[backend], "wall_ns": wall,
            "cpu_ns": sum(cpu for _, _, cpu in spans),
            "worker_ns": [stop - start for start, stop, _ in spans]}


def commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, cwd=HERE, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    workload_path, n, directory = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    counts = [int(count) for count in sys.argv[4:]]
    import _kvstore

    workload = Workload(workload_path, n)
    os.makedirs(directory, exist_ok=True)
    paths = build_files(workload, directory)
    result = {"started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
              "load_before": os.getloadavg(), "cpus": os.cpu_count(), "commit": commit(),
              "scheduling": SCHEDULING.get(os.sched_getscheduler(0), "other"),
              "python": platform.python_version(), "gdbm": _kvstore._KVSTORE_VERSION,
              "sqlite": sqlite3.sqlite_version,
              "api": API,
              "n": workload.n, "value_size": VALUE_SIZE, "runs": []}
    del workload
    for backend, path in paths.items():
        for mode in MODES:
            for workers in counts:
                result["runs"].append(measure(mode, backend, path, workers, workload_path, n))
    for path in paths.values():
        os.unlink(path)
    result["finished"] = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    result["load_after"] = os.getloadavg()
    json.dump(result, sys.stdout)
    print()


if __name__ == "__main__":
    main()
