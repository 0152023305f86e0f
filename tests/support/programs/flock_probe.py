"""Prints whether another process holds a lock on the file named by its
argument: flock() or fcntl() record locks, shared ones refused.

Run by support/programs/fork_in_progress.py."""

import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
refused = []
for take in (lambda: fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB),
             lambda: fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)):
    try:
        take()
        refused.append(False)
    except OSError:
        refused.append(True)
print(any(refused))
