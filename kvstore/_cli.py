"""python -m kvstore: look into and look after a gdbm database file from the shell."""

from __future__ import annotations

import argparse
import builtins
import os
import sys
import time
from typing import TYPE_CHECKING, Literal, NoReturn, TextIO, cast, final

import _kvstore

from ._open import open

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from ._database import Database

PROG = "python -m kvstore"
# Exit statuses.
DATABASE_ERROR = 1
USAGE_ERROR = 2

# The file header starts with the magic number and the block size, two C
# ints in the byte order of the machine that wrote it.
_BLOCK_SIZE_FIELD = slice(4, 8)


def show(data: bytes, hex: bool = False) -> str:
    """data as one line of text: the UTF-8 text where it decodes to printable
    characters, else the escape form of a Python bytes literal."""
    if hex:
        return data.hex()
    try:
        text = data.decode()
    except UnicodeDecodeError:
        pass
    else:
        if text.isprintable() and "\\" not in text:
            return text
    return repr(data)[2:-1]


class UsageError(Exception):
    """A command-line argument that cannot be used: exit status 2."""


class DatabaseError(Exception):
    """A database that cannot do what was asked: exit status 1."""


def _data(text: str, hex: bool) -> bytes:
    """A key or value from the command line: UTF-8 text, or hexadecimal."""
    if not hex:
        return os.fsencode(text)
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise UsageError(f"not hexadecimal: {text!r}") from None


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


@final
class Options(argparse.Namespace):
    """The parsed command line; each command reads the fields it defines."""

    command: str = ""
    file: str = ""
    timeout: float = 0.0
    key: str = ""
    value: str = ""
    hex: bool = False
    raw: bool = False
    dump_file: str = ""
    format: Literal["ascii", "binary"] = "ascii"
    replace: bool = False
    backup: bool = False
    force: bool = False


@final
class Command:
    """A command being run: its options, and the progress bar it drew on
    standard error, which is drawn only when that is a terminal."""

    def __init__(self, options: Options) -> None:
        self.options: Options = options
        self.bar: ProgressBar | None = None

    def progress(self, label: str) -> ProgressBar | None:
        if not sys.stderr.isatty():
            return None
        self.bar = ProgressBar(label, sys.stderr)
        return self.bar

    def end_bar(self) -> None:
        if self.bar is not None:
            self.bar.end()

    def open(self, flag: str) -> Database:
        return open(self.options.file, flag, timeout=self.options.timeout)


def _info(command: Command) -> None:
    name = command.options.file
    with command.open("r") as db:
        records = len(db)
        with builtins.open(name, "rb") as header:
            block_size = int.from_bytes(header.read(8)[_BLOCK_SIZE_FIELD], sys.byteorder)
        size = os.path.getsize(name)
    version = ".".join(map(str, _kvstore._KVSTORE_VERSION))  # pyright: ignore[reportPrivateUsage]
    print(f"file:         {os.path.abspath(name)}")
    print(f"records:      {records}")
    print(f"file size:    {size} bytes")
    print(f"block size:   {block_size} bytes")
    print(f"gdbm version: {version}")


def _get(command: Command) -> None:
    options = command.options
    with command.open("r") as db:
        value = db.get(_data(options.key, options.hex))
    if value is None:
        raise DatabaseError(f"no such key: {options.key}")
    if options.raw:
        _ = sys.stdout.flush()
        _ = sys.stdout.buffer.write(value)
    else:
        print(show(value, options.hex))


def _set(command: Command) -> None:
    options = command.options
    key, value = _data(options.key, options.hex), _data(options.value, options.hex)
    with command.open("c") as db:
        db[key] = value


def _delete(command: Command) -> None:
    options = command.options
    key = _data(options.key, options.hex)
    with command.open("w") as db:
        try:
            del db[key]
        except KeyError:
            raise DatabaseError(f"no such key: {options.key}") from None


def _keys(command: Command) -> None:
    with command.open("r") as db:
        for key in db:
            print(show(key, command.options.hex))


def _dump(command: Command) -> None:
    options = command.options
    with command.open("r") as db:
        db.dump(options.dump_file, options.format, progress=command.progress("dump"))


def _load(command: Command) -> None:
    options = command.options
    if not os.path.exists(options.dump_file):
        raise DatabaseError(f"no such dump file: {options.dump_file}")
    with command.open("c") as db:
        db.load(options.dump_file, options.replace, progress=command.progress("load"))


def _recover(command: Command) -> None:
    options = command.options
    with command.open("w") as db:
        report = db.recover(backup=options.backup, force=options.force,
                            progress=command.progress("recover"))
    command.end_bar()
    for field, value in report.items():
        print(f"{field}: {value}")


def _reorganize(command: Command) -> None:
    with command.open("w") as db:
        db.reorganize(progress=command.progress("reorganize"))


COMMANDS: dict[str, Callable[[Command], None]] = {
    "info": _info,
    "get": _get,
    "set": _set,
    "delete": _delete,
    "keys": _keys,
    "dump": _dump,
    "load": _load,
    "recover": _recover,
    "reorganize": _reorganize,
}


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG,
        description="Look into and look after a gdbm database file.",
        epilog=(
            "Keys and values are UTF-8 text, or hexadecimal with --hex. Output shows "
            + "them as text where they decode, else as Python bytes escapes (\\xff). "
            + "Exit status: 0 on success, 1 on a database error, 2 on a usage error."
        ),
    )
    _ = top.add_argument("--timeout", type=float, default=0.0, metavar="SECONDS",
                         help="wait up to SECONDS for another opener's lock (default: 0)")
    commands = top.add_subparsers(dest="command", required=True, metavar="command")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        _ = sub.add_argument("file", help="the database file")
        return sub

    def hex_option(sub: argparse.ArgumentParser, what: str) -> None:
        _ = sub.add_argument("--hex", action="store_true", help=f"{what} in hexadecimal")

    _ = command("info", "show the record count, file size, block size and gdbm version")
    sub = command("get", "print the value stored under a key")
    _ = sub.add_argument("key")
    hex_option(sub, "the key and the value")
    _ = sub.add_argument("--raw", action="store_true", help="write the value's bytes as they are")
    sub = command("set", "store a value under a key (the file is created when missing)")
    _ = sub.add_argument("key")
    _ = sub.add_argument("value")
    hex_option(sub, "the key and the value")
    sub = command("delete", "delete a key")
    _ = sub.add_argument("key")
    hex_option(sub, "the key")
    sub = command("keys", "list the keys, one a line")
    hex_option(sub, "the keys")
    sub = command("dump", "write every record to a dump file that gdbm's tools read")
    _ = sub.add_argument("dump_file", metavar="dump-file")
    _ = sub.add_argument("--format", choices=("ascii", "binary"), default="ascii",
                         help="the dump format (default: ascii)")
    sub = command("load", "store the records of a dump file (the file is created when missing)")
    _ = sub.add_argument("dump_file", metavar="dump-file")
    _ = sub.add_argument("--replace", action="store_true", help="replace keys already stored")
    sub = command("recover", "rebuild a damaged file from what can still be read")
    _ = sub.add_argument("--backup", action="store_true",
                         help="keep the file as it was beside it")
    _ = sub.add_argument("--force", action="store_true",
                         help="rebuild even when no damage is found")
    _ = command("reorganize", "rewrite the file to give back the space of deleted records")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    top = parser()
    options = top.parse_args(argv, namespace=Options())
    if not options.timeout >= 0:
        top.error(f"--timeout must be 0 or more, not {options.timeout}")
    command = Command(options)
    try:
        COMMANDS[options.command](command)
    except UsageError as refused:
        top.error(str(refused))
    except (_kvstore.error, DatabaseError) as failed:
        command.end_bar()
        print(f"{PROG}: error: {_describe(failed)}", file=sys.stderr)
        return DATABASE_ERROR
    except BrokenPipeError:
        # The reader went away (keys | head): what is left unprinted goes
        # nowhere, quietly, as with the shell's own tools.
        _ = os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return DATABASE_ERROR
    finally:
        command.end_bar()
    return 0


def _describe(failed: Exception) -> str:
    """One line: the system's words and the file name for a system error."""
    if isinstance(failed, OSError) and failed.strerror:
        name = cast("str | bytes | None", failed.filename)
        where = f": {os.fsdecode(name)}" if name is not None else ""
        return f"{failed.strerror}{where}"
    return str(failed)


def run() -> NoReturn:
    sys.exit(main())
