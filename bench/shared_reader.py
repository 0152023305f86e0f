"""make bench-shared-reader: a reorganize of a Database that reader threads
share, against the same reorganize alone.

A file of N records (500,000 by default), half of them deleted, is
reorganized with the package's reorganize() in a process of its own: alone,
and with R reader threads (1 and 2 by default) calling get() on the same
Database in a loop for the whole run. A reader's call waits while the
rewrite runs; the target is no error at all and a reorganize at most
TARGET_RATIO times as long as alone. Runs alternate between the variants;
each figure is the median of the repeats. A reader makes few calls: each
waits for the rewrite to end.

    python bench/shared_reader.py [--records N] [--repeats R] [--readers R...] [--out DIR]

Writes a table to stdout and shared_reader.md and shared_reader.json to the
output folder (bench/results).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import kvstore

ROOT = Path(__file__).resolve().parent.parent
TARGET_RATIO = 1.3


def make_file(path: Path, records: int) -> None:
    with kvstore.open(path, "n") as db:
        for i in range(records):
            db[b"key%d" % i] = b"value %d " % i * 4
        for i in range(0, records, 2):
            del db[b"key%d" % i]


def worker(path: str, readers: int) -> None:
    """One reorganize with `readers` threads reading beside it; prints its
    figures as JSON."""
    stop = threading.Event()
    reads = [0] * readers
    errors = [0] * readers
    started = threading.Barrier(readers + 1)

    with kvstore.open(path, "w") as db:
        def read(number: int) -> None:
            started.wait()
            while not stop.is_set():
                try:
                    db.get(b"key1")
                    reads[number] += 1
                except kvstore.error:
                    errors[number] += 1

        threads = [threading.Thread(target=read, args=(n,)) for n in range(readers)]
        for thread in threads:
            thread.start()
        started.wait()
        start = time.perf_counter()
        db.reorganize(progress=lambda done, total: None)
        seconds = time.perf_counter() - start
        stop.set()
        for thread in threads:
            thread.join()
    print(json.dumps({"seconds": seconds, "reads": sum(reads), "errors": sum(errors)}))


def measure(source: Path, folder: Path, readers: int) -> dict[str, float]:
    path = folder / "run.db"
    shutil.copyfile(source, path)
    os.sync()
    child = subprocess.run(
        [sys.executable, __file__, "--worker", str(path), str(readers)],
        capture_output=True, text=True, check=True,
    )
    return json.loads(child.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=int(os.environ.get("SHARED_N", 500_000)))
    parser.add_argument("--repeats", type=int, default=int(os.environ.get("SHARED_REPEATS", 5)))
    parser.add_argument("--readers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], int(args.worker[1]))
        return

    variants = [0, *args.readers]
    runs: dict[int, list[dict[str, float]]] = {readers: [] for readers in variants}
    with tempfile.TemporaryDirectory(prefix="shared-reader-") as temporary:
        folder = Path(temporary)
        source = folder / "source.db"
        make_file(source, args.records)
        for repeat in range(args.repeats):
            # Each variant takes each place in the order in turn.
            turn = repeat % len(variants)
            for readers in variants[turn:] + variants[:turn]:
                runs[readers].append(measure(source, folder, readers))

    alone = statistics.median(run["seconds"] for run in runs[0])
    rows = []
    for readers in variants:
        seconds = statistics.median(run["seconds"] for run in runs[readers])
        rows.append({
            "readers": readers,
            "seconds": seconds,
            "ratio": seconds / alone,
            "errors": sum(run["errors"] for run in runs[readers]),
            "reads": statistics.median(run["reads"] for run in runs[readers]),
        })
    load = os.getloadavg()[0]
    lines = [
        f"reorganize() of {args.records:,} records (half deleted), median of {args.repeats} runs, "
        f"load average {load:.1f} at the end; target: 0 errors, at most {TARGET_RATIO}x alone",
        "",
        "| reader threads | reorganize (s) | x alone | reader errors (all runs) | reads per run |",
        "|---:|---:|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(f"| {row['readers']} | {row['seconds']:.3f} | {row['ratio']:.2f} | "
                     f"{row['errors']} | {row['reads']:,.0f} |")
    met = all(row["errors"] == 0 and row["ratio"] <= TARGET_RATIO for row in rows)
    lines += ["", f"target {'met' if met else 'NOT met'}"]
    text = "\n".join(lines) + "\n"
    print(text, end="")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "shared_reader.md").write_text(text)
    (args.out / "shared_reader.json").write_text(json.dumps({"records": args.records, "rows": rows}, indent=1) + "\n")
    if not met:
        sys.exit(1)


if __name__ == "__main__":
    main()
