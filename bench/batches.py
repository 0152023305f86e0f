"""Batches against the same changes made one by one (make bench-batches).

Each run stores N new records (16-byte keys, 100-byte values) into a new
file through kvstore.Database with the default settings, either one by one
or inside one `with db.batch():`. Two pairs are compared, each ending with
the same promise:

- not flushed: one by one, against a batch with durable=False (the default
  on a file opened without 's'); both leave the records in the system's
  cache, and the batch stays whole if the process dies;
- flushed: one by one then sync(), against a batch with durable=True; both
  end with the records on the disk, and the batch stays whole if the
  machine dies.

The figure is the median wall-clock time of the repeats; the ratio is one
by one over the batch (above 1: the batch is faster).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import kvstore

VALUE = b"v" * 100


def one_by_one(path: str, keys: list[bytes], flushed: bool) -> float:
    with kvstore.open(path, "n") as db:
        start = time.perf_counter()
        for key in keys:
            db[key] = VALUE
        if flushed:
            db.sync()
        return time.perf_counter() - start


def batched(path: str, keys: list[bytes], flushed: bool) -> float:
    with kvstore.open(path, "n") as db:
        start = time.perf_counter()
        with db.batch(durable=flushed):
            for key in keys:
                db[key] = VALUE
        return time.perf_counter() - start


def median(run: Callable[[str, list[bytes], bool], float], folder: str, n: int, flushed: bool,
           repeats: int) -> float:
    keys = [b"key-%012d" % i for i in range(n)]
    times = []
    for i in range(repeats):
        path = os.path.join(folder, f"{run.__name__}-{i}.db")
        times.append(run(path, keys, flushed))
        os.unlink(path)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000, 20_000, 100_000])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", type=Path, default=Path("bench/results"))
    parser.add_argument("--work", default=None, help="folder for the files (default: a new one)")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory(dir=args.work) as folder:
        for n in args.sizes:
            for flushed in (False, True):
                single = median(one_by_one, folder, n, flushed, args.repeats)
                batch = median(batched, folder, n, flushed, args.repeats)
                rows.append({"changes": n, "flushed": flushed, "one_by_one_s": single,
                             "batch_s": batch, "ratio": single / batch})
                print(f"{n:>8,} {'flushed' if flushed else 'not flushed':<12} one by one "
                      f"{single * 1e3:9.1f} ms   batch {batch * 1e3:9.1f} ms   "
                      f"{single / batch:5.2f}x", flush=True)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "batches.json").write_text(json.dumps(rows, indent=1) + "\n")
    lines = ["| changes | ends | one by one (ms) | batch (ms) | one by one / batch |", "|---|---|---|---|---|"]
    for row in rows:
        ends = "sync() / durable=True" if row["flushed"] else "not flushed / durable=False"
        lines.append(f"| {row['changes']:,} | {ends} | {row['one_by_one_s'] * 1e3:.1f} | "
                     f"{row['batch_s'] * 1e3:.1f} | {row['ratio']:.2f} |")
    (args.out / "batches.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
