#!/usr/bin/env bash
# make wheel: a manylinux wheel in dist/ that needs nothing on the target
# machine. The module is built here, auditwheel copies the libgdbm it links
# into the wheel, and gdbm's licence (GPL-3.0-or-later) goes in beside ours:
# into the wheel's licence files and its License-Expression.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}
export PATH="$PWD/$venv/bin:$PATH"
work=build/wheel

die() {
    echo "wheel: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work" dist
python -m build --wheel --no-isolation --outdir "$work/plain" . >"$work/build.log" 2>&1 ||
    die "the build failed: see $work/build.log"
plain=$(echo "$work"/plain/*.whl)

# The licence comes with the library that is bundled: the copyright file of
# the Debian package that holds it, and the licence text that file refers to.
python -m zipfile -e "$plain" "$work/module"
library=$(ldd "$work"/module/_kvstore*.so | awk '$1 ~ /^libgdbm\.so/ {print $3}')
[ -n "$library" ] || die "the module does not link a libgdbm that the loader finds"
package=$(dpkg-query -S "$(realpath "$library")" 2>/dev/null | cut -d: -f1) ||
    die "$library belongs to no Debian package: make wheel takes gdbm's licence from Debian's"
copyright=/usr/share/doc/$package/copyright
gpl=/usr/share/common-licenses/GPL-3
[ -f "$copyright" ] && [ -f "$gpl" ] || die "$copyright or $gpl is missing"

auditwheel repair --wheel-dir "$work/repaired" "$plain" >"$work/repair.log" 2>&1 ||
    die "auditwheel repair failed: see $work/repair.log"
wheel unpack --dest "$work/tree" "$work"/repaired/*.whl >/dev/null
info=$(echo "$work"/tree/*/*.dist-info)
mkdir -p "$info/licenses/gdbm"
cp "$copyright" "$info/licenses/gdbm/copyright"
cp "$gpl" "$info/licenses/gdbm/GPL-3"
sed -i -e 's/^License-Expression: MIT$/License-Expression: MIT AND GPL-3.0-or-later/' \
    -e 's|^License-File: LICENSE$|&\nLicense-File: gdbm/copyright\nLicense-File: gdbm/GPL-3|' "$info/METADATA"
grep -qx 'License-Expression: MIT AND GPL-3.0-or-later' "$info/METADATA" ||
    die "the wheel's METADATA has no License-Expression: MIT line to extend"
rm -f dist/*.whl
wheel pack --dest-dir dist "$work"/tree/* >/dev/null
echo "wheel: $(ls dist/*.whl) (libgdbm from $package bundled)"
