"""A tour of _kvstore: create a database, store, read, walk and tidy it."""

import os
import tempfile

import _kvstore


def main() -> None:
    folder = tempfile.mkdtemp(prefix="kvstore-demo-")
    path = os.path.join(folder, "demo.db")
    print(f"gdbm headers {_kvstore._KVSTORE_VERSION}, flags {_kvstore.open_flags!r}")

    with _kvstore.open(path, "c") as db:
        print(f"created {path}")
        db["apple"] = "red"
        db[b"banana"] = b"yellow"
        db["kiwi"] = "green"
        print(f"stored 3 records; len(db) = {len(db)}")
        print(f"db['apple'] = {db['apple']!r} (values come back as bytes)")
        print(f"db[b'apple'] = {db[b'apple']!r} (a str key and its UTF-8 bytes are one key)")
        print(f"'kiwi' in db: {'kiwi' in db}; 'plum' in db: {'plum' in db}")
        print(f"db.get('plum', b'none') = {db.get('plum', b'none')!r}")
        print(f"db.setdefault('plum', 'purple') = {db.setdefault('plum', 'purple')!r}")
        del db["banana"]
        print(f"deleted banana; keys() = {sorted(db.keys())}")
        try:
            db["banana"]
        except KeyError as missing:
            print(f"db['banana'] raises KeyError({missing.args[0]!r})")

        walked = []
        key = db.firstkey()
        while key is not None:
            walked.append(key)
            key = db.nextkey(key)
        print(f"walked {len(walked)} keys with firstkey/nextkey, one at a time")

        for number in range(2000):
            db[f"filler-{number}"] = b"x" * 200
        size_full = os.path.getsize(path)
        for number in range(2000):
            del db[f"filler-{number}"]
        db.reorganize()
        db.sync()
        size_after = os.path.getsize(path)
        print(f"file: {size_full} bytes with 2000 fillers, {size_after} after deleting them and reorganize()")

    try:
        db["apple"]
    except _kvstore.error as closed:
        print(f"after the with block: {closed}")

    with _kvstore.open(path, "r") as reader:
        print(f"reopened read-only: {sorted(reader.keys())}")
        try:
            reader["apple"] = "green"
        except _kvstore.error as refused:
            print(f"a store on a read-only database raises error: {refused}")

    with _kvstore.open(path, "w") as db:
        db.clear()
        print(f"clear() leaves {len(db)} records; bool(db) = {bool(db)}")


if __name__ == "__main__":
    main()
