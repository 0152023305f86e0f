"""Runs one operation and is killed (SIGKILL) in its first progress call,
the new file made and partly written: it leaves the file.

Run by files/test_leftovers.py."""

import os
import signal
import sys

from support.rewrites import run_operation


def progress(done, total):
    os.kill(os.getpid(), signal.SIGKILL)


path, operation, other = sys.argv[1:4]
run_operation(operation, path, other, progress)
