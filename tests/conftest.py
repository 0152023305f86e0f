import os

import pytest

import _kvstore
import support
from support.paths import TESTS

# The child programs (support/programs/) run as `python -m support.programs.NAME`
# and import the support package: every child finds it.
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), os.environ.get("PYTHONPATH")]))


@pytest.fixture
def path(tmp_path):
    """A database path in a fresh folder, not yet created."""
    return str(tmp_path / "test.db")


@pytest.fixture
def db(path):
    """An empty database open for writing."""
    with _kvstore.open(path, "c") as opened:
        yield opened


@pytest.fixture
def make_db(tmp_path):
    """make_db(records=(), flags="c", name="made.db"): a database holding
    `records`, opened with `flags`; closed at the end of the test."""
    opened = []

    def make(records=(), flags="c", name="made.db"):
        db = support.make_db(str(tmp_path / name), records, flags)
        opened.append(db)
        return db

    yield make
    for db in opened:
        db.close()


class FileLines:
    """With tests spread over worker processes (pytest-xdist), progress dots
    alone do not say what runs: a line names each test file as it starts."""

    def __init__(self, config):
        self.config = config
        self.started = set()

    def pytest_runtest_logstart(self, nodeid, location):
        test_file = nodeid.partition("::")[0]
        if test_file not in self.started:
            self.started.add(test_file)
            reporter = self.config.pluginmanager.get_plugin("terminalreporter")
            # On a line of its own, the progress dots going on below it.
            if reporter._tw.width_of_current_line:
                reporter.write("\n")
            reporter.write_line(f"{test_file} started")


def pytest_configure(config):
    # The process that hands out the tests, not a worker.
    if getattr(config.option, "numprocesses", None) and not hasattr(config, "workerinput"):
        config.pluginmanager.register(FileLines(config))
