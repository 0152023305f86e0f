"""GNU dbm database files as Python mutable mappings from bytes to bytes.

``kvstore.open`` returns a ``Database``: a ``MutableMapping[bytes, bytes]``
that streams its keys one at a time, waits for another opener's lock when
asked to, and dumps to and loads from gdbm's portable dump files. The
low-level ``_kvstore`` object stays reachable as ``Database.raw``.
"""

from _kvstore import error, latest_snapshot

from ._database import Database
from ._open import load, open

__all__ = ["Database", "error", "latest_snapshot", "load", "open"]
