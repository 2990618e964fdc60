"""The ``tarnwick`` command line: a thin shell over the package's functions.

``tarnwick summary DIR`` lists every data file of a store with its status
(read, left out and why, not admitted) and its counts; ``tarnwick dump DIR``
writes every record as JSON Lines, CSV, a text view, Parquet or an Arrow IPC
file. Both only read the directory. Other parts of the package add their own
subcommands (see ``_SUBCOMMAND_MODULES``).

Exit status: 0 on success (also when the reader of the output goes away
early, as ``head`` does); with ``--strict``, 1 when a file was left out;
2 when the directory or the output cannot be used (one line on standard
error) or the command line is wrong; 130 when interrupted, 143 when terminated.
Never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import os
import signal
import sys
from collections.abc import Iterator, Sequence

from . import _commands
from ._cli_errors import CliError, StdoutError, reason
from ._commands import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_TERMINATED, PROG
from ._safe_output import OutputError

# Modules of the package that add subcommands, each through a function
# ``add_subcommand(subparsers)``; a module that is not installed adds nothing.
_SUBCOMMAND_MODULES = ("tarnwick.chromium.cli", "tarnwick.stores.cli")


# --- Argument parsing --------------------------------------------------------------


def _hex_bytes(text: str) -> bytes:
    digits = text.strip()
    if digits[:2].lower() == "0x":
        digits = digits[2:]
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a hex byte string: {text!r}") from None


def _text_bytes(text: str) -> bytes:
    # The bytes the text was given as: UTF-8, and any byte that is not UTF-8
    # exactly as typed (the arguments arrive decoded with surrogateescape).
    return os.fsencode(text) if os.name == "posix" else text.encode("utf-8", "surrogateescape")


class _VersionAction(argparse.Action):
    """``--version`` on standard output, looking the version up only when
    asked (the lookup costs more than the rest of the start-up)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help="show the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object, **kwargs: object) -> None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            number = version("tarnwick")
        except PackageNotFoundError:
            number = "unknown"
        print(f"{PROG} {number}")
        parser.exit()


def _add_summary(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    summary = commands.add_parser(
        "summary",
        help="list every data file with its status and counts",
        description="One line per data file, in file order: name, kind, file number, size in bytes, "
        "records, how many are Live, Deleted and Unknown, how many came from compressed blocks, "
        "the bytes from which nothing was decoded, and the file's status (read, left out and why, "
        "or not admitted as a data file); then the totals.",
    )
    summary.add_argument("directory", metavar="DIR", help="the database directory")
    summary.add_argument("--strict", action="store_true", help="exit with status 1 when a file was left out")
    summary.add_argument(
        "--no-salvage",
        dest="salvage",
        action="store_false",
        help="leave out a table whose footer or index cannot be used, instead of finding its blocks by their checksums",
    )
    summary.set_defaults(run=_commands.run_summary)


def _add_dump(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    dump = commands.add_parser(
        "dump",
        help="write every record with all its fields",
        description="Write every record: key, user key and value as hex and as escaped text, "
        "sequence number, state, file type, file, offset and whether its block was compressed. "
        "Records come grouped by file in file order, each file's records as stored. "
        "A warning on standard error names each file that was left out.",
    )
    dump.add_argument("directory", metavar="DIR", help="the database directory")
    dump.add_argument(
        "--format",
        choices=_commands.FORMATS,
        default="jsonl",
        help="JSON Lines (default), CSV with a header row (safe to open in a spreadsheet), "
        "a shortened text view for reading, Parquet, or an Arrow IPC file (the last two need pyarrow)",
    )
    dump.add_argument(
        "--state",
        action="append",
        choices=tuple(_commands.STATES),
        help="only records in this state; repeat for several",
    )
    dump.add_argument("--file-type", choices=tuple(_commands.FILE_TYPES), help="only records from table files or logs")
    prefix = dump.add_mutually_exclusive_group()
    prefix.add_argument(
        "--key-prefix",
        metavar="HEX",
        type=_hex_bytes,
        help="only records whose user key starts with these bytes, in hex (e.g. 6b65 for 'ke')",
    )
    prefix.add_argument(
        "--key-prefix-text",
        metavar="TEXT",
        dest="key_prefix",
        type=_text_bytes,
        help="the same, given as text (its UTF-8 bytes), e.g. '_https://site.example'",
    )
    dump.add_argument("--reverse", action="store_true", help="files in descending order of their numbers")
    dump.add_argument(
        "--output",
        "-o",
        metavar="FILE",
        help="write to FILE instead of standard output; never inside DIR, and complete or not at all",
    )
    dump.add_argument("--force", action="store_true", help="replace FILE if it exists")
    dump.add_argument("--strict", action="store_true", help="exit with status 1 when a file was left out")
    dump.add_argument(
        "--no-salvage",
        dest="salvage",
        action="store_false",
        help="leave out a table whose footer or index cannot be used, instead of finding its blocks by their checksums",
    )
    dump.set_defaults(run=_commands.run_dump)


def _module_exists(name: str) -> bool:
    """Whether module ``name`` is installed. Its packages are imported to
    find out, so a package that is there but broken fails loudly."""
    parts = name.split(".")
    for end in range(1, len(parts) + 1):
        if importlib.util.find_spec(".".join(parts[:end])) is None:
            return False
    return True


def _add_other_subcommands(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    for name in _SUBCOMMAND_MODULES:
        if _module_exists(name):
            importlib.import_module(name).add_subcommand(commands)


# The subcommands defined here.
_OWN_COMMANDS = ("summary", "dump")


def _asked_command(argv: Sequence[str]) -> str | None:
    """The subcommand named on the command line, if it comes first."""
    return argv[0] if argv and not argv[0].startswith("-") else None


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The parser of the whole command line. Given the subcommand asked for,
    other modules' subcommands are added only if it may be one of theirs:
    importing them costs start-up time and some 8 MiB of memory."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read a LevelDB database directory without changing it: every record "
        "that its table files and logs still hold, deleted and superseded ones included.",
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _add_summary(commands)
    _add_dump(commands)
    if command not in _OWN_COMMANDS:
        _add_other_subcommands(commands)
    return parser


# --- Running -------------------------------------------------------------------------


def _print_error(message: str) -> None:
    try:
        print(f"{PROG}: error: {message}", file=sys.stderr)
    except (OSError, AttributeError, ValueError):
        pass


def _discard_stdout() -> None:
    """Point standard output at /dev/null so that the interpreter's final
    flush of what is still buffered cannot fail a second time."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, sys.stdout.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _terminate(signum: int, frame: object) -> None:
    # Unwind like Ctrl-C does, so that a partly written output file is removed.
    raise SystemExit(EXIT_TERMINATED)


@contextlib.contextmanager
def _unwinding_on_sigterm() -> Iterator[None]:
    installed = False
    try:
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _terminate)
            installed = True
    except ValueError:  # not the main thread: signals are the caller's
        pass
    try:
        yield
    finally:
        if installed:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    with _unwinding_on_sigterm():
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    try:
        arguments = sys.argv[1:] if argv is None else list(argv)
        args = build_parser(_asked_command(arguments)).parse_args(arguments)
        status: int = args.run(args)
        return status
    except (CliError, OutputError) as error:
        if isinstance(error, StdoutError):
            _discard_stdout()
        _print_error(str(error))
        return EXIT_ERROR
    except BrokenPipeError:
        # Whoever reads the output has seen enough (``| head``): not an error.
        _discard_stdout()
        return EXIT_OK
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except MemoryError:
        _print_error("out of memory")
        return EXIT_ERROR
    except OSError as error:
        _print_error(reason(error))
        return EXIT_ERROR
    except Exception as error:  # noqa: BLE001 - a bug must still not print a traceback at an examiner
        _print_error(f"internal error: {type(error).__name__}: {error}")
        return EXIT_ERROR
