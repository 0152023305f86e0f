"""make bench-shared: processes sharing one store, each doing get-or-set.

P processes (2 and 4) start together on a store of N existing records
(100-byte values) and for a few seconds each do get-or-set, in two mixes:
read-mostly, 10 % of the operations on a key drawn from a space of new
keys that all processes share (90 % on one of the existing keys, a read),
and write-heavy, 50 % on new keys. The first process to ask for a new key
stores it with a value of its own and the others then read it. Each
process notes the value that each of its get-or-sets of a new key
returned; at the end, a noted value that the store does not hold is a lost
update (two processes both found the key missing and both stored it). An
operation that raises (a lock wait that timed out, a store's "database is
locked") is an error.

Stores:
- kvstore.Shared: setdefault(), which reads in a reader's turn and takes
  the writer's turn only for a missing key; the write is flushed before
  the call returns, after the turn has let go of the file;
- kvstore.Shared, flushes skipped: the same with every flush returning at
  once (a measurement of what the flushes cost, not a way to run);
- kvstore.open per operation: the file opened for writing (timeout=10) for
  each get-or-set, then closed;
- kvstore.open per operation, reading first: opened for reading, and for
  writing only when the key is missing;
- diskcache.Cache: get(), and add() then get() for a missing key;
- lmdb: a read transaction, and a write transaction that puts without
  overwriting for a missing key;
- sqlitedict: SqliteDict(autocommit=True), get() then a store;
- dbm.sqlite3 (the standard library's SQLite store): get() then a store.

The workers run with bench/flush_count.c preloaded, which counts the
flushes that reach the C library (fsync, fdatasync, msync with MS_SYNC):
the table gives them per write, which tells which stores flush each write
and which flush now and then (at checkpoints) or never.

Runs take turns across the stores; each figure is the median of the
repeats' operations per second, errors and lost updates summed over them.

    python bench/shared.py [--seconds S] [--repeats R] [--processes P...] [--mixes M...] [--out DIR]

Writes a table to stdout and shared.md and shared.json to the output folder
(bench/results).
"""

from __future__ import annotations

import argparse
import ctypes
import json
import multiprocessing
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Protocol

import kvstore

ROOT = Path(__file__).resolve().parent.parent
EXISTING = 10_000
NEW_KEYS = 100_000
MIXES = {"read-mostly": 0.1, "write-heavy": 0.5}
VALUE = b"v" * 100
TIMEOUT = 10.0
PRELOADED = "KVSTORE_BENCH_FLUSH_COUNT"
SHARED = "kvstore.Shared"
SKIPPED = "kvstore.Shared, flushes skipped"
OPEN_EACH = "kvstore.open per operation"
OPEN_READING_FIRST = "kvstore.open per operation, reading first"


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


def read_gdbm(path: str, keys: list[bytes]) -> list[bytes | None]:
    with kvstore.open(path) as db:
        return [db.get(key) for key in keys]


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


def read_diskcache(path: str, keys: list[bytes]) -> list[bytes | None]:
    import diskcache

    with diskcache.Cache(path) as cache:
        return [cache.get(key) for key in keys]


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


def read_lmdb(path: str, keys: list[bytes]) -> list[bytes | None]:
    import lmdb

    with lmdb.open(path, map_size=1 << 30) as env, env.begin() as txn:
        return [txn.get(key) for key in keys]


def make_sqlitedict(path: str) -> None:
    from sqlitedict import SqliteDict

    with SqliteDict(path) as store:
        for i in range(EXISTING):
            store[existing_key(i)] = VALUE
        store.commit()


class LookupStore(Protocol):
    def get(self, key: bytes, /) -> bytes | None: ...
    def __setitem__(self, key: bytes, value: bytes, /) -> None: ...


def looked_up_then_stored(store: LookupStore) -> GetOrSet:
    """Get-or-set over a store that has no such call of its own: a lookup,
    then a store where the key was missing (each its own transaction)."""

    def get_or_set(key: bytes, value: bytes) -> bytes:
        found: bytes | None = store.get(key)
        if found is not None:
            return found
        store[key] = value
        return value

    return get_or_set


def sqlitedict_store(path: str) -> GetOrSet:
    from sqlitedict import SqliteDict

    return looked_up_then_stored(SqliteDict(path, autocommit=True, timeout=TIMEOUT))


def read_sqlitedict(path: str, keys: list[bytes]) -> list[bytes | None]:
    from sqlitedict import SqliteDict

    with SqliteDict(path, flag="r") as store:
        return [store.get(key) for key in keys]


# The standard library's SQLite store is imported by its own name: dbm's
# open() would import every other dbm module it knows as well.


def make_dbm_sqlite3(path: str) -> None:
    import dbm.sqlite3

    with dbm.sqlite3.open(path, "c") as store:
        for i in range(EXISTING):
            store[existing_key(i)] = VALUE


def dbm_sqlite3_store(path: str) -> GetOrSet:
    import dbm.sqlite3

    return looked_up_then_stored(dbm.sqlite3.open(path, "w"))


def read_dbm_sqlite3(path: str, keys: list[bytes]) -> list[bytes | None]:
    import dbm.sqlite3

    with dbm.sqlite3.open(path, "r") as store:
        return [store.get(key) for key in keys]


type Maker = Callable[[str], None]
type Opener = Callable[[str], GetOrSet]
type Reader = Callable[[str, list[bytes]], list[bytes | None]]

STORES: dict[str, tuple[Maker, Opener, Reader]] = {
    SHARED: (make_gdbm, shared, read_gdbm),
    SKIPPED: (make_gdbm, shared, read_gdbm),
    OPEN_EACH: (make_gdbm, open_each, read_gdbm),
    OPEN_READING_FIRST: (make_gdbm, open_each_reading_first, read_gdbm),
    "diskcache.Cache": (make_diskcache, diskcache_store, read_diskcache),
    "lmdb": (make_lmdb, lmdb_store, read_lmdb),
    "sqlitedict": (make_sqlitedict, sqlitedict_store, read_sqlitedict),
    "dbm.sqlite3": (make_dbm_sqlite3, dbm_sqlite3_store, read_dbm_sqlite3),
}


# ---- counting flushes --------------------------------------------------------


def preload_flush_count() -> None:
    """Runs this script again with bench/flush_count.c preloaded, once built;
    goes on without it where there is no C compiler."""
    if os.environ.get(PRELOADED) is not None:
        return
    compiler = shutil.which("cc") or shutil.which("c++")
    if compiler is None:
        print("bench: no C compiler: flushes are not counted", flush=True)
        os.environ[PRELOADED] = ""
        return
    shim = ROOT / "build" / "bench" / "flush_count.so"
    shim.parent.mkdir(parents=True, exist_ok=True)
    _ = subprocess.run([compiler, "-x", "c", "-shared", "-fPIC", "-O2", "-o", str(shim),
                        str(ROOT / "bench" / "flush_count.c"), "-ldl"], check=True)
    env = dict(os.environ)
    env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    env[PRELOADED] = str(shim)
    os.execve(sys.executable, [sys.executable, *sys.argv], env)


def flush_counter() -> tuple[ctypes.c_long, ctypes.c_int] | None:
    if not os.environ.get(PRELOADED):
        return None
    library = ctypes.CDLL(None)
    return ctypes.c_long.in_dll(library, "kvbench_flushes"), ctypes.c_int.in_dll(library, "kvbench_skip")


# ---- one run ------------------------------------------------------------------

type Report = tuple[int, int, int, int, dict[bytes, bytes]]


def worker(store: str, path: str, new_share: float, seed: int, seconds: float,
           start: multiprocessing.synchronize.Event, results: multiprocessing.Queue[Report]) -> None:
    get_or_set = STORES[store][1](path)
    counter = flush_counter()
    rng = random.Random(seed)
    noted: dict[bytes, bytes] = {}
    done = errors = writes = 0
    start.wait()
    if counter is not None:
        counter[0].value = 0
        counter[1].value = store == SKIPPED
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if rng.random() < new_share:
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
            writes += found == value
        done += 1
    flushes = -1 if counter is None else counter[0].value
    results.put((done, errors, writes, flushes, noted))


def run(store: str, new_share: float, processes: int, seconds: float, folder: str) -> dict[str, float]:
    make, _, read = STORES[store]
    path = os.path.join(folder, f"{list(STORES).index(store)}-{processes}-{new_share:g}")
    make(path)
    context = multiprocessing.get_context("fork")
    start = context.Event()
    results: multiprocessing.Queue[Report] = context.Queue()
    workers = [context.Process(target=worker, args=(store, path, new_share, seed, seconds, start, results))
               for seed in range(processes)]
    for process in workers:
        process.start()
    # Each worker has opened its store: let them all go at once.
    time.sleep(0.5)
    start.set()
    reports = [results.get() for _ in workers]
    for process in workers:
        process.join()
    noted = [(key, value) for *_, seen in reports for key, value in seen.items()]
    held = read(path, [key for key, _ in noted])
    writes = sum(report[2] for report in reports)
    flushes = sum(report[3] for report in reports)
    return {
        "ops_per_s": sum(report[0] for report in reports) / seconds,
        "errors": sum(report[1] for report in reports),
        "writes_per_s": writes / seconds,
        "flushes_per_write": flushes / writes if writes and flushes >= 0 else float("nan"),
        "lost": sum(value != found for (_, value), found in zip(noted, held, strict=True)),
    }


# ---- the targets ----------------------------------------------------------------


def targets(rows: list[dict[str, object]], processes: int) -> str:
    """The ratios of kvstore.Shared to the others, for `processes`, with
    whether each target is met."""
    rate = {(row["mix"], row["store"]): float(str(row["ops_per_s"])) for row in rows
            if row["processes"] == processes}
    lines: list[str] = []

    def ratio(mix: str, other: str, wanted: float) -> None:
        if (mix, SHARED) in rate and (mix, other) in rate:
            found = rate[(mix, SHARED)] / rate[(mix, other)]
            lines.append(f"- {mix}: kvstore.Shared / {other} = {found:.2f} "
                         f"(target at least {wanted:g}: {'met' if found >= wanted else 'NOT met'})")

    for mix in MIXES:
        ratio(mix, OPEN_EACH, 2.5)
        ratio(mix, OPEN_READING_FIRST, 2.5)
        ratio(mix, "diskcache.Cache", 1.0 if mix == "read-mostly" else 0.5)
        if (mix, SKIPPED) in rate and (mix, SHARED) in rate:
            lines.append(f"- {mix}: kvstore.Shared with its flushes skipped / as it runs = "
                         f"{rate[(mix, SKIPPED)] / rate[(mix, SHARED)]:.1f}")
    return "".join(line + "\n" for line in lines)


def report(rows: list[dict[str, object]], seconds: float, repeats: int, load: tuple[float, float]) -> str:
    """The table and the ratios, as shared.md holds them."""
    text = (
        f"Get-or-set by processes sharing one store: {EXISTING:,} records; read-mostly: "
        f"{100 * MIXES['read-mostly']:g} % of the operations on {NEW_KEYS:,} new keys, write-heavy: "
        f"{100 * MIXES['write-heavy']:g} %; {seconds:g} s a run, median of {repeats}, "
        f"load average {load[0]:.1f} before, {load[1]:.1f} after. Flushes per write: "
        "fsync, fdatasync and msync(MS_SYNC) calls counted in the workers, divided by the new keys they "
        "stored (1 or more: every write flushed; below 1: some).\n\n"
        "| mix | store | processes | operations/s | writes/s | flushes per write | errors | lost updates |\n"
        "|---|---|---:|---:|---:|---:|---:|---:|\n"
        + "".join(f"| {row['mix']} | {row['store']} | {row['processes']} | {row['ops_per_s']:,.0f} | "
                  f"{row['writes_per_s']:,.0f} | {row['flushes_per_write']:.2f} | {row['errors']} | "
                  f"{row['lost']} |\n" for row in rows)
    )
    for processes in sorted({int(str(row["processes"])) for row in rows}):
        found = targets(rows, processes)
        if found:
            text += f"\n{processes} processes:\n\n{found}"
    return text


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--processes", type=int, nargs="+", default=[2, 4])
    parser.add_argument("--mixes", nargs="+", choices=list(MIXES), default=list(MIXES))
    parser.add_argument("--stores", nargs="+", choices=list(STORES), default=list(STORES))
    parser.add_argument("--folder", type=Path, default=None,
                        help="where the stores are made (default: the system's temporary folder)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    args = parser.parse_args()
    preload_flush_count()
    if flush_counter() is None and SKIPPED in args.stores:
        args.stores.remove(SKIPPED)
    load_before = os.getloadavg()[0]
    runs: dict[tuple[str, str, int], list[dict[str, float]]] = {}
    with tempfile.TemporaryDirectory(prefix="bench-shared-", dir=args.folder) as folder:
        for repeat in range(args.repeats):
            os.mkdir(os.path.join(folder, str(repeat)))
            for mix in args.mixes:
                for processes in args.processes:
                    for store in args.stores:
                        print(f"bench: {store}, {mix}, {processes} processes, repeat {repeat + 1} of "
                              f"{args.repeats}", flush=True)
                        runs.setdefault((mix, store, processes), []).append(
                            run(store, MIXES[mix], processes, args.seconds, os.path.join(folder, str(repeat))))
    rows: list[dict[str, object]] = [
        {"mix": mix, "store": store, "processes": processes,
         "ops_per_s": statistics.median(r["ops_per_s"] for r in results),
         "writes_per_s": statistics.median(r["writes_per_s"] for r in results),
         "flushes_per_write": statistics.median(r["flushes_per_write"] for r in results),
         "errors": sum(r["errors"] for r in results), "lost": sum(r["lost"] for r in results)}
        for (mix, store, processes), results in runs.items()
    ]
    rows.sort(key=lambda row: (list(MIXES).index(str(row["mix"])), row["processes"],
                               args.stores.index(str(row["store"]))))
    load_after = os.getloadavg()[0]
    text = report(rows, args.seconds, args.repeats, (load_before, load_after))
    print(text, end="")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "shared.md").write_text(text)
    (args.out / "shared.json").write_text(json.dumps(
        {"seconds": args.seconds, "repeats": args.repeats, "load_before": load_before, "load_after": load_after,
         "rows": rows},
        indent=1) + "\n")


if __name__ == "__main__":
    main()
