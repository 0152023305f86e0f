# Debian roots made with debootstrap, shared by check_matrix.sh and wheels.sh
# (sourced, not run). Each root is cached in $cache and made again when its
# line below changes. arm64 roots run under qemu-user-static through
# binfmt_misc, which arm64_ready sets up where the machine allows it.
#
# The caller runs from the repository's root and names itself in $tool, for
# its messages. Roots live in $KVSTORE_MATRIX_CACHE; KVSTORE_TEST_SCALE is
# passed into them (0.25 unless set); the build tools come from .venv (VENV).
repo=$PWD
cache=$(realpath -m "${KVSTORE_MATRIX_CACHE:-/var/cache/kvstore-gdbm/matrix}")
scale=${KVSTORE_TEST_SCALE:-0.25}
export PATH="$repo/${VENV:-.venv}/bin:$PATH"

die() {
    echo "$tool: $*" >&2
    exit 1
}

STABLE=trixie
DEVELOPMENT=sid
# Roots: name, suite, architecture, packages beyond minbase (debootstrap takes
# commas). The nogdbm roots hold an interpreter and nothing to build with: they
# are where wheels are tried as a user would.
ROOTS=(
    "debian13 $STABLE amd64 ca-certificates,git,make"
    "development $DEVELOPMENT amd64 ca-certificates,git,make,g++,libgdbm-dev,gdbmtool,python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,python3.13-dbg,python3.13-dev,python3.13-venv,dpkg-dev"
    "nogdbm $STABLE amd64 ca-certificates,python3.13-venv"
    "nogdbm-development $DEVELOPMENT amd64 ca-certificates,python3.14-venv,python3.15-venv"
    "nogdbm-arm64 $STABLE arm64 ca-certificates,python3.13-venv"
    "nogdbm-development-arm64 $DEVELOPMENT arm64 ca-certificates,python3.14-venv,python3.15-venv"
)

# Files that no root may hold: the interpreter's own compiled gdbm bindings,
# which Debian's interpreter packages (the debug build's library above all)
# carry in lib-dynload. dpkg leaves them out of every package it installs in a
# root, and a root that holds one all the same is refused.
NO_BINDINGS=('/usr/lib/python3*/lib-dynload/*gdbm*' '/usr/lib/debug/usr/lib/python3*/lib-dynload/*gdbm*')

# Writes the exclusions into ROOT's dpkg configuration, before any package
# but the few that debootstrap's first stage unpacks (none of them Python).
exclude_bindings() {
    local pattern
    mkdir -p "$1/etc/dpkg/dpkg.cfg.d"
    for pattern in "${NO_BINDINGS[@]}"; do
        echo "path-exclude=$pattern"
    done >"$1/etc/dpkg/dpkg.cfg.d/90kvstore-no-gdbm-bindings"
}

# Fails, naming them, when ROOT holds any file that NO_BINDINGS names.
check_no_bindings() {
    local root=$1 pattern found=()
    for pattern in "${NO_BINDINGS[@]}"; do
        mapfile -t -O "${#found[@]}" found < <(find "$root/usr/lib" -path "$root$pattern" 2>/dev/null)
    done
    [ ${#found[@]} -eq 0 ] ||
        die "the root $root holds an interpreter's own gdbm bindings, which no root may: ${found[*]}"
}

# The Debian mirror that this machine's apt sources name.
mirror() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -v '^ *#' | grep -oE '(https?|file)://[^ ]*/debian/?( |$)' | head -n 1 | tr -d ' '
}

apt_get_install() {
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"; } \
        >/dev/null 2>&1
}

need_debootstrap() {
    [ "$(id -u)" = 0 ] || die "runs as root: it makes roots with debootstrap and mounts inside them"
    command -v debootstrap >/dev/null 2>&1 || apt_get_install debootstrap ||
        die "debootstrap is missing: install it (apt-get install debootstrap)"
}

# Succeeds when arm64 programs run here, through qemu-user-static registered
# with binfmt_misc (installed and registered when missing); otherwise prints
# why not and fails.
arm64_ready() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64 conf=/usr/lib/binfmt.d/qemu-aarch64.conf
    [ "$(uname -m)" = aarch64 ] && return 0
    [ -f "$conf" ] || apt_get_install qemu-user-static binfmt-support || {
        echo "qemu-user-static could not be installed"
        return 1
    }
    [ -f "$conf" ] || { echo "qemu-user-static has no $conf"; return 1; }
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || {
            echo "binfmt_misc cannot be mounted here"
            return 1
        }
    fi
    # The F flag in Debian's line opens qemu now, so that it runs inside roots.
    [ -e "$entry" ] || cat "$conf" >/proc/sys/fs/binfmt_misc/register 2>/dev/null || {
        echo "qemu-aarch64 cannot be registered with binfmt_misc"
        return 1
    }
    grep -qx enabled "$entry" || { echo "binfmt_misc's qemu-aarch64 entry is disabled"; return 1; }
}

# in_root ROOT [OVERLAY] -- COMMAND...: runs COMMAND as root in ROOT, or in
# a fresh overlay of it under OVERLAY, with /proc, /dev and /tmp mounted, the
# machine's CA bundle, and the apt and pip caches bound in, inside a private
# mount and PID namespace: nothing stays mounted or running when it ends.
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

# Makes the cached root NAME, unless it is there with the same line.
make_root() {
    local name=$1 suite= arch packages line
    for line in "${ROOTS[@]}"; do
        [ "${line%% *}" = "$name" ] && read -r _ suite arch packages <<<"$line"
    done
    [ -n "$suite" ] || die "no root $name"
    # A root made before the exclusions is made again.
    local root=$cache/$name stamp="$suite $arch $packages; without ${NO_BINDINGS[*]}"
    if [ -f "$root.ready" ] && [ "$(cat "$root.ready")" = "$stamp" ]; then
        check_no_bindings "$root"
        return 0
    fi
    echo "roots: making the $name root (Debian $suite, $arch)"
    rm -rf "$root" "$root.ready"
    mkdir -p "$cache"
    # In two stages, so that the exclusions are in place before dpkg installs
    # the packages: the first stage only unpacks what dpkg itself needs.
    { debootstrap --foreign --arch="$arch" --variant=minbase --include="$packages" "$suite" "$root" "$(mirror)" &&
        exclude_bindings "$root" &&
        chroot "$root" /debootstrap/debootstrap --second-stage; } \
        >"$cache/$name.log" 2>&1 || die "debootstrap failed: see $cache/$name.log"
    check_no_bindings "$root"
    # The development suite's Release file may be past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/90check-matrix"
    in_root "$root" -- apt-get clean
    echo "$stamp" >"$root.ready"
}

# Makes the named roots side by side, each once.
make_roots() {
    local name
    declare -A pids=()
    for name in "$@"; do
        [ -n "${pids[$name]:-}" ] && continue
        make_root "$name" &
        pids[$name]=$!
    done
    for name in "${!pids[@]}"; do
        wait "${pids[$name]}" || return 1
    done
}
