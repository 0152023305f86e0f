#!/usr/bin/env bash
# make check-memory: the behaviour tests (bigmem tests aside) twice:
#   1. under valgrind memcheck, with the interpreter's raw allocator
#      (PYTHONMALLOC=malloc) so that every object is a heap block valgrind
#      watches; the children that read damaged files run under memcheck too;
#   2. against a build of the module with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build/asan), loaded ahead of the installed
#      one; that build also injects failures, so tests/test_faults.py sweeps
#      every fallible call of the module there.
# The typing, packaging and documentation tests look at the stub, the
# metadata and the pages, not at memory: make test runs them. The two passes
# run side by side, each in
# shards of test files (MEMORY_SHARDS, 2 by default: the machine's cores)
# balanced by the seconds each file took there (the table below); each
# shard's output is in build/check-memory/PASS-N.log.
# Fails on any valgrind error (invalid access, uninitialised use, a
# definitely-lost block not covered by scripts/valgrind-python.supp), on any
# sanitizer report and on any failed shard. Repeated tests run scaled down
# (KVSTORE_TEST_SCALE).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}
py=$venv/bin/python
out=build/check-memory
supp=$PWD/scripts/valgrind-python.supp

shards=${MEMORY_SHARDS:-2}

# Seconds each behaviour test file took under valgrind and under the
# sanitizers (one process for the whole pass, at the default scales, pytest
# --durations, load average about 4; test_compact.py and test_signatures.py
# on their own, load average about 2). The shards are balanced by them; a
# file missing here counts as a minute.
SECONDS_TAKEN="
test_compact.py 56 5
test_leaks.py 138 33
test_durability.py 68 8
test_backup.py 46 7
test_cli.py 19 24
test_conversion.py 28 3
test_damaged.py 24 7
test_stateful.py 24 3
test_signatures.py 41 2
test_package.py 11 1
test_threads.py 7 3
test_tuning.py 8 2
test_processes.py 7 2
test_open.py 8 0
test_faults.py 0 7
test_methods.py 4 0
test_interpreters.py 3 0
test_mapping.py 3 0
test_crash_tolerance.py 2 1
test_fork.py 2 1
test_lifecycle.py 2 0
test_library_failures.py 2 0
test_shelve.py 1 0
test_module.py 1 0
test_traversal.py 1 0
test_leftovers.py 0 0
"

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi
}

# shard_plan COLUMN: "SHARD FILE" for each behaviour test file, the longest
# first, each to the shard with the fewest seconds so far (COLUMN of
# SECONDS_TAKEN: 2 valgrind, 3 sanitizers).
shard_plan() {
    local column=$1 file seconds
    for file in tests/test_*.py; do
        case $file in tests/test_typing.py | tests/test_packaging.py | tests/test_docs.py) continue ;; esac
        seconds=$(awk -v name="${file#tests/}" -v column="$column" '$1 == name { print $column }' <<<"$SECONDS_TAKEN")
        echo "${seconds:-60} $file"
    done | sort -k1,1nr -k2,2 | awk -v shards="$shards" '{
        best = 1
        for (i = 2; i <= shards; i++) if (load[i] < load[best]) best = i
        load[best] += $1
        print best, $2
    }'
}

# start_shards PASS COLUMN COMMAND...: starts COMMAND with each shard's test
# files appended, the shards side by side in the background, each one's
# output in $out/PASS-N.log and its process in shard_pids[PASS-N].
declare -A shard_pids=()
start_shards() {
    local pass=$1 column=$2 plan shard log files
    shift 2
    plan=$(shard_plan "$column")
    for ((shard = 1; shard <= shards; shard++)); do
        mapfile -t files < <(awk -v shard="$shard" '$1 == shard { print $2 }' <<<"$plan")
        [ ${#files[@]} -gt 0 ] || continue
        log=$out/$pass-$shard.log
        echo "check-memory: $pass shard $shard: ${files[*]#tests/}" >"$log"
        ( start=$SECONDS
          status=0
          "$@" "${files[@]}" || status=$?
          echo "check-memory: $pass shard $shard took $((SECONDS - start)) s"
          exit $status ) >>"$log" 2>&1 &
        shard_pids[$pass-$shard]=$!
    done
}

# finish_shards PASS: waits for the shards of PASS; prints each one's summary,
# and a failed one's failures; fails when any shard does.
finish_shards() {
    local pass=$1 shard log failed=0
    for ((shard = 1; shard <= shards; shard++)); do
        [ -n "${shard_pids[$pass-$shard]:-}" ] || continue
        log=$out/$pass-$shard.log
        if wait "${shard_pids[$pass-$shard]}"; then
            grep -E '^check-memory: |^[0-9]+ [a-z].* in [0-9.]+s' "$log" | tail -n 2
        else
            failed=1
            echo "check-memory: $pass shard $shard FAILED (log: $log):"
            sed -n '/short test summary info/,$p' "$log" | head -60
            tail -n 3 "$log"
        fi
    done
    return $failed
}

if ! command -v valgrind >/dev/null 2>&1; then
    echo "check-memory: installing valgrind with apt-get"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
fi
libasan=$(c++ -print-file-name=libasan.so)
[ -f "$libasan" ] || { echo "check-memory: libasan.so not found for $(command -v c++)" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/valgrind" "$out/sanitizers"
status=0
pytest=("$py" -m pytest -q -p no:cacheprovider -m "not bigmem")
asan_env=()

# The two passes run side by side, each in its shards: the longest test file
# under valgrind and under the sanitizers take about as long as all the others
# together.

# ---- valgrind ---------------------------------------------------------------
memcheck=(valgrind --tool=memcheck --error-exitcode=97 --num-callers=40
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
    --suppressions="$supp")
echo "check-memory: behaviour tests under valgrind memcheck in $shards shards (logs in $out/valgrind)"
start_shards valgrind 2 env PYTHONMALLOC=malloc KVSTORE_MEMTOOL=valgrind KVSTORE_TEST_SCALE="${VALGRIND_SCALE:-0.02}" \
    KVSTORE_CHILD_PREFIX="${memcheck[*]} --log-file=$PWD/$out/valgrind/child.%p.log" \
    "${memcheck[@]}" --log-file="$out/valgrind/main.%p.log" "${pytest[@]}"

# ---- AddressSanitizer and UndefinedBehaviorSanitizer ------------------------
# The same build injects failures on request: tests/test_faults.py makes
# each fallible call of the module fail in turn.
# build_sanitized: builds and installs it into build/asan-root, and sets
# asan_env to what makes the interpreter load it; fails, saying why, when
# that does not work. (Failures are checked one by one: set -e does not hold
# in a function whose caller tests it.)
build_sanitized() {
    local site loaded
    export PATH="$PWD/$venv/bin:$PATH"
    if [ ! -f build/asan/build.ninja ]; then
        rm -rf build/asan
        meson setup build/asan -Dbuildtype=debugoptimized -Db_sanitize=address,undefined \
            -Db_lundef=false -Dcpp_args="-fno-sanitize-recover=all -fno-omit-frame-pointer" >/dev/null || return 1
    fi
    meson configure build/asan -Dfault_injection=true >/dev/null || return 1
    # Installed into a folder of its own, so that it comes with the files an
    # install brings (the type stubs) and stands first on the import path.
    rm -rf build/asan-root
    meson install -C build/asan --destdir "$PWD/build/asan-root" --quiet >/dev/null || return 1
    site=$(dirname "$(find "$PWD/build/asan-root" -name '_kvstore*.so')")
    asan_env=(LD_PRELOAD="$libasan" PYTHONPATH="$site" PYTHONMALLOC=malloc
        ASAN_OPTIONS="detect_leaks=0:hard_rss_limit_mb=8192:log_path=$PWD/$out/sanitizers/asan"
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$out/sanitizers/ubsan"
        KVSTORE_MEMTOOL=asan KVSTORE_TEST_SCALE=${ASAN_SCALE:-0.25}
        KVSTORE_STATS_FILE="$PWD/$out/asan-stats")
    loaded=$(env "${asan_env[@]}" "$py" -c 'import _kvstore; assert _kvstore._fault_at; print(_kvstore.__file__)') || return 1
    case $loaded in
        "$site/"*) ;;
        *) echo "check-memory: the sanitized build was not the one imported ($loaded)" >&2; return 1 ;;
    esac
}
echo "check-memory: building the module with -fsanitize=address,undefined and fault injection in build/asan"
if build_sanitized; then
    echo "check-memory: behaviour tests against the sanitizer build in $shards shards"
    start_shards sanitizers 3 env "${asan_env[@]}" "${pytest[@]}"
else
    echo "check-memory: the sanitizer build failed" >&2
    status=1
fi

# ---- verdicts ---------------------------------------------------------------
finish_shards valgrind || status=1
errors=$(cat "$out"/valgrind/*.log | sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' | awk '{s += $1} END {print s + 0}')
suppressed=$(cat "$out"/valgrind/*.log | sed -n 's/.*suppressed: \([0-9,]*\) bytes in \([0-9,]*\) blocks.*/\2/p' | tr -d , | awk '{s += $1} END {print s + 0}')
logs=$(ls "$out"/valgrind/*.log | wc -l)
echo "check-memory: valgrind: $errors errors in $logs processes ($suppressed interpreter blocks suppressed)"
if grep -l "definitely lost in loss record" "$out"/valgrind/*.log >/dev/null 2>&1 || [ "$errors" != 0 ]; then
    grep -h -A12 -E "Invalid|uninitialised|Conditional jump|definitely lost in" "$out"/valgrind/*.log | head -80
    status=1
fi

if [ ${#asan_env[@]} -gt 0 ]; then
    finish_shards sanitizers || status=1
    reports=$(ls "$out"/sanitizers | wc -l)
    echo "check-memory: sanitizers: $reports reports"
    sweep=$(sed -n 's/^fault-sweep \([0-9]*\) \([0-9]*\)$/\1 sites, \2 injected failures/p' "$out/asan-stats" 2>/dev/null || true)
    echo "check-memory: fault-injection sweep: ${sweep:-did not run}"
    [ -n "$sweep" ] || status=1
    if [ "$reports" != 0 ]; then
        grep -h -A25 -E "ERROR|runtime error|limit exhausted" "$out"/sanitizers/* | grep -v "^	0x" | head -80
        status=1
    fi
fi

[ "$status" = 0 ] && echo "check-memory: clean" || echo "check-memory: FAILED" >&2
exit "$status"
