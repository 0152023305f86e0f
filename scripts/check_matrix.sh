#!/usr/bin/env bash
# make check-matrix: the test suite on each supported platform, in minimal
# Debian roots made with debootstrap from the mirror this machine's apt uses.
#
#   debian13     a fresh Debian 13 with only git and make: the README's make
#                demo and make test, then the sdist installed on its python3.13
#   development  Debian's development suite: the sdist on python3.14 and
#                python3.15
#   debug        the same root: the sdist on the debug build python3.13-dbg
#   wheel        the wheel of make wheel on a Debian 13 that has python3.13
#                but neither gdbm nor a compiler
#
# Each row tests the committed HEAD, cloned into its root. The roots are
# cached in $KVSTORE_MATRIX_CACHE (default build/matrix) and made again when
# the package lists below change. A run works on an overlay of its root,
# thrown away afterwards, inside a private mount and PID namespace: nothing
# stays mounted or running when it ends. The suite runs without the bigmem
# tests, at a quarter of the size of its longer cases (KVSTORE_TEST_SCALE=0.25,
# overridden from the environment): the rows look for what differs between
# platforms; make test and make fuzz-long run those cases at full size.
# Usage: check_matrix.sh [ROW...] (default: every row).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
cache=$(realpath -m "${KVSTORE_MATRIX_CACHE:-/var/cache/kvstore-gdbm/matrix}")
runs=$repo/build/matrix-run
scale=${KVSTORE_TEST_SCALE:-0.25}

STABLE=trixie
DEVELOPMENT=sid
# Roots: name, suite, packages beyond minbase (debootstrap takes commas).
ROOTS=(
    "debian13 $STABLE ca-certificates,git,make"
    "development $DEVELOPMENT ca-certificates,git,make,g++,libgdbm-dev,gdbmtool,python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,python3.13-dbg,python3.13-dev,python3.13-venv"
    "nogdbm $STABLE ca-certificates,python3.13-venv"
)

die() {
    echo "check-matrix: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || die "runs as root: it makes roots with debootstrap and mounts inside them"
if ! command -v debootstrap >/dev/null 2>&1; then
    echo "check-matrix: installing debootstrap with apt-get"
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends debootstrap; } >/dev/null 2>&1 ||
        die "debootstrap is missing: install it (apt-get install debootstrap)"
fi

# The Debian mirror that this machine's apt sources name.
mirror() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -v '^ *#' | grep -oE '(https?|file)://[^ ]*/debian/?( |$)' | head -n 1 | tr -d ' '
}

# in_root ROOT [OVERLAY] -- COMMAND...: runs COMMAND as root in ROOT, or in
# a fresh overlay of it under OVERLAY, with /proc, /dev and /tmp mounted, the
# machine's CA bundle, and the apt and pip caches bound in.
in_root() {
    local root=$1 overlay=
    shift
    [ "$1" = -- ] || { overlay=$1; shift; }
    shift
    unshare --mount --pid --fork --kill-child bash -s "$root" "$overlay" "$cache" "$scale" "$@" <<'EOF'
set -euo pipefail
root=$1 overlay=$2 cache=$3 scale=$4
shift 4
if [ -n "$overlay" ]; then
    mkdir -p "$overlay/upper" "$overlay/work" "$overlay/merged" "$cache/apt/$(basename "$root")/partial"
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$overlay/upper,workdir=$overlay/work" "$overlay/merged"
    mount --bind "$cache/apt/$(basename "$root")" "$overlay/merged/var/cache/apt/archives"
    root=$overlay/merged
fi
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$cache/pip" "$root/root/.cache/pip"
mount --bind "$cache/pip" "$root/root/.cache/pip"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
    DEBIAN_FRONTEND=noninteractive KVSTORE_TEST_SCALE="$scale" "$@"
EOF
}

# Makes the cached root NAME, unless it is there with the same package list.
make_root() {
    local name=$1 suite packages line
    for line in "${ROOTS[@]}"; do
        [ "${line%% *}" = "$name" ] && read -r _ suite packages <<<"$line"
    done
    local root=$cache/$name stamp="$suite $packages"
    if [ -f "$root.ready" ] && [ "$(cat "$root.ready")" = "$stamp" ]; then
        return 0
    fi
    echo "check-matrix: making the $name root (Debian $suite)"
    rm -rf "$root" "$root.ready"
    mkdir -p "$cache"
    debootstrap --variant=minbase --include="$packages" "$suite" "$root" "$(mirror)" >"$cache/$name.log" 2>&1 ||
        die "debootstrap failed: see $cache/$name.log"
    # The development suite's Release file may be past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/90check-matrix"
    in_root "$root" -- apt-get clean
    echo "$stamp" >"$root.ready"
}

# The shell functions that rows run inside their root.
ROW_FUNCTIONS=$(cat <<'EOF'
set -euo pipefail
# A venv of PYTHON at VENV with the test tools and the sdist of /src installed.
install_sdist() {
    local python=$1 venv=$2
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q -r /src/requirements-dev.txt
    rm -rf /src/dist
    (cd /src && PATH="$venv/bin:$PATH" "$venv/bin/python" -m build --sdist --no-isolation --outdir dist . >/dev/null)
    # Never a wheel that pip kept from an earlier sdist of the same name.
    "$venv/bin/pip" install -q --no-cache-dir /src/dist/*.tar.gz
}
# The suite against the module installed in VENV. -P keeps the checkout off
# sys.path, so nothing in it shadows what is installed.
run_suite() {
    local venv=$1 label=$2 start status=0
    "$venv/bin/python" -c 'import sys, _kvstore
print("== %s: Python %s%s, gdbm %s" % (sys.argv[1], sys.version.split()[0], sys.abiflags,
      ".".join(map(str, _kvstore._KVSTORE_VERSION))))' "$label"
    start=$(date +%s)
    (cd /src && "$venv/bin/python" -P -m pytest -q -p no:cacheprovider -m "not bigmem" -rs tests) || status=$?
    echo "== $label: $(( $(date +%s) - start )) s"
    return $status
}
EOF
)

row_debian13() {
    in_root "$cache/debian13" "$runs/debian13" -- bash -c "$ROW_FUNCTIONS"'
        cd /src
        start=$(date +%s)
        make demo
        PYTEST_ADDOPTS="-p no:cacheprovider -m \"not bigmem\"" make test
        echo "== debian13 README: $(( $(date +%s) - start )) s"
        install_sdist python3.13 /opt/sdist
        run_suite /opt/sdist "debian13 sdist"
    '
}

row_development() {
    in_root "$cache/development" "$runs/development" -- bash -c "$ROW_FUNCTIONS"'
        failed=0
        for python in python3.14 python3.15; do
            install_sdist "$python" "/opt/$python"
            run_suite "/opt/$python" "development $python" || failed=1
        done
        exit $failed
    '
}

# The debug build, slower than the others, in a row of its own.
row_debug() {
    in_root "$cache/development" "$runs/debug" -- bash -c "$ROW_FUNCTIONS"'
        install_sdist python3.13d /opt/python3.13d
        run_suite /opt/python3.13d "development python3.13-dbg"
    '
}

row_wheel() {
    bash scripts/wheel.sh
    mkdir -p "$runs/wheel/upper/wheel"
    cp dist/*.whl "$runs/wheel/upper/wheel/"
    in_root "$cache/nogdbm" "$runs/wheel" -- bash -c "$ROW_FUNCTIONS"'
        if ldconfig -p | grep -q libgdbm || command -v cc c++ gcc g++; then
            echo "the root for the wheel has gdbm or a compiler" >&2
            exit 1
        fi
        python3.13 -m venv /opt/wheel
        /opt/wheel/bin/pip install -q -r /src/requirements-dev.txt
        /opt/wheel/bin/pip install -q --no-index /wheel/*.whl
        run_suite /opt/wheel "wheel $(basename /wheel/*.whl)"
    '
}

ROWS=(debian13 development debug wheel)
[ $# -gt 0 ] || set -- "${ROWS[@]}"
for row in "$@"; do
    [[ " ${ROWS[*]} " == *" $row "* ]] || die "no row $row (rows: ${ROWS[*]})"
done

# The roots first, each once however many rows use it.
declare -A roots
for row in "$@"; do
    case $row in debug) roots[development]= ;; wheel) roots[nogdbm]= ;; *) roots[$row]= ;; esac
done
for root in "${!roots[@]}"; do
    make_root "$root" &
    roots[$root]=$!
done
for root in "${!roots[@]}"; do
    wait "${roots[$root]}" || exit 1
done

# The rows run side by side: each spends most of its time in one pytest
# process, and most of the rest waiting on the network.
declare -A jobs
for row in "$@"; do
    rm -rf "${runs:?}/$row"
    mkdir -p "$runs/$row/upper"
    git clone -q "$repo" "$runs/$row/upper/src"
    (
        start=$(date +%s)
        status=0
        "row_$row" || status=$?
        echo "== $row: $(( $(date +%s) - start )) s in all"
        exit $status
    ) >"$runs/$row.log" 2>&1 &
    jobs[$row]=$!
done
trap 'kill "${jobs[@]}" 2>/dev/null' INT TERM

failed=()
for row in "$@"; do
    if wait "${jobs[$row]}"; then status=passed; else status=FAILED; failed+=("$row"); fi
    grep -E '^== |^[0-9]+ [a-z].* in [0-9.]+s|^SKIPPED|^FAILED|^ERROR' "$runs/$row.log" || true
    echo "check-matrix: $row $status (log: $runs/$row.log)"
    rm -rf "${runs:?}/$row"
done
[ ${#failed[@]} -eq 0 ] || die "failed: ${failed[*]}"
