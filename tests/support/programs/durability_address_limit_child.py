"""A record larger than what the process may still allocate: the rewrite
cannot read it. The child prints what reorganize() did.

Run by files/test_durability.py."""

import json, resource, sys
import _kvstore

path = sys.argv[1]
db = _kvstore.open(path, "w")
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (24 << 20), resource.RLIM_INFINITY))
try:
    bytearray(64 << 20)
except MemoryError:
    pass
else:
    print(json.dumps("limit not enforced"))
    sys.exit()
try:
    db.reorganize()
    outcome = "returned"
except _kvstore.error as caught:
    outcome = "error"
except MemoryError:
    outcome = "MemoryError"
print(json.dumps(outcome))
