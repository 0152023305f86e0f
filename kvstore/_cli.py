"""python -m kvstore: look into and look after a gdbm database file from the shell."""

from __future__ import annotations

import argparse
import builtins
import os
import sys
import time
from typing import TYPE_CHECKING, NoReturn, TextIO

import _kvstore

from ._open import load, open

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from ._database import Database

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


def _data(text: str, hex: bool) -> bytes:
    """A key or value from the command line: UTF-8 text, or hexadecimal."""
    if not hex:
        return os.fsencode(text)
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise _UsageError(f"not hexadecimal: {text!r}") from None


class _UsageError(Exception):
    """A command-line argument that cannot be used: exit status 2."""


class _DatabaseError(Exception):
    """A database that cannot do what was asked: exit status 1."""


class ProgressBar:
    """A one-line bar on a terminal, redrawn at most ten times a second."""

    WIDTH = 30
    INTERVAL = 0.1

    def __init__(self, label: str, stream: TextIO) -> None:
        self._label = label
        self._stream = stream
        self._drawn = 0.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if done < total and now - self._drawn < self.INTERVAL:
            return
        self._drawn = now
        share = done / total if total else 1.0
        filled = round(share * self.WIDTH)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self._stream.write(f"\r{self._label} [{bar}] {share:4.0%} {done}/{total}")
        self._stream.flush()

    def end(self) -> None:
        if self._drawn:
            self._stream.write("\n")
            self._stream.flush()


class _Command:
    """What a subcommand needs: its arguments and a progress callable that
    draws a bar when standard error is a terminal."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.bar: ProgressBar | None = None

    def progress(self, label: str) -> Callable[[int, int], None] | None:
        if not sys.stderr.isatty():
            return None
        self.bar = ProgressBar(label, sys.stderr)
        return self.bar

    def open(self, flag: str) -> Database:
        return open(self.args.file, flag, timeout=self.args.timeout)


def _info(command: _Command) -> None:
    name = command.args.file
    with command.open("r") as db:
        records = len(db)
        with builtins.open(name, "rb") as header:
            block_size = int.from_bytes(header.read(8)[_BLOCK_SIZE_FIELD], sys.byteorder)
        size = os.path.getsize(name)
    version = ".".join(map(str, _kvstore._KVSTORE_VERSION))  # pyright: ignore[reportPrivateUsage]
    print(f"file:       {os.path.abspath(name)}")
    print(f"records:    {records}")
    print(f"file size:  {size} bytes")
    print(f"block size: {block_size} bytes")
    print(f"gdbm:       {version}")


def _get(command: _Command) -> None:
    args = command.args
    with command.open("r") as db:
        value = db.get(_data(args.key, args.hex))
    if value is None:
        raise _DatabaseError(f"no such key: {args.key}")
    if args.raw:
        sys.stdout.flush()
        sys.stdout.buffer.write(value)
    else:
        print(show(value, args.hex))


def _set(command: _Command) -> None:
    args = command.args
    key, value = _data(args.key, args.hex), _data(args.value, args.hex)
    with command.open("c") as db:
        db[key] = value


def _delete(command: _Command) -> None:
    args = command.args
    key = _data(args.key, args.hex)
    with command.open("w") as db:
        try:
            del db[key]
        except KeyError:
            raise _DatabaseError(f"no such key: {args.key}") from None


def _keys(command: _Command) -> None:
    with command.open("r") as db:
        for key in db:
            print(show(key, command.args.hex))


def _dump(command: _Command) -> None:
    args = command.args
    with command.open("r") as db:
        db.dump(args.dump_file, args.format, progress=command.progress("dump"))


def _load(command: _Command) -> None:
    args = command.args
    if not os.path.exists(args.dump_file):
        raise _DatabaseError(f"no such dump file: {args.dump_file}")
    load(args.dump_file, args.file, args.replace, progress=command.progress("load"))


def _recover(command: _Command) -> None:
    args = command.args
    with command.open("w") as db:
        report = db.recover(backup=args.backup, force=args.force,
                            progress=command.progress("recover"))
    if command.bar:
        command.bar.end()
        command.bar = None
    for field, value in report.items():
        print(f"{field}: {value}")


def _reorganize(command: _Command) -> None:
    with command.open("w") as db:
        db.reorganize(progress=command.progress("reorganize"))


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="python -m kvstore",
        description="Look into and look after a gdbm database file.",
        epilog="Keys and values are UTF-8 text, or hexadecimal with --hex. Output shows "
        "them as text where they decode, else as Python bytes escapes (\\xff). "
        "Exit status: 0 on success, 1 on a database error, 2 on a usage error.",
    )
    top.add_argument("--timeout", type=float, default=0.0, metavar="SECONDS",
                     help="wait up to SECONDS for another opener's lock (default: 0)")
    commands = top.add_subparsers(dest="command", required=True, metavar="command")

    def command(name: str, run: Callable[[_Command], None], help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.add_argument("file", help="the database file")
        sub.set_defaults(run=run)
        return sub

    def hex_option(sub: argparse.ArgumentParser, what: str) -> None:
        sub.add_argument("--hex", action="store_true", help=f"{what} in hexadecimal")

    command("info", _info, "show the record count, file size, block size and gdbm version")
    sub = command("get", _get, "print the value stored under a key")
    sub.add_argument("key")
    hex_option(sub, "the key and the value")
    sub.add_argument("--raw", action="store_true", help="write the value's bytes as they are")
    sub = command("set", _set, "store a value under a key (the file is created when missing)")
    sub.add_argument("key")
    sub.add_argument("value")
    hex_option(sub, "the key and the value")
    sub = command("delete", _delete, "delete a key")
    sub.add_argument("key")
    hex_option(sub, "the key")
    sub = command("keys", _keys, "list the keys, one a line")
    hex_option(sub, "the keys")
    sub = command("dump", _dump, "write every record to a dump file that gdbm's tools read")
    sub.add_argument("dump_file", metavar="dump-file")
    sub.add_argument("--format", choices=("ascii", "binary"), default="ascii",
                     help="the dump format (default: ascii)")
    sub = command("load", _load,
                  "store the records of a dump file (the file is created when missing)")
    sub.add_argument("dump_file", metavar="dump-file")
    sub.add_argument("--replace", action="store_true", help="replace keys already stored")
    sub = command("recover", _recover, "rebuild a damaged file from what can still be read")
    sub.add_argument("--backup", action="store_true", help="keep the file as it was beside it")
    sub.add_argument("--force", action="store_true",
                     help="rebuild even when no damage is found")
    command("reorganize", _reorganize,
            "rewrite the file to give back the space of deleted records")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    if not args.timeout >= 0:
        top.error(f"--timeout must be 0 or more, not {args.timeout}")
    command = _Command(args)
    try:
        args.run(command)
    except _UsageError as refused:
        top.error(str(refused))
    except (_kvstore.error, _DatabaseError) as failed:
        return _fail(command, failed)
    except KeyboardInterrupt:
        _end_bar(command)
        return 130
    _end_bar(command)
    return 0


def _end_bar(command: _Command) -> None:
    if command.bar:
        command.bar.end()


def _fail(command: _Command, failed: Exception) -> int:
    _end_bar(command)
    print(f"{parser().prog}: error: {_describe(failed)}", file=sys.stderr)
    return DATABASE_ERROR


def _describe(failed: Exception) -> str:
    if isinstance(failed, OSError) and failed.strerror:
        where = f": {failed.filename}" if failed.filename is not None else ""
        return f"{failed.strerror}{where}"
    return str(failed)


def run() -> NoReturn:
    sys.exit(main())
