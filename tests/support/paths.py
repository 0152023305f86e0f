"""Where the tests find the project's files."""

from pathlib import Path

SUPPORT = Path(__file__).resolve().parent
TESTS = SUPPORT.parent
ROOT = TESTS.parent
DATA = TESTS / "data"
SHIMS = SUPPORT / "shims"
# A damaged file kept from a fuzzing run: its traversal circles (docs/testing.md).
DAMAGED_CYCLE = DATA / "damaged-traversal-cycle.db"
