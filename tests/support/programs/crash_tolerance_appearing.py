"""A child under the creation shim: a file of someone else's appears at the
odd snapshot's name just before the library creates it, after the library
has made the even one.

Run by safety/test_crash_tolerance.py."""

import ctypes, json, os, sys
import _kvstore
folder = sys.argv[1]
appear = (ctypes.c_char * 256).in_dll(ctypes.CDLL(None), "kvshim_appear")
appear.value = b"db.odd"
with _kvstore.open(os.path.join(folder, "db"), "n") as db:
    try:
        db.failure_atomic(os.path.join(folder, "db.even"), os.path.join(folder, "db.odd"))
        raised = None
    except _kvstore.error as caught:
        raised = caught.errno
print(json.dumps(raised))
