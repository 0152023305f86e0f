"""dump() and load() of a large database with a ticker thread beside them.

Builds a database of --records records (keys of 11 to 16 bytes, values of 10
to 100 bytes, fixed seed), then for each format dumps it and loads the dump
into a new database, while a thread wakes every 5 ms and notes how late it
woke. Prints each operation's time and the ticker's longest stall.

    .venv/bin/python bench/stall_backup.py [--records 1000000] [--folder DIR]

The operations use only dump(path, format) and load(path), so the same
script measures an older build: put its folder first on PYTHONPATH.
"""

import argparse
import os
import random
import tempfile
import threading
import time

import _kvstore

TICK = 0.005


class Ticker(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.longest = 0.0
        self.stop = threading.Event()

    def run(self):
        last = time.perf_counter()
        while not self.stop.is_set():
            time.sleep(TICK)
            now = time.perf_counter()
            self.longest = max(self.longest, now - last - TICK)
            last = now


def measure(operation):
    ticker = Ticker()
    ticker.start()
    time.sleep(0.05)
    started = time.perf_counter()
    operation()
    took = time.perf_counter() - started
    ticker.stop.set()
    ticker.join()
    return took, ticker.longest


def build(path, records):
    rnd = random.Random(1)
    with _kvstore.open(path, "nf") as db:
        for i in range(records):
            key = b"%d-" % i + rnd.randbytes(rnd.randint(4, 6)).hex().encode()[:rnd.randint(8, 13)]
            db[key] = rnd.randbytes(rnd.randint(10, 100))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--folder", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        source = os.path.join(folder, "source.db")
        build(source, args.records)
        print(f"module: {_kvstore.__file__}")
        print(f"{args.records} records, ticker every {TICK * 1000:g} ms")
        with _kvstore.open(source, "r") as db:
            for fmt in ("ascii", "binary"):
                dump = os.path.join(folder, f"backup.{fmt}")
                took, stall = measure(lambda: db.dump(dump, fmt))
                print(f"dump {fmt:6}  {took:6.2f} s   longest stall {stall * 1000:7.1f} ms")
                target = os.path.join(folder, f"loaded-{fmt}.db")
                with _kvstore.open(target, "nf") as copy:
                    took, stall = measure(lambda: copy.load(dump))
                print(f"load {fmt:6}  {took:6.2f} s   longest stall {stall * 1000:7.1f} ms")


if __name__ == "__main__":
    main()
