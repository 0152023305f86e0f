#!/usr/bin/env bash
# Prepares this checkout on a fresh Debian machine: a C++ compiler, gdbm's
# headers, a supported Python (3.13 preferred, 3.14 and 3.15 taken too; from
# PYTHON=, the OS or pyenv) and a virtual environment holding the build and
# test tools (requirements-dev.txt). Each missing piece it cannot install
# stops the set-up with one line that says what to do.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-.venv}

die() {
    echo "setup: $*" >&2
    exit 1
}

as_root() {
    if [ "$(id -u)" = 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo -n "$@"
    else
        return 1
    fi
}

apt_updated=
apt_install() {
    command -v apt-get >/dev/null 2>&1 || return 1
    if [ -z "$apt_updated" ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null 2>&1 || return 1
        apt_updated=1
    fi
    echo "setup: installing $* with apt-get"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1
}

has_header() {
    printf '#include <%s>\n' "$1" | c++ -E -x c++ - >/dev/null 2>&1
}

# The interpreters the test matrix runs on; the first one is preferred.
SUPPORTED="3.13 3.14 3.15"

# Prints X.Y for an interpreter of a supported version, fails for any other.
supported_version() {
    local version
    [ -n "$1" ] || return 1
    version=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) || return 1
    case " $SUPPORTED " in *" $version "*) echo "$version" ;; *) return 1 ;; esac
}

find_python() {
    local root version candidate
    if [ -n "${PYTHON:-}" ]; then
        echo "$PYTHON"
        return 0
    fi
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for version in $SUPPORTED; do
        for candidate in "$(command -v "python$version" 2>/dev/null || true)" "/usr/bin/python$version" \
            $(ls -d "$root"/versions/"$version"*/bin/python"$version" 2>/dev/null | sort -V -r); do
            if supported_version "$candidate" >/dev/null; then
                echo "$candidate"
                return 0
            fi
        done
    done
    return 1
}

# The tag of the extension modules an interpreter loads (version and ABI).
ext_suffix() {
    "$1" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))' 2>/dev/null
}

command -v c++ >/dev/null 2>&1 || apt_install g++ ||
    die "no C++ compiler found: install g++ (apt-get install g++)"
# With GDBM_PREFIX set, the build looks for gdbm there alone, and says so if it is not.
if [ -z "${GDBM_PREFIX:-}" ]; then
    has_header gdbm.h || apt_install libgdbm-dev ||
        die "gdbm's header gdbm.h is missing: install libgdbm-dev (apt-get install libgdbm-dev, as root)"
    has_header gdbm.h || die "gdbm.h is still missing after installing libgdbm-dev"
fi
# gdbm's own gdbm_dump and gdbm_load: the tests exchange dump files with them.
command -v gdbm_load >/dev/null 2>&1 || apt_install gdbmtool ||
    die "gdbm's tools gdbm_dump and gdbm_load are missing: install gdbmtool (apt-get install gdbmtool, as root)"

if [ -n "${PYTHON:-}" ]; then
    supported_version "$PYTHON" >/dev/null || die "PYTHON=$PYTHON is not Python 3.13, 3.14 or 3.15"
fi
python=$(find_python) || { apt_install python3.13 python3.13-dev python3.13-venv && python=$(find_python); } ||
    die "no Python 3.13, 3.14 or 3.15 found: install one (Debian 13: apt-get install python3.13-dev python3.13-venv; elsewhere: pyenv install 3.13), or set PYTHON=/path/to/python3.13"
version=$(supported_version "$python")

"$python" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
    apt_install "python$version-dev" ||
    die "Python $version's headers are missing for $python: install python$version-dev"
"$python" -c 'import ensurepip, venv' >/dev/null 2>&1 || apt_install "python$version-venv" ||
    die "Python $version's venv module is missing for $python: install python$version-venv"

if [ ! -x "$venv/bin/python" ] || [ "$(ext_suffix "$venv/bin/python")" != "$(ext_suffix "$python")" ]; then
    rm -rf "$venv"
    echo "setup: creating $venv with $python"
    "$python" -m venv "$venv"
fi
# requirements-dev.txt by default; make check-matrix asks for the build and
# behaviour-test tools alone (KVSTORE_REQUIREMENTS, space-separated).
requirements=${KVSTORE_REQUIREMENTS:-requirements-dev.txt}
"$venv/bin/python" -m pip install -q --disable-pip-version-check $(printf -- '-r %s ' $requirements) ||
    die "could not install the Python tools in $requirements from PyPI"
echo "setup: ready ($("$venv/bin/python" --version))"
