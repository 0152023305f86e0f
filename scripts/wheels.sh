#!/usr/bin/env bash
# make wheels: the sdist and one manylinux wheel per interpreter and
# architecture into dist/, each wheel built from the sdist and needing nothing
# on the target machine but glibc 2.17 or later (manylinux2014).
#
# Usage: wheels.sh [TAG...], TAG one of cp313-x86_64 cp314-x86_64
# cp315-x86_64 cp313-aarch64 cp314-aarch64 cp315-aarch64 (default: all six).
#
# The build runs in an overlay of the matrix's development root (Debian's
# development suite, which has python3.13, 3.14 and 3.15), cached like the
# matrix's roots in $KVSTORE_MATRIX_CACHE. There:
#   - zig (PyPI's ziglang) is the C and C++ compiler: it compiles against
#     glibc 2.17's symbols for either architecture, and links its C++ runtime
#     statically, so the module needs no libstdc++ of the target's;
#   - gdbm is built with it from Debian 13's gdbm source package;
#   - pyconfig.h comes from Debian's libpython3.X-dev of each architecture;
#     for aarch64 the build interpreter reads the arm64 package's sysconfig
#     data, so that meson names the module and pip tags the wheel for aarch64;
#   - auditwheel copies libgdbm into the wheel and tags it with the oldest
#     policy it confirms; gdbm's copyright and licence go in beside ours, and
#     the License-Expression names both.
# Prints, for each wheel, the policy and the newest glibc symbol it uses, and
# fails when that symbol is newer than glibc 2.17's;
# twine check passes on every file in dist/ or the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=wheels
source scripts/roots.sh
run=$repo/build/wheels-run

ALL=(cp313-x86_64 cp314-x86_64 cp315-x86_64 cp313-aarch64 cp314-aarch64 cp315-aarch64)
[ $# -gt 0 ] || set -- "${ALL[@]}"
for tag in "$@"; do
    [[ " ${ALL[*]} " == *" $tag "* ]] || die "no wheel $tag (wheels: ${ALL[*]})"
done

need_debootstrap
make_root development

rm -rf "$run"
mkdir -p "$run/upper/work" dist
rm -f dist/*.tar.gz
for tag in "$@"; do
    rm -f dist/*-"${tag%%-*}"-*"${tag#*-}".whl
done
python -m build --sdist --no-isolation --outdir dist . >"$run.log" 2>&1 ||
    die "the sdist failed: see $run.log"
cp dist/*.tar.gz requirements-build.txt requirements-wheels.txt "$run/upper/work/"

# The build, run inside the root with: MIRROR STABLE TAG...
build=$(cat <<'EOF'
set -euo pipefail
mirror=$1 stable=$2
shift 2
# manylinux2014: no wheel may use a glibc symbol newer than this.
floor=2.17
cd /work
sdist=$(echo /work/*.tar.gz)
declare -A debian=([x86_64]=amd64 [aarch64]=arm64)
versions=$(printf '%s\n' "$@" | sed 's/^cp3\([0-9]*\)-.*/3.\1/' | sort -u)
arches=$(printf '%s\n' "$@" | sed 's/^[^-]*-//' | sort -u)

# gdbm's source from Debian 13, and each architecture's Python headers.
grep -qx aarch64 <<<"$arches" && dpkg --add-architecture arm64
echo "deb-src $mirror $stable main" >/etc/apt/sources.list.d/gdbm-source.list
apt-get update -qq
apt-get source -qq gdbm 2>&1 | grep -v unsandboxed || true
gdbm_source=$(ls -d /work/gdbm-*/)
for arch in $arches; do
    triplet=$arch-linux-gnu
    for version in $versions; do
        apt-get download -qq "libpython$version-dev:${debian[$arch]}" "libpython$version-minimal:${debian[$arch]}" 2>&1 |
            grep -v unsandboxed || true
        # Only the interpreter's own headers: zig brings its libc's.
        mkdir -p "/opt/pyconfig/$arch"
        dpkg-deb --fsys-tarfile libpython"$version"-dev_*_"${debian[$arch]}".deb |
            tar -x -C "/opt/pyconfig/$arch" --strip-components=3 "./usr/include/$triplet/python$version"
        mkdir -p "/opt/sysconfig/$arch/$version"
        dpkg-deb --fsys-tarfile libpython"$version"-minimal_*_"${debian[$arch]}".deb |
            tar -x -C "/opt/sysconfig/$arch/$version" --strip-components=4 --wildcards "./usr/lib/python$version/_sysconfigdata__linux_*"
    done
done

python3.13 -m venv /opt/tools
/opt/tools/bin/pip install -q -r requirements-wheels.txt
export PATH=/opt/tools/bin:$PATH

for arch in $arches; do
    # zig for this architecture and glibc, as single commands (libtool takes
    # the first word of CC for the compiler) and as a meson machine file.
    # A question about the compiler itself (libtool's configure asks for its
    # search paths with -print-search-dirs, its stderr unredirected) goes to
    # clang with the triple as given, and clang reads no glibc version in it
    # ("version '.2.17' in target triple ... is invalid"): asked without the
    # version, which compiles nothing, it gets the same answer and no error.
    for tool in cc c++; do
        printf '#!/bin/sh\ntarget=%s\ncase " $* " in *" -print-"*) target=%s ;; esac\nexec /opt/tools/bin/python -m ziglang %s -target "$target" "$@"\n' \
            "$arch-linux-gnu.$floor" "$arch-linux-gnu" "$tool" >"/opt/tools/bin/$arch-$tool"
        chmod +x "/opt/tools/bin/$arch-$tool"
    done
    printf '#!/bin/sh\nexec /opt/tools/bin/python -m ziglang "${0##*-}" "$@"\n' >/opt/tools/bin/zig-ar
    cp /opt/tools/bin/zig-ar /opt/tools/bin/zig-ranlib
    chmod +x /opt/tools/bin/zig-ar /opt/tools/bin/zig-ranlib
    cat >"/work/$arch.ini" <<INI
[binaries]
c = '/opt/tools/bin/$arch-cc'
cpp = '/opt/tools/bin/$arch-c++'
ar = '/opt/tools/bin/zig-ar'
ranlib = '/opt/tools/bin/zig-ranlib'
[built-in options]
cpp_args = ['-idirafter', '/opt/pyconfig/$arch']
cpp_link_args = ['-Wl,--strip-all']
INI
    mkdir -p "/work/gdbm-build-$arch"
    (cd "/work/gdbm-build-$arch" &&
        "$gdbm_source/configure" --host="$arch-linux-gnu" --prefix="/opt/gdbm/$arch" \
            --disable-static --disable-nls --without-readline --enable-largefile \
            CC="/opt/tools/bin/$arch-cc" AR=/opt/tools/bin/zig-ar RANLIB=/opt/tools/bin/zig-ranlib \
            CFLAGS="-O2 -Wno-date-time" LDFLAGS="-Wl,--strip-all" >configure.log &&
        make -j"$(nproc)" -C src install >make.log)
done

mkdir -p /work/out
for tag in "$@"; do
    arch=${tag#*-} version=3.${tag:3:2}
    mkdir -p "/work/src-$tag"
    tar -xzf "$sdist" -C "/work/src-$tag" --strip-components=1
    [ -x "/opt/python$version/bin/python" ] || "/usr/bin/python$version" -m venv "/opt/python$version"
    "/opt/python$version/bin/pip" install -q -r requirements-build.txt
    build=(env PATH="/opt/python$version/bin:$PATH" GDBM_PREFIX="/opt/gdbm/$arch")
    if [ "$arch" = "$(uname -m)" ]; then
        machine=--native-file=/work/$arch.ini
    else
        # Cross: the build interpreter with the target's sysconfig data.
        sysconfig=$(ls "/opt/sysconfig/$arch/$version")
        { sed "/^\[binaries\]/a python = '/opt/python$version/bin/python'" "/work/$arch.ini"
          echo "[host_machine]"; echo "system = 'linux'"; echo "cpu_family = '$arch'"
          echo "cpu = '$arch'"; echo "endian = 'little'"; } >"/work/$tag.ini"
        machine=--cross-file=/work/$tag.ini
        build+=(_PYTHON_HOST_PLATFORM="linux-$arch" _PYTHON_SYSCONFIGDATA_NAME="${sysconfig%.py}"
            PYTHONPATH="/opt/sysconfig/$arch/$version")
    fi
    echo "== $tag: building from the sdist"
    "${build[@]}" "/opt/python$version/bin/python" -m build --wheel --no-isolation --outdir "/work/plain-$tag" \
        -Csetup-args="$machine" -Cbuild-dir="/work/build-$tag" "/work/src-$tag"
    LD_LIBRARY_PATH="/opt/gdbm/$arch/lib" auditwheel repair --wheel-dir "/work/repaired-$tag" /work/plain-"$tag"/*.whl

    # gdbm's licence, with the library that carries it.
    wheel unpack --dest "/work/tree-$tag" /work/repaired-"$tag"/*.whl >/dev/null
    info=$(echo /work/tree-"$tag"/*/*.dist-info)
    mkdir -p "$info/licenses/gdbm"
    cp "$gdbm_source/debian/copyright" "$info/licenses/gdbm/copyright"
    cp "$gdbm_source/COPYING" "$info/licenses/gdbm/COPYING"
    sed -i -e 's/^License-Expression: MIT$/License-Expression: MIT AND GPL-3.0-or-later/' \
        -e 's|^License-File: LICENSE$|&\nLicense-File: gdbm/copyright\nLicense-File: gdbm/COPYING|' "$info/METADATA"
    grep -qx 'License-Expression: MIT AND GPL-3.0-or-later' "$info/METADATA"
    wheel pack --dest-dir /work/out /work/tree-"$tag"/* >/dev/null
done

# What each wheel asks of the target machine.
for wheel in /work/out/*.whl; do
    policy=$(auditwheel show "$wheel" 2>&1 | tr '\n' ' ' | grep -o 'consistent with the following platform tag: *"[^"]*"' | grep -o '"[^"]*"')
    rm -rf /work/check && mkdir /work/check && (cd /work/check && python -m zipfile -e "$wheel" .)
    glibc=$(find /work/check -name '*.so*' -type f -exec readelf -W --dyn-syms {} + | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1)
    echo "== $(basename "$wheel"): auditwheel: $policy, newest glibc symbol: $glibc"
    if [ "$(printf '%s\n' "$glibc" "GLIBC_$floor" | sort -V | tail -n 1)" != "GLIBC_$floor" ]; then
        echo "$(basename "$wheel") uses $glibc, newer than GLIBC_$floor" >&2
        exit 1
    fi
done
twine check --strict /work/out/*.whl "$sdist"
echo "== twine check passed"
EOF
)

echo "wheels: building $* in the development root (log: $run.log)"
in_root "$cache/development" "$run" -- bash -c "$build" wheels "$(mirror)" "$STABLE" "$@" >>"$run.log" 2>&1 ||
    die "the build failed: see $run.log"
cp "$run"/upper/work/out/*.whl dist/
grep -E '^== .*(auditwheel|twine)' "$run.log" | sed 's/^== /wheels: /'
rm -rf "$run"
