"""Opens the file with the flag given and prints "opened", or the errno,
file name and message of the refusal.

Run by files/test_durability.py and files/test_compact.py."""

import json, sys
import _kvstore
try:
    _kvstore.open(sys.argv[1], sys.argv[2]).close()
    print(json.dumps("opened"))
except _kvstore.error as caught:
    print(json.dumps([caught.errno, caught.filename, str(caught)]))
