"""A child that dumps once every descriptor it may have is taken, in the last
progress call: what follows, the rename and the folder's flush after it,
needs none. It prints the errno raised, or None.

Run by files/test_backup.py."""

import json, os, resource, sys
import _kvstore
db = _kvstore.open(sys.argv[1], "r")
taken = []

def progress(done, total):
    if done == total and not taken:
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        try:
            while True:
                taken.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass

try:
    db.dump(sys.argv[2], progress=progress)
    raised = None
except _kvstore.error as caught:
    raised = caught.errno
for fd in taken:
    os.close(fd)
print(json.dumps([raised, len(taken) > 0]))
