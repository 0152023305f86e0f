"""A child program of test_shared.py.

Run by package/test_shared.py."""

import json, sys, time, kvstore
shared = kvstore.Shared(sys.argv[1], timeout=60)
end = time.monotonic() + float(sys.argv[2])
seen = {"blocks": 0, "snapshots": 0, "torn": 0, "backwards": 0}
last = 0
while time.monotonic() < end:
    with shared.reading() as db:
        values = {db[b"k%d" % i] for i in range(20)}
    seen["blocks"] += 1
    snapshot = set(shared.values())
    seen["snapshots"] += 1
    for state in (values, snapshot):
        seen["torn"] += len(state) != 1
        n = int(min(state))
        seen["backwards"] += n < last
        last = n
print(json.dumps(seen))
