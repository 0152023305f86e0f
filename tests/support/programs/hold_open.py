"""Opens the database named by its first argument for writing, says
"held", and holds it (and gdbm's lock) until its standard input ends.

Run by package/test_cli.py."""

import sys

import _kvstore

db = _kvstore.open(sys.argv[1], "w")
print("held", flush=True)
sys.stdin.read()
