"""A child under the creation shim that dumps, with umask 022, over a file
that only its owner may read; it prints the mode the unfinished file was
created with.

Run by files/test_backup.py."""

import ctypes, json, os, sys
import _kvstore
shim = ctypes.CDLL(None)
(ctypes.c_char * 256).in_dll(shim, "kvshim_watch").value = b".unfinished-"
os.umask(0o022)
with _kvstore.open(sys.argv[1], "r") as db:
    db.dump(sys.argv[2])
print(json.dumps(ctypes.c_int.in_dll(shim, "kvshim_mode").value))
