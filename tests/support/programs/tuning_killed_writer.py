"""A writer killed with SIGKILL right after its stores: whatever the
settings, every store is in the file, which opens without recovery.

Run by module/test_tuning.py."""

import os, signal, sys
import _kvstore
db = _kvstore._open_tuned(sys.argv[1], "n" + sys.argv[2], mmap=False, coalesce_blocks=True, cache_size=3)
for i in range(2000):
    db[b"k%d" % i] = b"v" * (i % 300)
for i in range(0, 2000, 2):
    del db[b"k%d" % i]
os.kill(os.getpid(), signal.SIGKILL)
