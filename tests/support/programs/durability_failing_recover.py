"""In a child, under the rename shim: lets `passing` renames through, makes
the `failing` after them fail with EIO during a recover() of a sound file,
then goes on through the same handle (a read of every record and one more
store) and prints what recover() raised.

Run by files/test_durability.py."""

import ctypes, errno, json, os, resource, signal, sys
import _kvstore

path, shim_path, how, passing, failing = sys.argv[1:6]
shim = ctypes.CDLL(shim_path)
db = _kvstore.open(path, "w")
if how == "rename":
    ctypes.c_long.in_dll(shim, "kvshim_rename_pass").value = int(passing)
    ctypes.c_long.in_dll(shim, "kvshim_rename_fail").value = int(failing)
    ctypes.c_int.in_dll(shim, "kvshim_rename_errno").value = errno.EIO
elif how == "file-size":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (os.path.getsize(path) // 4, resource.RLIM_INFINITY))
elif how == "folder":
    # No rights on the folder: as root, those of nobody.
    if os.geteuid() == 0:
        os.setuid(65534)
try:
    db.recover(force=True, backup=how == "rename")
    raised = None
except _kvstore.error as caught:
    raised = [caught.errno, caught.filename]
resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
count = sum(1 for key in db.keys() if db[key])
db[b"after"] = b"stored"
db.close()
print(json.dumps({"raised": raised, "count": count}))
