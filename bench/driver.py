"""Runs the benchmark workload on one Python backend and prints JSON.

usage: driver.py BACKEND WORKLOAD N VALUE_SIZE REPEATS DIR

The phases, their order and their operation counts are those of floor.c.
Each timed loop is plain Python, the way a user would write it; the work
lists (keys in fetch order, (key, value) pairs in insert order, ...) are
built before any timing starts.

Around every timed phase the driver calls os.getppid() and os.getpgrp():
the callgrind mode zeroes its counters on the first and dumps them on the
second.
"""

import gc
import json
import os
import resource
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workload import Workload  # noqa: E402

LEN_CHANGES = 5


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return -1


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        pass


class Recorder:
    """Times phases and the rise of peak resident memory during each."""

    def __init__(self):
        self.phases = {}
        self.repeat = 0
        self.peak = 0
        self.sequence = []  # every timed call in order, as callgrind dumps them

    def run(self, name, ops, body, *args):
        entry = self.phases.setdefault(name, {"ops": ops, "ns": [], "user_ns": [], "sys_ns": [],
                                              "rss_kib": []})
        self.sequence.append(name)
        reset_peak()
        before = status_kib("VmRSS:")
        cpu_before = resource.getrusage(resource.RUSAGE_SELF)
        getppid, getpgrp, clock = os.getppid, os.getpgrp, time.perf_counter_ns
        getppid()
        start = clock()
        result = body(*args)
        stop = clock()
        getpgrp()
        cpu = resource.getrusage(resource.RUSAGE_SELF)
        hwm = status_kib("VmHWM:")
        self.peak = max(self.peak, hwm)
        entry["ns"].append(stop - start)
        entry["user_ns"].append(round((cpu.ru_utime - cpu_before.ru_utime) * 1e9))
        entry["sys_ns"].append(round((cpu.ru_stime - cpu_before.ru_stime) * 1e9))
        entry["rss_kib"].append(hwm - before)
        return result

    def skip(self, name, ops):
        self.phases.setdefault(name, {"ops": ops, "ns": None, "user_ns": None, "sys_ns": None,
                                      "rss_kib": None})


# ---- the timed loops, for anything that behaves like a mapping ----

def insert(db, pairs):
    for k, v in pairs:
        db[k] = v


def fetch(db, keys):
    for k in keys:
        db[k]


def contains(db, keys):
    for k in keys:
        k in db


def get_miss(db, keys):
    default = b""
    for k in keys:
        db.get(k, default)


def list_keys(db):
    return db.keys()


# The timed walks do nothing with the keys, not even count them: at this
# cost per key an int increment would be a visible share. Untimed counting
# twins check that a walk visits every key.

def iterate(db):
    for _ in db:
        pass


def count_iterate(db):
    return sum(1 for _ in db)


def walk(db):
    k = db.firstkey()
    while k is not None:
        k = db.nextkey(k)


def count_walk(db):
    n = 0
    k = db.firstkey()
    while k is not None:
        n += 1
        k = db.nextkey(k)
    return n


# Every record's key and value: _kvstore's walk fetching each value, the
# others' items().

def walk_fetch(db):
    k = db.firstkey()
    while k is not None:
        db[k]
        k = db.nextkey(k)


def iterate_items(db):
    for _ in db.items():
        pass


def delete(db, keys):
    for k in keys:
        del db[k]


def length(db):
    return len(db)


# ---- backends ----

class MappingBackend:
    """A backend used through the mapping protocol; subclasses say how to open."""

    walk = staticmethod(iterate)
    count_walk = staticmethod(count_iterate)
    walk_items = None
    reorganize = None

    def __init__(self, directory):
        self.path = os.path.join(directory, "db")
        self.db = None

    def create(self):
        self.db = self.open("n")

    def reopen(self, flag="w"):
        self.close()
        self.db = self.open(flag)

    def close(self):
        if self.db is not None:
            self.db.close()
            self.db = None

    def commit(self):
        pass

    def keys(self):
        return list_keys(self.db)

    def clear(self):
        self.db.clear()


class KvstoreBackend(MappingBackend):
    name = "_kvstore"
    walk = staticmethod(walk)
    count_walk = staticmethod(count_walk)
    walk_items = staticmethod(walk_fetch)

    def open(self, flag):
        import _kvstore
        return _kvstore.open(self.path, flag)

    def reorganize(self):
        self.db.reorganize()


class PackageBackend(MappingBackend):
    """The kvstore package: its Database over _kvstore, used as a mapping."""

    name = "kvstore"
    walk_items = staticmethod(iterate_items)

    def open(self, flag):
        import kvstore
        return kvstore.open(self.path, flag)

    def keys(self):
        return list(self.db)

    def reorganize(self):
        self.db.reorganize()


class DictBackend(MappingBackend):
    name = "dict"
    walk_items = staticmethod(iterate_items)

    def open(self, flag):
        if flag == "n":
            self.kept = {}
        return self.kept

    def close(self):
        self.db = None

    def keys(self):
        return list(self.db)


class DbmSqliteBackend(MappingBackend):
    name = "dbm.sqlite3"

    def open(self, flag):
        import dbm.sqlite3
        return dbm.sqlite3.open(self.path, flag)


class DbmDumbBackend(MappingBackend):
    name = "dbm.dumb"

    def open(self, flag):
        import dbm.dumb
        return dbm.dumb.open(self.path, flag)


class SqliteDictBackend(MappingBackend):
    name = "sqlitedict"

    def open(self, flag):
        from sqlitedict import SqliteDict
        # sqlitedict's "w" empties the table; its "c" is dbm's "w".
        return SqliteDict(self.path, flag="c" if flag == "w" else flag, autocommit=False)

    def commit(self):
        self.db.commit()

    def keys(self):
        return list(self.db.keys())

    def clear(self):
        self.db.clear()
        self.db.commit()


class DiskcacheBackend(MappingBackend):
    name = "diskcache"

    def open(self, flag):
        import diskcache
        if flag == "n":
            shutil.rmtree(self.path, ignore_errors=True)
        # diskcache has no read-only mode: "r" opens it like any other.
        return diskcache.Cache(self.path, size_limit=1 << 40, eviction_policy="none")

    def keys(self):
        return list(self.db)


class LmdbBackend:
    """lmdb through its own API: one transaction per phase, as a user would."""

    name = "lmdb"
    walk_items = None
    reorganize = None
    readonly = False

    def __init__(self, directory):
        self.path = os.path.join(directory, "db")
        self.env = None
        self.txn = None

    def _open(self, readonly=False):
        import lmdb
        self.env = lmdb.open(self.path, subdir=False, map_size=1 << 38, readonly=readonly,
                             lock=not readonly)

    def create(self):
        for suffix in ("", "-lock"):
            if os.path.exists(self.path + suffix):
                os.unlink(self.path + suffix)
        self.readonly = False
        self._open()
        self._begin()

    def _begin(self):
        self.txn = self.env.begin(write=not self.readonly)

    def reopen(self, flag="w"):
        self.close()
        self.readonly = flag == "r"
        self._open(self.readonly)
        self._begin()

    def commit(self):
        self.txn.commit()
        self._begin()

    def close(self):
        if self.env is not None:
            self.txn.commit()
            self.env.close()
            self.env = None

    @property
    def db(self):
        return self

    def __setitem__(self, key, value):
        self.txn.put(key, value)

    def __getitem__(self, key):
        value = self.txn.get(key)
        if value is None:
            raise KeyError(key)
        return value

    def __contains__(self, key):
        return self.txn.get(key) is not None

    def __delitem__(self, key):
        if not self.txn.delete(key):
            raise KeyError(key)

    def get(self, key, default=None):
        return self.txn.get(key, default)

    def __len__(self):
        return self.txn.stat(self.env.open_db())["entries"]

    def keys(self):
        return list(self.txn.cursor().iternext(values=False))

    def walk(self, _db=None):
        for _ in self.txn.cursor().iternext(values=False):
            pass

    def count_walk(self, _db=None):
        return sum(1 for _ in self.txn.cursor().iternext(values=False))

    def clear(self):
        self.txn.drop(self.env.open_db(), delete=False)
        self.commit()


BACKENDS = {b.name: b for b in (KvstoreBackend, PackageBackend, DictBackend, DbmSqliteBackend, DbmDumbBackend,
                                LmdbBackend, SqliteDictBackend, DiskcacheBackend)}


def run_once(backend, rec, work):
    n = len(work["keys"])
    half = n // 2
    backend.create()
    rec.run("insert", n, insert, backend.db, work["insert_pairs"])
    backend.commit()
    rec.run("reopen", 1, backend.reopen)
    db = backend.db
    rec.run("fetch", n, fetch, db, work["fetch_keys"])
    rec.run("contains_hit", n, contains, db, work["fetch_keys"])
    rec.run("contains_miss", n, contains, db, work["absent"])
    rec.run("get_miss", n, get_miss, db, work["absent"])
    listed = rec.run("keys", n, backend.keys)
    if len(listed) != n:
        sys.exit(f"{backend.name}: keys() gave {len(listed)} keys, not {n}")
    del listed
    rec.run("walk", n, backend.walk, db)
    walked = backend.count_walk(db)
    if walked != n:
        sys.exit(f"{backend.name}: the walk gave {walked} keys, not {n}")
    if backend.walk_items is None:
        rec.skip("items", n)
    else:
        rec.run("items", n, backend.walk_items, db)

    totals = {"ns": 0, "user_ns": 0, "sys_ns": 0}
    rss = 0
    for k, v in work["insert_pairs"][:LEN_CHANGES]:
        db[k] = v
        counted = rec.run("len_after_change", LEN_CHANGES, length, db)
        if counted != n:
            sys.exit(f"{backend.name}: len() gave {counted}, not {n}")
        entry = rec.phases["len_after_change"]
        for field in totals:
            totals[field] += entry[field].pop()
        rss = max(rss, entry["rss_kib"].pop())
    for field, total in totals.items():
        entry[field].append(total)
    entry["rss_kib"].append(rss)

    rec.run("delete_half", half, delete, db, work["delete_half"])
    backend.commit()
    if backend.reorganize is None:
        rec.skip("reorganize", 1)
    else:
        rec.run("reorganize", 1, backend.reorganize)
    backend.reopen("r")
    rec.run("readonly_fetch", n - half, fetch, backend.db, work["readonly_keys"])
    backend.reopen("w")
    db = backend.db
    insert(db, work["refill_half"])
    backend.commit()
    rec.run("delete_all", n, delete, db, work["delete_all"])
    backend.commit()
    insert(db, work["insert_pairs"])
    backend.commit()
    rec.run("clear", n, backend.clear)
    if len(db) != 0:
        sys.exit(f"{backend.name}: records left after clear()")
    backend.close()


def build_work(workload, value_size):
    keys = workload.keys
    values = [workload.value(i, value_size) for i in range(workload.n)]
    n = workload.n
    half = n // 2
    first_half = set(workload.delete_order[:half])
    return {
        "keys": keys,
        "insert_pairs": [(keys[i], values[i]) for i in workload.insert_order],
        "fetch_keys": [keys[i] for i in workload.fetch_order],
        "absent": workload.absent,
        "delete_half": [keys[i] for i in workload.delete_order[:half]],
        "readonly_keys": [keys[i] for i in workload.fetch_order if i not in first_half],
        "refill_half": [(keys[i], values[i]) for i in workload.delete_order[:half]],
        "delete_all": [keys[i] for i in workload.delete_order],
    }


def main():
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    name, path, n, value_size, repeats, directory = sys.argv[1:]
    n, value_size, repeats = int(n), int(value_size), int(repeats)
    workload = Workload(path, n)
    work = build_work(workload, value_size)
    del workload
    directory = os.path.join(directory, name)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    backend = BACKENDS[name](directory)
    rec = Recorder()
    gc.collect()
    # The loops allocate no cycles; a collection in the middle of a timed
    # phase would only add noise that no backend is responsible for.
    gc.disable()
    base = status_kib("VmRSS:")
    for rec.repeat in range(repeats):
        run_once(backend, rec, work)
        gc.collect()
    shutil.rmtree(directory, ignore_errors=True)
    json.dump({"backend": name, "n": len(work["keys"]), "value_size": value_size,
               "repeats": repeats, "base_rss_kib": base, "peak_rss_kib": rec.peak,
               "phases": rec.phases,
               "sequence": rec.sequence}, sys.stdout)
    print()


if __name__ == "__main__":
    main()
