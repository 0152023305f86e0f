"""The parent forks inside its batch and commits it. The child, still alive,
cannot take a turn while it is inside the block, nor commit its copy of
the batch; a third process gets a turn meanwhile, since the child's copy
of the lock file was closed at the fork; and the child takes turns of its
own once the block is behind it.

Run by package/test_shared.py."""

import json, os, sys, kvstore
path = sys.argv[1]
shared = kvstore.Shared(path, timeout=60)
reader, writer = os.pipe()
go_on, told = os.pipe()
result = {}
pid = -1
try:
    with shared.batch() as db:
        db[b"parent"] = b"1"
        pid = os.fork()
        if pid == 0:
            try:
                shared.get(b"parent")
            except kvstore.error as caught:
                result["inside"] = caught.errno
            db[b"child"] = b"1"
except kvstore.error as caught:
    if pid != 0:
        raise
    result["commit"] = str(caught)
if pid == 0:
    os.write(writer, json.dumps(result).encode())
    os.read(go_on, 1)
    shared[b"child after"] = b"1"
    os._exit(0)
print(os.read(reader, 4096).decode(), flush=True)
sys.stdin.readline()
os.write(told, b"x")
_, status = os.waitpid(pid, 0)
print(json.dumps({"status": status}), flush=True)
