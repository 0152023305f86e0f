"""A writer that syncs `synced` records, then stores past a file-size limit
until a store fails: prints the errno it failed with.

Run by files/test_durability.py."""

import json, os, resource, signal, sys
import _kvstore

path, synced = sys.argv[1], int(sys.argv[2])
def record(i):
    return b"key%d" % i, b"%d:" % i * (i % 97 + 1)
db = _kvstore.open(path, "c")
for i in range(synced):
    key, value = record(i)
    db[key] = value
db.sync()
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
# Room for a few more blocks: the write that fails is then one of several
# that make up a store.
resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) + 20000, resource.RLIM_INFINITY))
failed = None
try:
    for i in range(synced, synced + 5000):
        key, value = record(i)
        db[key] = value * 20
except _kvstore.error as caught:
    failed = caught.errno
try:
    db.close()
except _kvstore.error:
    pass
print(json.dumps(failed))
