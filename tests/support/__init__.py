"""What several test files share: the module's fixed messages, the library's
own messages, the database type, a second module object, the check that a
call raises, buffer exporters, the key walk, a database maker, the stats
writer, the layout of a database file's header."""

import importlib.util
import os
import re
import struct
import tempfile

import _kvstore
from support.foundation_gdbm import loaded_library, preprocessed_header

CLOSED = "GDBM object has already been closed"
INDICES_ONLY = "gdbm mappings have bytes or string indices only"


def library_message(name):
    """The loaded library's text for the error named `name` in gdbm.h
    (e.g. "GDBM_READER_CANT_STORE"): each release words them its own way."""
    library = loaded_library()
    return os.fsdecode(library.gdbm_strerror(_error_codes()[name]))


_codes = {}


def _error_codes():
    if not _codes:
        _codes.update((name, int(value)) for name, value in
                      re.findall(r"\b(GDBM_[A-Z_]+)\s*=\s*(\d+)", preprocessed_header()))
    return _codes


def database_type():
    """The type of the module's database objects, which the module does not
    name: the type of an object opened on a scratch file."""
    with tempfile.TemporaryDirectory() as folder:
        with _kvstore.open(os.path.join(folder, "db"), "c") as db:
            return type(db)


def fresh_module():
    """Another module object made from the same shared object, kept out of
    sys.modules."""
    spec = importlib.util.spec_from_file_location("_kvstore", _kvstore.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def raises(exc, message, func, *args, **kwargs):
    """Calls func and returns the `exc` it raises, whose text must be
    `message` unless that is None. Faster than pytest.raises in loops of
    thousands of calls."""
    try:
        func(*args, **kwargs)
    except exc as caught:
        if message is not None:
            assert str(caught) == message, (str(caught), message)
        return caught
    raise AssertionError(f"{func!r}{args!r}{kwargs!r} did not raise {exc.__name__}")


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


def package_for_batches(db, path):
    """package_over(db), ready for batches: writable, with the journal of
    the file at `path`, which db has open."""
    import kvstore

    package = package_over(db)
    package._flag, package._closed = "c", False
    package._database = os.path.realpath(path)
    package._journal = kvstore._journal.Journal(package._database)
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


def file_layout(data):
    """Block size, bucket size and the bucket directory (one file offset per
    entry) from the header: magic (int), block size (int), directory offset
    (off_t), directory size (int), directory bits (int), bucket size (int)."""
    block_size, dir_offset, dir_size, _, bucket_size = struct.unpack_from("<iqiii", data, 4)
    directory = struct.unpack_from("<%dq" % (dir_size // 8), data, dir_offset)
    return block_size, bucket_size, dir_offset, dir_size, directory
