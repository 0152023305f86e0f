#!/usr/bin/env bash
# make fuzz-long: the property, thread and damaged-file tests at many times
# their CI size, then a summary of what ran.
#   FUZZ_EXAMPLES  stateful examples (default 5000; CI runs 200)
#   FUZZ_SCALE     size of the thread and mutation runs (default 10: 200,000
#                  mutations; CI runs 1, 20,000 mutations)
#   FUZZ_SEED      mutation seed (default: a new one each run, printed)
# Files that crash, hang or fail a reader are kept in build/fuzz-long/crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${VENV:-.venv}/bin/python
out=build/fuzz-long
seed=${FUZZ_SEED:-$(date +%s)}
rm -rf "$out"
mkdir -p "$out"
echo "fuzz-long: examples ${FUZZ_EXAMPLES:-5000}, scale ${FUZZ_SCALE:-10}, mutation seed $seed"

status=0
KVSTORE_HYPOTHESIS_PROFILE=long KVSTORE_FUZZ_EXAMPLES=${FUZZ_EXAMPLES:-5000} \
    KVSTORE_TEST_SCALE=${FUZZ_SCALE:-10} KVSTORE_DAMAGE_SEED=$seed \
    KVSTORE_STATS_FILE=$PWD/$out/stats KVSTORE_CRASH_DIR=$PWD/$out/crashes \
    "$py" -m pytest -q -p no:cacheprovider \
    tests/safety/test_stateful.py tests/concurrency/test_threads.py tests/safety/test_damaged.py || status=1

"$py" - "$out/stats" <<'EOF'
import collections, json, sys

stateful = examples = 0
threads = collections.Counter()
damage = collections.Counter()
workers = 0
for line in open(sys.argv[1]):
    label, count, rest = line.split(" ", 2)
    if label == "stateful":
        examples += 1
        stateful += int(rest)
    elif label.startswith("threads"):
        threads[f"{label} x{count}"] += int(rest)
    else:
        workers += int(count)
        damage.update(json.loads(rest))
print(f"fuzz-long: stateful: {examples} examples, {stateful} operations")
for name, total in sorted(threads.items()):
    print(f"fuzz-long: {name} threads: {total} operations")
cases = sum(damage[k] for k in ("ok", "error", "fail", "crash", "hang"))
print(f"fuzz-long: damaged files: {cases} read in {workers} worker processes: "
      + ", ".join(f"{k} {v}" for k, v in sorted(damage.items())))
EOF
exit "$status"
