"""What several test files share: the module's fixed messages, the library's
own messages, buffer exporters, the key walk, a database maker and the
stats writer."""

import os
import re
import shlex
import shutil
import subprocess

import pytest

import _kvstore
from foundation_gdbm import loaded_library

CLOSED = "GDBM object has already been closed"
INDICES_ONLY = "gdbm mappings have bytes or string indices only"


def library_message(name):
    """The loaded library's text for the error named `name` in gdbm.h
    (e.g. "GDBM_READER_CANT_STORE"): each release words them its own way."""
    library = loaded_library()
    return os.fsdecode(library.gdbm_strerror(_error_codes()[name]))


_codes = {}


def _error_codes():
    # Where the module runs from a wheel that bundles gdbm, neither gdbm.h nor
    # a compiler may be installed: the test (or the file, if asked at import)
    # that needs the codes skips and says why.
    if not _codes:
        compiler = shlex.split(os.environ.get("CXX", "c++"))
        if shutil.which(compiler[0]) is None:
            pytest.skip(f"no C++ compiler ({compiler[0]}) to read gdbm's error codes from gdbm.h",
                        allow_module_level=True)
        run = subprocess.run([*compiler, "-E", "-x", "c++", "-"], input="#include <gdbm.h>\n",
                             capture_output=True, text=True)
        if run.returncode != 0:
            pytest.skip("gdbm.h is not installed (gdbm's development package): gdbm's error codes come from it",
                        allow_module_level=True)
        _codes.update((name, int(value)) for name, value in
                      re.findall(r"\b(GDBM_[A-Z_]+)\s*=\s*(\d+)", run.stdout))
    return _codes


class Bytes(bytes):
    pass


class Text(str):
    pass


class Exporter:
    """A read-only bytes-like object that only the buffer protocol reads.
    Counts its exports and runs `on_export` inside each."""

    def __init__(self, data, on_export=None):
        self.data = bytes(data)
        self.on_export = on_export
        self.exports = 0

    def __buffer__(self, flags):
        self.exports += 1
        if self.on_export is not None:
            self.on_export()
        return memoryview(self.data)


class OwnBufferBytes(bytes):
    """A bytes subclass whose __buffer__ hands out other storage, which lives
    only as long as the buffer: the module must read the bytes themselves
    and never ask. Counts the requests and runs `on_export` inside each."""

    on_export = None
    exports = 0

    def __buffer__(self, flags):
        self.exports += 1
        if self.on_export is not None:
            self.on_export()
        return memoryview(bytearray(b"X" * 100000)).toreadonly()


def walk(db):
    """The keys in traversal order, by firstkey() and nextkey()."""
    keys = []
    key = db.firstkey()
    while key is not None:
        keys.append(key)
        key = db.nextkey(key)
    return keys


def package_over(db):
    """A kvstore.Database over the open _kvstore object db, for tests that
    hold db already (opening the file again would meet its lock)."""
    import kvstore

    package = kvstore.Database.__new__(kvstore.Database)
    package._raw = db
    return package


def make_db(path, records=(), flags="c"):
    """Writes `records` (a mapping or pairs) to a database at `path`, then
    opens it with `flags`."""
    records = dict(records)
    if records:
        with _kvstore.open(path, "c") as db:
            for key, value in records.items():
                db[key] = value
    return _kvstore.open(path, flags)


def record_stats(*fields):
    """One line of figures for the memory-check and long-fuzz reports, when
    they asked for it (KVSTORE_STATS_FILE)."""
    stats = os.environ.get("KVSTORE_STATS_FILE")
    if stats:
        with open(stats, "a") as out:
            out.write(" ".join(str(field) for field in fields) + "\n")

