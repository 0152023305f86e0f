"""python -m kvstore: look into and look after a gdbm database file from the shell."""

from __future__ import annotations

import argparse
import builtins
import os
import shlex
import sys
from contextlib import contextmanager
from typing import TYPE_CHECKING, Literal, NoReturn, cast, final, override

import _kvstore

from ._items import format_item, parse_item
from ._leftovers import leftovers
from ._open import _create, _remove, open_waiting  # pyright: ignore[reportPrivateUsage]
from ._terminal import (
    CHUNK,
    PROG,
    STANDARD_STREAM,
    DatabaseError,
    Output,
    ProgressBar,
    UsageError,
    flush_output,
    open_input,
    say,
    show,
    silence_output,
    stream_in_a_file,
)

if TYPE_CHECKING:
    from collections.abc import Callable, Generator, Sequence

    from ._database import Database

# Exit statuses: those of a program stopped by SIGINT (Ctrl-C) and by
# SIGPIPE (its reader went away) as the shell gives them, 128 + the signal.
FAILED = 1
USAGE_ERROR = 2
INTERRUPTED = 130
PIPE_CLOSED = 141

# The file header starts with the magic number and the block size, two C
# ints in the byte order of the machine that wrote it.
_BLOCK_SIZE_FIELD = slice(4, 8)


def _data(text: str, hex: bool) -> bytes:
    """A key or value from the command line: UTF-8 text, or hexadecimal."""
    if not hex:
        return os.fsencode(text)
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise UsageError(f"not hexadecimal: {text!r}") from None


# ---- a command being run -------------------------------------------------------


@final
class Options(argparse.Namespace):
    """The parsed command line; each command reads the fields its arguments
    (in COMMANDS) define."""

    command: str = ""
    file: str = ""
    timeout: float = 0.0
    key: str = ""
    value: str = ""
    hex: bool = False
    raw: bool = False
    dump_file: str = ""
    items_file: str = ""
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
        if sys.stderr is None or not sys.stderr.isatty():
            return None
        self.bar = ProgressBar(label, sys.stderr)
        return self.bar

    def end_bar(self) -> None:
        if self.bar is not None:
            self.bar.end()

    @contextmanager
    def open(self, flag: str, reading: bool = False) -> Generator[Database]:
        """The database, open for the block. A file that gdbm does not take
        is named in the error. With reading, a failure of the library inside
        the block is damage, which the error says `recover` may mend."""
        name = self.options.file
        try:
            db = open_waiting(name, flag, 0o666, self.options.timeout, "pass --timeout SECONDS to wait for it")
        except _kvstore.error as refused:
            if refused.errno is not None:
                raise
            raise DatabaseError(f"not a gdbm database file, or a damaged one ({refused}): {name}") from None
        with db:
            try:
                yield db
            except _kvstore.error as failed:
                if not reading or failed.errno is not None:
                    raise
                mend = f"{PROG} recover {shlex.quote(name)}"
                raise DatabaseError(f"{failed}: {name}; {mend} rebuilds it from what can still be read") from None

    @contextmanager
    def create(self) -> Generator[Database]:
        """The database, open with "c" for the block; a file that the block
        created is removed again when it fails, as kvstore.load() does."""
        name = self.options.file
        created = _create(name)
        try:
            with self.open("c") as db:
                yield db
        except BaseException:
            if created is not None:
                _remove(name, created)
            raise


# ---- the commands ------------------------------------------------------------
# Each command is defined once, by the @subcommand line above its function: its
# name, its help, and its arguments after the database file.

type Run = Callable[[Command], None]
type Argument = Callable[[argparse.ArgumentParser], object]


@final
class Spec:
    """One command: what runs it, its help, its arguments after the file."""

    def __init__(self, run: Run, help: str, arguments: tuple[Argument, ...]) -> None:
        self.run: Run = run
        self.help: str = help
        self.arguments: tuple[Argument, ...] = arguments


COMMANDS: dict[str, Spec] = {}


def subcommand(name: str, help: str, *arguments: Argument) -> Callable[[Run], Run]:
    """Defines the command name as the function below."""

    def define(run: Run) -> Run:
        COMMANDS[name] = Spec(run, help, arguments)
        return run

    return define


def positional(name: str, help: str | None = None, metavar: str | None = None) -> Argument:
    return lambda parser: parser.add_argument(name, help=help, metavar=metavar)


def switch(flag: str, help: str) -> Argument:
    return lambda parser: parser.add_argument(flag, action="store_true", help=help)


def hex_switch(what: str) -> Argument:
    return switch("--hex", f"{what} in hexadecimal")


def _format(parser: argparse.ArgumentParser) -> object:
    return parser.add_argument("--format", choices=("ascii", "binary"), default="ascii",
                               help="the dump format (default: ascii)")


KEY = positional("key")
REPLACE = switch("--replace", "replace keys already stored")
FORMAT: Argument = _format


@subcommand("info", "show the record count, file size, block size, gdbm version and the files "
            + "a killed reorganize, load or dump left beside it")
def _info(command: Command) -> None:
    name = command.options.file
    out = Output()
    with command.open("r", reading=True) as db:
        records = len(db)
        with builtins.open(name, "rb") as header:
            block_size = int.from_bytes(header.read(8)[_BLOCK_SIZE_FIELD], sys.byteorder)
        size = os.path.getsize(name)
    version = ".".join(map(str, _kvstore._KVSTORE_VERSION))  # pyright: ignore[reportPrivateUsage]
    out.line(f"file:         {os.path.abspath(name)}")
    out.line(f"records:      {records}")
    out.line(f"file size:    {size} bytes")
    out.line(f"block size:   {block_size} bytes")
    out.line(f"gdbm version: {version}")
    for leftover in leftovers(name):
        state = {True: "in use by a running operation", False: "left by a killed process; "
                 + "the next reorganize, load or dump removes it", None: "cannot be opened to tell"}
        out.line(f"leftover:     {os.fsdecode(leftover.path)} ({state[leftover.in_use]})")


@subcommand("get", "print the value stored under a key",
            KEY, hex_switch("the key and the value"), switch("--raw", "write the value's bytes as they are"))
def _get(command: Command) -> None:
    options = command.options
    key = _data(options.key, options.hex)
    out = Output()
    with command.open("r", reading=True) as db:
        value = db.get(key)
    if value is None:
        raise DatabaseError(f"no such key: {options.key}")
    if options.raw:
        out.write(value)
    else:
        out.line(out.show(value, options.hex))


@subcommand("set", "store a value under a key (the file is created when missing)",
            KEY, positional("value"), hex_switch("the key and the value"))
def _set(command: Command) -> None:
    options = command.options
    key, value = _data(options.key, options.hex), _data(options.value, options.hex)
    with command.open("c") as db:
        db[key] = value


@subcommand("delete", "delete a key", KEY, hex_switch("the key"))
def _delete(command: Command) -> None:
    options = command.options
    key = _data(options.key, options.hex)
    with command.open("w") as db:
        try:
            del db[key]
        except KeyError:
            raise DatabaseError(f"no such key: {options.key}") from None


@subcommand("keys", "list the keys, one a line", hex_switch("the keys"))
def _keys(command: Command) -> None:
    out = Output()
    with command.open("r", reading=True) as db:
        for key in db:
            out.line(out.show(key, command.options.hex))


@subcommand("items", 'list the records as JSON Lines, one {"key": ..., "value": ...} a line '
            + '("key_hex", "value_hex": hexadecimal, for bytes that are not UTF-8)',
            hex_switch('every key and value ("key_hex", "value_hex")'))
def _items(command: Command) -> None:
    out = Output()
    with command.open("r", reading=True) as db:
        for key, value in db.items():
            out.write(format_item(key, value, command.options.hex))


@subcommand("put-items", "store the records of a JSON Lines file, as items lists them, "
            + "or none of them (the file is created when missing)",
            positional("items_file", "the JSON Lines file, or - for standard input", "items-file"), REPLACE)
def _put_items(command: Command) -> None:
    options = command.options
    source = "standard input" if options.items_file == STANDARD_STREAM else options.items_file
    records: dict[bytes, tuple[bytes, int]] = {}
    with open_input(options.items_file) as lines:
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            try:
                key, value = parse_item(line)
            except ValueError as wrong:
                raise DatabaseError(f"{source}, line {number}: {wrong}") from None
            if key in records and not options.replace:
                raise DatabaseError(f"{source}, line {number}: the key {show(key)} is given again, first "
                                    + f"on line {records[key][1]} (--replace keeps the last)")
            records[key] = value, number
    with command.create() as db:
        if not options.replace:
            for key, (_, number) in records.items():
                if key in db:
                    raise DatabaseError(f"{source}, line {number}: the key {show(key)} is stored already "
                                        + "(--replace replaces it)")
        progress = command.progress("put-items")
        # One batch: a failure in the stores, or the death of the process,
        # leaves none of them.
        with db.batch():
            for done, (key, (value, _)) in enumerate(records.items(), 1):
                db[key] = value
                if progress is not None:
                    progress(done, len(records))


@subcommand("dump", "write every record to a dump file that gdbm's tools read",
            positional("dump_file", "the dump file, or - for standard output", "dump-file"), FORMAT)
def _dump(command: Command) -> None:
    options = command.options
    if options.dump_file != STANDARD_STREAM:
        with command.open("r") as db:
            db.dump(options.dump_file, options.format, progress=command.progress("dump"))
        return
    # The module writes a dump beside its name and renames it over the name
    # once complete, which standard output has no room for.
    out = Output()
    import tempfile

    with tempfile.TemporaryDirectory(prefix="kvstore-") as folder:
        path = os.path.join(folder, "dump")
        with command.open("r") as db:
            db.dump(path, options.format, progress=command.progress("dump"))
        with builtins.open(path, "rb") as dump:
            while chunk := dump.read(CHUNK):
                out.write(chunk)


@subcommand("load", "store the records of a dump file, or none of them (the file is created when missing)",
            positional("dump_file", "the dump file, or - for standard input", "dump-file"), REPLACE)
def _load(command: Command) -> None:
    options = command.options
    if options.dump_file != STANDARD_STREAM and not os.path.exists(options.dump_file):
        raise DatabaseError(f"no such dump file: {options.dump_file}")
    with stream_in_a_file(options.dump_file) as path:
        try:
            with command.create() as db:
                db.load(path, options.replace, progress=command.progress("load"))
        except _kvstore.error as refused:
            # The temporary file's name means nothing to the user, and the
            # module's words name its own argument.
            said = _describe(refused).replace("replace=True", "--replace")
            if path != options.dump_file:
                said = said.replace(path, "standard input")
            raise DatabaseError(said) from None


@subcommand("recover", "rebuild a damaged file from what can still be read",
            switch("--backup", "keep the file as it was beside it"),
            switch("--force", "rebuild even when no damage is found"))
def _recover(command: Command) -> None:
    options = command.options
    out = Output()
    with command.open("w") as db:
        report = db.recover(backup=options.backup, force=options.force,
                            progress=command.progress("recover"))
    command.end_bar()
    # Unless forced, gdbm checks the file first and leaves a sound one alone.
    if not options.force and not any(report.values()):
        out.line(f"nothing to recover: gdbm found no damage in {options.file} (--force rebuilds it all the same)")
        return
    for field, value in report.items():
        out.line(f"{field}: {value}")


@subcommand("reorganize", "rewrite the file to give back the space of deleted records")
def _reorganize(command: Command) -> None:
    with command.open("w") as db:
        db.reorganize(progress=command.progress("reorganize"))


# ---- the command line ----------------------------------------------------------


def _timeout(parser: argparse.ArgumentParser, default: object) -> None:
    _ = parser.add_argument("--timeout", type=float, default=default, metavar="SECONDS",
                            help="wait up to SECONDS for another opener's lock (default: 0)")


@final
class _Version(argparse.Action):
    """--version: the package's version, read from its installed metadata
    only when asked for."""

    @override
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        from . import __version__

        Output().line(f"kvstore-gdbm {__version__}")
        parser.exit()


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog=PROG,
        description="Look into and look after a gdbm database file.",
        epilog=(
            "Keys and values are UTF-8 text, or hexadecimal with --hex. Output shows "
            + "them as text where they decode, else as Python bytes escapes (\\xff). "
            + "Exit status: 0 on success, 1 on an error (a database, file or stream), 2 on a "
            + f"usage error, {INTERRUPTED} when interrupted, {PIPE_CLOSED} when the reader of "
            + "standard output went away."
        ),
    )
    _ = top.add_argument("--version", action=_Version, nargs=0, help="show the package's version")
    _timeout(top, 0.0)
    commands = top.add_subparsers(dest="command", required=True, metavar="command")
    for name, spec in COMMANDS.items():
        sub = commands.add_parser(name, help=spec.help, description=spec.help)
        _ = sub.add_argument("file", help="the database file")
        for argument in spec.arguments:
            _ = argument(sub)
        # After the command too; given before it, it is kept when not here.
        _timeout(sub, argparse.SUPPRESS)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    command: Command | None = None
    try:
        try:
            top = parser()
            options = top.parse_args(argv, namespace=Options())
            if not options.timeout >= 0:
                top.error(f"--timeout must be 0 or more, not {options.timeout}")
            command = Command(options)
            try:
                COMMANDS[options.command].run(command)
            except UsageError as refused:
                top.error(str(refused))
            finally:
                command.end_bar()
        except SystemExit as stop:  # argparse: --help, --version, a usage error
            flush_output()
            return stop.code if isinstance(stop.code, int) else 0
        flush_output()
    except BrokenPipeError:
        # The reader went away (keys | head): what is left unprinted goes
        # nowhere, quietly, with the status of a program SIGPIPE stopped.
        silence_output()
        return PIPE_CLOSED
    except (DatabaseError, OSError) as failed:
        # What the command printed before it failed still goes out.
        try:
            flush_output()
        except (DatabaseError, OSError):
            silence_output()
        say(f"error: {_describe(failed)}")
        return FAILED
    except KeyboardInterrupt:
        if command is not None:
            command.end_bar()
        silence_output()
        return INTERRUPTED
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
