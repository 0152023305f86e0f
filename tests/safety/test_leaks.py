"""Every operation, on its success path and on each error path, run many
thousands of times: the interpreter's traced memory and the process's
resident memory must not grow.

Values and traversal keys are several KiB long, so a library buffer that is
never freed (invisible to tracemalloc, which sees only the interpreter's
allocations) shows up in the resident size within a few thousand calls.
"""

import errno
import gc
import os
import resource
import signal
import tracemalloc

import pytest

import _kvstore
from support.scale import MEMTOOL, scaled
from support import (CLOSED, Exporter, database_type, library_message, package_for_batches, package_over,
                     raises, walk)

KEY = b"k" * 2048
VALUE = b"v" * 8192
SURROGATE = "bad\udc80key"

# A leak of one small object per call shows well above these bounds after
# thousands of calls; one library buffer per call (>= 2 KiB) goes far past
# the resident-size bound.
TRACED_BOUND = 48 * 1024
RSS_BOUND = 3 * 1024 * 1024
RUNS = scaled(6000, minimum=40)
SLOW_RUNS = scaled(1500, minimum=10)


class Env:
    def __init__(self, tmp_path):
        self.path = str(tmp_path / "rw.db")
        self.ro_path = str(tmp_path / "ro.db")
        self.scratch = str(tmp_path / "scratch.db")
        self.text_path = str(tmp_path / "text.txt")
        self.dump_path = str(tmp_path / "backup.dump")
        self.missing_dir = str(tmp_path / "missing" / "backup.dump")
        with open(self.text_path, "w") as text:
            text.write("not a database\n" * 300)
        with _kvstore.open(self.ro_path, "n") as seed:
            for i in range(8):
                seed[KEY + bytes([i])] = VALUE
            # Written with its zero length, as gdbm's dump formats carry it.
            seed[b"empty value"] = b""
        self.db = _kvstore.open(self.path, "n")
        for i in range(8):
            self.db[KEY + bytes([i])] = VALUE
        self.db.dump(self.dump_path)
        self.ro = _kvstore.open(self.ro_path, "r")
        self.closed = _kvstore.open(self.scratch, "n")
        self.closed.close()

    def walk(self):
        assert len(walk(self.db)) == 8

    # ---- a batch's journal beside self.db ------------------------------------

    def journal(self):
        journal = _kvstore._Journal(self.path)
        journal.begin(self.db, {KEY + b"\0": None, KEY + b"missing": VALUE})
        assert journal.read() is not None
        assert journal.before() == {KEY + b"\0": VALUE, KEY + b"missing": None}
        journal.void()
        journal.close()

    def journal_refused(self):
        """A symbolic link at the journal's name: refused, never followed."""
        link = self.path + "-journal"
        os.symlink(self.text_path, link)
        try:
            assert raises(E, None, _kvstore._Journal(self.path).read).errno == errno.ELOOP
        finally:
            os.unlink(link)

    # ---- the room a batch claims -----------------------------------------------

    def room_refused(self):
        """No room under the process's file-size limit: refused. The limit
        leaves other files of this process (a memory tool's logs) 64 KiB to
        grow, less than one change may take, and a write past it fails
        instead of killing."""
        limits = resource.getrlimit(resource.RLIMIT_FSIZE)
        handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(self.path) + 65536, limits[1]))
        try:
            assert raises(E, None, self.db._reserve, {KEY + b"new": VALUE}).errno == errno.EFBIG
        finally:
            resource.setrlimit(resource.RLIMIT_FSIZE, limits)
            signal.signal(signal.SIGXFSZ, handler)

    # ---- through the kvstore package's Database over self.db ----------------

    def package(self):
        return package_over(self.db)

    def package_walks(self):
        package = self.package()
        assert [len(list(view)) for view in (package, package.values(), package.items())] == [8, 8, 8]

    def package_store_while_walking(self):
        package = self.package()
        running = iter(package.items())
        next(running)
        package[b"extra"] = VALUE
        raises(RuntimeError, "database changed during iteration", next, running)
        del package[b"extra"]

    def package_abandoned_walk(self):
        running = iter(self.package().values())
        next(running)

    def package_pop_and_restore(self):
        package = self.package()
        assert package.pop(KEY + b"\0") == VALUE
        key, value = package.popitem()
        package[KEY + b"\0"] = VALUE
        package[key] = value

    def package_batch(self, commit):
        """Every operation of a batch's mapping, leaving the records as they
        were: committed, or abandoned after a nested batch failed."""
        # One Database for every run: its journal stays beside the file
        # between commits, and no other may take it over.
        if not hasattr(self, "batches"):
            self.batches = package_for_batches(self.db, self.path)
        package = self.batches
        try:
            with package.batch():
                package[b"extra"] = VALUE
                del package[KEY + b"\0"]
                assert len(package) == 8 and b"extra" in package and package.get(b"missing") is None
                assert [len(list(view)) for view in (package, package.values(), package.items())] == [8, 8, 8]
                raises(TypeError, None, package.get, 1)
                raises(KeyError, None, package.__getitem__, b"missing")
                assert package.setdefault(b"extra", b"x") == VALUE and package.pop(b"extra") == VALUE
                package[KEY + b"\0"] = VALUE
                try:
                    with package.batch():
                        package.popitem()
                        package.clear()
                        raise ValueError
                except ValueError:
                    pass
                if not commit:
                    raise ValueError
        except ValueError:
            pass
        assert len(package) == 8

    def store_and_delete(self):
        self.db[b"extra"] = VALUE
        del self.db[b"extra"]

    def setdefault_missing(self):
        assert self.db.setdefault(b"fresh", VALUE) == VALUE
        del self.db[b"fresh"]

    def clear_some(self):
        with _kvstore.open(self.scratch, "n") as scratch:
            for i in range(4):
                scratch[KEY + bytes([i])] = VALUE
            scratch.clear()
            assert len(scratch) == 0

    def reorganize(self):
        self.store_and_delete()
        self.db.reorganize()

    def compact(self):
        self.store_and_delete()
        self.db.compact(progress=lambda done, total: None)

    def compact_stopped(self):
        def stop(done, total):
            raise ValueError("stop")

        raises(ValueError, "stop", self.db.compact, progress=stop)

    def value_closes_object(self):
        victim = _kvstore.open(self.scratch, "c")
        raises(_kvstore.error, CLOSED, victim.__setitem__, b"k", Exporter(VALUE, victim.close))

    def dump_and_load(self, fmt):
        self.db.dump(self.dump_path, fmt)
        self.db.load(self.dump_path, True)

    def progress_raises(self, method, *args):
        def stop(done, total):
            raise ZeroDivisionError

        raises(ZeroDivisionError, None, getattr(self.db, method), *args, progress=stop)

    def load_conflict(self):
        self.db.dump(self.dump_path)
        # The key is shown cut to its first 64 bytes, all of them b"k".
        message = (f"{library_message('GDBM_CANNOT_REPLACE')}: the key {KEY[:64]!r}... is already "
                   "stored (replace=True replaces it)")
        raises(_kvstore.error, message, self.db.load, self.dump_path)

    def closed_with_block(self):
        with _kvstore.open(self.ro_path) as opened:
            assert opened[KEY + b"\0"] == VALUE
        raises(_kvstore.error, CLOSED, opened.keys)


def check(expected, func, *args):
    assert func(*args) == expected


E = _kvstore.error

# name -> (slow?, the operation as a function of the environment)
CASES = {
    # open, close and the object's end
    "open_close": (True, lambda e: _kvstore.open(e.ro_path, "r").close()),
    "open_dropped": (True, lambda e: _kvstore.open(e.ro_path, "ru")),
    "open_with": (True, Env.closed_with_block),
    "open_missing": (True, lambda e: raises(E, None, _kvstore.open, e.ro_path + ".none")),
    "open_not_database": (True, lambda e: raises(E, None, _kvstore.open, e.text_path)),
    "open_locked": (True, lambda e: raises(E, None, _kvstore.open, e.path, "w")),
    "open_first_flag": (False, lambda e: raises(E, None, _kvstore.open, e.path, "x")),
    "open_modifier": (False, lambda e: raises(E, None, _kvstore.open, e.path, "rq")),
    "open_flags_nul": (False, lambda e: raises(ValueError, None, _kvstore.open, e.path, "r\0")),
    "open_flags_type": (False, lambda e: raises(TypeError, None, _kvstore.open, e.path, b"r")),
    "open_name_nul": (False, lambda e: raises(ValueError, None, _kvstore.open, "a\0b")),
    "open_name_type": (False, lambda e: raises(TypeError, None, _kvstore.open, 1.5)),
    "open_mode_overflow": (False, lambda e: raises(OverflowError, None, _kvstore.open, e.path, "r", 1 << 31)),
    "open_arg_count": (False, lambda e: raises(TypeError, None, _kvstore.open)),
    "close_twice": (False, lambda e: (e.closed.close(), e.closed.close())),
    "_close_letting_go": (True, lambda e: (_kvstore._open_tuned(e.scratch, "c", mmap=False)._close_letting_go(),
                                           _kvstore.open(e.ro_path, "r")._close_letting_go(),
                                           e.closed._close_letting_go())),
    # subscription
    "fetch_hit": (False, lambda e: check(VALUE, e.db.__getitem__, KEY + b"\0")),
    "fetch_str_key": (False, lambda e: raises(KeyError, None, e.db.__getitem__, "é" * 500)),
    "fetch_miss": (False, lambda e: raises(KeyError, None, e.db.__getitem__, b"missing" * 100)),
    "fetch_type": (False, lambda e: raises(TypeError, None, e.db.__getitem__, 12)),
    "fetch_writable_buffer": (False, lambda e: raises(TypeError, None, e.db.__getitem__, bytearray(KEY))),
    "fetch_surrogate": (False, lambda e: raises(UnicodeEncodeError, None, e.db.__getitem__, SURROGATE)),
    "fetch_closed": (False, lambda e: raises(E, CLOSED, e.closed.__getitem__, KEY)),
    # assignment and deletion
    "store_replace": (False, lambda e: e.db.__setitem__(KEY + b"\0", VALUE)),
    "store_str": (False, lambda e: e.db.__setitem__("ключ", "значение" * 400)),
    "store_exporter": (False, lambda e: e.db.__setitem__(Exporter(KEY + b"\1"), Exporter(VALUE))),
    "store_and_delete": (False, Env.store_and_delete),
    "store_bad_key": (False, lambda e: raises(TypeError, None, e.db.__setitem__, 1, VALUE)),
    "store_bad_value": (False, lambda e: raises(TypeError, None, e.db.__setitem__, KEY, 1)),
    "store_surrogate_value": (False, lambda e: raises(TypeError, None, e.db.__setitem__, KEY, SURROGATE)),
    "store_closed": (False, lambda e: raises(E, CLOSED, e.closed.__setitem__, KEY, VALUE)),
    "store_read_only": (False, lambda e: raises(E, None, e.ro.__setitem__, KEY, VALUE)),
    "store_value_closes": (True, Env.value_closes_object),
    "delete_miss": (False, lambda e: raises(KeyError, None, e.db.__delitem__, b"missing")),
    "delete_bad_key": (False, lambda e: raises(TypeError, None, e.db.__delitem__, None)),
    "delete_closed": (False, lambda e: raises(E, CLOSED, e.closed.__delitem__, KEY)),
    "delete_read_only": (False, lambda e: raises(E, None, e.ro.__delitem__, KEY + b"\0")),
    # len, truth value, membership
    "len": (False, lambda e: (e.db.__setitem__(KEY, VALUE), check(9, len, e.db))),
    "len_closed": (False, lambda e: raises(E, CLOSED, len, e.closed)),
    "bool": (False, lambda e: (e.db.__setitem__(KEY, VALUE), check(True, bool, e.db))),
    "bool_closed": (False, lambda e: raises(E, CLOSED, bool, e.closed)),
    "contains_hit": (False, lambda e: check(True, e.db.__contains__, KEY + b"\0")),
    "contains_miss": (False, lambda e: check(False, e.db.__contains__, "missing")),
    "contains_type": (False, lambda e: raises(TypeError, None, e.db.__contains__, memoryview(KEY))),
    "contains_surrogate": (False, lambda e: raises(UnicodeEncodeError, None, e.db.__contains__, SURROGATE)),
    "contains_closed": (False, lambda e: raises(E, CLOSED, e.closed.__contains__, KEY)),
    # get and setdefault
    "get_hit": (False, lambda e: check(VALUE, e.db.get, KEY + b"\0")),
    "get_default": (False, lambda e: check([1], e.db.get, b"missing", [1])),
    "get_type": (False, lambda e: raises(TypeError, None, e.db.get, 1, b"d")),
    "get_arg_count": (False, lambda e: raises(TypeError, None, e.db.get)),
    "get_closed": (False, lambda e: raises(E, CLOSED, e.closed.get, KEY)),
    "setdefault_hit": (False, lambda e: check(VALUE, e.db.setdefault, KEY + b"\0", b"other")),
    "setdefault_missing": (False, Env.setdefault_missing),
    "setdefault_no_default": (False, lambda e: raises(TypeError, None, e.db.setdefault, b"missing")),
    "setdefault_read_only": (False, lambda e: raises(E, None, e.ro.setdefault, b"missing", VALUE)),
    "setdefault_closed": (False, lambda e: raises(E, CLOSED, e.closed.setdefault, KEY, VALUE)),
    # keys, traversal
    "keys": (False, lambda e: check(8, len, e.db.keys())),
    "keys_args": (False, lambda e: raises(TypeError, None, e.db.keys, 1)),
    "keys_closed": (False, lambda e: raises(E, CLOSED, e.closed.keys)),
    "walk": (False, Env.walk),
    "firstkey_args": (False, lambda e: raises(TypeError, None, e.db.firstkey, x=1)),
    "firstkey_closed": (False, lambda e: raises(E, CLOSED, e.closed.firstkey)),
    "nextkey_missing": (False, lambda e: check(None, e.db.nextkey, "missing" * 300)),
    "nextkey_type": (False, lambda e: raises(TypeError, None, e.db.nextkey, bytearray(KEY))),
    "nextkey_surrogate": (False, lambda e: raises(UnicodeEncodeError, None, e.db.nextkey, SURROGATE)),
    "nextkey_closed": (False, lambda e: raises(E, CLOSED, e.closed.nextkey, KEY)),
    # the kvstore package's Database
    "package_fetch": (False, lambda e: check(VALUE, e.package().__getitem__, KEY + b"\0")),
    "package_fetch_miss": (False, lambda e: raises(KeyError, None, e.package().__getitem__, b"missing")),
    "package_contains_len_bool": (False, lambda e: check((True, 8, True), lambda p: (KEY + b"\1" in p, len(p), bool(p)), e.package())),
    "package_get": (False, lambda e: check([1], e.package().get, b"missing", [1])),
    "package_get_type": (False, lambda e: raises(TypeError, None, e.package().get, 1)),
    "package_setdefault_missing": (False, lambda e: (check(VALUE, e.package().setdefault, b"fresh", VALUE), e.db.__delitem__(b"fresh"))),
    "package_pop_default": (False, lambda e: check(None, e.package().pop, b"missing", None)),
    "package_pop_miss": (False, lambda e: raises(KeyError, None, e.package().pop, b"missing")),
    "package_pop_and_restore": (False, Env.package_pop_and_restore),
    "package_popitem_read_only": (False, lambda e: raises(E, None, package_over(e.ro).popitem)),
    "package_store_and_delete": (False, lambda e: (e.package().__setitem__(b"extra", VALUE), e.package().__delitem__(b"extra"))),
    "package_store_bad_value": (False, lambda e: raises(TypeError, None, e.package().__setitem__, KEY, 1)),
    "package_walks": (False, Env.package_walks),
    "package_store_while_walking": (False, Env.package_store_while_walking),
    "package_abandoned_walk": (False, Env.package_abandoned_walk),
    "package_batch_committed": (True, lambda e: e.package_batch(commit=True)),
    "package_batch_abandoned": (False, lambda e: e.package_batch(commit=False)),
    "package_closed": (False, lambda e: raises(E, CLOSED, lambda: next(iter(package_over(e.closed).items())))),
    # maintenance
    "sync": (False, lambda e: e.db.sync()),
    "sync_args": (False, lambda e: raises(TypeError, None, e.db.sync, 1)),
    "sync_closed": (False, lambda e: raises(E, CLOSED, e.closed.sync)),
    "reorganize": (True, Env.reorganize),
    "reorganize_read_only": (False, lambda e: raises(E, None, e.ro.reorganize)),
    "reorganize_closed": (False, lambda e: raises(E, CLOSED, e.closed.reorganize)),
    "compact": (True, Env.compact),
    "compact_stopped": (True, Env.compact_stopped),
    "compact_read_only": (False, lambda e: raises(E, None, e.ro.compact)),
    "compact_progress_type": (False, lambda e: raises(TypeError, None, e.db.compact, progress=1)),
    "compact_closed": (False, lambda e: raises(E, CLOSED, e.closed.compact)),
    "recover_unneeded": (False, lambda e: check(0, lambda: e.db.recover()["recovered_keys"])),
    "recover_read_only": (False, lambda e: raises(E, None, e.ro.recover)),
    "recover_bad_limit": (False, lambda e: raises(ValueError, None, e.db.recover, max_failures=0)),
    "recover_closed": (False, lambda e: raises(E, CLOSED, e.closed.recover)),
    "failure_atomic_taken_name": (False, lambda e: raises(E, None, e.db.failure_atomic, e.text_path, e.scratch + ".odd")),
    "failure_atomic_read_only": (False, lambda e: raises(E, None, e.ro.failure_atomic, e.scratch + ".even", e.scratch + ".odd")),
    "failure_atomic_closed": (False, lambda e: raises(E, CLOSED, e.closed.failure_atomic, "a", "b")),
    "latest_snapshot_missing": (False, lambda e: raises(E, None, _kvstore.latest_snapshot, e.scratch + ".even", e.scratch + ".odd")),
    "latest_snapshot_name_type": (False, lambda e: raises(TypeError, None, _kvstore.latest_snapshot, e.path, 1)),
    "clear": (True, Env.clear_some),
    "clear_read_only": (False, lambda e: raises(E, "cannot delete item from database", e.ro.clear)),
    "clear_args": (False, lambda e: raises(TypeError, None, e.db.clear, 1)),
    "clear_closed": (False, lambda e: raises(E, CLOSED, e.closed.clear)),
    # a batch's run of changes
    "_apply": (True, lambda e: (e.db._apply({KEY + b"run": VALUE, KEY + b"gone": None}),
                                e.db._apply({KEY + b"run": None}, unmapped=True))),
    "_apply_types": (False, lambda e: raises(TypeError, None, e.db._apply, {KEY: 1})),
    "_apply_read_only": (False, lambda e: raises(E, None, e.ro._apply, {KEY: VALUE})),
    "_apply_closed": (False, lambda e: raises(E, CLOSED, e.closed._apply, {})),
    "_reserve": (False, lambda e: (e.db._reserve({KEY + b"run": VALUE, KEY: None}), e.db._release())),
    "_reserve_refused": (False, Env.room_refused),
    "_reserve_types": (False, lambda e: raises(TypeError, None, e.db._reserve, {KEY: 1})),
    "_reserve_read_only": (False, lambda e: raises(E, None, e.ro._reserve, {KEY: VALUE})),
    "_reserve_closed": (False, lambda e: raises(E, CLOSED, e.closed._reserve, {})),
    "_release_closed": (False, lambda e: raises(E, CLOSED, e.closed._release)),
    "_journal": (False, Env.journal),
    "_journal_refused": (False, Env.journal_refused),
    "_journal_types": (False, lambda e: raises(TypeError, None, _kvstore._Journal(e.path).begin, e.db, {KEY: 1})),
    "_journal_closed": (False, lambda e: raises(E, CLOSED, _kvstore._Journal(e.scratch).begin, e.closed, {})),
    # backups
    "dump_load_ascii": (True, lambda e: e.dump_and_load("ascii")),
    "dump_load_binary": (True, lambda e: e.dump_and_load("binary")),
    "dump_unwritable": (False, lambda e: raises(E, None, e.db.dump, e.missing_dir)),
    "dump_format": (False, lambda e: raises(ValueError, None, e.db.dump, e.path, "yaml")),
    "dump_empty_value": (True, lambda e: e.ro.dump(e.scratch + ".dump", "binary")),
    "dump_closed": (False, lambda e: raises(E, CLOSED, e.closed.dump, e.dump_path)),
    "dump_progress": (True, lambda e: e.db.dump(e.dump_path, progress=lambda done, total: None)),
    "dump_progress_raises": (True, lambda e: e.progress_raises("dump", e.scratch)),
    "dump_own_file": (False, lambda e: raises(E, None, e.db.dump, e.path)),
    "load_progress_raises": (True, lambda e: e.progress_raises("load", e.dump_path, True)),
    "load_conflict": (True, Env.load_conflict),
    "load_missing": (False, lambda e: raises(E, None, e.db.load, e.missing_dir)),
    "load_malformed": (False, lambda e: raises(E, None, e.db.load, e.text_path)),
    "load_read_only": (True, lambda e: raises(E, library_message("GDBM_READER_CANT_STORE"), e.ro.load, e.dump_path)),
    "load_name_type": (False, lambda e: raises(TypeError, None, e.db.load, 1.5)),
    "load_closed": (False, lambda e: raises(E, CLOSED, e.closed.load, e.dump_path)),
    # load() in place, the records handed to a commit callable
    "_load_with": (True, lambda e: (e.db.dump(e.dump_path), e.db._load_with(e.dump_path, True, e.db._apply))),
    "_load_with_commit_raises": (True, lambda e: (e.db.dump(e.dump_path), raises(
        ZeroDivisionError, None, e.db._load_with, e.dump_path, True, lambda records: 1 / 0))),
    "_load_with_conflict": (True, lambda e: (e.db.dump(e.dump_path), raises(
        E, None, e.db._load_with, e.dump_path, False, e.db._apply))),
    "_load_with_arguments": (False, lambda e: raises(TypeError, None, e.db._load_with, e.dump_path, True)),
    "_load_with_closed": (False, lambda e: raises(E, CLOSED, e.closed._load_with, e.dump_path, True, print)),
}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(operation, env, count):
    for _ in range(count):
        operation(env)


@pytest.mark.parametrize("name", sorted(CASES))
def test_operation_does_not_leak(name, tmp_path):
    slow, operation = CASES[name]
    runs = SLOW_RUNS if slow else RUNS
    env = Env(tmp_path)
    try:
        repeat(operation, env, max(10, runs // 10))
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            repeat(operation, env, runs)
            gc.collect()
            traced_growth = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
        # The resident size is measured without tracemalloc, whose own
        # tables grow with every live allocation.
        gc.collect()
        rss_before = resident_bytes()
        repeat(operation, env, runs)
        gc.collect()
        rss_growth = resident_bytes() - rss_before
    finally:
        env.db.close()
        env.ro.close()
    assert traced_growth < TRACED_BOUND, f"{name}: traced memory grew by {traced_growth} bytes over {runs} calls"
    if not MEMTOOL:
        assert rss_growth < RSS_BOUND, f"{name}: resident memory grew by {rss_growth} bytes over {runs} calls"


# The slots have no method name of their own: the cases name them thus.
SLOT_CASES = {"__getitem__": "fetch", "__setitem__": "store", "__delitem__": "delete",
              "__len__": "len", "__bool__": "bool", "__contains__": "contains",
              "__enter__": "open_with", "__exit__": "open_with"}


def test_every_method_of_the_type_has_cases():
    """A method added to the type without cases here fails this test."""
    names = set(dir(database_type())) - set(dir(object)) - {"__module__"}
    uncovered = sorted(name for name in names
                       if not any(case.startswith(SLOT_CASES.get(name, name)) for case in CASES))
    assert uncovered == []
