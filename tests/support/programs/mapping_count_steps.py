"""Runs each step (an operation, then len() or bool()) on the database
under the count shim, and prints for each what it raised, what len() or
bool() answered, and the gdbm_count and gdbm_firstkey calls that made.

Run by module/test_mapping.py."""

import ctypes, json, sys
import _kvstore

path, dump, shim_path, steps = sys.argv[1], sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
shim = ctypes.CDLL(shim_path)
counts = ctypes.c_long.in_dll(shim, "kvshim_counts")
firstkeys = ctypes.c_long.in_dll(shim, "kvshim_firstkeys")
with open("/proc/self/maps") as maps:
    linked = any("libgdbm" in line for line in maps)
seen = []
with _kvstore.open(path, "w") as db:
    for operation, probe in steps:
        try:
            exec(operation, {"db": db, "dump": dump})
            raised = None
        except Exception as caught:
            raised = type(caught).__name__
        before = counts.value, firstkeys.value
        answer = len(db) if probe == "len" else bool(db)
        seen.append([raised, answer, counts.value - before[0], firstkeys.value - before[1]])
print(json.dumps({"linked": linked, "seen": seen}))
