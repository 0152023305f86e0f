"""The module object: its attributes, its error class and its life in several interpreters."""


import _interpreters
import pytest

import _kvstore
from support.foundation_gdbm import header_version
from support import fresh_module


def test_public_attributes():
    assert callable(_kvstore.open)
    assert _kvstore.open_flags == "rwcnfsu"
    # The database type is reached only through the objects that open() returns.
    assert not hasattr(_kvstore, "gdbm")
    # The fault-injection build (make check-memory) adds its private control.
    public = {name for name in vars(_kvstore) if not name.startswith("__")} - {"_fault_at"}
    # _Mapping is the private base of the kvstore package's Database, and
    # _open_tuned the package's route to gdbm's settings, _leftover_names
    # its listing of the files a killed process left beside a target, _Batch
    # the base of its batches, _Journal their journal, _open_beside its way
    # to the shared store's lock file.
    assert public == {"open", "latest_snapshot", "error", "open_flags", "_KVSTORE_VERSION", "_Mapping",
                      "_Batch", "_Journal", "_open_tuned", "_leftover_names", "_open_beside"}


def test_version_is_that_of_the_headers_built_against():
    version = _kvstore._KVSTORE_VERSION
    assert type(version) is tuple
    assert all(type(part) is int for part in version)
    assert version == header_version()


def test_module_docstring():
    assert _kvstore.__doc__.startswith(
        "This module provides an interface to the GNU DBM (GDBM) library.")


def test_error_is_an_oserror_of_this_module():
    error = _kvstore.error
    assert issubclass(error, OSError)
    assert error.__bases__ == (OSError,)
    assert error.__name__ == "error"
    assert error.__module__ == "_kvstore"
    assert error.__doc__ is None
    with pytest.raises(OSError):
        _kvstore.open(b"/nonexistent/dir/file.db", "r")


@pytest.fixture(scope="module")
def second_module():
    """Another module object made from the same shared object, kept out of sys.modules."""
    module = fresh_module()
    assert module is not _kvstore
    return module


def test_module_objects_have_their_own_classes(second_module, tmp_path):
    assert second_module.error is not _kvstore.error
    assert not issubclass(second_module.error, _kvstore.error)
    with _kvstore.open(str(tmp_path / "first.db"), "c") as first, \
            second_module.open(str(tmp_path / "second.db"), "c") as second:
        assert type(first) is not type(second)
        assert type(second).__name__ == "gdbm"
        second[b"key"] = b"value"
        assert second[b"key"] == b"value"


def _fail_closed(module, path):
    db = module.open(path, "c")
    db.close()
    len(db)


def _fail_open(module, path):
    module.open(path, "r")


# The two failures find the module's state by different ways: through the
# object's type, and through the module object that open() receives.
@pytest.mark.parametrize("fail", [_fail_closed, _fail_open], ids=["closed", "open"])
def test_error_is_raised_through_the_module_that_made_the_object(second_module, tmp_path, fail):
    path = str(tmp_path / "missing.db")
    for own, other in ((_kvstore, second_module), (second_module, _kvstore)):
        with pytest.raises(own.error) as caught:
            fail(own, path)
        assert type(caught.value) is own.error
        assert not isinstance(caught.value, other.error)
        (tmp_path / "missing.db").unlink(missing_ok=True)


SUBINTERPRETER_CODE = """\
import errno
import _kvstore

with _kvstore.open(path, "c") as db:
    db[b"written"] = b"by the subinterpreter"
    got = db[b"written"]
if got != b"by the subinterpreter":
    raise AssertionError(got)
try:
    _kvstore.open(path + ".missing", "r")
except _kvstore.error as caught:
    if caught.errno != errno.ENOENT or caught.filename != path + ".missing":
        raise AssertionError(repr(caught))
else:
    raise AssertionError("opening a missing file succeeded")
"""


def test_isolated_subinterpreter_with_its_own_gil(path):
    config = _interpreters.new_config("isolated")
    assert config.gil == "own"
    assert config.check_multi_interp_extensions
    interp = _interpreters.create(config)
    try:
        assert _interpreters.get_config(interp).gil == "own"
        failure = _interpreters.exec(interp, SUBINTERPRETER_CODE, {"path": path})
    finally:
        _interpreters.destroy(interp)
    assert failure is None, failure.errdisplay
    with _kvstore.open(path) as db:
        assert db[b"written"] == b"by the subinterpreter"
