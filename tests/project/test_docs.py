"""The documentation cannot drift from the code: every example of docs/ and
the README runs with what it prints checked, and the API pages show every
public callable of kvstore and _kvstore with its signature and docstring."""

import ast
import doctest
import inspect
import os
import re
import subprocess
import sys

import pytest

import kvstore
from support.docs_examples import PAGES, ROOT, RUN, SHOWN, blocks, sessions, shell_session
from test_signatures import (DATABASE_TYPE, MODULE_FUNCTIONS, declared, instance_methods,
                             public, signature_of)

FLAGS = doctest.ELLIPSIS


def page_param(page):
    return pytest.param(page, id=str(page.relative_to(ROOT)))


@pytest.mark.parametrize("page", [page_param(page) for page in PAGES])
def test_every_code_block_is_run_or_only_shown(page):
    # A Python example is a session, so that what it prints is checked; a
    # block of another language would be neither run nor meant as text.
    others = [(language, line) for language, line, _ in blocks(page) if language not in RUN | SHOWN]
    assert others == [], f"{page.name}: blocks that are neither run nor shown as text"


@pytest.mark.parametrize("page", [page_param(page) for page in PAGES if blocks(page, "pycon")])
def test_python_sessions_print_what_is_shown(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    report = []
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    for test in sessions(page):
        runner.run(test, out=report.append, clear_globs=False)
    assert runner.failures == 0, "".join(report)


def run_shell(command, folder):
    # python is this interpreter, as in a shell with the virtual environment
    # active; standard error shows beside standard output, as on a terminal;
    # sort orders by bytes.
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]]),
               COLUMNS="80", LC_ALL="C.UTF-8")
    env.pop("PYTHONPATH", None)
    done = subprocess.run(["bash", "-c", command], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
    return done.stdout


@pytest.mark.parametrize("page", [page_param(page) for page in PAGES if blocks(page, "console")])
def test_shell_sessions_print_what_is_shown(page, tmp_path):
    checker = doctest.OutputChecker()
    wrong = []
    for _, line, text in blocks(page, "console"):
        for command, expected in shell_session(text):
            got = run_shell(command, tmp_path)
            if not checker.check_output(expected, got, FLAGS):
                wrong.append(f"{page.name}:{line}: $ {command}expected:\n{expected}got:\n{got}")
    assert wrong == [], "\n".join(wrong)


# ---- the API pages -----------------------------------------------------------

@pytest.fixture(scope="module")
def api_text(tmp_path_factory):
    """The API pages as Sphinx renders them, in plain text."""
    out = tmp_path_factory.mktemp("docs")
    build = subprocess.run([sys.executable, "-m", "sphinx", "-b", "text", "-E", "-q", str(ROOT / "docs"), str(out)],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    return {page: (out / f"{page}.txt").read_text() for page in ("api-kvstore", "api-module")}


def shown_signature(text, prefix, name, within=None):
    """The signature that a page shows for prefix + name, or for a method
    name, indented under its class `within`; read as test_signatures reads one."""
    if within is not None:
        text = re.split(r"^class ", text.split(f"\nclass {within}(", 1)[1], flags=re.M)[0]
    start = rf"^{re.escape(prefix)}" if prefix else "^ +"
    found = re.findall(rf"{start}{name}(\(.*\))(?: -> .*)?$", text, re.M)
    assert len(found) == 1, f"{prefix}{name}: {len(found)} signatures shown"
    # A default that a call may leave out reads "[, default]", as on dict.pop's
    # page, whose arguments are positional.
    source = found[0].replace("<unrepresentable>", "...")
    if "[" in source:
        source = re.sub(r"\[, (\w+)\]\)", r", \1=..., /)", source)
    return declared(ast.parse(f"def f{source}: pass").body[0].args, method=False)


def squeezed(text):
    return " ".join(text.split())


def public_methods(cls):
    return {name: getattr(cls, name) for name in dir(cls)
            if not name.startswith("_") and callable(getattr(cls, name))}


API_CALLABLES = [
    *(pytest.param("api-module", "_kvstore.", name, function, False, None, id=f"_kvstore.{name}")
      for name, function in MODULE_FUNCTIONS.items()),
    *(pytest.param("api-module", "", name, function, True, None, id=f"gdbm.{name}")
      for name, function in public(instance_methods(DATABASE_TYPE)).items()),
    *(pytest.param("api-kvstore", "kvstore.", name, getattr(kvstore, name), False, None, id=f"kvstore.{name}")
      for name in kvstore.__all__ if callable(getattr(kvstore, name)) and not isinstance(getattr(kvstore, name), type)),
    # The package's classes share method names: each is looked for under its class.
    *(pytest.param("api-kvstore", "", name, function, True, f"kvstore.{cls.__name__}", id=f"{cls.__name__}.{name}")
      for cls in (kvstore.Database, kvstore.Shared) for name, function in public_methods(cls).items()),
]


@pytest.mark.parametrize("page, prefix, name, function, method, within", API_CALLABLES)
def test_api_pages_show_every_callable_with_its_signature_and_docstring(api_text, page, prefix, name,
                                                                         function, method, within):
    text = api_text[page]
    assert str(shown_signature(text, prefix, name, within)) == str(signature_of(function, method))
    # A method without a docstring of its own shows its base class's, as
    # autodoc and help() do.
    docstring = inspect.getdoc(function)
    assert docstring, f"{name} has no docstring to show"
    assert squeezed(docstring.split("\n\n")[0]) in squeezed(text)
