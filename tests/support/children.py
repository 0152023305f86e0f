"""Running a child program (support/programs/) in a child interpreter, for
the cases where a crash, a kill, a fork or a process limit must not touch
the test runner."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

from support.paths import SHIMS


def program_command(program, *args):
    """The command that runs the child program `program` (a module of
    support.programs) with `args`: found through PYTHONPATH, which
    conftest.py points at tests/."""
    return [sys.executable, "-m", f"support.programs.{program}", *map(str, args)]


def run_json(program, *args, env=None, timeout=120):
    """Runs the child program `program` with `args`; returns what it printed
    as JSON on its last line."""
    result = subprocess.run(program_command(program, *args), capture_output=True, text=True,
                            env=env, timeout=timeout)
    assert result.returncode == 0, f"child failed ({result.returncode}):\n{result.stderr}"
    return json.loads(result.stdout.splitlines()[-1])


def build_flush_shim(folder):
    """Compiles tests/support/shims/flush_shim.c into a shared object in `folder`."""
    return build_shim(folder, "flush_shim")


def build_shim(folder, name):
    """Compiles tests/support/shims/`name`.c into a shared object in `folder`."""
    compiler = shutil.which("cc") or shutil.which("c++")
    if compiler is None:
        # As where the module runs from a wheel, on a machine without a compiler.
        import pytest  # only where a test skips: programs import this module too

        pytest.skip(f"no C compiler (cc or c++) to build tests/support/shims/{name}.c with")
    shim = Path(folder) / f"{name}.so"
    subprocess.run(
        [compiler, "-x", "c", "-shared", "-fPIC", "-O1", "-o", str(shim),
         str(SHIMS / f"{name}.c"), "-ldl"],
        check=True,
    )
    return shim


def preload_env(shim):
    """The environment with `shim` preloaded after whatever is preloaded
    already (a sanitizer's runtime must stay first). Colons separate the
    entries: under valgrind the list starts with valgrind's own libraries,
    and valgrind removes them for a child it does not trace entry by entry,
    colon to colon, so a space-separated shim would go with them."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = ":".join(filter(None, [env.get("LD_PRELOAD"), str(shim)]))
    return env
