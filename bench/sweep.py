"""The sweep of gdbm's settings on the C floor: each setting against gdbm's
defaults, in turns (every round runs every setting once, in a fresh
process), wall clock and CPU time per operation, medians of the rounds.

usage: sweep.py WORKLOAD N ROUNDS SETTINGS...    ('' stands for gdbm's defaults)
e.g.   sweep.py build/bench/work/workload-1000000.bin 1000000 2 '' mmap=0 mmap=2 coalesce=1

SETTINGS are those of the floor (bench/floor.c). The floor is
build/bench/kvbench-floor, as make bench builds it. Prints a table.
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile

FLOOR = "build/bench/kvbench-floor"
PHASES = ["insert", "fetch", "contains_hit", "walk", "delete_half", "readonly_fetch", "delete_all", "clear"]


def run(workload, n, setting, directory):
    args = [FLOOR, workload, str(n), "100", "1", directory] + ([setting] if setting else [])
    out = json.loads(subprocess.run(args, check=True, capture_output=True, text=True).stdout)
    result = {}
    for name in PHASES:
        phase = out["phases"][name]
        result[name] = {"wall": phase["ns"][0] / phase["ops"],
                        "cpu": (phase["user_ns"][0] + phase["sys_ns"][0]) / phase["ops"],
                        "sys": phase["sys_ns"][0] / phase["ops"]}
    result["peak_rss_mib"] = out["peak_rss_kib"] / 1024
    return result


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    workload, n, rounds, settings = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
    runs = {setting: [] for setting in settings}
    with tempfile.TemporaryDirectory(dir=os.path.dirname(workload)) as directory:
        for _ in range(rounds):
            for setting in settings:
                runs[setting].append(run(workload, n, setting, directory))
    with open("/proc/loadavg") as load:
        print(f"{n:,} records, {rounds} rounds, load average after: {' '.join(load.read().split()[:3])}")
    print()
    print("ns per operation, median: wall clock / CPU (user + system) / of which system")
    print()
    print("| settings | " + " | ".join(PHASES) + " | peak RSS, MiB |")
    print("|---|" + "---|" * (len(PHASES) + 1))
    for setting, results in runs.items():
        cells = []
        for name in PHASES:
            wall, cpu, system = (statistics.median(r[name][k] for r in results) for k in ("wall", "cpu", "sys"))
            cells.append(f"{wall:,.0f} / {cpu:,.0f} / {system:,.0f}")
        rss = statistics.median(r["peak_rss_mib"] for r in results)
        print(f"| {setting or 'defaults'} | " + " | ".join(cells) + f" | {rss:,.0f} |")


if __name__ == "__main__":
    main()
