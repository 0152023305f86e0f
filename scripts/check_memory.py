"""The planning and the reading of make check-memory; scripts/check_memory.sh
sets up the tools and the sanitizer build and runs these:

  check_memory.py run --out DIR --shards N PASS COMMAND...
      splits the behaviour test files into N shards balanced by the seconds
      each took in PASS when last recorded, and runs COMMAND once per shard
      with its files appended, the shards side by side. Shard K's output goes
      to DIR/PASS-K.log, its tests' seconds to DIR/PASS-K.xml (JUnit) and
      each shard's files and exit status to DIR/PASS.json.
  check_memory.py verdict --out DIR PASS...
      prints each shard's summary (a failed one's failures), the valgrind
      totals, the sanitizer reports and the fault sweep's line; records the
      seconds of the shards that passed in SECONDS_FILE; exits 1 when
      anything failed.

SECONDS_FILE, measured data and no source, is build/check-memory-seconds.json
or $KVSTORE_MEMORY_SECONDS (CI keeps it outside the clone), rewritten by each
run. Where it is missing (a clean clone) the shards are planned by the files'
sizes; a file without a record in it counts as its size at the seconds per
byte of the files that have one.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path
from xml.etree import ElementTree

ROOT = Path(__file__).resolve().parent.parent
TESTS = ROOT / "tests"
SECONDS_FILE = Path(os.environ.get("KVSTORE_MEMORY_SECONDS") or ROOT / "build" / "check-memory-seconds.json")
# The project's tests look at the stub, the metadata, the pages and this
# script, not at memory: make test runs them.
NOT_MEMORY_ROOMS = {"project"}
PASSES = ("valgrind", "sanitizers")


# ---- planning -----------------------------------------------------------------

def behaviour_files(tests=TESTS):
    """{file name: size in bytes} of the test files that check-memory runs,
    named from `tests` ("package/test_batches.py")."""
    return {path.relative_to(tests).as_posix(): path.stat().st_size
            for path in sorted(tests.rglob("test_*.py"))
            if path.relative_to(tests).parts[0] not in NOT_MEMORY_ROOMS}


def estimates(sizes, recorded):
    """{file name: seconds} for the files of `sizes`: the recorded seconds,
    or for a file without a record its size at the recorded files' seconds
    per byte (one with nothing recorded, which plans by size alone)."""
    known = [name for name in sizes if name in recorded]
    seconds = sum(recorded[name] for name in known)
    size = sum(sizes[name] for name in known)
    per_byte = seconds / size if size > 0 else 1.0
    return {name: recorded.get(name, sizes[name] * per_byte) for name in sizes}


def plan(seconds, shards):
    """The file names of `seconds` in at most `shards` groups: the longest
    first, each to the group with the fewest seconds so far."""
    groups = [[] for _ in range(shards)]
    loads = [0.0] * shards
    for name in sorted(seconds, key=lambda name: (-seconds[name], name)):
        least = loads.index(min(loads))
        groups[least].append(name)
        loads[least] += seconds[name]
    return [group for group in groups if group]


def recorded_seconds(path=SECONDS_FILE):
    """{pass: {file name: seconds}} as last recorded."""
    try:
        return json.loads(path.read_text())
    except FileNotFoundError:
        return {}


def measured_seconds(junit_xml):
    """{file name: seconds its tests took} from a JUnit report of pytest,
    whose class names are the test file's path from the project, dotted
    ("tests.package.test_batches.TestGroup")."""
    seconds = {}
    for case in ElementTree.parse(junit_xml).iter("testcase"):
        parts = case.get("classname").split(".")[1:]
        module = next(index for index, part in enumerate(parts) if part.startswith("test_"))
        name = "/".join(parts[: module + 1]) + ".py"
        seconds[name] = seconds.get(name, 0.0) + float(case.get("time", 0))
    return seconds


def updated(recorded, measured, files):
    """The records of `files` with the measured figures in place of the old."""
    merged = {**recorded, **measured}
    return {name: round(merged[name], 1) for name in sorted(files) if name in merged}


# ---- running ------------------------------------------------------------------

def run_pass(name, command, out, shards, tests=TESTS, seconds_file=SECONDS_FILE):
    """Runs the shards of pass `name` side by side and waits for them."""
    sizes = behaviour_files(tests)
    groups = plan(estimates(sizes, recorded_seconds(seconds_file).get(name, {})), shards)
    running = []
    for number, group in enumerate(groups, 1):
        log = out / f"{name}-{number}.log"
        with log.open("w") as stream:
            print(f"check-memory: {name} shard {number}: {' '.join(group)}", file=stream, flush=True)
            process = subprocess.Popen(
                [*command, *(str(tests / file) for file in group), f"--junitxml={out / name}-{number}.xml"],
                stdout=stream, stderr=subprocess.STDOUT)
        running.append((number, process, log))
    started = time.monotonic()
    statuses = {}
    while len(statuses) < len(running):
        time.sleep(0.5)
        for number, process, log in running:
            if number not in statuses and process.poll() is not None:
                statuses[number] = process.returncode
                with log.open("a") as stream:
                    print(f"check-memory: {name} shard {number} took {round(time.monotonic() - started)} s",
                          file=stream)
    shards_run = [{"files": group, "status": statuses[number]} for number, group in enumerate(groups, 1)]
    (out / f"{name}.json").write_text(json.dumps(shards_run))


# ---- reading ------------------------------------------------------------------

# pytest's last line, as "1234 passed, 5 skipped in 600.25s (0:10:00)".
PYTEST_SUMMARY = re.compile(r"^[0-9]+ [a-z].* in [0-9.]+s")


def shard_report(pass_name, number, log, status):
    """The lines that tell how a shard went: its pytest summary and time, or
    for a failed one its failures and the end of its log."""
    lines = log.read_text(errors="replace").splitlines()
    if status == 0:
        return [line for line in lines if line.startswith("check-memory: ") or PYTEST_SUMMARY.match(line)][-2:]
    report = [f"check-memory: {pass_name} shard {number} FAILED (log: {log}):"]
    failures = next((lines[index:] for index, line in enumerate(lines) if "short test summary info" in line), [])
    report += failures[:60]
    # A crash leaves no summary, and a long one loses its end: show how the
    # shard ended.
    if len(failures) > 60 or not failures:
        report += lines[-3:]
    return report


def excerpts(paths, pattern, after, limit=80, dropped=None):
    """Each line that matches `pattern` with the `after` lines that follow
    it, as grep -A shows them, at most `limit` lines; lines that match
    `dropped` are left out."""
    shown = []
    for path in paths:
        lines = path.read_text(errors="replace").splitlines()
        end = -1
        for index, line in enumerate(lines):
            if pattern.search(line):
                if shown and (end < 0 or index > end + 1):
                    shown.append("--")
                shown += lines[max(index, end + 1):index + after + 1]
                end = max(end, index + after)
    if dropped is not None:
        shown = [line for line in shown if not dropped.search(line)]
    return shown[:limit]


VALGRIND_ERRORS = re.compile(r"ERROR SUMMARY: ([0-9]+) errors")
VALGRIND_SUPPRESSED = re.compile(r"suppressed: [0-9,]+ bytes in ([0-9,]+) blocks")
VALGRIND_PROBLEM = re.compile(r"Invalid|uninitialised|Conditional jump|definitely lost in")


def valgrind_report(folder):
    """(lines, failed) for the memcheck logs in `folder`, one per process."""
    logs = sorted(folder.glob("*.log"))
    texts = [log.read_text(errors="replace") for log in logs]
    errors = sum(int(count) for text in texts for count in VALGRIND_ERRORS.findall(text))
    suppressed = sum(int(count.replace(",", "")) for text in texts for count in VALGRIND_SUPPRESSED.findall(text))
    lines = [f"check-memory: valgrind: {errors} errors in {len(logs)} processes "
             f"({suppressed} interpreter blocks suppressed)"]
    failed = errors > 0 or any("definitely lost in loss record" in text for text in texts)
    if failed:
        lines += excerpts(logs, VALGRIND_PROBLEM, after=12)
    return lines, failed


SANITIZER_PROBLEM = re.compile(r"ERROR|runtime error|limit exhausted")
FAULT_SWEEP = re.compile(r"^fault-sweep ([0-9]+) ([0-9]+)$", re.MULTILINE)


def sanitizer_report(folder, stats):
    """(lines, failed) for the sanitizers' report files in `folder` and the
    fault sweep's figures in the stats file."""
    reports = sorted(folder.iterdir())
    lines = [f"check-memory: sanitizers: {len(reports)} reports"]
    sweeps = FAULT_SWEEP.findall(stats.read_text()) if stats.exists() else []
    if sweeps:
        sites, failures = sweeps[-1]
        lines.append(f"check-memory: fault-injection sweep: {sites} sites, {failures} injected failures")
    else:
        lines.append("check-memory: fault-injection sweep: did not run")
    if reports:
        lines += excerpts(reports, SANITIZER_PROBLEM, after=25, dropped=re.compile(r"^\t0x"))
    return lines, bool(reports) or not sweeps


def verdict(out, passes, seconds_file=SECONDS_FILE, tests=TESTS):
    """Prints what each pass found; records the seconds of the shards that
    passed; returns the exit status."""
    failed = False
    recorded = recorded_seconds(seconds_file)
    files = behaviour_files(tests)
    measured_any = False
    for pass_name in passes:
        outcome = out / f"{pass_name}.json"
        if not outcome.exists():
            print(f"check-memory: {pass_name}: the shards did not finish")
            failed = True
            continue
        measured = {}
        for number, shard in enumerate(json.loads(outcome.read_text()), 1):
            for line in shard_report(pass_name, number, out / f"{pass_name}-{number}.log", shard["status"]):
                print(line)
            failed |= shard["status"] != 0
            junit = out / f"{pass_name}-{number}.xml"
            if shard["status"] == 0 and junit.exists():
                # A file whose tests were all deselected (bigmem) is in no
                # test case: it took no time.
                measured |= dict.fromkeys(shard["files"], 0.0) | measured_seconds(junit)
        if measured:
            recorded[pass_name] = updated(recorded.get(pass_name, {}), measured, files)
            measured_any = True
        if pass_name == "valgrind":
            lines, found = valgrind_report(out / "valgrind")
        else:
            lines, found = sanitizer_report(out / "sanitizers", out / "asan-stats")
        print("\n".join(lines))
        failed |= found
    if measured_any:
        seconds_file.parent.mkdir(parents=True, exist_ok=True)
        seconds_file.write_text(json.dumps(recorded, indent=1, sort_keys=True) + "\n")
    return 1 if failed else 0


def main(arguments):
    parser = argparse.ArgumentParser(prog="check_memory.py")
    commands = parser.add_subparsers(dest="action", required=True)
    run = commands.add_parser("run")
    run.add_argument("--out", type=Path, required=True)
    run.add_argument("--shards", type=int, required=True)
    run.add_argument("pass_name", choices=PASSES)
    run.add_argument("command", nargs=argparse.REMAINDER)
    judge = commands.add_parser("verdict")
    judge.add_argument("--out", type=Path, required=True)
    judge.add_argument("passes", nargs="+", choices=PASSES)
    given = parser.parse_args(arguments)
    if given.action == "run":
        run_pass(given.pass_name, given.command, given.out, given.shards)
        return 0
    return verdict(given.out, given.passes)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
