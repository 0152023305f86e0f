import pytest

import _kvstore


@pytest.fixture
def path(tmp_path):
    """A database path in a fresh folder, not yet created."""
    return str(tmp_path / "test.db")


@pytest.fixture
def db(path):
    """An empty database open for writing."""
    with _kvstore.open(path, "c") as opened:
        yield opened
