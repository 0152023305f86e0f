#!/usr/bin/env bash
# make check-memory: the whole test suite (bigmem tests aside) twice:
#   1. under valgrind memcheck, with the interpreter's raw allocator
#      (PYTHONMALLOC=malloc) so that every object is a heap block valgrind
#      watches; the children that read damaged files run under memcheck too;
#   2. against a build of the module with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build/asan), loaded ahead of the installed
#      one; that build also injects failures, so tests/test_faults.py sweeps
#      every fallible call of the module there.
# Fails on any valgrind error (invalid access, uninitialised use, a
# definitely-lost block not covered by scripts/valgrind-python.supp) and on
# any sanitizer report. Repeated tests run scaled down (KVSTORE_TEST_SCALE).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}
py=$venv/bin/python
out=build/check-memory
supp=$PWD/scripts/valgrind-python.supp

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi
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

# ---- valgrind ---------------------------------------------------------------
memcheck=(valgrind --tool=memcheck --error-exitcode=97 --num-callers=40
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
    --suppressions="$supp")
echo "check-memory: test suite under valgrind memcheck (logs in $out/valgrind)"
start=$SECONDS
PYTHONMALLOC=malloc KVSTORE_MEMTOOL=valgrind KVSTORE_TEST_SCALE=${VALGRIND_SCALE:-0.02} \
    KVSTORE_CHILD_PREFIX="${memcheck[*]} --log-file=$PWD/$out/valgrind/child.%p.log" \
    "${memcheck[@]}" --log-file="$out/valgrind/main.%p.log" \
    "$py" -m pytest -q -p no:cacheprovider -m "not bigmem" tests || status=1
errors=$(cat "$out"/valgrind/*.log | sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' | awk '{s += $1} END {print s + 0}')
suppressed=$(cat "$out"/valgrind/*.log | sed -n 's/.*suppressed: \([0-9,]*\) bytes in \([0-9,]*\) blocks.*/\2/p' | tr -d , | awk '{s += $1} END {print s + 0}')
logs=$(ls "$out"/valgrind/*.log | wc -l)
echo "check-memory: valgrind: $errors errors in $logs processes ($suppressed interpreter blocks suppressed), $((SECONDS - start)) s"
if grep -l "definitely lost in loss record" "$out"/valgrind/*.log >/dev/null 2>&1 || [ "$errors" != 0 ]; then
    grep -h -A12 -E "Invalid|uninitialised|Conditional jump|definitely lost in" "$out"/valgrind/*.log | head -80
    status=1
fi

# ---- AddressSanitizer and UndefinedBehaviorSanitizer ------------------------
# The same build injects failures on request: tests/test_faults.py makes
# each fallible call of the module fail in turn.
echo "check-memory: building the module with -fsanitize=address,undefined and fault injection in build/asan"
export PATH="$PWD/$venv/bin:$PATH"
if [ ! -f build/asan/build.ninja ]; then
    rm -rf build/asan
    meson setup build/asan -Dbuildtype=debugoptimized -Db_sanitize=address,undefined \
        -Db_lundef=false -Dcpp_args="-fno-sanitize-recover=all -fno-omit-frame-pointer" >/dev/null
fi
meson configure build/asan -Dfault_injection=true >/dev/null
# Installed into a folder of its own, so that it comes with the files an
# install brings (the type stubs) and stands first on the import path.
rm -rf build/asan-root
meson install -C build/asan --destdir "$PWD/build/asan-root" --quiet >/dev/null
site=$(dirname "$(find "$PWD/build/asan-root" -name '_kvstore*.so')")
asan_env=(LD_PRELOAD="$libasan" PYTHONPATH="$site" PYTHONMALLOC=malloc
    ASAN_OPTIONS="detect_leaks=0:hard_rss_limit_mb=8192:log_path=$PWD/$out/sanitizers/asan"
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$out/sanitizers/ubsan"
    KVSTORE_MEMTOOL=asan KVSTORE_TEST_SCALE=${ASAN_SCALE:-0.25}
    KVSTORE_STATS_FILE="$PWD/$out/asan-stats")
loaded=$(env "${asan_env[@]}" "$py" -c 'import _kvstore; assert _kvstore._fault_at; print(_kvstore.__file__)')
case $loaded in
    "$site/"*) ;;
    *) echo "check-memory: the sanitized build was not the one imported ($loaded)" >&2; exit 1 ;;
esac
start=$SECONDS
env "${asan_env[@]}" "$py" -m pytest -q -p no:cacheprovider -m "not bigmem" tests || status=1
reports=$(ls "$out"/sanitizers | wc -l)
echo "check-memory: sanitizers: $reports reports, $((SECONDS - start)) s"
sweep=$(sed -n 's/^fault-sweep \([0-9]*\) \([0-9]*\)$/\1 sites, \2 injected failures/p' "$out/asan-stats" 2>/dev/null || true)
echo "check-memory: fault-injection sweep: ${sweep:-did not run}"
[ -n "$sweep" ] || status=1
if [ "$reports" != 0 ]; then
    grep -h -A25 -E "ERROR|runtime error|limit exhausted" "$out"/sanitizers/* | grep -v "^	0x" | head -80
    status=1
fi

[ "$status" = 0 ] && echo "check-memory: clean" || echo "check-memory: FAILED" >&2
exit "$status"
