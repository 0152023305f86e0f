"""A durable batch in a child under the flush shim: the flushes of the
journal go through, then `failing` flushes fail (the commit's, then the
undo's).

Run by package/test_batches.py."""

import ctypes, errno, json, sys, kvstore
path, shim_path, passing, failing = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
shim = ctypes.CDLL(shim_path)
db = kvstore.open(path, "c")
db.update({b"a": b"1", b"b": b"2"})
db.sync()
ctypes.c_int.in_dll(shim, "kvshim_fail_errno").value = errno.ENOSPC
ctypes.c_long.in_dll(shim, "kvshim_pass_next").value = passing
ctypes.c_long.in_dll(shim, "kvshim_fail_next").value = failing
result = {}
try:
    with db.batch(durable=True):
        db[b"a"] = b"changed"
        del db[b"b"]
        db[b"c"] = b"3"
except kvstore.error as caught:
    result["raised"] = [caught.errno, str(caught)]
ctypes.c_long.in_dll(shim, "kvshim_fail_next").value = 0
result["journal"] = kvstore._journal.unfinished(path)
if not result["journal"]:
    result["records"] = {k.decode(): v.decode() for k, v in db.items()}
else:
    db.recover()
    result["recovered"] = {k.decode(): v.decode() for k, v in db.items()}
    result["journal after recover"] = kvstore._journal.unfinished(path)
db.close()
with kvstore.open(path) as again:
    result["reopened"] = {k.decode(): v.decode() for k, v in again.items()}
print(json.dumps(result))
