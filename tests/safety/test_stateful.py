"""Random sequences of operations, good and bad, checked against a dict.

CI runs a derandomised pass; `make fuzz-long` runs the same machine with
KVSTORE_HYPOTHESIS_PROFILE=long and many more examples. With
KVSTORE_STATS_FILE set, every example appends its count of operations there.
"""

import os
import shutil
import tempfile

import hypothesis.strategies as st
import pytest
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

import _kvstore
import kvstore
from support.scale import scaled
from support import CLOSED, raises, record_stats

BAD_INDEX = "gdbm mappings have bytes or string indices only"
SENTINEL = object()

# A small alphabet makes str and bytes spellings of one key meet often.
small_text = st.text(alphabet="ab\0é日\U0001f600", max_size=3)
any_text = st.text(alphabet=st.characters(exclude_categories=("Cs",)), max_size=16)
keys = st.one_of(
    small_text,
    small_text.map(str.encode),
    st.binary(max_size=3),
    any_text,
    st.binary(max_size=24),
)
values = st.one_of(
    st.binary(max_size=40),
    any_text,
    st.binary(min_size=300, max_size=5000),
)
# Objects that no operation takes as a key or value.
unusable = st.sampled_from([1, None, 2.5, ["k"], bytearray(b"k"), memoryview(b"k"), object()])
surrogates = st.sampled_from(["\udc80", "a\ud800b", "é\udfff"])


def as_bytes(obj):
    return obj.encode() if isinstance(obj, str) else bytes(obj)


class DatabaseMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.folder = tempfile.mkdtemp(prefix="kvstore-state-")
        self.path = os.path.join(self.folder, "model.db")
        self.db = _kvstore.open(self.path, "n")
        self.read_only = False
        self.model = {}
        self.operations = 0

    def teardown(self):
        try:
            if self.db is not None:
                self.db.close()
                with _kvstore.open(self.path, "r") as check:
                    self.compare(check)
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
            record_stats("stateful", 1, self.operations)

    def count(self, n=1):
        self.operations += n

    def compare(self, db):
        listed = db.keys()
        assert len(listed) == len(set(listed))
        assert sorted(listed) == sorted(self.model)
        for key, value in self.model.items():
            assert db[key] == value
        self.count(1 + len(self.model))

    def writes_refused(self, func, *args):
        raises(_kvstore.error, None, func, *args)

    # ---- writes -------------------------------------------------------

    @rule(key=keys, value=values)
    def store(self, key, value):
        self.count()
        if self.read_only:
            self.writes_refused(self.db.__setitem__, key, value)
            return
        self.db[key] = value
        self.model[as_bytes(key)] = as_bytes(value)

    @rule(prefix=st.binary(max_size=4), count=st.integers(20, 300), size=st.integers(0, 600))
    def store_many(self, prefix, count, size):
        if self.read_only:
            return
        for i in range(count):
            key = prefix + i.to_bytes(2, "big")
            value = bytes([i % 251]) * size
            self.db[key] = value
            self.model[key] = value
        self.count(count)

    @rule(key=keys)
    def delete(self, key):
        self.count()
        if self.read_only:
            self.writes_refused(self.db.__delitem__, key)
        elif as_bytes(key) in self.model:
            del self.db[key]
            del self.model[as_bytes(key)]
        else:
            caught = raises(KeyError, None, self.db.__delitem__, key)
            assert caught.args == (key,)

    @rule(key=keys, value=values)
    def setdefault(self, key, value):
        self.count()
        stored = self.model.get(as_bytes(key))
        if stored is not None:
            assert self.db.setdefault(key, value) == stored
        elif self.read_only:
            self.writes_refused(self.db.setdefault, key, value)
        else:
            result = self.db.setdefault(key, value)
            assert type(result) is bytes and result == as_bytes(value)
            self.model[as_bytes(key)] = result

    @rule()
    def clear(self):
        self.count()
        if self.read_only and self.model:
            raises(_kvstore.error, "cannot delete item from database", self.db.clear)
            return
        assert self.db.clear() is None
        self.model.clear()

    @rule()
    def sync(self):
        self.count()
        assert self.db.sync() is None

    @rule()
    def reorganize(self):
        self.count()
        if self.read_only:
            self.writes_refused(self.db.reorganize)
        else:
            assert self.db.reorganize() is None

    # ---- reads ----------------------------------------------------------

    @rule(key=keys)
    def fetch(self, key):
        self.count()
        stored = self.model.get(as_bytes(key))
        if stored is None:
            caught = raises(KeyError, None, self.db.__getitem__, key)
            assert caught.args == (key,)
        else:
            value = self.db[key]
            assert type(value) is bytes and value == stored

    @rule(key=keys)
    def get(self, key):
        self.count(2)
        stored = self.model.get(as_bytes(key))
        if stored is None:
            assert self.db.get(key) is None
            assert self.db.get(key, SENTINEL) is SENTINEL
        else:
            assert self.db.get(key) == stored
            assert self.db.get(key, SENTINEL) == stored

    @rule(key=keys)
    def contains(self, key):
        self.count()
        assert (key in self.db) == (as_bytes(key) in self.model)

    @rule()
    def length(self):
        self.count()
        assert len(self.db) == len(self.model)

    @rule()
    def truth(self):
        self.count()
        assert bool(self.db) == bool(self.model)

    @rule()
    def keys_and_walk(self):
        listed = self.db.keys()
        walked = []
        key = self.db.firstkey()
        while key is not None:
            walked.append(key)
            key = self.db.nextkey(key)
        self.count(2 + len(walked))
        assert walked == listed
        assert sorted(listed) == sorted(self.model)

    @rule(key=keys)
    def nextkey_of_any_key(self, key):
        self.count()
        following = self.db.nextkey(key)
        assert following is None or following in self.model

    @rule()
    def check_everything(self):
        self.compare(self.db)

    # ---- life cycle -------------------------------------------------------

    @rule(flags=st.sampled_from(["w", "c", "wf", "cs", "wu", "r", "ru"]), by_exit=st.booleans())
    def reopen(self, flags, by_exit):
        self.count(2)
        if by_exit:
            self.db.__exit__(None, None, None)
        else:
            self.db.close()
        self.db = _kvstore.open(self.path, flags)
        self.read_only = flags.startswith("r")
        self.compare(self.db)

    @rule(key=keys, value=values)
    def closed_object(self, key, value):
        db = self.db
        db.close()
        for func, args in [
            (db.__getitem__, (key,)),
            (db.__setitem__, (key, value)),
            (db.__setitem__, (key, 1)),
            (db.__delitem__, (key,)),
            (db.__contains__, (key,)),
            (db.__contains__, (1,)),
            (len, (db,)),
            (bool, (db,)),
            (db.get, (key,)),
            (db.setdefault, (key, value)),
            (db.keys, ()),
            (db.firstkey, ()),
            (db.nextkey, (key,)),
            (db.sync, ()),
            (db.reorganize, ()),
            (db.clear, ()),
        ]:
            raises(_kvstore.error, CLOSED, func, *args)
        # Argument checks come before the closed check.
        raises(TypeError, None, db.__getitem__, 1)
        raises(TypeError, BAD_INDEX, db.__setitem__, 1, value)
        raises(TypeError, BAD_INDEX, db.__delitem__, 1)
        raises(TypeError, None, db.nextkey, 1)
        for name in ("keys", "firstkey", "sync", "reorganize", "clear"):
            raises(TypeError, f"{name}() takes no arguments", getattr(db, name), 1)
        assert db.close() is None
        with db as same:
            assert same is db
        self.count(28)
        self.db = _kvstore.open(self.path, "w")
        self.read_only = False

    # ---- bad input ------------------------------------------------------------

    @rule(bad=unusable, key=keys, value=values)
    def wrong_types(self, bad, key, value):
        db = self.db
        raises(TypeError, None, db.__getitem__, bad)
        raises(TypeError, BAD_INDEX, db.__setitem__, bad, value)
        raises(TypeError, BAD_INDEX, db.__setitem__, key, bad)
        raises(TypeError, BAD_INDEX, db.__delitem__, bad)
        raises(TypeError, f"gdbm key must be bytes or string, not {type(bad).__name__}", db.__contains__, bad)
        raises(TypeError, None, db.get, bad)
        raises(TypeError, None, db.get, bad, SENTINEL)
        raises(TypeError, None, db.setdefault, bad, value)
        raises(TypeError, None, db.nextkey, bad)
        self.count(9)
        if as_bytes(key) not in self.model and not self.read_only:
            # The default is refused after the key was found missing: nothing is stored.
            raises(TypeError, BAD_INDEX, db.setdefault, key, bad)
            self.count()
        self.after_refusal()

    @rule(bad=surrogates, value=values)
    def lone_surrogates(self, bad, value):
        db = self.db
        raises(UnicodeEncodeError, None, db.__getitem__, bad)
        raises(TypeError, BAD_INDEX, db.__setitem__, bad, value)
        raises(TypeError, BAD_INDEX, db.__setitem__, b"k", bad)
        raises(TypeError, BAD_INDEX, db.__delitem__, bad)
        raises(UnicodeEncodeError, None, db.__contains__, bad)
        raises(UnicodeEncodeError, None, db.get, bad)
        raises(UnicodeEncodeError, None, db.setdefault, bad, value)
        raises(UnicodeEncodeError, None, db.nextkey, bad)
        self.count(8)
        self.after_refusal()

    @rule()
    def argument_counts(self):
        db = self.db
        raises(TypeError, None, db.get)
        raises(TypeError, None, db.get, b"a", b"b", b"c")
        raises(TypeError, None, db.setdefault)
        raises(TypeError, None, db.nextkey)
        raises(TypeError, None, db.nextkey, b"a", b"b")
        for name in ("keys", "firstkey", "sync", "reorganize", "clear"):
            raises(TypeError, f"{name}() takes no arguments", getattr(db, name), 1)
        self.count(10)
        self.after_refusal()

    def after_refusal(self):
        assert len(self.db) == len(self.model)

    @precondition(lambda self: not self.read_only)
    @rule(key=keys)
    def value_whose_conversion_closes(self, key):
        db = self.db

        class Closing:
            def __buffer__(self, flags):
                db.close()
                return memoryview(b"never stored")

        raises(_kvstore.error, CLOSED, db.__setitem__, key, Closing())
        self.count()
        self.db = _kvstore.open(self.path, "w")
        self.compare(self.db)


PROFILE = os.environ.get("KVSTORE_HYPOTHESIS_PROFILE", "ci")

TestDatabase = DatabaseMachine.TestCase
if PROFILE == "long":
    TestDatabase.settings = settings(
        max_examples=int(os.environ.get("KVSTORE_FUZZ_EXAMPLES", "5000")),
        stateful_step_count=100,
        deadline=None,
        suppress_health_check=list(HealthCheck),
    )
else:
    TestDatabase.settings = settings(
        max_examples=scaled(200, minimum=5),
        stateful_step_count=40,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=list(HealthCheck),
    )


class Abandoned(Exception):
    """Leaves a batch block, which drops its changes."""


# What the package machine runs against: a Database; a Database inside a
# batch, committed and begun anew from time to time; a Shared store.
KINDS = ["database", "batch", "shared"]


class PackageMachine(RuleBasedStateMachine):
    """The package's mappings against a dict, with an iterator running
    across the operations: a Database's must yield every key once, or
    raise RuntimeError after an operation that added or removed a key; a
    Shared store's walks what was there when it started."""

    def __init__(self, kind):
        super().__init__()
        self.kind = kind
        self.folder = tempfile.mkdtemp(prefix="kvstore-package-")
        self.path = os.path.join(self.folder, "model.db")
        self.model = {}
        self.block = None
        self.walk = None
        self.walked = []
        self.walk_keys = None
        self.walk_stale = False
        self.operations = 0
        self.open("n")

    def open(self, flag):
        self.read_only = flag.startswith("r")
        if self.kind == "shared":
            self.db = kvstore.Shared(self.path, "c" if flag == "n" else flag[:1])
            if flag == "n":
                self.db.clear()
            return
        self.db = kvstore.open(self.path, flag)
        if self.kind == "batch" and not self.read_only:
            self.begin()

    def begin(self):
        self.block = self.db.batch()
        assert self.block.__enter__() is self.db
        self.before_batch = dict(self.model)

    def end(self, commit):
        """Ends the running batch; a batch abandoned leaves the file as it was."""
        block, self.block = self.block, None
        if commit:
            block.__exit__(None, None, None)
        else:
            assert block.__exit__(Abandoned, Abandoned(), None) is None
            self.model = self.before_batch

    def close(self):
        self.walk = None
        if self.block is not None:
            self.end(commit=True)
        if self.kind != "shared":
            self.db.close()

    def teardown(self):
        try:
            self.close()
            with kvstore.open(self.path) as check:
                assert dict(check.items()) == self.model
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
            record_stats("stateful", 1, self.operations)

    def change(self, func, *args, adds_or_removes):
        """Runs a write; on a read-only file it must be refused and change nothing."""
        self.operations += 1
        if self.read_only:
            raises(_kvstore.error, None, func, *args)
            return False
        result = func(*args)
        if adds_or_removes:
            self.walk_stale = True
        return result

    # ---- writes -------------------------------------------------------

    @rule(key=keys, value=values)
    def store(self, key, value):
        new = as_bytes(key) not in self.model
        self.change(self.db.__setitem__, key, value, adds_or_removes=new)
        if not self.read_only:
            self.model[as_bytes(key)] = as_bytes(value)

    @rule(key=keys)
    def delete(self, key):
        if as_bytes(key) not in self.model and not self.read_only:
            self.operations += 1
            raises(KeyError, None, self.db.__delitem__, key)
        elif self.change(self.db.__delitem__, key, adds_or_removes=True) is not False:
            del self.model[as_bytes(key)]

    @rule(key=keys, default=st.sampled_from([SENTINEL, None, b"d"]))
    def pop(self, key, default):
        stored = self.model.get(as_bytes(key))
        args = (key,) if default is SENTINEL else (key, default)
        if stored is None and not (self.read_only and self.kind == "shared"):
            if default is SENTINEL:
                raises(KeyError, None, self.db.pop, *args)
            else:
                assert self.db.pop(*args) is default
            self.operations += 1
        elif self.change(self.db.pop, *args, adds_or_removes=True) is not False:
            assert self.model.pop(as_bytes(key)) == stored

    @rule()
    def popitem(self):
        if not self.model and not (self.read_only and self.kind == "shared"):
            raises(KeyError, None, self.db.popitem)
            return
        popped = self.change(self.db.popitem, adds_or_removes=True)
        if popped is not False:
            key, value = popped
            assert self.model.pop(key) == value

    @rule(key=keys, value=values)
    def setdefault(self, key, value):
        stored = self.model.get(as_bytes(key))
        if stored is not None:
            assert self.db.setdefault(key, value) == stored
            self.operations += 1
        elif self.change(self.db.setdefault, key, value, adds_or_removes=True) is not False:
            self.model[as_bytes(key)] = as_bytes(value)

    @rule(pairs=st.lists(st.tuples(keys, values), max_size=5))
    def update(self, pairs):
        new = any(as_bytes(key) not in self.model for key, _ in pairs)
        if self.read_only and not pairs:
            return
        self.change(self.db.update, pairs, adds_or_removes=new)
        if not self.read_only:
            self.model.update((as_bytes(key), as_bytes(value)) for key, value in pairs)

    @rule()
    def clear(self):
        if self.read_only and not self.model:
            return
        self.change(self.db.clear, adds_or_removes=True)
        if not self.read_only:
            self.model.clear()

    @precondition(lambda self: self.kind != "shared")
    @rule()
    def reorganize(self):
        if self.block is not None:
            self.operations += 1
            raises(_kvstore.error, "reorganize() cannot run inside a batch", self.db.reorganize)
        else:
            self.change(self.db.reorganize, adds_or_removes=True)

    # ---- batches ----------------------------------------------------------

    @rule(pairs=st.lists(st.tuples(keys, values), max_size=5), deleted=keys, fails=st.booleans())
    def batch(self, pairs, deleted, fails):
        """A batch block of its own; inside the running batch, a nested one."""
        self.operations += len(pairs) + 2
        # The walk's course over a block's end is the batch tests' concern.
        self.walk = None
        if self.read_only:
            # A Shared store refuses at the block's start.
            raises(_kvstore.error, None, lambda: self.db.batch().__enter__())
            return
        model = dict(self.model)
        model.update((as_bytes(key), as_bytes(value)) for key, value in pairs)
        try:
            with self.db.batch() as db:
                db.update(pairs)
                assert dict(db.items()) == model and len(db) == len(model)
                if db.pop(deleted, None) is not None:
                    del model[as_bytes(deleted)]
                if fails:
                    raise Abandoned
        except Abandoned:
            pass
        if not fails:
            self.model = model
        assert dict(self.db.items()) == self.model

    @precondition(lambda self: self.block is not None)
    @rule(commit=st.booleans())
    def end_batch(self, commit):
        self.operations += 1
        self.walk = None
        self.end(commit)
        self.begin()

    # ---- reads ----------------------------------------------------------

    @rule(key=keys)
    def reads(self, key):
        self.operations += 4
        stored = self.model.get(as_bytes(key))
        assert self.db.get(key) == stored
        assert (key in self.db) == (stored is not None)
        assert len(self.db) == len(self.model)
        if stored is None:
            raises(KeyError, None, self.db.__getitem__, key)
        else:
            assert self.db[key] == stored

    @rule()
    def views(self):
        self.operations += 3 * (1 + len(self.model))
        assert sorted(self.db.items()) == sorted(self.model.items())
        assert sorted(self.db.values()) == sorted(self.model.values())
        assert self.db.keys() == self.model.keys()

    @rule(key=keys, bad=unusable)
    def view_set_operations(self, key, bad):
        # Elements that no store takes are answered, not refused, as by a dict's views.
        self.operations += 2
        stored = self.model.get(as_bytes(key))
        try:
            hash(bad)
        except TypeError:
            raises(TypeError, None, self.db.keys().__contains__, bad)
            return
        model_keys = {as_bytes(key), bad} & self.model.keys()
        assert self.db.keys() & {as_bytes(key), bad} == model_keys
        assert ((bad, stored) in self.db.items()) is False
        assert ((key, stored) in self.db.items()) is (stored is not None)

    # ---- the running iterator ---------------------------------------------

    @rule(view=st.sampled_from(["iter", "keys", "items"]))
    def start_walk(self, view):
        if view == "items":
            self.walk = (key for key, _ in self.db.items())
        else:
            self.walk = iter(self.db if view == "iter" else self.db.keys())
        self.walked = []
        # A Shared store walks the keys it had when the walk started.
        self.walk_keys = sorted(self.model) if self.kind == "shared" else None
        self.walk_stale = False
        self.step_walk(1)

    @invariant()
    def walk_goes_on(self):
        # One step after every operation: each one is checked against a
        # running walk.
        if self.walk is not None:
            self.step_walk(1)

    def step_walk(self, steps):
        for _ in range(steps):
            self.operations += 1
            if self.walk_stale and self.walked and self.walk_keys is None:
                raises(RuntimeError, "database changed during iteration", next, self.walk)
                self.walk = None
                return
            key = next(self.walk, None)
            if key is None:
                assert sorted(self.walked) == (self.walk_keys or sorted(self.model))
                self.walk = None
                return
            self.walked.append(key)
            # A change before the first key counts as none: the walk then
            # starts on the changed file.
            self.walk_stale = False

    # ---- life cycle -------------------------------------------------------

    @rule(flag=st.sampled_from(["w", "c", "wf", "r", "ru"]))
    def reopen(self, flag):
        self.operations += 2
        self.close()
        self.open(flag)
        assert dict(self.db) == self.model


@pytest.mark.parametrize("kind", KINDS)
def test_package_against_a_dict(kind):
    run_state_machine_as_test(lambda: PackageMachine(kind), settings=TestDatabase.settings)
