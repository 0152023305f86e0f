"""compact() or load() whose flush of the new file fails (EIO, under the
flush shim): the call must raise and leave the file as it was.

Run by files/test_compact.py."""

import ctypes, hashlib, json, os, sys
import _kvstore
folder, shim = sys.argv[1], ctypes.CDLL(sys.argv[2])
path = os.path.join(folder, "db")
with _kvstore.open(path, "n") as db:
    for i in range(3000):
        db[b"k%d" % i] = b"v" * 50
before = hashlib.sha256(open(path, "rb").read()).hexdigest()
db = _kvstore.open(path, "w")
if sys.argv[3] == "load":
    with _kvstore.open(os.path.join(folder, "new.db"), "n") as new:
        new[b"new"] = b"1"
        new.dump(os.path.join(folder, "new.dump"))
    os.remove(os.path.join(folder, "new.db"))
ctypes.c_int.in_dll(shim, "kvshim_fail_errno").value = 5
ctypes.c_long.in_dll(shim, "kvshim_fail_next").value = 1
try:
    if sys.argv[3] == "load":
        db.load(os.path.join(folder, "new.dump"))
    else:
        db.compact()
    raised = None
except _kvstore.error as caught:
    raised = str(caught)
after = hashlib.sha256(open(path, "rb").read()).hexdigest()
print(json.dumps([raised, before == after, sorted(os.listdir(folder)), len(db)]))
