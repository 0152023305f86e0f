"""Turns the drivers' raw JSON into results.md, results.json and results.png.

usage: report.py full OUT        (after make bench)
       report.py callgrind OUT   (after make bench-callgrind)
       report.py parallel OUT    (after make bench or make bench-parallel)
"""

import glob
import json
import os
import statistics
import sys

PHASES = [
    ("insert", "insert into a new file (store)"),
    ("reopen", "close and reopen (per call)"),
    ("fetch", "random fetch `db[k]`"),
    ("contains_hit", "`k in db`, present"),
    ("contains_miss", "`k in db`, absent"),
    ("get_miss", "`get(k, default)`, absent"),
    ("keys", "`keys()`, per key"),
    ("walk", "`firstkey`/`nextkey` walk, per key"),
    ("items", "every key and value, per pair"),
    ("len_after_change", "`len` after a change (per call)"),
    ("delete_half", "delete half `del db[k]`"),
    ("reorganize", "`reorganize()` (per call)"),
    ("readonly_fetch", "reopen read-only, fetch the rest"),
    ("delete_all", "delete every record one by one"),
    ("clear", "`clear()`, per record"),
]
BACKENDS = ["C", "C-tuned", "_kvstore", "kvstore", "dict", "lmdb", "dbm.sqlite3", "dbm.dumb", "sqlitedict",
            "diskcache"]
NAMES = {"C": "C floor", "C-tuned": "C floor, tuned"}
PERSISTENT_PEERS = ["lmdb", "dbm.sqlite3", "dbm.dumb", "sqlitedict", "diskcache"]

# _kvstore against the C floor, which runs with the settings _kvstore
# applies by default (gdbm's own), medians of the same run.
TIME_TARGETS = [
    ("fetch", 1.15), ("insert", 1.05), ("contains_hit", 1.15), ("contains_miss", 1.15),
    ("keys", 1.3), ("walk", 1.6), ("delete_half", 1.05), ("delete_all", 1.05),
]
INSTRUCTION_TARGETS = [("fetch", 1.5), ("insert", 1.15)]
# The kvstore package against _kvstore underneath it, in instructions: the
# limits that make bench-check holds.
from check_callgrind import PACKAGE_LIMITS  # noqa: E402
# The same, in time: medians of the same run.
PACKAGE_TARGETS = [("fetch", 1.3), ("contains_hit", 1.3), ("contains_miss", 1.3), ("insert", 1.3)]
# Against the C floor with gdbm's defaults: changes at least twice as fast,
# for the tuned floor and for each layer with its defaults; reads no slower
# for the tuned floor (the layers' reads carry the binding's own cost, which
# the targets above bound).
CHANGE_TARGETS = [("insert", 0.5), ("delete_half", 0.5), ("delete_all", 0.5)]
READ_TARGETS = [("fetch", 1.05), ("contains_hit", 1.05), ("walk", 1.05)]
# CPU time per operation, user and system, of these phases and backends.
CPU_PHASES = ["insert", "fetch", "delete_half", "delete_all", "clear"]
CPU_BACKENDS = ["C", "C-tuned", "_kvstore"]


def load(path):
    with open(path) as src:
        return json.load(src)


def merge(runs):
    """One backend's runs, one process per repeat, as if they were one run."""
    merged = dict(runs[0], repeats=sum(run["repeats"] for run in runs),
                  peak_rss_kib=max(run["peak_rss_kib"] for run in runs),
                  base_rss_kib=max(run["base_rss_kib"] for run in runs))
    merged["phases"] = {}
    for name, phase in runs[0]["phases"].items():
        if phase["ns"] is None:
            merged["phases"][name] = phase
            continue
        merged["phases"][name] = {
            field: [x for run in runs for x in run["phases"][name].get(field) or []]
            for field in ("ns", "user_ns", "sys_ns", "rss_kib")
        }
        merged["phases"][name]["ops"] = phase["ops"]
    return merged


def cpu_per_op(phase, field):
    return statistics.median(phase[field]) / phase["ops"] if phase.get(field) else None


def per_op(phase):
    if phase["ns"] is None:
        return None
    return statistics.median(phase["ns"]) / phase["ops"]


def fmt(value):
    if value is None:
        return "n/a"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.1f}"


def summarise(raw):
    variants = {}
    for variant in ("100", "4096"):
        backends = {}
        for backend in BACKENDS:
            runs = sorted(glob.glob(os.path.join(raw, f"{variant}-{glob.escape(backend)}.*.json")))
            if not runs:
                continue
            data = merge([load(path) for path in runs])
            backends[backend] = {
                "n": data["n"],
                "repeats": data["repeats"],
                "peak_rss_mib": round(data["peak_rss_kib"] / 1024, 1),
                "workload_rss_mib": round(data["base_rss_kib"] / 1024, 1),
                "phases": {
                    name: {
                        "ns_per_op": per_op(phase),
                        "ns_per_op_each_repeat": None if phase["ns"] is None
                        else [ns / phase["ops"] for ns in phase["ns"]],
                        "ops": phase["ops"],
                        "peak_rss_rise_kib": None if phase["rss_kib"] is None
                        else max(phase["rss_kib"]),
                        "user_ns_per_op": cpu_per_op(phase, "user_ns"),
                        "sys_ns_per_op": cpu_per_op(phase, "sys_ns"),
                    }
                    for name, phase in data["phases"].items()
                },
            }
            # A phase that a backend does not run at all (the C floor's items) shows as n/a.
            for name, _ in PHASES:
                backends[backend]["phases"].setdefault(
                    name, {"ns_per_op": None, "ns_per_op_each_repeat": None, "ops": None,
                           "peak_rss_rise_kib": None})
        variants[variant] = {"backends": backends,
                             "tuned_over_floor": ratios(backends, "C-tuned", "C"),
                             "kvstore_over_floor": ratios(backends, "_kvstore", "C"),
                             "kvstore_over_tuned": ratios(backends, "_kvstore", "C-tuned"),
                             "package_over_floor": ratios(backends, "kvstore", "C"),
                             "package_over_module": ratios(backends, "kvstore", "_kvstore")}
    return variants


def ratios(backends, top, base):
    """Per phase, top's ns per operation over base's; empty unless both ran."""
    if top not in backends or base not in backends:
        return {}
    result = {}
    for name, _ in PHASES:
        b = backends[base]["phases"][name]["ns_per_op"]
        t = backends[top]["phases"][name]["ns_per_op"]
        result[name] = round(t / b, 3) if b and t is not None else None
    return result


def targets(variants, memory):
    main = variants["100"]
    found = main["backends"]
    ratio = main["kvstore_over_floor"]
    rows = []
    for name, limit in TIME_TARGETS:
        got = ratio.get(name)
        if got is not None:
            rows.append((f"{name}: _kvstore / C floor <= {limit}", f"{got:.2f}", got <= limit))
    for top, key, limits in [("C floor, tuned", "tuned_over_floor", CHANGE_TARGETS + READ_TARGETS),
                             ("_kvstore", "kvstore_over_floor", CHANGE_TARGETS),
                             ("kvstore", "package_over_floor", CHANGE_TARGETS)]:
        for name, limit in limits:
            got = main[key].get(name)
            if got is not None:
                rows.append((f"{name}: {top} / C floor <= {limit}", f"{got:.2f}", got <= limit))
    package = main["package_over_module"]
    for name, limit in PACKAGE_TARGETS:
        got = package.get(name)
        if got is not None:
            rows.append((f"{name}: kvstore / _kvstore <= {limit}", f"{got:.2f}", got <= limit))
    kv = found["_kvstore"]["phases"]
    fetch = kv["fetch"]["ns_per_op"]
    peers = {p: found[p]["phases"]["fetch"]["ns_per_op"] for p in PERSISTENT_PEERS if p in found}
    if peers:
        best = min(peers, key=peers.get)
        rows.append(("random fetch ahead of every persistent peer",
                     f"{fmt(fetch)} ns vs best peer {best} {fmt(peers[best])} ns",
                     fetch < peers[best]))
    clear = kv["clear"]["ns_per_op"]
    delete = kv["delete_all"]["ns_per_op"]
    rows.append(("clear() no slower than deleting one by one from Python",
                 f"{fmt(clear)} vs {fmt(delete)} ns per record", clear <= delete))
    if memory is not None:
        rise = memory["walk_rise_kib"]
        rows.append((f"walking {memory['n']:,} keys raises peak RSS by < 1 MiB",
                     f"{rise} KiB", rise < 1024))
        if "iterate_rise_kib" in memory:
            rise = memory["iterate_rise_kib"]
            rows.append((f"kvstore: `for k in db` over {memory['n']:,} keys raises peak RSS by < 1 MiB",
                         f"{rise} KiB", rise < 1024))
        own = memory["keys_list_and_bytes_kib"]
        rows.append(("keys() costs no more than its list and bytes objects (+1 MiB of arena slack)",
                     f"{memory['keys_rise_kib']:,} KiB vs {own:,} KiB",
                     memory["keys_rise_kib"] <= own + 1024))
    return [{"target": t, "measured": m, "met": ok} for t, m, ok in rows]


def markdown(meta, variants, memory, checks):
    lines = [
        f"Run {meta['started']} to {meta['finished']}, commit {meta['commit']}, "
        f"gdbm {meta['gdbm']}, Python {meta['python']}, {meta['cpus']} CPUs; "
        f"C floor, tuned: `{meta.get('tuned', 'n/a')}`; "
        f"load average {meta['load_before']} before, {meta['load_after']} after.",
        "",
    ]
    for variant, data in variants.items():
        backends = data["backends"]
        if not backends:
            continue
        order = [b for b in BACKENDS if b in backends]
        # Each ratio column follows the column of its numerator.
        ratio_columns = {b: [(title, data[key]) for title, key in columns if data[key]]
                         for b, columns in [
                             ("C-tuned", [("tuned / C", "tuned_over_floor")]),
                             ("_kvstore", [("_kvstore / C", "kvstore_over_floor"),
                                           ("_kvstore / tuned", "kvstore_over_tuned")]),
                             ("kvstore", [("kvstore / _kvstore", "package_over_module")])]}
        lines.append(f"### {variant}-byte values: ns per operation, median of "
                     f"{backends[order[0]]['repeats']} repeats")
        lines.append("")
        head = ["phase"]
        for b in order:
            head.append(NAMES.get(b, b))
            head.extend(title for title, _ in ratio_columns.get(b, []))
        lines.append("| " + " | ".join(head) + " |")
        lines.append("|" + "---|" * len(head))

        def row(label, cell, name=None):
            cells = [label]
            for b in order:
                cells.append(cell(backends[b]))
                for _, column in ratio_columns.get(b, []):
                    got = column.get(name)
                    cells.append("" if name is None else "n/a" if got is None else f"{got:.2f}")
            lines.append("| " + " | ".join(cells) + " |")

        row("records", lambda d: f"{d['n']:,}")
        for name, label in PHASES:
            row(label, lambda d: fmt(d["phases"][name]["ns_per_op"]), name)
        row("peak RSS, MiB (workload lists alone)",
            lambda d: f"{d['peak_rss_mib']:,.0f} ({d['workload_rss_mib']:,.0f})")
        lines.append("")
        lines += cpu_table(backends)
    capped = sorted({b for v in variants.values() for b, d in v["backends"].items()
                     if d["n"] < max(x["n"] for x in v["backends"].values())})
    if capped:
        lines.append("Fewer records for " + ", ".join(capped) + " (see the records row): at the "
                     "full count they pay a commit per store or rewrite an index per delete "
                     "and would run for hours. n/a: the backend has no such operation. "
                     "Peers' walk is their own key iteration.")
        lines.append("")
    if memory is not None:
        lines.append(f"Memory ({memory['n']:,} records, its own process, file pages already "
                     f"resident): the firstkey/nextkey walk raised peak RSS by "
                     f"{memory['walk_rise_kib']} KiB; the package's `for k in db` by "
                     f"{memory.get('iterate_rise_kib', 'n/a')} KiB; keys() by {memory['keys_rise_kib']:,} KiB, "
                     f"where its list and bytes objects occupy {memory['keys_list_and_bytes_kib']:,} KiB.")
        lines.append("")
    lines.append("| target | measured | met |")
    lines.append("|---|---|---|")
    for check in checks:
        lines.append(f"| {check['target']} | {check['measured']} | {'yes' if check['met'] else 'no'} |")
    lines.append("")
    return "\n".join(lines)


def cpu_table(backends):
    """CPU time per operation, user + system, where the driver recorded it:
    less sensitive than the wall clock to other work on the machine."""
    shown = [b for b in CPU_BACKENDS if b in backends]
    if not shown or backends[shown[0]]["phases"]["insert"]["user_ns_per_op"] is None:
        return []
    lines = ["CPU time, ns per operation, user + system (medians):", "",
             "| phase | " + " | ".join(NAMES.get(b, b) for b in shown) + " |",
             "|---|" + "---|" * len(shown)]
    for name in CPU_PHASES:
        cells = []
        for b in shown:
            phase = backends[b]["phases"][name]
            user, system = phase["user_ns_per_op"], phase["sys_ns_per_op"]
            cells.append("n/a" if user is None else f"{fmt(user)} + {fmt(system)}")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def chart(variants, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [(v, d) for v, d in variants.items() if d["backends"]]
    fig, axes = plt.subplots(len(shown), 1, figsize=(15, 6.5 * len(shown)), squeeze=False)
    for ax, (variant, data) in zip(axes[:, 0], shown):
        backends = [b for b in BACKENDS if b in data["backends"]]
        width = 0.8 / len(backends)
        for i, backend in enumerate(backends):
            phases = data["backends"][backend]["phases"]
            xs, ys = [], []
            for j, (name, _) in enumerate(PHASES):
                value = phases[name]["ns_per_op"]
                if value:
                    xs.append(j + (i - (len(backends) - 1) / 2) * width)
                    ys.append(value)
            # matplotlib leaves labels that start with "_" out of the legend.
            name = {"_kvstore": "module _kvstore"}.get(backend, NAMES.get(backend, backend))
            label = f"{name} (n={data['backends'][backend]['n']:,})"
            ax.bar(xs, ys, width, label=label)
        ax.set_yscale("log")
        ax.set_xticks(range(len(PHASES)))
        ax.set_xticklabels([name for name, _ in PHASES], rotation=30, ha="right")
        ax.set_ylabel("ns per operation (log)")
        ax.set_title(f"{variant}-byte values")
        ax.legend(fontsize=8, ncol=4, loc="upper center", bbox_to_anchor=(0.5, -0.22))
        ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def full(out):
    raw = os.path.join(out, "raw")
    meta = load(os.path.join(raw, "meta.json"))
    memory_path = os.path.join(raw, "memory.json")
    memory = load(memory_path) if os.path.exists(memory_path) else None
    variants = summarise(raw)
    checks = targets(variants, memory)
    with open(os.path.join(out, "results.json"), "w") as dst:
        json.dump({"meta": meta, "variants": variants, "memory": memory, "targets": checks},
                  dst, indent=1)
    text = markdown(meta, variants, memory, checks)
    with open(os.path.join(out, "results.md"), "w") as dst:
        dst.write(text)
    chart(variants, os.path.join(out, "results.png"))
    print(text)


def dumps(prefix, sequence):
    """Instructions of each timed call: the dumps come in the calls' order."""
    counts = {}
    for i, name in enumerate(sequence, 1):
        with open(f"{prefix}.{i}") as src:
            for line in src:
                if line.startswith("summary:"):
                    counts[name] = counts.get(name, 0) + int(line.split()[1])
                    break
    if os.path.exists(f"{prefix}.{len(sequence) + 1}"):
        sys.exit(f"{prefix}: more dumps than timed calls; something else called getpgrp()")
    return counts


def callgrind(out):
    raw = os.path.join(out, "callgrind")
    result = {}
    for backend in ("C", "_kvstore", "kvstore"):
        if not os.path.exists(os.path.join(raw, f"{backend}.json")):
            continue
        data = load(os.path.join(raw, f"{backend}.json"))
        counts = dumps(os.path.join(raw, f"{backend}.out"), data["sequence"])
        result[backend] = {name: counts[name] / phase["ops"]
                           for name, phase in data["phases"].items() if name in counts}
        n = data["n"]
    package = result.get("kvstore", {})
    lines = [f"### Instructions per operation (callgrind, {n:,} records of 100 bytes)", "",
             "| phase | C floor | _kvstore | _kvstore / C | kvstore | kvstore / _kvstore |",
             "|---|---|---|---|---|---|"]
    ratios, package_ratios = {}, {}
    for name, label in PHASES:
        c, k = result["C"].get(name), result["_kvstore"].get(name)
        if k is None:
            continue
        floor = ("", "")
        if c is not None:
            ratios[name] = k / c
            floor = (f"{c:,.0f}", f"{k / c:.2f}")
        p = package.get(name)
        if p is not None:
            package_ratios[name] = p / k
        cells = ("", "") if p is None else (f"{p:,.0f}", f"{p / k:.2f}")
        lines.append(f"| {label} | {floor[0]} | {k:,.0f} | {floor[1]} | {cells[0]} | {cells[1]} |")
    lines.append("")
    for name, limit in INSTRUCTION_TARGETS:
        met = "met" if ratios[name] <= limit else "not met"
        lines.append(f"- {name}: {ratios[name]:.2f}x the floor, target <= {limit}x: {met}")
    for name, limit in PACKAGE_LIMITS.items():
        if name in package_ratios:
            met = "met" if package_ratios[name] <= limit else "not met"
            lines.append(f"- {name}: kvstore {package_ratios[name]:.2f}x _kvstore, target <= {limit}x: {met}")
    text = "\n".join(lines) + "\n"
    with open(os.path.join(out, "callgrind.json"), "w") as dst:
        json.dump({"n": n, "instructions_per_op": result, "kvstore_over_floor": ratios,
                   "package_over_module": package_ratios}, dst, indent=1)
    with open(os.path.join(out, "callgrind.md"), "w") as dst:
        dst.write(text)
    print(text)


# Two interpreters against one, _kvstore, medians of the same run.
PARALLEL_TARGET = 1.8
MODE_NAMES = {"interpreters": ("interpreter", "interpreters"),
              "threads": ("thread of one interpreter", "threads of one interpreter")}


def parallel_summary(repeats):
    """Per backend, mode and worker count: the reads per second of each repeat and their median."""
    cells = {}
    for run in (run for repeat in repeats for run in repeat["runs"]):
        cell = cells.setdefault((run["backend"], run["mode"], run["workers"]),
                                {"reads_per_s": [], "cores_busy": [], "reads_per_cpu_s": []})
        cell["reads_per_s"].append(run["fetches"] / run["wall_ns"] * 1e9)
        cell["cores_busy"].append(run["cpu_ns"] / run["wall_ns"])
        cell["reads_per_cpu_s"].append(run["fetches"] / run["cpu_ns"] * 1e9)
    rows = []
    for (backend, mode, workers), cell in cells.items():
        # Each repeat runs one worker and then more within seconds: the ratio
        # of a repeat's own runs leaves out how the machine's speed drifts
        # from one repeat to the next.
        ones = cells[backend, mode, 1]["reads_per_s"]
        ratios = [rate / one for rate, one in zip(cell["reads_per_s"], ones, strict=True)]
        rows.append({"backend": backend, "mode": mode, "workers": workers,
                     "reads_per_s": statistics.median(cell["reads_per_s"]),
                     "over_one": statistics.median(ratios),
                     "cores_busy": statistics.median(cell["cores_busy"]),
                     "reads_per_cpu_s": statistics.median(cell["reads_per_cpu_s"]),
                     "reads_per_s_each_repeat": cell["reads_per_s"]})
    return rows


def parallel(out):
    repeats = [load(path) for path in sorted(glob.glob(os.path.join(out, "parallel-raw", "*.json")))]
    if not repeats:
        sys.exit(f"no parallel-reads runs in {out}/parallel-raw")
    first, last = repeats[0], repeats[-1]
    rows = parallel_summary(repeats)
    lines = [
        f"Run {first['started']} to {last['finished']}, commit {first['commit']}, "
        f"Python {first['python']} ({first['api']}), gdbm {'.'.join(map(str, first['gdbm']))}, "
        f"SQLite {first['sqlite']}, {first['cpus']} CPUs, {first['scheduling']} scheduling; load average "
        f"{' '.join(f'{x:.2f}' for x in first['load_before'])} before, "
        f"{' '.join(f'{x:.2f}' for x in last['load_after'])} after.",
        "",
        f"### Parallel reads: random fetch from {first['n']:,} records of "
        f"{first['value_size']} bytes, median of {len(repeats)} repeats",
        "",
        "Medians over the repeats; x one worker: the median of each repeat's ratio to its own "
        "one-worker run; cores busy: the workers' CPU time over the wall time.",
        "",
        "| backend | workers | reads/s, all workers | x one worker | cores busy | reads per CPU second |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        one, many = MODE_NAMES[row["mode"]]
        lines.append(f"| {row['backend']} | {row['workers']} {one if row['workers'] == 1 else many} | "
                     f"{row['reads_per_s']:,.0f} | {row['over_one']:.2f} | {row['cores_busy']:.2f} | "
                     f"{row['reads_per_cpu_s']:,.0f} |")
    lines.append("")
    checks = []
    two = [r for r in rows if (r["backend"], r["mode"], r["workers"]) == ("_kvstore", "interpreters", 2)]
    if two:
        got = two[0]["over_one"]
        checks.append({"target": f"_kvstore: 2 interpreters read >= {PARALLEL_TARGET}x "
                                 "the rate of one", "measured": f"{got:.2f}x",
                       "met": got >= PARALLEL_TARGET})
        lines += ["| target | measured | met |", "|---|---|---|"]
        lines += [f"| {c['target']} | {c['measured']} | {'yes' if c['met'] else 'no'} |"
                  for c in checks]
        lines.append("")
    text = "\n".join(lines)
    meta = {k: v for k, v in first.items() if k != "runs"}
    meta.update(finished=last["finished"], load_after=last["load_after"], repeats=len(repeats))
    with open(os.path.join(out, "parallel.json"), "w") as dst:
        json.dump({"meta": meta, "rows": rows, "targets": checks}, dst, indent=1)
    with open(os.path.join(out, "parallel.md"), "w") as dst:
        dst.write(text)
    print(text)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("full", "callgrind", "parallel"):
        sys.exit(__doc__)
    {"full": full, "callgrind": callgrind, "parallel": parallel}[sys.argv[1]](sys.argv[2])
