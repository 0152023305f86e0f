"""Memory of the key traversals of _kvstore and of the kvstore package, in
a process of their own.

usage: memory.py WORKLOAD N DIR

Fills a database with N records, reopens it and walks it once so that the
file's pages are resident, then measures how much the peak resident size
rises during a firstkey/nextkey walk, during `for k in db` over the
package's Database, and during keys(), against what the list and its bytes
objects occupy as the interpreter allocates them.
"""

import gc
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import count_iterate, count_walk, reset_peak, status_kib  # noqa: E402
from workload import Workload  # noqa: E402

import _kvstore  # noqa: E402
import kvstore  # noqa: E402


def peak_rise(body, *args):
    reset_peak()
    before = status_kib("VmRSS:")
    result = body(*args)
    return result, status_kib("VmHWM:") - before


def allocated(size):
    # pymalloc hands out 16-byte size classes; bigger blocks come from malloc.
    return (size + 15) // 16 * 16


def main():
    path, n, directory = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    workload = Workload(path, n)
    file = os.path.join(directory, "memory.gdbm")
    with _kvstore.open(file, "n") as db:
        for i in workload.insert_order:
            db[workload.keys[i]] = workload.value(i, 100)
    n = workload.n
    del workload
    gc.collect()
    with _kvstore.open(file, "r") as db:
        count_walk(db)
        walked, walk_rise = peak_rise(count_walk, db)
        # Before keys(): memory its list frees would hide a rise here. The
        # package's handle maps the file anew: a first walk makes its pages
        # resident, as for the walk above.
        with kvstore.open(file, "r") as package:
            count_walk(package.raw)
            iterated, iterate_rise = peak_rise(count_iterate, package)
        listed, keys_rise = peak_rise(db.keys)
        own = sys.getsizeof(listed) + sum(allocated(sys.getsizeof(k)) for k in listed)
    os.unlink(file)
    if iterated != walked:
        sys.exit(f"for k in db gave {iterated} keys, the walk {walked}")
    json.dump({"n": n, "walked": walked, "walk_rise_kib": walk_rise, "iterate_rise_kib": iterate_rise,
               "keys_rise_kib": keys_rise, "keys_list_and_bytes_kib": own // 1024}, sys.stdout)
    print()


if __name__ == "__main__":
    main()
