"""In the child: the database open for writing, the limit set (SIGXFSZ
ignored, so that a write past it fails instead of killing), then the
batch: its changes stored, or a dump loaded through it.

Run by package/test_batch_full_disk.py."""

import json, os, resource, signal, sys, kvstore
path, limit, durable, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1", sys.argv[4]
changes = json.loads(sys.argv[5])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
db = kvstore.open(path, "w")
resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) + limit, resource.RLIM_INFINITY))
result = {"raised": None}
try:
    if kind == "load":
        db.load(sys.argv[6], True)
    else:
        with db.batch(durable=durable):
            for key, value in changes.items():
                if value is None:
                    del db[key]
                else:
                    db[key] = value
except kvstore.error as caught:
    result["raised"] = [caught.errno, str(caught)]
try:
    db.close()
except kvstore.error as caught:
    result["close"] = str(caught)
print(json.dumps(result))
