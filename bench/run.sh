#!/usr/bin/env bash
# make bench: the C floor, _kvstore and the peers on one shared workload,
# each backend in a process of its own; tables, JSON and a chart go to
# bench/results/.
#   make bench                  N = 1,000,000 records (BENCH_N=... or N=... for fewer)
#   make bench-callgrind        instructions per operation: _kvstore against the C floor,
#                               the kvstore package against _kvstore
#   make bench-parallel         the parallel-reads phase alone (make bench ends with it)
#   make bench-shared           processes sharing one store alone (make bench runs it
#                               before the parallel reads)
#   make bench-batches          a batch against the same changes one by one alone (make
#                               bench runs it too)
# Knobs: BENCH_N, BENCH_REPEATS (3), BENCH_N_4K (N/10: the 4 KiB-value variant),
# BENCH_BACKENDS (all), BENCH_OUT (bench/results), BENCH_WORK (build/bench/work),
# BENCH_PARALLEL_N (200,000, at most N), BENCH_PARALLEL_WORKERS (1 2 4, those
# up to the number of CPUs).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-full}
venv=${VENV:-.venv}
py=$venv/bin/python
build=build/bench
work=${BENCH_WORK:-$build/work}
out=${BENCH_OUT:-bench/results}
repeats=${BENCH_REPEATS:-3}
if [ "$mode" = callgrind ]; then
    n=${BENCH_N:-${N:-10000}}
elif [ "$mode" = parallel ]; then
    n=${BENCH_PARALLEL_N:-200000}
else
    n=${BENCH_N:-${N:-1000000}}
fi
n4k=${BENCH_N_4K:-$((n / 10))}
backends=${BENCH_BACKENDS:-"C C-tuned _kvstore kvstore dict lmdb dbm.sqlite3 dbm.dumb sqlitedict diskcache"}
# The settings the C floor, tuned, runs with (floor.c, SETTINGS): the best
# the sweep of gdbm's settings found (README, Performance), the mapping
# switched off for each run of changes and on again for the reads.
tuned=${BENCH_TUNED:-"mmap=2"}

# Records per run where a peer pays a millisecond or more per write or
# delete (a commit per store, or an index rewritten per delete): at the full
# N such a peer would take hours.
cap() {
    case $1 in
        dbm.sqlite3) echo 3000 ;;
        dbm.dumb) echo 2000 ;;
        sqlitedict) echo 5000 ;;
        diskcache) echo 20000 ;;
        *) echo "$2" ;;
    esac
}

parallel_n=${BENCH_PARALLEL_N:-200000}
[ "$parallel_n" -le "$n" ] || parallel_n=$n
parallel_workers=${BENCH_PARALLEL_WORKERS:-$(for w in 1 2 4; do [ "$w" -gt "$(nproc)" ] || echo $w; done)}

if [ "$mode" != parallel ]; then
    # The callgrind mode runs only the C floor, _kvstore and the kvstore package: no peers to install.
    [ "$mode" = callgrind ] || "$py" -c 'import lmdb, sqlitedict, diskcache, matplotlib' 2>/dev/null ||
        "$py" -m pip install -q --disable-pip-version-check -r bench/requirements.txt

    export PATH="$PWD/$venv/bin:$PATH"
    if [ ! -f "$build/build.ninja" ]; then
        meson setup "$build" -Dbench=true >/dev/null
    fi
    meson compile -C "$build" kvbench-floor >/dev/null
    floor=$build/kvbench-floor
fi

mkdir -p "$work"
workload=$work/workload-$n.bin
if [ ! -f "$workload" ]; then
    echo "bench: writing the workload ($n records) to $workload"
    "$py" bench/workload.py "$workload" --n "$n"
fi
scratch=$(mktemp -d "$work/run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# One database read by 1, 2 and 4 workers at once in one process: interpreters
# with a GIL of their own against threads of one interpreter.
parallel_reads() {
    local raw=$out/parallel-raw
    rm -rf "$raw" && mkdir -p "$raw"
    for repeat in $(seq "$repeats"); do
        echo "bench: parallel reads, $parallel_n records, workers $(echo $parallel_workers), repeat $repeat of $repeats"
        "$py" bench/parallel.py "$workload" "$parallel_n" "$scratch/parallel" $parallel_workers \
            >"$raw/$repeat.json"
    done
    "$py" bench/report.py parallel "$out"
}

if [ "$mode" = parallel ]; then
    parallel_reads
    exit 0
fi

if [ "$mode" = callgrind ]; then
    raw=$out/callgrind
    rm -rf "$raw" && mkdir -p "$raw"
    # Counters are zeroed on entering getppid() and dumped on entering
    # getpgrp(): the drivers call them right around every timed phase.
    grind=(valgrind --tool=callgrind --zero-before=getppid --dump-before=getpgrp)
    echo "bench: callgrind, $n records, C floor"
    "${grind[@]}" --callgrind-out-file="$raw/C.out" \
        "$floor" "$workload" "$n" 100 1 "$scratch" >"$raw/C.json" 2>"$raw/C.log"
    for backend in _kvstore kvstore; do
        echo "bench: callgrind, $n records, $backend"
        PYTHONHASHSEED=0 "${grind[@]}" --callgrind-out-file="$raw/$backend.out" \
            "$py" bench/driver.py "$backend" "$workload" "$n" 100 1 "$scratch" \
            >"$raw/$backend.json" 2>"$raw/$backend.log"
    done
    "$py" bench/report.py callgrind "$out"
    exit 0
fi

raw=$out/raw
rm -rf "$raw" && mkdir -p "$raw"
{
    echo "{\"started\": \"$(date -u +%FT%TZ)\", \"load_before\": \"$(cut -d' ' -f1-3 /proc/loadavg)\","
    echo " \"tuned\": \"$tuned\", \"cpus\": $(nproc), \"commit\": \"$(git rev-parse --short HEAD 2>/dev/null || echo unknown)\","
    echo " \"gdbm\": \"$(printf '#include <gdbm.h>\nGDBM_VERSION_MAJOR.GDBM_VERSION_MINOR.GDBM_VERSION_PATCH\n' | cc -E -P - | tail -1 | tr -d ' ')\","
    echo " \"python\": \"$("$py" -c 'import platform; print(platform.python_version())')\","
} >"$raw/meta.part"

# Repeats take turns across the backends, each in a fresh process, so that
# a change in the machine's load over the run falls on every backend alike.
for variant in 100 4096; do
    size=$n
    [ "$variant" = 4096 ] && size=$n4k
    for repeat in $(seq "$repeats"); do
        for backend in $backends; do
            count=$(cap "$backend" "$size")
            [ "$count" -gt "$size" ] && count=$size
            echo "bench: $backend, $count records of $variant-byte values, repeat $repeat of $repeats"
            result=$raw/$variant-$backend.$repeat.json
            if [ "$backend" = C ]; then
                "$floor" "$workload" "$count" "$variant" 1 "$scratch" >"$result"
            elif [ "$backend" = C-tuned ]; then
                "$floor" "$workload" "$count" "$variant" 1 "$scratch" "$tuned" >"$result"
            else
                "$py" bench/driver.py "$backend" "$workload" "$count" "$variant" 1 "$scratch" >"$result"
            fi
        done
    done
done
echo "bench: memory of the key traversals, $n records"
"$py" bench/memory.py "$workload" "$n" "$scratch" >"$raw/memory.json"
{
    cat "$raw/meta.part"
    echo " \"finished\": \"$(date -u +%FT%TZ)\", \"load_after\": \"$(cut -d' ' -f1-3 /proc/loadavg)\"}"
} >"$raw/meta.json"
rm "$raw/meta.part"
"$py" bench/report.py full "$out"
echo "bench: processes sharing one store (bench/shared.py)"
"$py" bench/shared.py --out "$out"
echo "bench: a batch against the same changes one by one (bench/batches.py)"
"$py" bench/batches.py --out "$out" --work "$work"
parallel_reads
