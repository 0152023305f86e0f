"""make bench-shared: processes sharing one store, each doing get-or-set.

P processes (2 and 4) start together on a store of N existing records
(100-byte values) and for a few seconds each do get-or-set: 90 % of the
operations on one of the existing keys (a read), 10 % on a key drawn from
a space of new keys that all processes share, which the first process to
ask stores with a value of its own and the others then read. Each process
notes the value that each of its get-or-sets of a new key returned; at the
end, a noted value that the store does not hold is a lost update (two
processes both found the key missing and both stored it). An operation
that raises (a lock wait that timed out) is an error.

Stores:
- kvstore.Shared: setdefault(), which reads in a reader's turn and takes
  the writer's turn only for a missing key;
- kvstore.open per operation: the file opened for writing (timeout=10) for
  each get-or-set, then closed;
- kvstore.open per operation, reading first: opened for reading, and for
  writing only when the key is missing;
- diskcache.Cache: get(), and add() then get() for a missing key;
- lmdb: a read transaction, and a write transaction that puts without
  overwriting for a missing key.

Runs take turns across the stores; each figure is the median of the
repeats' operations per second, errors and lost updates summed over them.

    python bench/shared.py [--seconds S] [--repeats R] [--processes P...] [--out DIR]

Writes a table to stdout and shared.md and shared.json to the output folder
(bench/results).
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import random
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Protocol

import kvstore

ROOT = Path(__file__).resolve().parent.parent
EXISTING = 10_000
NEW_KEYS = 100_000
NEW_SHARE = 0.1
VALUE = b"v" * 100
TIMEOUT = 10.0
TARGET = 18_000  # operations per second, two processes, kvstore.Shared


class GetOrSet(Protocol):
    def __call__(self, key: bytes, value: bytes) -> bytes: ...


def existing_key(i: int) -> bytes:
    return b"key-%08d" % i


# ---- the stores: each makes the file, then opens get-or-set in a worker ----


def make_gdbm(path: str) -> None:
    with kvstore.open(path, "n") as db, db.batch():
        for i in range(EXISTING):
            db[existing_key(i)] = VALUE


def shared(path: str) -> GetOrSet:
    store = kvstore.Shared(path, "w", timeout=TIMEOUT)
    return store.setdefault


def open_each(path: str) -> GetOrSet:
    def get_or_set(key: bytes, value: bytes) -> bytes:
        with kvstore.open(path, "w", timeout=TIMEOUT) as db:
            return db.setdefault(key, value)

    return get_or_set


def open_each_reading_first(path: str) -> GetOrSet:
    def get_or_set(key: bytes, value: bytes) -> bytes:
        with kvstore.open(path, "r", timeout=TIMEOUT) as db:
            found = db.get(key)
        if found is not None:
            return found
        with kvstore.open(path, "w", timeout=TIMEOUT) as db:
            return db.setdefault(key, value)

    return get_or_set


def make_diskcache(path: str) -> None:
    import diskcache

    with diskcache.Cache(path) as cache:
        for i in range(EXISTING):
            cache.set(existing_key(i), VALUE)


def diskcache_store(path: str) -> GetOrSet:
    import diskcache

    cache = diskcache.Cache(path, timeout=TIMEOUT)

    def get_or_set(key: bytes, value: bytes) -> bytes:
        found: bytes | None = cache.get(key)
        if found is not None:
            return found
        cache.add(key, value)
        found = cache.get(key)
        assert found is not None
        return found

    return get_or_set


def make_lmdb(path: str) -> None:
    import lmdb

    with lmdb.open(path, map_size=1 << 30) as env, env.begin(write=True) as txn:
        for i in range(EXISTING):
            txn.put(existing_key(i), VALUE)


def lmdb_store(path: str) -> GetOrSet:
    import lmdb

    env = lmdb.open(path, map_size=1 << 30)

    def get_or_set(key: bytes, value: bytes) -> bytes:
        with env.begin() as txn:
            found: bytes | None = txn.get(key)
        if found is not None:
            return found
        with env.begin(write=True) as txn:
            txn.put(key, value, overwrite=False)
            found = txn.get(key)
        assert found is not None
        return found

    return get_or_set


def read_gdbm(path: str, keys: list[bytes]) -> list[bytes | None]:
    with kvstore.open(path) as db:
        return [db.get(key) for key in keys]


def read_diskcache(path: str, keys: list[bytes]) -> list[bytes | None]:
    import diskcache

    with diskcache.Cache(path) as cache:
        return [cache.get(key) for key in keys]


def read_lmdb(path: str, keys: list[bytes]) -> list[bytes | None]:
    import lmdb

    with lmdb.open(path, map_size=1 << 30) as env, env.begin() as txn:
        return [txn.get(key) for key in keys]


type Maker = Callable[[str], None]
type Opener = Callable[[str], GetOrSet]
type Reader = Callable[[str, list[bytes]], list[bytes | None]]

STORES: dict[str, tuple[Maker, Opener, Reader]] = {
    "kvstore.Shared": (make_gdbm, shared, read_gdbm),
    "kvstore.open per operation": (make_gdbm, open_each, read_gdbm),
    "kvstore.open per operation, reading first": (make_gdbm, open_each_reading_first, read_gdbm),
    "diskcache.Cache": (make_diskcache, diskcache_store, read_diskcache),
    "lmdb": (make_lmdb, lmdb_store, read_lmdb),
}


# ---- one run ------------------------------------------------------------------


def worker(store: str, path: str, seed: int, seconds: float, start: multiprocessing.synchronize.Event,
           results: multiprocessing.Queue[tuple[int, int, dict[bytes, bytes]]]) -> None:
    get_or_set = STORES[store][1](path)
    rng = random.Random(seed)
    noted: dict[bytes, bytes] = {}
    done = errors = 0
    start.wait()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if rng.random() < NEW_SHARE:
            key = b"new-%08d" % rng.randrange(NEW_KEYS)
            value = b"%d:%d" % (seed, done)
        else:
            key, value = existing_key(rng.randrange(EXISTING)), VALUE
        try:
            found = get_or_set(key, value)
        except Exception:
            errors += 1
            continue
        if key.startswith(b"new-"):
            noted[key] = found
        done += 1
    results.put((done, errors, noted))


def run(store: str, processes: int, seconds: float, folder: str) -> dict[str, float]:
    make, _, read = STORES[store]
    path = os.path.join(folder, f"{list(STORES).index(store)}-{processes}")
    make(path)
    context = multiprocessing.get_context("fork")
    start = context.Event()
    results: multiprocessing.Queue[tuple[int, int, dict[bytes, bytes]]] = context.Queue()
    workers = [context.Process(target=worker, args=(store, path, seed, seconds, start, results))
               for seed in range(processes)]
    for process in workers:
        process.start()
    # Each worker has opened its store: let them all go at once.
    time.sleep(0.5)
    start.set()
    reports = [results.get() for _ in workers]
    for process in workers:
        process.join()
    noted = [(key, value) for _, _, seen in reports for key, value in seen.items()]
    held = read(path, [key for key, _ in noted])
    return {
        "ops_per_s": sum(done for done, _, _ in reports) / seconds,
        "errors": sum(errors for _, errors, _ in reports),
        "lost": sum(value != found for (_, value), found in zip(noted, held, strict=True)),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--processes", type=int, nargs="+", default=[2, 4])
    parser.add_argument("--stores", nargs="+", choices=list(STORES), default=list(STORES))
    parser.add_argument("--folder", type=Path, default=None,
                        help="where the stores are made (default: the system's temporary folder)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    args = parser.parse_args()
    load_before = os.getloadavg()[0]
    runs: dict[tuple[str, int], list[dict[str, float]]] = {}
    with tempfile.TemporaryDirectory(prefix="bench-shared-", dir=args.folder) as folder:
        for repeat in range(args.repeats):
            os.mkdir(os.path.join(folder, str(repeat)))
            for processes in args.processes:
                for store in args.stores:
                    print(f"bench: {store}, {processes} processes, repeat {repeat + 1} of {args.repeats}",
                          flush=True)
                    runs.setdefault((store, processes), []).append(
                        run(store, processes, args.seconds, os.path.join(folder, str(repeat))))
    rows = [
        {"store": store, "processes": processes,
         "ops_per_s": statistics.median(r["ops_per_s"] for r in results),
         "errors": sum(r["errors"] for r in results), "lost": sum(r["lost"] for r in results)}
        for (store, processes), results in runs.items()
    ]
    rows.sort(key=lambda row: (row["processes"], args.stores.index(str(row["store"]))))
    shared_two = next((row["ops_per_s"] for row in rows
                       if row["store"] == "kvstore.Shared" and row["processes"] == 2), None)
    text = (
        f"Get-or-set by processes sharing one store: {EXISTING:,} records, {100 * NEW_SHARE:g} % of the "
        f"operations on {NEW_KEYS:,} new keys, {args.seconds:g} s a run, median of {args.repeats}, "
        f"load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after\n\n"
        "| store | processes | operations/s | errors | lost updates |\n"
        "|---|---:|---:|---:|---:|\n"
        + "".join(f"| {row['store']} | {row['processes']} | {row['ops_per_s']:,.0f} | {row['errors']} | "
                  f"{row['lost']} |\n" for row in rows)
    )
    if shared_two is not None:
        met = shared_two >= TARGET
        text += f"\ntarget (kvstore.Shared, 2 processes, at least {TARGET:,}/s) {'met' if met else 'NOT met'}\n"
    print(text, end="")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "shared.md").write_text(text)
    (args.out / "shared.json").write_text(json.dumps(
        {"seconds": args.seconds, "repeats": args.repeats, "load_before": load_before, "rows": rows},
        indent=1) + "\n")


if __name__ == "__main__":
    main()
