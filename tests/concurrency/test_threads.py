"""Threads: many threads each on a database of its own, and many threads
sharing one object while one of them closes it. Every call either does its
work or, once the object is closed, raises the closed error; the file then
holds exactly what the successful calls wrote.
"""

import os
import random
import sys
import threading

import pytest

import _kvstore
from support import CLOSED, record_stats
from support.scale import scaled

THREADS = 8
JOIN_TIMEOUT = 300


@pytest.fixture(autouse=True)
def frequent_switches():
    # Under the GIL, switch threads as often as possible so that calls on a
    # shared object interleave between every pair of operations.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(targets):
    failures = []

    def guarded(target):
        try:
            target()
        except BaseException as exc:  # a thread's exception would not fail the test on its own
            failures.append(repr(exc))

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread is stuck"
    assert failures == []


class Worker:
    """Random operations on the keys that start with this worker's prefix,
    checked against the worker's own model of them."""

    def __init__(self, db, number, seed):
        self.db = db
        self.prefix = b"w%02d-" % number
        self.random = random.Random(seed)
        self.model = {}
        self.operations = 0

    def key(self):
        return self.prefix + str(self.random.randrange(60)).encode()

    def step(self):
        db, key, rnd = self.db, self.key(), self.random
        choice = rnd.randrange(14)
        self.operations += 1
        if choice < 3:
            value = os.urandom(rnd.randrange(1, 400))
            db[key] = value
            self.model[key] = value
        elif choice == 3:
            if key in self.model:
                del db[key]
                del self.model[key]
            else:
                with pytest.raises(KeyError):
                    del db[key]
        elif choice == 4:
            if key in self.model:
                assert db[key] == self.model[key]
            else:
                with pytest.raises(KeyError):
                    db[key]
        elif choice == 5:
            assert db.get(key) == self.model.get(key)
        elif choice == 6:
            value = db.setdefault(key.decode(), "default")
            self.model.setdefault(key, b"default")
            assert value == self.model[key]
        elif choice == 7:
            assert (key in db) == (key in self.model)
        elif choice == 8:
            assert len(db) >= len(self.model)
            assert bool(db) or not self.model
        elif choice == 9:
            mine = {k for k in db.keys() if k.startswith(self.prefix)}
            assert mine == set(self.model)
        elif choice == 10:
            found = db.firstkey()
            for _ in range(rnd.randrange(20)):
                if found is None:
                    break
                found = db.nextkey(found)
        elif choice == 11:
            db.sync()
        elif choice == 12 and rnd.randrange(40) == 0:
            db.reorganize()
        else:
            assert db.nextkey(key) is None or key in self.model


def test_threads_each_on_their_own_database(tmp_path):
    steps = scaled(4000, minimum=100)
    workers = []

    def own_database(number):
        path = str(tmp_path / f"own{number}.db")
        with _kvstore.open(path, "n") as db:
            worker = Worker(db, number, seed=number)
            workers.append(worker)
            for _ in range(steps):
                worker.step()
        with _kvstore.open(path, "r") as db:
            assert {k: db[k] for k in db.keys()} == worker.model

    run_threads([lambda n=n: own_database(n) for n in range(THREADS)])
    record_stats("threads-own", THREADS, sum(w.operations for w in workers))


def test_shared_object_closed_while_in_use(tmp_path):
    rounds = scaled(30, minimum=3)
    total = 0
    for round_number in range(rounds):
        path = str(tmp_path / f"shared{round_number}.db")
        db = _kvstore.open(path, "n")
        for i in range(200):
            db[b"base%d" % i] = b"x" * i
        workers = [Worker(db, n, seed=round_number * 100 + n) for n in range(THREADS)]
        close_after = random.Random(round_number).randrange(50, 1500)

        def work(worker):
            closed_seen = 0
            while closed_seen < 20:
                if worker is workers[0] and worker.operations == close_after:
                    db.close()
                try:
                    worker.step()
                except _kvstore.error as exc:
                    assert str(exc) == CLOSED, f"unexpected error: {exc!r}"
                    closed_seen += 1
                    continue
                assert closed_seen == 0, "an operation succeeded after the object was closed"

        run_threads([lambda w=w: work(w) for w in workers])
        with _kvstore.open(path, "r") as check:
            stored = {k: check[k] for k in check.keys()}
        expected = {b"base%d" % i: b"x" * i for i in range(200)}
        for worker in workers:
            expected.update(worker.model)
        assert stored == expected
        total += sum(w.operations for w in workers)
    record_stats("threads-shared", THREADS, total)
