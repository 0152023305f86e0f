"""The installed distribution's metadata and files, as pip and tools see them."""

import importlib.metadata
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

import pytest
from packaging.specifiers import SpecifierSet

from support.foundation_gdbm import loaded_library_path

from support.paths import ROOT
DISTRIBUTION = "kvstore-gdbm"
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


@pytest.fixture(scope="module")
def metadata():
    return importlib.metadata.metadata(DISTRIBUTION)


def installed_files():
    return {str(path) for path in importlib.metadata.files(DISTRIBUTION)}


def bundles_gdbm():
    """Whether this install is a wheel that carries its own libgdbm."""
    return any(re.search(r"\.libs/libgdbm-", name) for name in installed_files())


def test_version_comes_from_meson_build(metadata):
    project = re.search(r"project\((.*?)\)", (ROOT / "meson.build").read_text(), re.S).group(1)
    version = re.search(r"version\s*:\s*'([^']+)'", project).group(1)
    assert metadata["Version"] == version
    assert "version" not in PROJECT and "version" in PROJECT["dynamic"]
    # The package reads the same one back, in a fresh interpreter as a user would.
    child = subprocess.run([sys.executable, "-P", "-c", "import kvstore; print(kvstore.__version__)"],
                           capture_output=True, text=True, check=True)
    assert child.stdout.strip() == version


def test_names_follow_the_distribution(metadata):
    assert PROJECT["name"] == DISTRIBUTION
    project = re.search(r"project\(\s*'([^']+)'", (ROOT / "meson.build").read_text()).group(1)
    assert project == DISTRIBUTION
    # What the README and the Installing page tell to install is this
    # distribution, by its name or as its sdist or wheel; the README names it.
    files = DISTRIBUTION.replace("-", "_") + "-" + metadata["Version"]
    for page in ("README.md", "docs/installing.md"):
        installed = re.findall(r"pip install ([^\s`]+)", (ROOT / page).read_text())
        assert DISTRIBUTION in installed, page
        assert all(name == DISTRIBUTION or name.split("/")[-1].startswith(files) for name in installed), installed


def test_metadata_is_complete(metadata):
    assert metadata["Name"] == DISTRIBUTION
    assert metadata["Summary"]
    expected_licence = "MIT AND GPL-3.0-or-later" if bundles_gdbm() else "MIT"
    assert metadata["License-Expression"] == expected_licence
    urls = dict(line.split(", ", 1) for line in metadata.get_all("Project-URL"))
    assert urls == PROJECT["urls"]
    assert metadata["Description-Content-Type"] == "text/markdown"
    # The README is the description: the body after the headers.
    body = importlib.metadata.distribution(DISTRIBUTION).read_text("METADATA").split("\n\n", 1)[1]
    assert "make demo" in body


def test_running_interpreter_is_in_the_stated_range(metadata):
    running = "%d.%d" % sys.version_info[:2]
    assert SpecifierSet(metadata["Requires-Python"]) == SpecifierSet(PROJECT["requires-python"])
    assert SpecifierSet(metadata["Requires-Python"]).contains(running)
    stated = {c.rsplit(" :: ", 1)[1] for c in metadata.get_all("Classifier")
              if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)}
    assert running in stated
    # Every version named is one the range admits: the two never disagree.
    assert all(SpecifierSet(metadata["Requires-Python"]).contains(v) for v in stated)


def test_wheel_installs_module_stubs_and_licence():
    files = installed_files()
    module = "_kvstore" + sysconfig.get_config_var("EXT_SUFFIX")
    assert {module, "_kvstore.pyi", "_kvstore-stubs/__init__.pyi"} <= files
    assert {"kvstore/__init__.py", "kvstore/_database.py", "kvstore/_open.py", "kvstore/py.typed"} <= files
    assert any(name.endswith("licenses/LICENSE") for name in files)


@pytest.mark.skipif(not bundles_gdbm(), reason="built against the machine's own gdbm, none bundled")
def test_bundled_gdbm_is_loaded_and_its_licence_shipped():
    library = pathlib.Path(loaded_library_path())
    # Relative to where the distribution is installed: site-packages, or the
    # folder that pip install --target filled.
    base = pathlib.Path(str(importlib.metadata.distribution(DISTRIBUTION).locate_file("")))
    assert str(library.relative_to(base)) in installed_files()
    licences = [name for name in installed_files() if "/licenses/gdbm/" in name]
    texts = [importlib.metadata.distribution(DISTRIBUTION).locate_file(name).read_text() for name in licences]
    assert any("GNU GENERAL PUBLIC LICENSE" in text and "Version 3" in text for text in texts)


def gdbm_files():
    """The gdbm.h that the compiler includes and the libgdbm this process runs."""
    compiler = os.environ.get("CXX", "c++")
    if shutil.which(compiler) is None:
        pytest.skip(f"no C++ compiler ({compiler}) to build with")
    if bundles_gdbm():
        pytest.skip("runs from a wheel that bundles gdbm, not from the machine's own")
    try:
        import mesonpy  # noqa: F401
    except ImportError:
        pytest.skip("meson-python is not installed")
    run = subprocess.run([compiler, "-M", "-x", "c++", "-"], input="#include <gdbm.h>\n",
                         capture_output=True, text=True)
    if run.returncode != 0:
        pytest.skip("gdbm.h is not installed (gdbm's development package)")
    header = next(word for word in run.stdout.split() if word.endswith("/gdbm.h"))
    return pathlib.Path(header), pathlib.Path(loaded_library_path())


def test_gdbm_under_a_prefix_is_built_against_and_loaded_through_rpath(tmp_path):
    header, library = gdbm_files()
    prefix = tmp_path / "prefix"
    (prefix / "include").mkdir(parents=True)
    (prefix / "lib").mkdir()
    shutil.copy(header, prefix / "include")
    shutil.copy(library, prefix / "lib")
    # The names the linker and the loader ask for: libgdbm.so, libgdbm.so.6, ...
    stem, numbers = library.name.split(".so", 1)
    parts = numbers.split(".")[1:]
    for count in range(len(parts)):
        (prefix / "lib" / ".".join([stem + ".so", *parts[:count]])).symlink_to(library.name)
    env = dict(os.environ, GDBM_PREFIX=str(prefix),
               PATH=os.pathsep.join([sysconfig.get_path("scripts"), os.environ["PATH"]]))
    build = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
         "-w", str(tmp_path / "dist"), "-Csetup-args=-Dbuildtype=plain",
         f"-Cbuild-dir={tmp_path / 'build'}", str(ROOT)],
        env=env, capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    [wheel] = (tmp_path / "dist").glob("*.whl")
    zipfile.ZipFile(wheel).extractall(tmp_path / "site")

    child = subprocess.run(
        [sys.executable, "-c", "import _kvstore; from support import foundation_gdbm; "
         "print(_kvstore.__file__); print(foundation_gdbm.loaded_library_path())"],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path / "site"), str(ROOT / "tests")])),
        cwd=tmp_path, capture_output=True, text=True)
    assert child.returncode == 0, child.stderr
    module, loaded = child.stdout.split()
    assert pathlib.Path(module).parent == tmp_path / "site"
    assert pathlib.Path(loaded).parent == prefix / "lib"


# Empty stand-ins for what `make build` depends on.
MAKE_TREE = ["scripts/setup.sh", "requirements-dev.txt", "module/open.cpp", "module/errors.h",
             "kvstore/__init__.py", "kvstore/_open.py", "kvstore/py.typed",
             "meson.build", "meson.options", "pyproject.toml", "_kvstore.pyi"]


@pytest.mark.skipif(shutil.which("make") is None, reason="no make")
@pytest.mark.parametrize(
    "changed, rebuilds",
    [(f"kvstore/__pycache__/_open.{sys.implementation.cache_tag}.pyc", False),
     ("kvstore/_open.py", True), ("kvstore/py.typed", True), ("module/open.cpp", True)],
    ids=["bytecode", "package", "py.typed", "module"],
)
def test_make_rebuilds_for_a_changed_source_only(tmp_path, changed, rebuilds):
    # The Makefile in a tree where the build is up to date, then one file
    # newer than it: running the package (make demo) writes bytecode.
    shutil.copy(ROOT / "Makefile", tmp_path)
    for when, names in ((1_000_000, MAKE_TREE), (2_000_000, [".venv/.ready"]), (3_000_000, [".venv/.built"])):
        for name in names:
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / name).touch()
            os.utime(tmp_path / name, (when, when))
    (tmp_path / changed).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / changed).touch()
    env = {name: value for name, value in os.environ.items() if name not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    plan = subprocess.run(["make", "-n", "build", "VENV=.venv"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, check=True)
    assert ("pip install" in plan.stdout) == rebuilds, plan.stdout
