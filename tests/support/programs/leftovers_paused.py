"""Runs one operation that stops in its first progress call until told to
go on: says "ready" on stdout, reads a line from stdin, then finishes and
says "done". The database is opened with 'u' (no lock), so that the test
can rewrite it meanwhile: only the new file's own lock tells that it is in
use.

Run by files/test_leftovers.py."""

import sys

from support.rewrites import run_operation

paused = []


def progress(done, total):
    if not paused:
        paused.append(True)
        print("ready", flush=True)
        sys.stdin.readline()


path, operation, other = sys.argv[1:4]
run_operation(operation, path, other, progress, lock=False)
print("done", flush=True)
