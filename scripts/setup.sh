#!/usr/bin/env bash
# Prepares this checkout on a fresh Debian machine: a C++ compiler, gdbm's
# headers, Python 3.13 (from the OS or from pyenv) and a virtual environment
# holding the build and test tools. Each missing piece it cannot install
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
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null 2>&1
}

has_header() {
    printf '#include <%s>\n' "$1" | c++ -E -x c++ - >/dev/null 2>&1
}

is_python313() {
    [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python() {
    local root candidate
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for candidate in "${PYTHON:-}" "$(command -v python3.13 2>/dev/null || true)" /usr/bin/python3.13 \
        $(ls -d "$root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V -r); do
        if is_python313 "$candidate"; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

command -v c++ >/dev/null 2>&1 || apt_install g++ ||
    die "no C++ compiler found: install g++ (apt-get install g++)"
has_header gdbm.h || apt_install libgdbm-dev ||
    die "gdbm's header gdbm.h is missing: install libgdbm-dev (apt-get install libgdbm-dev, as root)"
has_header gdbm.h || die "gdbm.h is still missing after installing libgdbm-dev"

python=$(find_python) || { apt_install python3.13 python3.13-dev python3.13-venv && python=$(find_python); } ||
    die "Python 3.13 not found: install it (Debian 13: apt-get install python3.13-dev python3.13-venv; elsewhere: pyenv install 3.13), or set PYTHON=/path/to/python3.13"

"$python" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
    apt_install python3.13-dev ||
    die "Python 3.13's headers are missing for $python: install python3.13-dev"
"$python" -c 'import ensurepip, venv' >/dev/null 2>&1 || apt_install python3.13-venv ||
    die "Python 3.13's venv module is missing for $python: install python3.13-venv"

if ! is_python313 "$venv/bin/python"; then
    rm -rf "$venv"
    echo "setup: creating $venv with $python"
    "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt ||
    die "could not install the Python tools in requirements-dev.txt from PyPI"
echo "setup: ready ($("$venv/bin/python" --version), gdbm headers found)"
