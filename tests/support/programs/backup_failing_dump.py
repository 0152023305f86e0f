"""A child that dumps the database at argv[1] to argv[2] under a file-size
limit, or with the flush shim making the next fsync fail; it prints the
error's errno.

Run by files/test_backup.py."""

import ctypes, json, resource, sys
import _kvstore
db_path, target, how, fmt = sys.argv[1:5]
db = _kvstore.open(db_path, "r")
if how == "size-limit":
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, resource.RLIM_INFINITY))
else:
    shim = ctypes.CDLL(None)
    ctypes.c_long.in_dll(shim, "kvshim_fail_next").value = 1
    ctypes.c_int.in_dll(shim, "kvshim_fail_errno").value = 5  # EIO
try:
    db.dump(target, fmt)
except _kvstore.error as e:
    print(json.dumps([e.errno, e.filename]))
else:
    print(json.dumps(None))
