"""GNU dbm database files as Python mutable mappings from bytes to bytes.

``kvstore.open`` returns a ``Database``: a ``MutableMapping[bytes, bytes]``
that streams its keys one at a time, waits for another opener's lock when
asked to, and dumps to and loads from gdbm's portable dump files.
``kvstore.Shared`` is a file that many processes use at once, each operation
in a turn of its own. The low-level ``_kvstore`` object stays reachable as
``Database.raw``.
"""

from typing import TYPE_CHECKING

from _kvstore import error, latest_snapshot

from ._database import Database, RecoveryReport
from ._open import load, open
from ._shared import Shared

__all__ = ["Database", "RecoveryReport", "Shared", "error", "latest_snapshot", "load", "open"]


# The version, whose one source is meson.build, is read from the installed
# metadata when first asked for: importing kvstore stays as quick as it was.
__version__: str


if not TYPE_CHECKING:

    def __getattr__(name):
        if name == "__version__":
            from importlib.metadata import version

            globals()["__version__"] = version("kvstore-gdbm")
            return globals()["__version__"]
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    # What a user reaches: the public names and the module's dunders, with
    # __version__ before it is first read; not what the module imports for
    # its own use.
    return sorted({*__all__, "__version__", *(name for name in globals() if name.startswith("__"))})
