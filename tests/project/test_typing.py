"""The type stub against the built module, and the types that checkers give a user's code.
The signatures themselves are checked in test_signatures.py."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import _kvstore
from support import docs_examples
import support

from support.paths import ROOT
STUB = ROOT / "_kvstore.pyi"
CONFIG = ROOT / "pyproject.toml"

# stubtest, run on the module with its database type made visible as
# _kvstore.gdbm: the type is no module attribute, so a plain run of stubtest
# cannot reach its methods.
STUBTEST_WITH_TYPE = """
import os, sys, tempfile
import _kvstore
from mypy.stubtest import main
with tempfile.TemporaryDirectory() as folder:
    _kvstore.gdbm = type(_kvstore.open(os.path.join(folder, "db"), "c"))
sys.argv = ["stubtest", *sys.argv[1:]]
sys.exit(main())
"""


def stub_copy(folder, edit=lambda text: text):
    """Copies the repository's stub, as edited, into folder for MYPYPATH."""
    folder.mkdir(exist_ok=True)
    (folder / "_kvstore.pyi").write_text(edit(STUB.read_text()))
    return folder


def without_type_check_only(text):
    return text.replace("@type_check_only\n", "")


def run(args, cwd, mypypath=None):
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if mypypath is not None:
        env["MYPYPATH"] = str(mypypath)
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def stubtest(tmp_path, edit=lambda text: text, expose_type=False):
    stubs = stub_copy(tmp_path / "stubs", edit)
    args = ["--mypy-config-file", str(CONFIG), "_kvstore"]
    if expose_type:
        return run(["-c", STUBTEST_WITH_TYPE, *args], tmp_path, stubs)
    return run(["-m", "mypy.stubtest", *args], tmp_path, stubs)


def test_stubtest_passes_on_the_module(tmp_path):
    result = stubtest(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_passes_on_the_database_type(tmp_path):
    result = stubtest(tmp_path, without_type_check_only, expose_type=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize(
    "old, new, reported",
    [
        ("def nextkey(self, key: _Data, /)", "def nextkey(self, /)", "_kvstore.gdbm.nextkey"),
        ("mode: int = 0o666", "mode: int = 0o644", "_kvstore.open"),
        ("    def sync(self) -> None: ...\n", "", "_kvstore.gdbm.sync"),
    ],
    ids=["method-parameters", "open-default", "missing-method"],
)
def test_stubtest_reports_a_stub_that_disagrees(tmp_path, old, new, reported):
    def edit(text):
        assert old in text
        return without_type_check_only(text).replace(old, new)

    result = stubtest(tmp_path, edit, expose_type=True)
    assert result.returncode != 0
    assert reported in result.stdout


def test_examples_are_mypy_clean(tmp_path):
    stubs = stub_copy(tmp_path / "stubs")
    result = run(
        ["-m", "mypy", "--strict", "--config-file", str(CONFIG),
         "--cache-dir", str(tmp_path / "cache"), str(ROOT / "examples")],
        tmp_path,
        stubs,
    )
    assert result.returncode == 0, result.stdout + result.stderr


USER_CODE = """\
import _kvstore

db = _kvstore.open("file.db", "c")
reveal_type(db.get(b"k"))
reveal_type(db.get("k", 3))
reveal_type(db.setdefault("k", "v"))
reveal_type(db["k"])
reveal_type(db.keys())
reveal_type(db.firstkey())
reveal_type(db.nextkey(b"k"))
reveal_type(_kvstore._KVSTORE_VERSION)
with db as entered:
    reveal_type(entered)
db[bytearray(b"k")] = b"v"
db[b"k"] = memoryview(b"v")
for key in db:
    pass
1 in db
_kvstore.open(b"file.db", b"c")
"""

EXPECTED_TYPES = [
    "bytes | None",
    "bytes | int",
    "bytes",
    "bytes",
    "list[bytes]",
    "bytes | None",
    "bytes | None",
    "tuple[int, int, int]",
    "_kvstore.gdbm",
]

# Each line that the module refuses at run time, with mypy's error code.
EXPECTED_ERRORS = {
    14: "[index]",
    15: "[assignment]",
    16: "[attr-defined]",
    18: "[operator]",
    19: "[arg-type]",
}


def test_build_installs_the_stub_in_both_places():
    site = pathlib.Path(_kvstore.__file__).parent
    for installed in (site / "_kvstore.pyi", site / "_kvstore-stubs" / "__init__.pyi"):
        assert installed.read_text() == STUB.read_text(), f"{installed} is stale: rebuild"


def test_installed_stub_types_a_users_code(tmp_path):
    # Run outside the repository, so that mypy finds the stub only where the
    # build installed it.
    (tmp_path / "user.py").write_text(USER_CODE)
    result = run(
        ["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "user.py"], tmp_path
    )
    lines = result.stdout.splitlines()
    revealed = [line.split('Revealed type is "')[1].rstrip('"') for line in lines if "Revealed" in line]
    assert revealed == EXPECTED_TYPES, result.stdout
    errors = {
        int(line.split(":")[1]): line.rsplit(" ", 1)[1]
        for line in lines
        if ": error:" in line
    }
    assert errors == EXPECTED_ERRORS, result.stdout


# ---- the kvstore package, under mypy and basedpyright ------------------------

PACKAGE_USER_CODE = """\
import shelve

import kvstore


def first(db: kvstore.Database) -> bytes | None:
    return next(iter(db), None)


with kvstore.open("file.db", "c", timeout=1.5) as db:
    shelf: shelve.Shelf[object] = shelve.Shelf(kvstore.open("file.db", "c"))
    reveal_type(db.get("k"))
    reveal_type(db.get(b"k", 3))
    reveal_type(db.pop("k"))
    reveal_type(db.pop("k", None))
    reveal_type(db.setdefault("k", "v"))
    reveal_type(db.popitem())
    reveal_type(list(db.items()))
    reveal_type(db.raw)
    db.update({b"k": b"v"})
    db.dump("backup.txt", "yaml")
    db[b"k"] = 1
    db.get(1)
kvstore.load("backup.txt", "copy.db", replace=True)
kvstore.open("file.db", "c", 0o600, 1.5)
"""

PACKAGE_TYPES = {
    "mypy": ["bytes | None", "bytes | int", "bytes", "bytes | None", "bytes", "tuple[bytes, bytes]",
             "list[tuple[bytes, bytes]]", "_kvstore.gdbm"],
    "basedpyright": ["bytes | None", "bytes | int", "bytes", "bytes | None", "bytes", "tuple[bytes, bytes]",
                     "list[tuple[bytes, bytes]]", "gdbm"],
}

# The lines each checker must reject, with its error code: nothing else.
PACKAGE_ERRORS = {
    "mypy": {21: "[arg-type]", 22: "[assignment]", 23: "[call-overload]", 25: "[call-arg]"},
    "basedpyright": {21: "reportArgumentType", 22: "reportArgumentType", 23: "reportArgumentType",
                     25: "reportCallIssue"},
}


def mypy_report(folder, target):
    result = run(["-m", "mypy", "--strict", "--cache-dir", str(folder / "cache"), target], folder)
    lines = result.stdout.splitlines()
    revealed = [line.split('Revealed type is "')[1].rstrip('"') for line in lines if "Revealed" in line]
    errors = {int(line.split(":")[1]): line.rsplit(" ", 1)[1] for line in lines if ": error:" in line}
    return revealed, errors, result.stdout


def basedpyright_report(folder, target):
    # basedpyright reads the interpreter's site-packages, where the build
    # installed kvstore and _kvstore's stub.
    result = run(["-m", "basedpyright", "--pythonpath", sys.executable, "--outputjson", target], folder)
    diagnostics = json.loads(result.stdout)["generalDiagnostics"]
    revealed = [item["message"].rsplit(" is ", 1)[1].strip('"') for item in diagnostics
                if item["severity"] == "information" and item["message"].startswith("Type of")]
    errors = {item["range"]["start"]["line"] + 1: item.get("rule")
              for item in diagnostics if item["severity"] in ("error", "warning")}
    return revealed, errors, result.stdout


CHECKERS = {"mypy": mypy_report, "basedpyright": basedpyright_report}


@pytest.mark.parametrize("checker", CHECKERS)
def test_installed_package_types_a_users_code(tmp_path, checker):
    # Outside the repository: the checker finds the package where it is installed.
    (tmp_path / "user.py").write_text(PACKAGE_USER_CODE)
    revealed, errors, output = CHECKERS[checker](tmp_path, "user.py")
    assert revealed == PACKAGE_TYPES[checker], output
    assert errors == PACKAGE_ERRORS[checker], output


@pytest.mark.parametrize("checker", CHECKERS)
def test_documented_examples_are_clean(tmp_path, checker):
    # Each page's Python sessions as one program, the README's shelve example
    # among them: the README says that it type-checks as written.
    programs = {page.stem: docs_examples.program(page) for page in docs_examples.PAGES}
    programs = {name: program for name, program in programs.items() if program}
    assert "shelve.Shelf[object]" in programs["README"]
    (tmp_path / "examples").mkdir()
    for name, program in programs.items():
        (tmp_path / "examples" / f"{name.replace('-', '_')}.py").write_text(program)
    _, errors, output = CHECKERS[checker](tmp_path, "examples")
    assert errors == {}, output


@pytest.mark.parametrize("checker", CHECKERS)
def test_package_source_is_clean(tmp_path, checker):
    _, errors, output = CHECKERS[checker](tmp_path, str(ROOT / "kvstore"))
    assert errors == {}, output


def test_build_installs_the_package_typed():
    import kvstore

    installed = pathlib.Path(_kvstore.__file__).parent / "kvstore"
    assert (installed / "py.typed").exists()
    for source in (ROOT / "kvstore").glob("*.py"):
        assert (installed / source.name).read_text() == source.read_text(), f"{source.name} is stale: rebuild"
    assert pathlib.Path(kvstore.__file__).parent in (installed, ROOT / "kvstore")
