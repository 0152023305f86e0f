"""dump() killed (SIGKILL) from its own progress callable: what the dump
leaves behind is for the next dump to find.

Run by files/test_backup.py."""

import os, signal, sys
import _kvstore
db_path, target = sys.argv[1:3]
with _kvstore.open(db_path) as db:
    db.dump(target, progress=lambda done, total: os.kill(os.getpid(), signal.SIGKILL))
