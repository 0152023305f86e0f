"""Sizes of the repeated and randomised safety tests.

Under valgrind or a sanitizer every operation costs tens of times more, so
the memory-check script sets KVSTORE_TEST_SCALE below 1 and KVSTORE_MEMTOOL
to the tool's name; the long fuzzing run sets the scale above 1. Under
valgrind, KVSTORE_CHILD_PREFIX holds the command that child interpreters
reading damaged files run under, so that their reads are checked too.
"""

import os
import shlex

SCALE = float(os.environ.get("KVSTORE_TEST_SCALE", "1"))
MEMTOOL = os.environ.get("KVSTORE_MEMTOOL", "")
CHILD_PREFIX = shlex.split(os.environ.get("KVSTORE_CHILD_PREFIX", ""))


def scaled(count, minimum=1):
    """`count` adjusted to this run's scale, never below `minimum`."""
    return max(minimum, int(count * SCALE))
