"""The code blocks of the documentation pages and the README, read as the
tests run them: Python sessions (```pycon) and shell sessions (```console)
run with their output checked; commands to type (```sh) and text shown as
it is (```text) are not run."""

import doctest
import re

from support.paths import ROOT
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

RUN = {"pycon", "console"}
SHOWN = {"sh", "text"}

FENCE = re.compile(r"^```(\S*)[^\n]*\n(.*?)^```$", re.S | re.M)


def blocks(page, language=None):
    """(language, line number, text) of each fenced block of page; MyST
    directives ({toctree}, {include}, ...) are not code."""
    text = page.read_text()
    found = [(match.group(1), text.count("\n", 0, match.start()) + 1, match.group(2))
             for match in FENCE.finditer(text) if not match.group(1).startswith("{")]
    return [block for block in found if language is None or block[0] == language]


def sessions(page):
    """page's Python sessions as doctests, in order, sharing one namespace."""
    parser = doctest.DocTestParser()
    namespace = {"__name__": "__main__"}
    tests = [parser.get_doctest(text, {}, f"{page.name}:{line}", str(page), line)
             for _, line, text in blocks(page, "pycon")]
    for test in tests:
        test.globs = namespace  # a DocTest keeps a copy of the one it is given
    return tests


def program(page):
    """page's Python sessions as one program, as a user would type them into
    a file: the prompts and the printed output left out."""
    return "".join(example.source for test in sessions(page) for example in test.examples)


def shell_session(text):
    """(command, expected output) for each "$ " line of a console block."""
    steps = []
    for line in text.splitlines(keepends=True):
        if line.startswith("$ "):
            steps.append([line[2:], ""])
        else:
            steps[-1][1] += line
    return steps
