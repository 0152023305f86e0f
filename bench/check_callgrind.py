"""Fails when _kvstore's instructions per operation, over the C floor's,
rise on the hot path: more than 3% over the committed baseline for any of
the phases below.

usage: check_callgrind.py RESULT BASELINE            compare (make bench-check)
       check_callgrind.py RESULT BASELINE --update   write RESULT's ratios as the baseline

RESULT is the callgrind.json that `bench/run.sh callgrind` writes. The
ratio, not the count, is compared: both sides run the same gdbm, so a new
library release or compiler moves both.
"""

import json
import sys

# store, fetch, `in` (hit and miss) and delete.
PHASES = ["insert", "fetch", "contains_hit", "contains_miss", "delete_half", "delete_all"]
TOLERANCE = 1.03


def main(argv):
    if len(argv) not in (3, 4) or (len(argv) == 4 and argv[3] != "--update"):
        sys.exit(__doc__)
    with open(argv[1]) as src:
        result = json.load(src)
    ratios = {name: result["kvstore_over_floor"][name] for name in PHASES}
    if len(argv) == 4:
        with open(argv[2], "w") as dst:
            json.dump({"n": result["n"], "kvstore_over_floor": ratios}, dst, indent=1)
            dst.write("\n")
        return 0
    with open(argv[2]) as src:
        baseline = json.load(src)
    if baseline["n"] != result["n"]:
        sys.exit(f"the baseline counts {baseline['n']} records, this run {result['n']}")
    failed = []
    print(f"{'phase':<15} {'baseline':>9} {'now':>9} {'change':>8}")
    for name in PHASES:
        before, now = baseline["kvstore_over_floor"][name], ratios[name]
        change = now / before - 1
        print(f"{name:<15} {before:9.4f} {now:9.4f} {change:+8.2%}")
        if now > before * TOLERANCE:
            failed.append(name)
    if failed:
        print(f"bench-check: over {TOLERANCE - 1:.0%} above the baseline: {', '.join(failed)}")
        return 1
    print("bench-check: every ratio within 3% of the baseline")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
