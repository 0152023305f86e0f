"""What the dump tests share: databases made from and read back as dicts,
dump files written by hand item by item, and gdbm's own tools run over
them, with what docs/durability.md says gdbm_load reads."""

import base64
import os
import re
import shutil
import subprocess

import pytest

import _kvstore
from support import library_message, make_db

from support.paths import ROOT

FORMATS = ["ascii", "binary"]
MALFORMED = library_message("GDBM_MALFORMED_DATA")


def write_db(path, records):
    make_db(str(path), records).close()


def contents(path):
    with _kvstore.open(os.fspath(path)) as db:
        return {key: db[key] for key in db.keys()}


def in_dump_order(path):
    """The records in the order a dump writes them: the library's."""
    with _kvstore.open(os.fspath(path)) as db:
        return [(key, db[key]) for key in db.keys()]


@pytest.fixture
def target(tmp_path):
    """A database holding one record of its own, and its bytes."""
    path = tmp_path / "target.db"
    write_db(path, {b"mine": b"kept"})
    return path


# ---- dumps written by hand -------------------------------------------------------

def ascii_dump(*items, count=None, header=b"#:version=1.1\n#:file=x.db\n", tail=b"# End of data\n"):
    """An ASCII dump of `items` ((length line, Base64 lines) pairs as bytes)."""
    body = b"".join(items)
    count = b"#:count=%d\n" % (len(items) // 2) if count is None else count
    return b"# GDBM dump file\n" + header + b"# End of header\n" + body + count + tail


def item(data, length=None):
    text = base64.b64encode(data)
    lines = b"".join(text[i:i + 76] + b"\n" for i in range(0, len(text), 76))
    return b"#:len=%s\n" % (str(len(data)).encode() if length is None else length) + lines


BINARY_HEADER = b"!\r\n! GDBM FLAT FILE DUMP -- THIS IS NOT A TEXT FILE\r\n! GDBM\r\n!\r\n"


def binary_item(data, length=None):
    return (len(data) if length is None else length).to_bytes(4, "big") + bytes(4) + data


def written_dump(records, fmt):
    items = [data for record in records for data in record]
    if fmt == "ascii":
        return ascii_dump(*map(item, items))
    return BINARY_HEADER + b"".join(map(binary_item, items))


# ---- gdbm's own tools ------------------------------------------------------------

# gdbm's own tools run without the sanitizer that the memory checks preload
# for the module: their code is gdbm's to mend (gdbm_load 1.23 reads past the
# end of a buffer on some dumps that hold an empty value).
TOOL_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def tool_run(name, *args):
    """Runs one of gdbm's tools; returns the finished process, whatever its exit."""
    tool = shutil.which(name)
    if tool is None:
        pytest.skip(f"{name} is missing: scripts/setup.sh installs it (Debian package gdbmtool)")
    return subprocess.run([tool, *map(str, args)], capture_output=True, timeout=60, env=TOOL_ENV)


def gdbm_load_reads(records, fmt):
    """Whether gdbm_load, as docs/durability.md describes it (Backups), reads back a
    dump of `records` (in the dump's order) in `fmt`."""
    if any(not key for key, _ in records):
        return False
    if fmt == "binary" or not records:
        return all(value for _, value in records)
    # Text: an empty value in the last record only, after a non-empty one.
    *before, last = records
    return all(value for _, value in before) and (bool(last[1]) or len(before) > 0)


def documented_gdbm_version():
    """The gdbm release whose gdbm_load docs/durability.md describes for empty keys
    and values."""
    found = re.search(r"gdbm_load` of gdbm ([0-9.]+)", (ROOT / "docs" / "durability.md").read_text())
    assert found, "docs/durability.md names the gdbm release whose gdbm_load it describes"
    return found.group(1)


def installed_gdbm_version():
    found = re.search(rb"\(gdbm\) ([0-9.]+)", tool_run("gdbm_load", "--version").stdout)
    return found.group(1).decode() if found else None
