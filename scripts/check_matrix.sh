#!/usr/bin/env bash
# make check-matrix: the behaviour tests on each supported platform, in
# minimal Debian roots made with debootstrap from the mirror this machine's apt
# uses (scripts/roots.sh).
#
#   debian13     a fresh Debian 13 with only git and make: the README's make
#                demo and make test
#   development  Debian's development suite: the sdist on python3.14 and
#                python3.15
#   debug        the same root: the sdist on the debug build python3.13-dbg
#   wheel-cp313-x86_64
#                the wheel of make wheels on a Debian 13 that has python3.13
#                but neither gdbm nor a compiler
#   wheel-cp313-aarch64-package
#                the same on arm64 Debian 13 under emulation: the module and
#                package tests
# and, outside the default set (make check-wheels runs them on the wheels in
# dist/): wheel-TAG, the whole suite on the wheel TAG (cp313-x86_64 ...
# cp315-aarch64, see scripts/wheels.sh), and wheel-TAG-package, its module
# and package tests. The wheel rows take their wheels from dist/ when
# KVSTORE_WHEELS_BUILT is set, and otherwise build them first (side by side
# with the other rows).
#
# Each row tests the committed HEAD, cloned into its root, in a venv that has
# only what the behaviour tests need (requirements-test.txt): the typing,
# packaging and documentation tests run once, in make test, and in the wheel rows the packaging
# tests run too, on the wheel. The roots are cached in $KVSTORE_MATRIX_CACHE
# (default /var/cache/kvstore-gdbm/matrix) and made again when their package
# lists change. A run works on an overlay of its root, thrown away
# afterwards. The suite runs without the bigmem tests, at a quarter of the
# size of its longer cases (KVSTORE_TEST_SCALE=0.25, overridden from the
# environment): the rows look for what differs between platforms; make test
# and make fuzz-long run those cases at full size.
# Usage: check_matrix.sh [ROW...] (default: the rows above).
set -euo pipefail
cd "$(dirname "$0")/.."
tool=check-matrix
source scripts/roots.sh
runs=$repo/build/matrix-run
need_debootstrap

# The behaviour tests: the typing, packaging, documentation and check-memory
# planner tests run once, elsewhere.
BEHAVIOUR="tests --ignore=tests/project/test_typing.py --ignore=tests/project/test_packaging.py --ignore=tests/project/test_docs.py --ignore=tests/project/test_check_memory.py"
# On a wheel, its packaging tests too: they look at its metadata and bundled
# library. PACKAGE is the short set: the module and package tests.
WHEEL_SUITE="tests --ignore=tests/project/test_typing.py --ignore=tests/project/test_docs.py --ignore=tests/project/test_check_memory.py"
PACKAGE="tests/module/test_module.py tests/package/test_package.py tests/project/test_packaging.py"

# The shell functions that rows run inside their root.
ROW_FUNCTIONS=$(cat <<'EOF'
set -euo pipefail
# A venv of PYTHON at VENV with the behaviour tests' tools and the sdist
# (in /sdist) installed. Never a wheel that pip kept from an earlier sdist of
# the same name.
install_sdist() {
    local python=$1 venv=$2
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q -r /src/requirements-test.txt
    "$venv/bin/pip" install -q --no-cache-dir /sdist/*.tar.gz
}
# run_suite PYTHON LABEL TESTS...: the tests against the module that PYTHON
# imports. -P keeps the checkout off sys.path, so nothing in it shadows what
# is installed.
run_suite() {
    local python=$1 label=$2 start status=0
    shift 2
    "$python" -c 'import sys, _kvstore
print("== %s: Python %s%s, gdbm %s" % (sys.argv[1], sys.version.split()[0], sys.abiflags,
      ".".join(map(str, _kvstore._KVSTORE_VERSION))))' "$label"
    start=$(date +%s)
    (cd /src && "$python" -P -m pytest -q -p no:cacheprovider -m "not bigmem" -rs "$@") || status=$?
    echo "== $label: $(( $(date +%s) - start )) s"
    return $status
}
EOF
)

row_debian13() {
    in_root "$cache/debian13" "$runs/debian13" -- bash -c "$ROW_FUNCTIONS"'
        cd /src
        start=$(date +%s)
        export KVSTORE_REQUIREMENTS="requirements-build.txt requirements-test.txt"
        make demo
        PYTEST_ADDOPTS="-p no:cacheprovider -m \"not bigmem\" '"${BEHAVIOUR#tests }"'" make test
        echo "== debian13 README: $(( $(date +%s) - start )) s"
    '
}

row_development() {
    in_root "$cache/development" "$runs/development" -- bash -c "$ROW_FUNCTIONS"'
        failed=0
        for python in python3.14 python3.15; do
            install_sdist "$python" "/opt/$python"
            run_suite "/opt/$python/bin/python" "development $python" '"$BEHAVIOUR"' || failed=1
        done
        exit $failed
    '
}

# The debug build, slower than the others, in a row of its own.
row_debug() {
    in_root "$cache/development" "$runs/debug" -- bash -c "$ROW_FUNCTIONS"'
        install_sdist python3.13d /opt/python3.13d
        run_suite /opt/python3.13d/bin/python "development python3.13-dbg" '"$BEHAVIOUR"'
    '
}

# The nogdbm root that holds the interpreter of wheel TAG.
wheel_root() {
    local tag=$1 root=nogdbm
    [ "${tag:0:5}" = cp313 ] || root=nogdbm-development
    if [ "${tag#*-}" = aarch64 ]; then root=$root-arm64; fi
    echo "$root"
}

# row_wheel ROW TAG TESTS...: the wheel TAG from dist/ and the tests' tools,
# installed by pip for the root's platform and interpreter, then TESTS in a
# root that has neither gdbm nor a compiler. pip runs here rather than in the
# root: under emulation it alone takes minutes.
row_wheel() {
    local run=$runs/$1 tag=$2
    shift 2
    local version=3.${tag:3:2} arch=${tag#*-} wheel
    wheel=$(ls dist/*-"${tag%%-*}"-*"$arch".whl 2>/dev/null) || die "no $tag wheel in dist/: run make wheels"
    python -m pip install -q --no-compile --only-binary=:all: --target "$run/upper/opt/site" \
        --platform "manylinux_2_17_$arch" --python-version "$version" --implementation cp \
        -r requirements-test.txt packaging "$wheel"
    in_root "$cache/$(wheel_root "$tag")" "$run" -- bash -c "$ROW_FUNCTIONS"'
        if ldconfig -p | grep -q libgdbm || command -v cc c++ gcc g++; then
            echo "the root for the wheel has gdbm or a compiler" >&2
            exit 1
        fi
        export PYTHONPATH=/opt/site
        run_suite python'"$version"' "wheel '"$(basename "$wheel")"' on $(uname -m)" '"$*"'
    '
}

DEFAULT_ROWS=(debian13 development debug wheel-cp313-x86_64 wheel-cp313-aarch64-package)
[ $# -gt 0 ] || set -- "${DEFAULT_ROWS[@]}"
declare -A root_of=() wheel_of=()
for row in "$@"; do
    case $row in
        debian13 | development) root_of[$row]=$row ;;
        debug) root_of[$row]=development ;;
        wheel-cp31[345]-x86_64 | wheel-cp31[345]-aarch64 | wheel-cp31[345]-x86_64-package | wheel-cp31[345]-aarch64-package)
            tag=${row#wheel-} tag=${tag%-package}
            wheel_of[$row]=$tag
            root_of[$row]=$(wheel_root "$tag") ;;
        *) die "no row $row (rows: ${DEFAULT_ROWS[*]}, wheel-TAG, wheel-TAG-package)" ;;
    esac
done

# An arm64 row that cannot run here is skipped, saying why.
arm64_skip=
for row in "$@"; do
    if [[ ${root_of[$row]} == *-arm64 ]] && [ -z "$arm64_skip" ]; then
        arm64_skip=$(arm64_ready) && arm64_skip= || arm64_skip=${arm64_skip:-arm64 roots cannot run here}
    fi
done
rows=()
for row in "$@"; do
    if [[ ${root_of[$row]} == *-arm64 ]] && [ -n "$arm64_skip" ]; then
        echo "check-matrix: $row SKIPPED: $arm64_skip"
        continue
    fi
    rows+=("$row")
done
[ ${#rows[@]} -gt 0 ] || die "no row can run here"

rm -rf "$runs"
mkdir -p "$runs/sdist"
# The sdist, made once from the committed HEAD, for the rows that install it.
python -m build --sdist --no-isolation --outdir "$runs/sdist" . >"$runs/sdist.log" 2>&1 ||
    die "the sdist failed: see $runs/sdist.log"

# The roots first, each once however many rows use it (the wheels are built
# in the development root), then the wheels that the rows need, while the
# other rows run.
tags=()
for row in "${rows[@]}"; do
    if [ -n "${wheel_of[$row]:-}" ]; then tags+=("${wheel_of[$row]}"); fi
done
roots_needed=()
for row in "${rows[@]}"; do roots_needed+=("${root_of[$row]}"); done
wheels_built=$runs/wheels.status
if [ ${#tags[@]} -eq 0 ] || [ -n "${KVSTORE_WHEELS_BUILT:-}" ]; then
    echo 0 >"$wheels_built"
else
    roots_needed+=(development)
fi
make_roots "${roots_needed[@]}" || exit 1
if [ ! -s "$wheels_built" ]; then
    (status=0; bash scripts/wheels.sh $(printf '%s\n' "${tags[@]}" | sort -u) >"$runs/wheels.log" 2>&1 || status=$?
     echo $status >"$wheels_built") &
fi

# The rows run side by side: each spends most of its time in one pytest
# process, and most of the rest waiting on the network. A wheel row waits
# for the wheels.
declare -A jobs
for row in "${rows[@]}"; do
    mkdir -p "$runs/$row/upper/sdist"
    git clone -q "$repo" "$runs/$row/upper/src"
    cp "$runs"/sdist/*.tar.gz "$runs/$row/upper/sdist/"
    (
        start=$(date +%s)
        status=0
        if [ -n "${wheel_of[$row]:-}" ]; then
            while [ ! -s "$wheels_built" ]; do sleep 5; done
            [ "$(cat "$wheels_built")" = 0 ] || die "the wheels were not built: see $runs/wheels.log"
            tests=$WHEEL_SUITE
            [[ $row == *-package ]] && tests=$PACKAGE
            row_wheel "$row" "${wheel_of[$row]}" $tests || status=$?
        else
            "row_$row" || status=$?
        fi
        echo "== $row: $(( $(date +%s) - start )) s in all"
        exit $status
    ) >"$runs/$row.log" 2>&1 &
    jobs[$row]=$!
done
trap 'kill "${jobs[@]}" 2>/dev/null' INT TERM

failed=()
for row in "${rows[@]}"; do
    if wait "${jobs[$row]}"; then status=passed; else status=FAILED; failed+=("$row"); fi
    grep -E '^== |^[0-9]+ [a-z].* in [0-9.]+s|^SKIPPED|^FAILED|^ERROR|^check-matrix' "$runs/$row.log" || true
    echo "check-matrix: $row $status (log: $runs/$row.log)"
    rm -rf "${runs:?}/$row"
done
if [ -f "$runs/wheels.log" ]; then grep '^wheels: ' "$runs/wheels.log" || true; fi
[ ${#failed[@]} -eq 0 ] || die "failed: ${failed[*]}"
