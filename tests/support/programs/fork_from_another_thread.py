"""A child forked by another thread while a long operation runs finds the
object in the middle of that work: every use is refused at once (it could
never end there), and close() lets go of the child's copy.

Run by concurrency/test_fork.py."""

import json, os, sys, threading, time
import _kvstore

path = sys.argv[1]
db = _kvstore.open(path, "w")
started = threading.Event()
seen = {}

def fork_now():
    started.wait()
    pid = os.fork()
    if pid == 0:
        outcome = {}
        for name, call in (("len", lambda: len(db)), ("get", lambda: db.get(b"key1")), ("close", db.close)):
            try:
                outcome[name] = ["returned", call()]
            except _kvstore.error as caught:
                outcome[name] = ["error", str(caught)]
        with open(path + ".child", "w") as report:
            json.dump(outcome, report)
        os._exit(0)
    seen["status"] = os.waitpid(pid, 0)[1]

thread = threading.Thread(target=fork_now)
thread.start()

def progress(done, total):
    if not started.is_set():
        started.set()
        time.sleep(0.5)

db.compact(progress=progress)
thread.join()
seen["len"] = len(db)
with open(path + ".child") as report:
    seen["child"] = json.load(report)
print(json.dumps(seen))
