"""What the command line reads and writes: the standard streams, each failure
as one line on standard error, data shown as text, and the progress bar."""

from __future__ import annotations

import builtins
import codecs
import os
import sys
import time
from contextlib import contextmanager
from typing import TYPE_CHECKING, BinaryIO, TextIO, final

if TYPE_CHECKING:
    from collections.abc import Generator

PROG = "python -m kvstore"
# "-" for a dump or items file: standard output or standard input.
STANDARD_STREAM = "-"
CHUNK = 1 << 16


def show(data: bytes, hex: bool = False, encoding: str = "utf-8") -> str:
    """data as one line of text: the UTF-8 text where it decodes to printable
    characters that encoding can write, else the escape form of a Python
    bytes literal (ASCII)."""
    if hex:
        return data.hex()
    try:
        text = data.decode()
    except UnicodeDecodeError:
        pass
    else:
        if text.isprintable() and "\\" not in text and _writable(text, encoding):
            return text
    return repr(data)[2:-1]


def _writable(text: str, encoding: str) -> bool:
    if encoding == "utf-8":
        return True
    try:
        _ = text.encode(encoding)
    except UnicodeEncodeError:
        return False
    return True


class UsageError(Exception):
    """A command-line argument that cannot be used: exit status 2."""


class DatabaseError(Exception):
    """A database, a file or a stream that cannot do what was asked: exit
    status 1, with this one line on standard error."""


@final
class Output:
    """Standard output, written as bytes. A failure to write raises
    DatabaseError; a reader that went away stays BrokenPipeError. Made before
    the database is opened, so that a command whose output cannot go anywhere
    touches nothing."""

    def __init__(self) -> None:
        if sys.stdout is None:
            raise DatabaseError("cannot write to standard output: it is closed")
        self._stream: BinaryIO = sys.stdout.buffer
        self.encoding: str = codecs.lookup(sys.stdout.encoding).name

    def write(self, data: bytes) -> None:
        with _writing():
            _ = self._stream.write(data)

    def line(self, text: str) -> None:
        """text and a new line, in standard output's encoding; a character
        that it cannot write (only in a file name) as a backslash escape."""
        self.write(text.encode(self.encoding, "backslashreplace") + b"\n")

    def show(self, data: bytes, hex: bool = False) -> str:
        return show(data, hex, self.encoding)


@contextmanager
def _writing() -> Generator[None]:
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as failed:
        raise DatabaseError(f"cannot write to standard output: {failed.strerror or failed}") from None


def flush_output() -> None:
    if sys.stdout is not None:
        with _writing():
            _ = sys.stdout.flush()


def silence_output() -> None:
    """Sends what is left unwritten to /dev/null: standard output's reader
    went away or failed, or the user gave up. The interpreter's last flush at
    exit then has nothing to complain about."""
    if sys.stdout is None:
        return  # descriptor 1 may be another file (the database) now
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        _ = os.dup2(null, sys.stdout.fileno())
    finally:
        os.close(null)


def say(message: str) -> None:
    """message on standard error, on one line, whatever its encoding."""
    stream = sys.stderr
    if stream is None:
        return
    encoding = stream.encoding or "utf-8"
    line = message.encode(encoding, "backslashreplace").decode(encoding)
    try:
        _ = stream.write(f"{PROG}: {line}\n")
        _ = stream.flush()
    except OSError:
        pass


@contextmanager
def open_input(name: str) -> Generator[BinaryIO]:
    """The file name, or standard input for "-", open for reading bytes."""
    if name != STANDARD_STREAM:
        with builtins.open(name, "rb") as file:
            yield file
    elif sys.stdin is None:
        raise DatabaseError("cannot read standard input: it is closed")
    else:
        yield sys.stdin.buffer


@contextmanager
def stream_in_a_file(name: str) -> Generator[str]:
    """The path of name's contents: name itself, or for "-" a temporary
    file holding what standard input gives, removed afterwards."""
    if name != STANDARD_STREAM:
        yield name
        return
    import tempfile  # here: the commands that need no temporary file do not load it

    with tempfile.TemporaryDirectory(prefix="kvstore-") as folder:
        path = os.path.join(folder, "standard-input")
        with open_input(name) as source, builtins.open(path, "wb") as copy:
            while chunk := source.read(CHUNK):
                _ = copy.write(chunk)
        yield path


@final
class ProgressBar:
    """A one-line bar on a terminal, redrawn at most ten times a second."""

    WIDTH: int = 30
    INTERVAL: float = 0.1

    def __init__(self, label: str, stream: TextIO) -> None:
        self._label: str = label
        self._stream: TextIO = stream
        self._drawn: float = 0.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if done < total and now - self._drawn < self.INTERVAL:
            return
        self._drawn = now
        share = done / total if total else 1.0
        filled = round(share * self.WIDTH)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        _ = self._stream.write(f"\r{self._label} [{bar}] {share:4.0%} {done}/{total}")
        self._stream.flush()

    def end(self) -> None:
        """Moves past the bar's line, when one was drawn."""
        if self._drawn:
            _ = self._stream.write("\n")
            self._stream.flush()
            self._drawn = 0.0
