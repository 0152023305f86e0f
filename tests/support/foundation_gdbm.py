"""What the installed gdbm says about itself, asked outside the module under test."""

import ctypes
import os
import re
import shlex
import shutil
import subprocess


def preprocessed_header(*options):
    """gdbm.h as the C++ compiler preprocesses it with `options` (-dM: its
    macros).

    Skips the calling test (or the file, when called at import) where no
    compiler or no gdbm.h is installed, as on a machine that runs the module
    from a wheel that bundles gdbm.
    """
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    if shutil.which(compiler[0]) is None:
        import pytest  # only where a test skips: programs import this module too

        pytest.skip(f"no C++ compiler ({compiler[0]}) to read gdbm.h with", allow_module_level=True)
    run = subprocess.run(
        [*compiler, "-E", *options, "-x", "c++", "-"],
        input="#include <gdbm.h>\n",
        capture_output=True,
        text=True,
    )
    if run.returncode != 0:
        import pytest

        pytest.skip("gdbm.h is not installed (gdbm's development package)", allow_module_level=True)
    return run.stdout


def header_version():
    """(major, minor, patch) from the gdbm.h that the C++ compiler finds."""
    macros = preprocessed_header("-dM")
    found = dict(re.findall(r"^#define GDBM_VERSION_(MAJOR|MINOR|PATCH) (\d+)$", macros, re.M))
    return tuple(int(found[part]) for part in ("MAJOR", "MINOR", "PATCH"))


def loaded_library_path():
    """The file of the libgdbm that this process has mapped."""
    with open("/proc/self/maps") as maps:
        # A wheel carries the library renamed with a hash: libgdbm-1a2b3c4d.so.6.
        paths = {line.split()[-1] for line in maps if re.search(r"/libgdbm(-[0-9a-f]+)?\.so", line)}
    assert len(paths) == 1, paths
    return paths.pop()


def loaded_library():
    """The libgdbm that this process has mapped, the one the module calls into."""
    library = ctypes.CDLL(loaded_library_path())
    library.gdbm_errno_location.restype = ctypes.POINTER(ctypes.c_int)
    library.gdbm_strerror.restype = ctypes.c_char_p
    library.gdbm_strerror.argtypes = [ctypes.c_int]
    return library


def current_library_message():
    """The library's message for the error number it holds for this thread."""
    library = loaded_library()
    code = library.gdbm_errno_location().contents.value
    return os.fsdecode(library.gdbm_strerror(code))
