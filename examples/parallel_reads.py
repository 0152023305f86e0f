"""Read one database on several cores: one interpreter per thread, each with its own GIL.

usage: python examples/parallel_reads.py [RECORDS [INTERPRETERS]]

Threads of one interpreter take turns under its GIL, so a second thread adds no
reads per second. Interpreters created with a GIL of their own run at the same
time. Each one imports _kvstore afresh and opens the file read-only itself:
database objects stay in the interpreter that made them, but the file, and
gdbm's lock on it, are shared as between processes.
"""

import os
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import _kvstore

if sys.version_info >= (3, 14):
    from concurrent import interpreters

    API = "concurrent.interpreters"
else:
    import _interpreters  # Python 3.13: the low-level module

    API = "_interpreters"


def run_in_new_interpreter(code: str, **names: object) -> None:
    """Run `code` in a new interpreter with a GIL of its own, on this thread.

    `names` (str, bytes, int, float, bool or None) become globals of the code.
    An exception in the code is raised here as RuntimeError.
    """
    if sys.version_info >= (3, 14):
        interp = interpreters.create()
        try:
            if names:
                interp.prepare_main(**names)
            interp.exec(code)
        except interpreters.ExecutionFailed as failure:
            raise RuntimeError(str(failure)) from None
        finally:
            interp.close()
    else:
        interp = _interpreters.create("isolated")
        try:
            uncaught = _interpreters.exec(interp, code, names)
        finally:
            _interpreters.destroy(interp)
        if uncaught is not None:
            raise RuntimeError(uncaught.errdisplay)


# Run by each interpreter: read every `step`-th record from `first` on, check
# it, and write the count and the time the reads took to a pipe. A file
# descriptor is a plain int, which every interpreter can be given; objects
# cannot cross.
READER = """
import os
import time
import _kvstore

count = 0
with _kvstore.open(path, "r") as db:
    start = time.perf_counter_ns()
    for i in range(first, records, step):
        if db[b"key%d" % i] != b"value %d" % i:
            raise AssertionError(f"record {i} reads {db[b'key%d' % i]!r}")
        count += 1
    stop = time.perf_counter_ns()
os.write(report, b"%d %d %d\\n" % (count, start, stop))
"""


def read_in_interpreters(path: str, records: int, interpreter_count: int) -> tuple[list[int], float]:
    """Spread the reads of `records` records over new interpreters.

    Returns each one's count, and the seconds from the first one's start of
    reading to the last one's end (the clock is the process's).
    """
    report_out, report = os.pipe()
    with os.fdopen(report_out) as lines:
        try:
            with ThreadPoolExecutor(interpreter_count) as pool:
                jobs = [pool.submit(run_in_new_interpreter, READER, path=path, records=records,
                                    first=first, step=interpreter_count, report=report)
                        for first in range(interpreter_count)]
                for job in jobs:
                    job.result()
        finally:
            os.close(report)
        reports = [tuple(map(int, line.split())) for line in lines]
    seconds = (max(stop for _, _, stop in reports) - min(start for _, start, _ in reports)) / 1e9
    return [count for count, _, _ in reports], seconds


def main() -> None:
    records = int(sys.argv[1]) if len(sys.argv) > 1 else 300_000
    most = int(sys.argv[2]) if len(sys.argv) > 2 else max(2, min(4, os.cpu_count() or 1))
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, interpreters from {API}")
    with tempfile.TemporaryDirectory(prefix="kvstore-parallel-") as folder:
        path = os.path.join(folder, "parallel.db")
        with _kvstore.open(path, "n") as db:
            for i in range(records):
                db[b"key%d" % i] = b"value %d" % i
        print(f"stored {records:,} records in {path}")

        # A writer keeps every other opener out, in this process too.
        with _kvstore.open(path, "w"):
            try:
                read_in_interpreters(path, records, 1)
            except RuntimeError as refused:
                print("while this interpreter writes, a reader in another one gets:",
                      refused.args[0].strip().splitlines()[-1])

        single = None
        for count in sorted({1, 2, most}):
            counts, seconds = read_in_interpreters(path, records, count)
            if sum(counts) != records:
                raise SystemExit(f"{count} interpreters read {sum(counts)} records, not {records}")
            rate = records / seconds
            single = single or rate
            print(f"{count} interpreter{'s' if count > 1 else ' '}: {records:,} records "
                  f"({' + '.join(f'{c:,}' for c in counts)}) in {seconds:.3f} s, "
                  f"{rate / 1e6:.2f} M reads/s, {rate / single:.2f}x one")


if __name__ == "__main__":
    main()
