#!/usr/bin/env bash
# make check-memory: the behaviour tests (bigmem tests aside) twice:
#   1. under valgrind memcheck, with the interpreter's raw allocator
#      (PYTHONMALLOC=malloc) so that every object is a heap block valgrind
#      watches; the children that read damaged files run under memcheck too;
#   2. against a build of the module with AddressSanitizer and
#      UndefinedBehaviorSanitizer (build/asan), loaded ahead of the installed
#      one; that build also injects failures, so tests/safety/test_faults.py sweeps
#      every fallible call of the module there.
# The typing, packaging and documentation tests look at the stub, the
# metadata and the pages, not at memory: make test runs them. The two passes
# run side by side, each in shards of test files (MEMORY_SHARDS, 2 by
# default: the machine's cores); scripts/check_memory.py plans the shards
# from the seconds each file took in the last run, runs them and reads their
# logs (build/check-memory/PASS-N.log).
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
pytest=("$py" -m pytest -q -p no:cacheprovider -m "not bigmem")
# run_shards PASS COMMAND...: COMMAND once per shard of PASS, with the
# shard's test files appended; the shards of each pass are balanced on their
# own, since a file's share differs between valgrind and the sanitizers.
run_shards() {
    "$py" scripts/check_memory.py run --out "$out" --shards "$shards" "$@"
}
passes=(valgrind)
pids=()

# ---- valgrind ---------------------------------------------------------------
memcheck=(valgrind --tool=memcheck --error-exitcode=97 --num-callers=40
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite
    --suppressions="$supp")
echo "check-memory: behaviour tests under valgrind memcheck in $shards shards (logs in $out/valgrind)"
run_shards valgrind env PYTHONMALLOC=malloc KVSTORE_MEMTOOL=valgrind KVSTORE_TEST_SCALE="${VALGRIND_SCALE:-0.02}" \
    KVSTORE_CHILD_PREFIX="${memcheck[*]} --log-file=$PWD/$out/valgrind/child.%p.log" \
    "${memcheck[@]}" --log-file="$out/valgrind/main.%p.log" "${pytest[@]}" &
pids+=($!)

# ---- AddressSanitizer and UndefinedBehaviorSanitizer ------------------------
# The same build injects failures on request: tests/safety/test_faults.py makes
# each fallible call of the module fail in turn.
# It builds while the valgrind shards run.
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
        KVSTORE_MEMTOOL=asan KVSTORE_TEST_SCALE="${ASAN_SCALE:-0.25}"
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
    run_shards sanitizers env "${asan_env[@]}" "${pytest[@]}" &
    pids+=($!)
    passes+=(sanitizers)
else
    echo "check-memory: the sanitizer build failed" >&2
    status=1
fi

# ---- verdicts ---------------------------------------------------------------
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
"$py" scripts/check_memory.py verdict --out "$out" "${passes[@]}" || status=1

[ "$status" = 0 ] && echo "check-memory: clean" || echo "check-memory: FAILED" >&2
exit "$status"
