"""The documentation cannot drift from the code: every example of docs/ and
the README runs with what it prints checked, and the API pages show every
public callable of kvstore and _kvstore with its signature and docstring."""

import doctest
import os
import subprocess
import sys

import pytest

from docs_examples import PAGES, ROOT, RUN, SHOWN, blocks, sessions, shell_session

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
