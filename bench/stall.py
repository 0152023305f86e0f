"""make bench-stall: how long the other threads of a program wait while a long
operation runs, and what the operation costs.

Each long operation (dump, load, reorganize, recover) runs on a file of
STALL_N records (1,000,000 by default) in a process of its own, with a
thread beside it that asks to wake every 5 ms. The longest gap between two
of its wake-ups is the stall that a program's other threads (an event loop,
a web server's workers) would see. Each runs twice: as today, one library
call, and stepwise, as the kvstore package now runs it, with a progress
callable. Today's dump() and load() come from a build of another revision
(STALL_BASELINE, by default the last one where each was one library call),
installed beside this one in build/stall-baseline; reorganize() and recover() are today's in this build.

    python bench/stall.py [--records N] [--repeats R] [--baseline REV] [--operations OP...]
                          [--out DIR]

Writes a table to stdout and stall.md and stall.json to the output folder
(bench/results).
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

# Today's build, when it is another, comes first on PYTHONPATH: its _kvstore
# is the one imported, here and under kvstore.
import _kvstore
import kvstore

ROOT = Path(__file__).resolve().parent.parent
TICK = 0.005
OPERATIONS = ("dump", "load", "reorganize", "recover")
TARGET_STALL_MS = 50
TARGET_RATIO = 1.25


# ---- the worker: one operation, one variant, in a process of its own ---------

class Ticker(threading.Thread):
    """Wakes every TICK seconds and notes when it did."""

    def __init__(self) -> None:
        super().__init__(daemon=True)
        self.ticks: list[float] = []
        self.stop = threading.Event()

    def run(self) -> None:
        while not self.stop.is_set():
            time.sleep(TICK)
            self.ticks.append(time.perf_counter())

    def gaps(self, start: float, end: float) -> list[float]:
        """The waits between two wake-ups, from start to the first wake-up
        after end."""
        last, gaps = start, []
        for tick in self.ticks:
            if tick <= start:
                continue
            gaps.append(tick - last)
            last = tick
            if tick > end:
                break
        return gaps


def today(operation: str, db_path: str, dump_path: str) -> None:
    if operation == "load":
        with _kvstore.open(db_path, "n") as db:
            db.load(dump_path)
        return
    with _kvstore.open(db_path, "w") as db:
        if operation == "dump":
            db.dump(dump_path)
        elif operation == "reorganize":
            db.reorganize()
        else:
            db.recover(force=True)


def stepwise(operation: str, db_path: str, dump_path: str) -> None:
    calls = []

    def progress(done: int, total: int) -> None:
        calls.append(done)

    with kvstore.open(db_path, "n" if operation == "load" else "w") as db:
        if operation == "dump":
            db.raw.dump(dump_path, progress=progress)
        elif operation == "load":
            db.raw.load(dump_path, progress=progress)
        elif operation == "reorganize":
            db.reorganize(progress=progress)
        else:
            db.recover(force=True, progress=progress)
    assert calls, "progress was never called"


def idle(operation: str, db_path: str, dump_path: str) -> None:
    time.sleep(1.0)


def worker(operation: str, variant: str, db_path: str, dump_path: str) -> None:
    run = {"today": today, "stepwise": stepwise, "idle": idle}[variant]
    ticker = Ticker()
    ticker.start()
    time.sleep(0.1)
    start = time.perf_counter()
    run(operation, db_path, dump_path)
    end = time.perf_counter()
    time.sleep(2 * TICK)
    ticker.stop.set()
    ticker.join()
    gaps = ticker.gaps(start, end)
    longest = max(gaps)
    print(json.dumps({"seconds": end - start, "stall_ms": 1000 * longest,
                      "over_target": sum(gap > TARGET_STALL_MS / 1000 for gap in gaps),
                      # Where the longest wait ended, as a share of the run.
                      "longest_at": sum(gaps[:gaps.index(longest) + 1]) / (end - start)}))


# ---- the driver ------------------------------------------------------------

def take_share(nice: int) -> None:
    """Moves this process and its workers into a scheduling group of their
    own (Linux gives each session one, when autogroup is on) with `nice`:
    on a machine that others keep busy, the gaps then show this program's
    pauses rather than its turn to run."""
    if os.getsid(0) != os.getpid():
        os.setsid()
    Path("/proc/self/autogroup").write_text(f"{nice}\n")


def build_baseline(revision: str, folder: Path) -> Path:
    """Installs the module of `revision` into a folder of its own (once per
    commit); returns the folder to put first on PYTHONPATH."""
    commit = subprocess.run(["git", "rev-parse", "--short", revision], cwd=ROOT, check=True,
                            capture_output=True, text=True).stdout.strip()
    site = folder / commit / "site"
    if (site / ".done").exists():
        return site
    source = folder / commit / "source"
    shutil.rmtree(folder / commit, ignore_errors=True)
    source.mkdir(parents=True)
    archive = subprocess.run(["git", "archive", commit], cwd=ROOT, check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    # The build tools are this venv's (meson, ninja, meson-python).
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}:{os.environ['PATH']}")
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-build-isolation", "--no-deps", "--target", str(site), str(source)],
                   check=True, env=env)
    (site / ".done").touch()
    return site


def make_files(folder: Path, records: int) -> tuple[Path, Path]:
    source, dump = folder / "source.db", folder / "source.dump"
    with _kvstore.open(str(source), "n") as db:
        for i in range(records):
            db[b"key%09d" % i] = b"value %024d" % i
        db.dump(str(dump))
    return source, dump


def measure(operation: str, variant: str, files: tuple[Path, Path], folder: Path,
            pythonpath: Path | None) -> dict[str, float]:
    source, dump = files
    db_path = folder / "work.db"
    db_path.unlink(missing_ok=True)
    if operation in ("dump", "reorganize", "recover"):
        shutil.copyfile(source, db_path)
    dump_path = folder / "out.dump" if operation == "dump" else dump
    # Each run starts with nothing left to write back from the copy above or
    # the run before, which would otherwise hold up this run's writes.
    os.sync()
    env = dict(os.environ)
    if pythonpath is not None:
        env["PYTHONPATH"] = str(pythonpath)
    result = subprocess.run(
        [sys.executable, __file__, "--worker", operation, variant, str(db_path), str(dump_path)],
        check=True, capture_output=True, text=True, env=env)
    return json.loads(result.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=int(os.environ.get("STALL_N", 1_000_000)))
    parser.add_argument("--repeats", type=int, default=int(os.environ.get("STALL_REPEATS", 3)))
    # The last revision whose dump() and load() were one library call each.
    parser.add_argument("--baseline", default=os.environ.get("STALL_BASELINE", "8dab535^"),
                        help="the revision whose dump() and load() are today's")
    parser.add_argument("--operations", nargs="+", choices=OPERATIONS, default=OPERATIONS)
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results")
    parser.add_argument("--share", type=int, metavar="NICE",
                        default=os.environ.get("STALL_SHARE"),
                        help="run in a scheduling group of its own with this nice value "
                        "(-10: a larger share of a busy machine; below 0 needs root)")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return
    if args.share is not None:
        take_share(args.share)
    baseline = build_baseline(args.baseline, ROOT / "build" / "stall-baseline")
    rows = {}
    with tempfile.TemporaryDirectory(dir=os.environ.get("STALL_WORK")) as scratch:
        folder = Path(scratch)
        files = make_files(folder, args.records)
        # What the machine alone costs the ticker: its longest gap with no
        # operation beside it.
        alone = statistics.median(measure("none", "idle", files, folder, None)["stall_ms"]
                                  for _ in range(args.repeats))
        print(f"ticker alone, 1 s: longest gap {alone:.0f} ms", flush=True)
        for operation in args.operations:
            runs = {"today": [], "stepwise": []}
            # In turns, so that both see the machine as it is at the time.
            for _ in range(args.repeats):
                for variant, measured in runs.items():
                    today_elsewhere = variant == "today" and operation in ("dump", "load")
                    measured.append(measure(operation, variant, files, folder,
                                            baseline if today_elsewhere else None))
            for variant, measured in runs.items():
                where = ", ".join(f"{run['stall_ms']:.0f} ms at {run['longest_at']:.0%}"
                                  for run in measured)
                print(f"  {operation} {variant}: longest waits {where} of the run")
            rows[operation] = summarise(runs)
            print(line(operation, rows[operation]), flush=True)
    report(rows, alone, args)


def summarise(runs: dict[str, list[dict[str, float]]]) -> dict[str, float]:
    """Median time and stall of each variant, and the time ratio."""
    row = {}
    for variant, measured in runs.items():
        row[f"{variant}_seconds"] = statistics.median(run["seconds"] for run in measured)
        row[f"{variant}_stall_ms"] = statistics.median(run["stall_ms"] for run in measured)
        row[f"{variant}_over_target"] = statistics.median(run["over_target"] for run in measured)
    row["ratio"] = row["stepwise_seconds"] / row["today_seconds"]
    return row


def line(operation: str, row: dict[str, float]) -> str:
    return (f"| {operation} | {row['today_seconds']:.2f} s | {row['stepwise_seconds']:.2f} s "
            f"| {row['ratio']:.2f} | {row['today_stall_ms']:.0f} ms "
            f"| {row['stepwise_stall_ms']:.0f} ms | {row['stepwise_over_target']:.0f} |")


def report(rows: dict[str, dict[str, float]], alone: float, args: argparse.Namespace) -> None:
    header = ("| operation | today's time | stepwise time | ratio | today's longest stall "
              f"| stepwise longest stall | stepwise stalls over {TARGET_STALL_MS} ms "
              "|\n|---|---|---|---|---|---|---|")
    table = "\n".join([header, *(line(operation, row) for operation, row in rows.items())])
    notes = [f"{args.records:,} records; median of {args.repeats} runs, each in a process of "
             f"its own; a thread asks to wake every {TICK * 1000:.0f} ms beside the operation.",
             f"Targets: stall <= {TARGET_STALL_MS} ms for dump, load and reorganize; "
             f"time <= {TARGET_RATIO}x today's. recover() stays one library call.",
             f"Today's dump and load: the build of {args.baseline}.",
             f"The ticker alone, with no operation beside it, waited up to {alone:.0f} ms "
             f"on this machine (its load average then: {os.getloadavg()[0]:.1f} "
             f"on {os.cpu_count()} CPUs)."
             + ("" if args.share is None else
                f" Run in a scheduling group of its own at nice {args.share}.")]
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "stall.md").write_text(table + "\n\n" + "\n".join(notes) + "\n")
    (args.out / "stall.json").write_text(json.dumps(
        {"records": args.records, "repeats": args.repeats, "baseline": args.baseline,
         "share": args.share, "ticker_alone_ms": alone, "rows": rows}, indent=2) + "\n")
    print()
    print(table)
    print("\n".join(notes))


if __name__ == "__main__":
    main()
