"""load() under a file-size limit that the new file outgrows: it must fail,
leave the database usable and its file byte for byte as it was, and leave
no new file in the folder.

Run by files/test_backup.py."""

import hashlib, json, os, resource, signal, sys
import _kvstore
path, dump = sys.argv[1:3]
before = hashlib.sha256(open(path, "rb").read()).hexdigest()
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
with _kvstore.open(path, "w") as db:
    mine = {key: db[key] for key in db.keys()}
    # The new file outgrows the limit; the old one is only read.
    limit = os.path.getsize(path) + 65536
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    try:
        db.load(dump)
        failed = None
    except _kvstore.error as caught:
        failed = caught.errno
    usable = {key: db[key] for key in db.keys()} == mine
after = hashlib.sha256(open(path, "rb").read()).hexdigest()
print(json.dumps([failed, usable, before == after, sorted(os.listdir(os.path.dirname(path)))]))
