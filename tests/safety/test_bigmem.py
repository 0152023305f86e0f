"""Keys and values beyond the library's int lengths. These build objects of
2 GiB each (one at a time, plus one of INT_MAX bytes) and run in CI."""

import pytest

import _kvstore

pytestmark = [pytest.mark.bigmem, pytest.mark.serial]

INT_MAX = 2**31 - 1
OVERFLOW = "size does not fit in an int"


@pytest.fixture(scope="module", params=["str", "bytes"])
def huge(request):
    """One byte longer than the library can take, as an ASCII str (whose
    UTF-8 form is its own storage) or as bytes. The module scope with a
    parameter keeps only one of them alive at a time."""
    value = "a" * 2**31 if request.param == "str" else b"a" * 2**31
    yield value
    del value


@pytest.fixture
def stored(db):
    db[b"k"] = b"v"
    return db


# Runs before the module-scoped objects exist, so that at most one big
# object is alive at a time.
def test_exactly_int_max_passes_the_size_check(stored):
    key = b"a" * INT_MAX
    assert (key in stored) is False
    assert stored.nextkey(key) is None
    assert stored.get(key, b"default") == b"default"
    with pytest.raises(KeyError) as info:
        stored[key]
    assert info.value.args[0] is key
    # The exception's traceback holds this frame: break the cycle so that
    # the key goes now, not at the next collection.
    del info


@pytest.mark.parametrize("operation", [
    pytest.param(lambda db, huge: db[huge], id="subscription"),
    pytest.param(lambda db, huge: db.__setitem__(huge, b"v"), id="assignment-key"),
    pytest.param(lambda db, huge: db.__setitem__(b"new", huge), id="assignment-value"),
    pytest.param(lambda db, huge: db.__delitem__(huge), id="deletion"),
    pytest.param(lambda db, huge: huge in db, id="in"),
    pytest.param(lambda db, huge: db.nextkey(huge), id="nextkey"),
    pytest.param(lambda db, huge: db.get(huge, b"default"), id="get"),
    pytest.param(lambda db, huge: db.setdefault(huge, b"v"), id="setdefault-key"),
    pytest.param(lambda db, huge: db.setdefault(b"new", huge), id="setdefault-default"),
])
def test_over_int_max_raises_overflow_error(stored, huge, operation):
    # No `as`: a kept exception would hold this frame, and the object with it.
    with pytest.raises(OverflowError, match=f"^{OVERFLOW}$"):
        operation(stored, huge)
    assert stored.keys() == [b"k"]
    assert len(stored) == 1
