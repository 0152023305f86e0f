"""Every fallible call of the module, made to fail in turn.

Only the fault-injection build (meson option fault_injection, on in the
sanitizer build of make check-memory) has _kvstore._fault_at(n): the n-th
fallible call from then on fails with MemoryError. For each case below the
sweep counts the case's fallible calls, then runs it once per call with that
call failing, and checks: the failure comes out as MemoryError (never a
crash, never success with a result that is wrong), the records are those
of before or after the operation, the count agrees with them, nothing
leaked, the object still works (or was closed as asked), and the file on
disk holds the same. Together the cases must reach every site in the
module's sources.
"""

import gc
import os
import re
import sys
import tempfile
import tracemalloc

import pytest

import _kvstore
import kvstore
from support import Exporter, fresh_module, package_for_batches, package_over, record_stats, walk
from support.paths import ROOT

pytestmark = pytest.mark.skipif(not hasattr(_kvstore, "_fault_at"),
                                reason="a build without fault injection")

MODULE_SOURCES = ROOT / "module"
KEY = b"k" * 4096
VALUE = b"v" * 65536
TEXT_KEY = "ключ" * 1000
TEXT_VALUE = "значение" * 4000
RECORDS = {KEY: VALUE, b"a" * 4096: VALUE, TEXT_KEY.encode(): VALUE}
# A leak of a key or a value is several times this.
LEAK_BOUND = 3000



def store_exporters(db):
    key, value = Exporter(KEY), Exporter(VALUE)
    key.data, value.data = bytearray(KEY), bytearray(VALUE)
    try:
        db[key] = value
    finally:
        # Any buffer still held would forbid the resize.
        key.data.extend(b"!")
        value.data.extend(b"!")


def setdefault_missing(db):
    assert db.setdefault(b"new", VALUE) == VALUE


def package_store_while_walking(db):
    package = package_over(db)
    running = iter(package)
    next(running)
    package[b"new"] = VALUE


def package_batch(db, folder):
    """Every operation of a batch's mapping, and a nested batch that fails."""
    package = package_for_batches(db, folder / "db")
    with package.batch():
        package[TEXT_KEY + "!"] = TEXT_VALUE
        package[b"new"] = VALUE
        assert package[TEXT_KEY] == VALUE and package.get(b"missing") is None
        assert TEXT_KEY + "!" in package and len(package) == 5 and package
        assert package.setdefault(b"new", b"other") == VALUE
        assert package.setdefault(b"gone", b"soon") == b"soon"
        assert package.pop(b"gone") == b"soon"
        del package[b"a" * 4096]
        package[b"a" * 4096] = VALUE
        walked = [len(list(view)) for view in (package, package.values(), package.items())]
        assert walked == [5, 5, 5]
        try:
            with package.batch():
                package.clear()
                raise ValueError("dropped")
        except ValueError:
            pass
        assert len(package) == 5


def package_batch_popitem(db, folder):
    package = package_for_batches(db, folder / "db")
    with package.batch():
        key, value = package.popitem()
        assert value == VALUE
        package.clear()
        package[key] = value


def journal_roll_back(db, folder):
    """A batch's journal written, read back, made anew and removed, as a
    roll-back after a rebuild goes."""
    journal = _kvstore._Journal(str(folder / "db"))
    journal.begin(db, {KEY: None, b"new": VALUE})
    identity = journal.read()
    assert identity is not None and journal.name.endswith("-journal")
    assert journal.before() == {KEY: VALUE, b"new": None}
    journal.replace(*identity)
    journal.remove()


def package_walks(db):
    package = package_over(db)
    assert [len(list(view)) for view in (package, package.values(), package.items())] == [3, 3, 3]


def leftover_names(folder):
    """Lists a leftover of each kind beside the database."""
    for name in ("db.compact.AbC123", "db.unfinished-0123abcd"):
        (folder / name).write_bytes(b"left by a killed process")
    assert len(_kvstore._leftover_names(str(folder / "db"))) == 2


def first_seeded_key():
    """The key that popitem() takes from a file seeded as Run seeds it: the
    library's order depends only on the records and their order."""
    with tempfile.TemporaryDirectory() as folder:
        with _kvstore.open(os.path.join(folder, "db"), "n") as seed:
            for key, value in RECORDS.items():
                seed[key] = value
            return seed.firstkey()


def keep_first_seeded_key(model):
    first = first_seeded_key()
    for key in list(model):
        if key != first:
            del model[key]


# name -> (flags, operation, its effect on a dict model, the exception that
# the operation raises without any injected failure). The operation gets
# the open database and the folder.
CASES = {
    "import": ("c", lambda db, folder: fresh_module().open, None, None),
    "open": ("c", lambda db, folder: _kvstore.open(str(folder / "other.db"), "cf", 0o600).close(),
             None, None),
    "open-not-a-database": ("c", lambda db, folder: _kvstore.open(str(folder / "text.txt"), "r"),
                            None, _kvstore.error),
    "open-a-folder": ("c", lambda db, folder: _kvstore.open(str(folder), "r"), None, _kvstore.error),
    "store-bytes": ("c", lambda db, folder: db.__setitem__(b"new", VALUE),
                    lambda model: model.__setitem__(b"new", VALUE), None),
    "store-str": ("c", lambda db, folder: db.__setitem__(TEXT_KEY + "!", TEXT_VALUE),
                  lambda model: model.__setitem__((TEXT_KEY + "!").encode(), TEXT_VALUE.encode()),
                  None),
    "store-exporters": ("c", lambda db, folder: store_exporters(db),
                        lambda model: model.__setitem__(KEY, VALUE), None),
    "store-read-only": ("r", lambda db, folder: db.__setitem__(b"new", VALUE), None, _kvstore.error),
    "delete-str": ("c", lambda db, folder: db.__delitem__(TEXT_KEY),
                   lambda model: model.__delitem__(TEXT_KEY.encode()), None),
    "fetch": ("c", lambda db, folder: db[KEY], None, None),
    "fetch-str": ("c", lambda db, folder: db[TEXT_KEY], None, None),
    "get": ("c", lambda db, folder: db.get(KEY, None), None, None),
    "setdefault-missing": ("c", lambda db, folder: setdefault_missing(db),
                           lambda model: model.__setitem__(b"new", VALUE), None),
    "setdefault-present": ("c", lambda db, folder: db.setdefault(KEY, b"other"), None, None),
    "in-str": ("c", lambda db, folder: TEXT_KEY in db, None, None),
    "keys": ("c", lambda db, folder: db.keys(), None, None),
    "firstkey": ("c", lambda db, folder: db.firstkey(), None, None),
    "nextkey-str": ("c", lambda db, folder: db.nextkey(TEXT_KEY), None, None),
    "walk": ("c", lambda db, folder: walk(db), None, None),
    "clear": ("c", lambda db, folder: db.clear(), lambda model: model.clear(), None),
    # The temporary folder's file system (ext4 here) has no reflink copies:
    # the refusal is what runs.
    "failure-atomic-refused": ("c", lambda db, folder: db.failure_atomic(str(folder / "even"),
                                                                          str(folder / "odd")),
                               None, _kvstore.error),
    "compact": ("c", lambda db, folder: db.compact(progress=lambda done, total: None), None,
                None),
    "recover": ("c", lambda db, folder: db.recover(force=True), None, None),
    "package-subclass": ("c", lambda db, folder: type("Derived", (kvstore.Database,), {}), None,
                         None),
    "package-store-while-walking": ("c", lambda db, folder: package_store_while_walking(db),
                                    lambda model: model.__setitem__(b"new", VALUE), None),
    "package-setdefault-missing": ("c", lambda db, folder: package_over(db).setdefault(b"new", VALUE),
                                   lambda model: model.__setitem__(b"new", VALUE), None),
    "package-pop": ("c", lambda db, folder: package_over(db).pop(TEXT_KEY),
                    lambda model: model.__delitem__(TEXT_KEY.encode()), None),
    "package-popitem": ("c", lambda db, folder: package_over(db).popitem(),
                        lambda model: model.__delitem__(first_seeded_key()), None),
    "package-batch": ("c", package_batch,
                      lambda model: model.update({(TEXT_KEY + "!").encode(): TEXT_VALUE.encode(),
                                                  b"new": VALUE}), None),
    "package-batch-popitem": ("c", package_batch_popitem, keep_first_seeded_key, None),
    "package-walks": ("c", lambda db, folder: package_walks(db), None, None),
    "journal-roll-back": ("c", journal_roll_back, None, None),
    "open-beside": ("c", lambda db, folder: os.close(_kvstore._open_beside(str(folder / "db-lock"), 0o644)),
                    None, None),
    "recover-with-backup": ("c", lambda db, folder: db.recover(backup=True, force=True), None,
                            None),
    "dump": ("c", lambda db, folder: db.dump(str(folder / "backup.dump")), None, None),
    "leftover-names": ("c", lambda db, folder: leftover_names(folder), None, None),
}


def dump_then_load(db, folder, replace):
    db.dump(str(folder / "backup.dump"))
    db.load(str(folder / "backup.dump"), replace)


# The dump holds the records as they are: loading it changes no record.
CASES["dump-and-load"] = ("c", lambda db, folder: dump_then_load(db, folder, True), None, None)
CASES["dump-and-load-with"] = ("c", lambda db, folder: (
    db.dump(str(folder / "backup.dump")),
    db._load_with(str(folder / "backup.dump"), True, db._apply)), None, None)
CASES["load-stored-key"] = ("c", lambda db, folder: dump_then_load(db, folder, False), None,
                            _kvstore.error)


class Run:
    """One run of a case in a fresh folder, with or without a failure."""

    def __init__(self, folder, flags):
        self.folder = folder
        self.path = str(folder / "db")
        (folder / "text.txt").write_text("not a database\n" * 100)
        with _kvstore.open(self.path, "n") as seed:
            for key, value in RECORDS.items():
                seed[key] = value
        self.db = _kvstore.open(self.path, flags)

    def check_records(self, models):
        """The records, through the object and then on disk, are one of
        `models`; the count and truth value agree with them."""
        db = self.db
        records = {key: db[key] for key in db.keys()}
        assert records in models
        assert sorted(walk(db)) == sorted(records)
        assert len(db) == len(records)
        assert bool(db) is bool(records)
        db.close()
        with _kvstore.open(self.path, "w") as reopened:
            assert {key: reopened[key] for key in reopened.keys()} == records
            reopened[b"probe"] = b"works"
            assert reopened[b"probe"] == b"works"


def run_case(folder, name, fail_at):
    """Runs the case with the fail_at-th fallible call failing (0: none).
    Returns (calls counted, the site that failed, the exception raised)."""
    flags, operation, _, _ = CASES[name]
    run = Run(folder, flags)
    raised = None
    _kvstore._fault_at(fail_at)
    try:
        operation(run.db, folder)
    except Exception as caught:
        raised = caught
    calls, site = _kvstore._fault_at(0)
    return run, calls, site, raised


def models_of(name):
    effect = CASES[name][2]
    before = dict(RECORDS)
    after = dict(RECORDS)
    if effect is not None:
        effect(after)
    return [before, after]


def module_sites():
    """Every call site of the fault-injection wrappers, as file:line."""
    sites = set()
    for source in sorted(MODULE_SOURCES.iterdir()):
        if source.name.startswith("fault.") or source.suffix not in (".cpp", ".h"):
            continue
        for number, line in enumerate(source.read_text().splitlines(), 1):
            if re.search(r"\b(fallible::\w+|fault::injected)\s*(<[^>]*>)?\(", line):
                sites.add(f"{source.name}:{number}")
    return sites


reached = {}
injected_runs = []


@pytest.mark.parametrize("name", list(CASES))
def test_every_fallible_call_of_the_case_fails_cleanly(tmp_path, name):
    expected = CASES[name][3]
    (tmp_path / "count").mkdir()
    run, calls, site, raised = run_case(tmp_path / "count", name, 0)
    assert site is None
    assert type(raised) is expected if expected else raised is None, raised
    run.check_records([models_of(name)[1]])
    for n in range(1, calls + 1):
        folder = tmp_path / f"fail{n}"
        folder.mkdir()
        gc.collect()
        tracemalloc.start()
        try:
            run, _, site, raised = run_case(folder, name, n)
            caught = type(raised)
            del raised
            gc.collect()
            traced = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
        assert site is not None, f"{name}: call {n} was not reached"
        assert caught is MemoryError, f"{name}: failing {site} gave {caught}"
        reached.setdefault(site, set()).add(name)
        injected_runs.append(name)
        if name != "import":
            # What the run itself holds: the database object, a few small objects.
            assert traced < LEAK_BOUND, f"{name}: {traced} bytes left after failing {site}"
        run.check_records(models_of(name))
    if name == "import":
        assert fresh_module().open is not None


def test_the_cases_reach_every_site():
    if len(reached) == 0:
        pytest.skip("the sweep did not run in this session")
    record_stats("fault-sweep", len(reached), len(injected_runs))
    missing = module_sites() - set(reached)
    assert not missing, f"sites no case reaches (add a case to CASES): {sorted(missing)}"
    print(f"fault sweep: {len(reached)} sites, {len(injected_runs)} injected failures",
          file=sys.stderr)
