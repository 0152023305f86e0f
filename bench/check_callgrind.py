"""Fails when instructions per operation rise on the hot path:
  - _kvstore over the C floor, more than 3% over the committed baseline;
  - the kvstore package over _kvstore underneath it, more than 3% over the
    baseline or over its limit (PACKAGE_LIMITS), whichever is lower.

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
# The package runs each of these through the module's own paths in C: at
# most this many times _kvstore's instructions. Its items() walk is measured
# against a _kvstore walk that fetches each value.
PACKAGE_LIMITS = {"fetch": 1.05, "insert": 1.05, "delete_half": 1.05, "delete_all": 1.05,
                  "contains_hit": 1.05, "contains_miss": 1.05, "get_miss": 1.05, "walk": 1.05,
                  "items": 1.1}
TOLERANCE = 1.03
GROUPS = [("kvstore_over_floor", "_kvstore / C", PHASES),
          ("package_over_module", "kvstore / _kvstore", list(PACKAGE_LIMITS))]


def ratios_of(result):
    """The guarded ratios; a phase the run did not measure counts as infinite."""
    return {key: {name: result.get(key, {}).get(name, float("inf")) for name in names}
            for key, _, names in GROUPS}


def main(argv):
    if len(argv) not in (3, 4) or (len(argv) == 4 and argv[3] != "--update"):
        sys.exit(__doc__)
    with open(argv[1]) as src:
        result = json.load(src)
    ratios = ratios_of(result)
    if len(argv) == 4:
        with open(argv[2], "w") as dst:
            json.dump({"n": result["n"], **ratios}, dst, indent=1)
            dst.write("\n")
        return 0
    with open(argv[2]) as src:
        baseline = json.load(src)
    if baseline["n"] != result["n"]:
        sys.exit(f"the baseline counts {baseline['n']} records, this run {result['n']}")
    failed = []
    print(f"{'ratio':<19} {'phase':<15} {'baseline':>9} {'now':>9} {'change':>8} {'limit':>7}")
    for key, title, names in GROUPS:
        for name in names:
            before, now = baseline[key][name], ratios[key][name]
            bound = before * TOLERANCE
            limit = PACKAGE_LIMITS.get(name) if key == "package_over_module" else None
            if limit is not None:
                bound = min(bound, limit)
            shown = f"{limit:7.2f}" if limit is not None else ""
            print(f"{title:<19} {name:<15} {before:9.4f} {now:9.4f} {now / before - 1:+8.2%} {shown:>7}")
            if now > bound:
                failed.append(f"{title} {name}")
    if failed:
        print(f"bench-check: over {TOLERANCE - 1:.0%} above the baseline or over the limit: "
              f"{', '.join(failed)}")
        return 1
    print("bench-check: every ratio within 3% of the baseline and within its limit")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
