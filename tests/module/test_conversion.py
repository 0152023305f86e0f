"""Keys and values on their way to the library: what each kind of object
hands over, how often an exporter is asked, how long its buffer is held,
and the record count when an exporter runs Python code in the middle of an
operation."""

import gc

import pytest

import _kvstore
from support import CLOSED, Exporter, OwnBufferBytes, walk

# Every position that converts a key or value: the operation with `x`
# standing for the object converted there, and its effect on a dict model.
POSITIONS = {
    "store-key": (lambda db, x: db.__setitem__(x(b"new"), b"V"),
                  lambda model: model.__setitem__(b"new", b"V")),
    "store-value": (lambda db, x: db.__setitem__(b"new", x(b"V")),
                    lambda model: model.__setitem__(b"new", b"V")),
    "setdefault-key": (lambda db, x: db.setdefault(x(b"new"), b"V"),
                       lambda model: model.setdefault(b"new", b"V")),
    "setdefault-default": (lambda db, x: db.setdefault(b"new", x(b"V")),
                           lambda model: model.setdefault(b"new", b"V")),
    "get": (lambda db, x: db.get(x(b"b")), lambda model: model.get(b"b")),
    "subscription": (lambda db, x: db[x(b"b")], lambda model: model[b"b"]),
    "del": (lambda db, x: db.__delitem__(x(b"b")), lambda model: model.__delitem__(b"b")),
    "nextkey": (lambda db, x: db.nextkey(x(b"b")), None),
    "in": (lambda db, x: x(b"b") in db, lambda model: b"b" in model),
}
# The membership test takes str and bytes only: no exporter of its own runs.
TAKES_EXPORTERS = set(POSITIONS) - {"in"}
RECORDS = {b"a": b"1", b"b": b"2", b"c": b"3"}


@pytest.mark.parametrize("position", sorted(POSITIONS))
def test_bytes_subclass_is_read_directly(make_db, position):
    """Its own __buffer__ would hand out storage freed at once: the module
    reads the bytes themselves, in every position, and never asks."""
    db = make_db(RECORDS)
    operation, effect = POSITIONS[position]
    made = []

    def make(data):
        made.append(OwnBufferBytes(data))
        return made[-1]

    model = dict(RECORDS)
    result = operation(db, make)
    expected = effect(model) if effect else None
    if position == "nextkey":
        assert result in set(RECORDS) | {None}
    elif position != "setdefault-default":
        assert result == expected
    assert [m.exports for m in made] == [0]
    assert {key: db[key] for key in db.keys()} == model


@pytest.mark.parametrize("position", sorted(TAKES_EXPORTERS))
def test_exporter_is_asked_once_and_released(make_db, position):
    db = make_db(RECORDS)
    operation, _ = POSITIONS[position]
    exporters = []

    def make(data):
        # The storage lives only as long as the buffer the module holds.
        exporters.append(Exporter(data))
        exporters[-1].data = bytearray(data)
        return exporters[-1]

    operation(db, make)
    (exporter,) = exporters
    assert exporter.exports == 1
    # A buffer still held would forbid the resize.
    exporter.data.extend(b"!")


def test_held_buffer_is_the_one_stored(db):
    """The stored bytes come from the one buffer, held through the store:
    storage freed after a first request would hand the library garbage."""
    class Fresh:
        def __buffer__(self, flags):
            return memoryview(bytearray(b"payload" * 10000)).toreadonly()

    db[Fresh()] = Fresh()
    assert db.keys() == [b"payload" * 10000]
    assert db[b"payload" * 10000] == b"payload" * 10000


# What an exporter does from inside a conversion, and its effect on the model.
ACTIONS = {
    "close": (lambda db, holder: db.close(), None),
    "clear": (lambda db, holder: db.clear(), lambda model: model.clear()),
    "reorganize": (lambda db, holder: db.reorganize(), None),
    "len": (lambda db, holder: len(db), None),
    "bool": (lambda db, holder: bool(db), None),
    "keys": (lambda db, holder: db.keys(), None),
    "walk": (lambda db, holder: walk(db), None),
    "sync": (lambda db, holder: db.sync(), None),
    "store": (lambda db, holder: db.__setitem__(b"s", b"S"),
              lambda model: model.__setitem__(b"s", b"S")),
    "delete": (lambda db, holder: db.__delitem__(b"a"), lambda model: model.__delitem__(b"a")),
    "drop-last-reference": (lambda db, holder: holder.clear(), None),
}


def expected_outcome(position, action):
    """The model after the action and the operation, and the operation's
    result or the exception it raises."""
    model = dict(RECORDS)
    runs = position in TAKES_EXPORTERS
    if runs and action == "close":
        return model, _kvstore.error
    if runs and ACTIONS[action][1]:
        ACTIONS[action][1](model)
    effect = POSITIONS[position][1]
    try:
        result = effect(model) if effect else None
    except KeyError:
        return model, KeyError
    return model, result


@pytest.mark.parametrize("action", sorted(ACTIONS))
@pytest.mark.parametrize("position", sorted(POSITIONS))
def test_python_code_inside_a_conversion(path, position, action):
    """Whatever the exporter did, the operation sees the object as it is
    afterwards and the record count is never stale."""
    holder = [_kvstore.open(path, "c")]
    for key, value in RECORDS.items():
        holder[0][key] = value
    db_action = ACTIONS[action][0]
    exporter_type = Exporter if position in TAKES_EXPORTERS else OwnBufferBytes
    exporters = []

    def make(data):
        target = holder[0]
        exporter = exporter_type(data)
        exporter.on_export = lambda: db_action(target, holder)
        exporters.append(exporter)
        return exporter

    if action in ("len", "bool"):
        len(holder[0])   # a count cached before the operation must go too
    model, expected = expected_outcome(position, action)
    operation = POSITIONS[position][0]
    if isinstance(expected, type) and issubclass(expected, Exception):
        with pytest.raises(expected) as raised:
            operation(holder[0], make)
        if expected is _kvstore.error:
            assert str(raised.value) == CLOSED
    else:
        result = operation(holder[0], make)
        if position == "nextkey":
            assert result is None or result in model
        elif position != "setdefault-default":
            assert result == expected
    assert [e.exports for e in exporters] == [int(position in TAKES_EXPORTERS)]
    if holder:
        db = holder[0]
        if action == "close" and position in TAKES_EXPORTERS:
            with pytest.raises(_kvstore.error, match=CLOSED):
                len(db)
        else:
            assert len(db) == len(model)
            assert bool(db) is bool(model)
            assert sorted(db.keys()) == sorted(walk(db)) == sorted(model)
            db.close()
    del exporters, make, holder
    gc.collect()
    with _kvstore.open(path, "r") as reopened:
        assert {key: reopened[key] for key in reopened.keys()} == model


# ---- the kvstore package's Database, with one of its walks running ----------------

# Every position of the package's own C paths that converts a key or value;
# `adds` says whether the operation itself adds or removes a key.
PACKAGE_POSITIONS = {
    "store-key": (lambda db, x: db.__setitem__(x(b"new"), b"V"),
                  lambda model: model.__setitem__(b"new", b"V"), True),
    "store-value": (lambda db, x: db.__setitem__(b"new", x(b"V")),
                    lambda model: model.__setitem__(b"new", b"V"), True),
    "replace-value": (lambda db, x: db.__setitem__(b"b", x(b"V")),
                      lambda model: model.__setitem__(b"b", b"V"), False),
    "setdefault-key": (lambda db, x: db.setdefault(x(b"new"), b"V"),
                       lambda model: model.setdefault(b"new", b"V"), True),
    "get": (lambda db, x: db.get(x(b"b")), lambda model: model.get(b"b"), False),
    "subscription": (lambda db, x: db[x(b"b")], lambda model: model[b"b"], False),
    "del": (lambda db, x: db.__delitem__(x(b"b")), lambda model: model.__delitem__(b"b"), True),
    "pop": (lambda db, x: db.pop(x(b"b")), lambda model: model.pop(b"b"), True),
}
# What the exporter does through the Database, its effect on the model, and
# whether it adds or removes a key.
PACKAGE_ACTIONS = {
    "close": (lambda db: db.close(), None, False),
    "store-new": (lambda db: db.__setitem__(b"s", b"S"), lambda model: model.__setitem__(b"s", b"S"), True),
    "replace": (lambda db: db.__setitem__(b"c", b"C"), lambda model: model.__setitem__(b"c", b"C"), False),
    "delete": (lambda db: db.__delitem__(b"c"), lambda model: model.__delitem__(b"c"), True),
    "clear": (lambda db: db.clear(), lambda model: model.clear(), True),
}


# On the file and inside a batch, which refuses close().
PACKAGE_CASES = [
    pytest.param(position, action, batched, id=f"{position}-{action}-{'batch' if batched else 'file'}")
    for position in sorted(PACKAGE_POSITIONS) for action in sorted(PACKAGE_ACTIONS)
    for batched in (False, True) if not (batched and action == "close")
]


@pytest.mark.parametrize(("position", "action", "batched"), PACKAGE_CASES)
def test_python_code_inside_a_conversion_of_the_package(path, position, action, batched):
    """The exporter closes or changes the Database while one of its walks is
    running, on the file or inside a batch: the operation sees the object as
    it is afterwards, and the walk's next step reports the change (or the
    closing) instead of going on. A batch refuses the closing."""
    import kvstore

    db = kvstore.open(path, "c")
    db.update(RECORDS)
    block = db.batch() if batched else None
    if block is not None:
        block.__enter__()
    running = iter(db.items())
    first = next(running)
    do, changes_model, action_moves = PACKAGE_ACTIONS[action]
    operation, effect, moves = PACKAGE_POSITIONS[position]
    exporters = []

    def make(data):
        exporters.append(Exporter(data, lambda: do(db)))
        return exporters[-1]

    model = dict(RECORDS)
    if action == "close":
        with pytest.raises(_kvstore.error, match=CLOSED):
            operation(db, make)
        with pytest.raises(_kvstore.error, match=CLOSED):
            next(running)
    else:
        changes_model(model)
        try:
            expected = effect(model)
        except KeyError:
            expected = KeyError
        if expected is KeyError:
            with pytest.raises(KeyError):
                operation(db, make)
        else:
            result = operation(db, make)
            if position != "setdefault-key":
                assert result == expected
        if action_moves or (moves and expected is not KeyError):
            with pytest.raises(RuntimeError, match="database changed during iteration"):
                next(running)
        else:
            # The first pair was read before the exporter ran.
            assert sorted([first[0], *(key for key, _ in running)]) == sorted(model)
        assert dict(db.items()) == model
        if block is not None:
            block.__exit__(None, None, None)
        db.close()
    assert [e.exports for e in exporters] == [1]
    with _kvstore.open(path, "r") as reopened:
        assert {key: reopened[key] for key in reopened.keys()} == model
