"""What the installed gdbm says about itself, asked outside the module under test."""

import ctypes
import os
import re
import shlex
import subprocess


def header_version():
    """(major, minor, patch) from the gdbm.h that the C++ compiler finds."""
    compiler = shlex.split(os.environ.get("CXX", "c++"))
    macros = subprocess.run(
        [*compiler, "-E", "-dM", "-x", "c++", "-"],
        input="#include <gdbm.h>\n",
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    found = dict(re.findall(r"^#define GDBM_VERSION_(MAJOR|MINOR|PATCH) (\d+)$", macros, re.M))
    return tuple(int(found[part]) for part in ("MAJOR", "MINOR", "PATCH"))


def loaded_library():
    """The libgdbm that this process has mapped, the one the module calls into."""
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if "/libgdbm.so" in line}
    assert len(paths) == 1, paths
    library = ctypes.CDLL(paths.pop())
    library.gdbm_errno_location.restype = ctypes.POINTER(ctypes.c_int)
    library.gdbm_strerror.restype = ctypes.c_char_p
    library.gdbm_strerror.argtypes = [ctypes.c_int]
    return library


def current_library_message():
    """The library's message for the error number it holds for this thread."""
    library = loaded_library()
    code = library.gdbm_errno_location().contents.value
    return os.fsdecode(library.gdbm_strerror(code))
