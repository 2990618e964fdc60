"""The ``tarnwick`` command line: a thin shell over the package's functions.

``summary`` and ``dump`` read one store, ``chromium`` decodes the browser's
stores, ``find`` and ``export`` work on a whole tree. Every subcommand is
registered here, with its options; its work is imported only when it runs.
Around all of them, one policy: failures are one line (``tarnwick: error:
…``, see ``_cli_errors``), the exit status comes from one table
(``EXIT_STATUS_HELP``), a reader of the output that goes away early (``|
head``) is no error, and Ctrl-C or SIGTERM unwind so that a partly written
output file is removed (status 130 or 143). Never a traceback.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence

from ._cli_errors import (
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_STATUS_HELP,
    EXIT_TERMINATED,
    PROG,
    CliError,
    StdoutError,
    print_error,
    reason,
)
from ._names import FILE_TYPE_NAMES, KEY_STATE_NAMES
from ._store_vocabulary import CHROMIUM_KINDS

# The output formats of dump: the text ones are encoded by the scanner, the
# columnar ones written by pyarrow.
TEXT_FORMATS = ("jsonl", "csv", "text")
COLUMNAR_FORMATS = ("parquet", "arrow")
FORMATS = TEXT_FORMATS + COLUMNAR_FORMATS


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


class _DocsAction(argparse.Action):
    """``--completion SHELL`` and ``--man``: the completion script or the
    manual page, made from this parser, on standard output."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: object) -> None:
        super().__init__(option_strings, dest, default=argparse.SUPPRESS, **kwargs)  # type: ignore[arg-type]

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: str | None = None) -> None:
        from . import _cli_docs

        if self.dest == "completion":
            print(_cli_docs.completion_script(parser, str(values)), end="")
        else:
            from importlib.metadata import PackageNotFoundError, version

            try:
                number = version("tarnwick")
            except PackageNotFoundError:
                number = ""
            print(_cli_docs.man_page(parser, number), end="")
        parser.exit()


class _HelpFormatter(argparse.HelpFormatter):
    """Descriptions wrapped to the terminal; the examples and the exit-status
    table kept as laid out."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if text.startswith(("examples:", "exit status:")):
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)


# Every subcommand's help ends with the one exit-status table and an example.
def _epilog(*examples: str) -> str:
    lines = "\n".join(f"  {PROG} {example}" for example in examples)
    return f"examples:\n{lines}\n\n{EXIT_STATUS_HELP}"


def _command(commands: argparse._SubParsersAction, name: str, run: str, *, help: str, description: str, examples: tuple[str, ...]) -> argparse.ArgumentParser:  # type: ignore[type-arg]
    """A subcommand whose work is the function ``run`` (``module:function``),
    imported only when the subcommand runs: the heavy imports (pyarrow, the
    Chromium decoders) stay out of every other command's start-up."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=help, description=description, epilog=_epilog(*examples),
        formatter_class=_HelpFormatter,
    )
    parser.set_defaults(run=_Lazy(run))
    return parser


class _Lazy:
    def __init__(self, target: str) -> None:
        self.target = target

    def __call__(self, args: argparse.Namespace) -> int:
        module, _, function = self.target.partition(":")
        status: int = getattr(importlib.import_module(module), function)(args)
        return status


def _strict(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--strict", action="store_true",
        help="exit with status 1 when anything was left out or could not be decoded",
    )


def _no_salvage(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--no-salvage",
        dest="salvage",
        action="store_false",
        help="leave out a table whose footer or index cannot be used, instead of finding its blocks by their checksums",
    )


def _output(parser: argparse.ArgumentParser, what: str = "FILE") -> None:
    parser.add_argument(
        "--output", "-o", metavar=what,
        help=f"write to {what} instead of standard output; never inside the evidence, and complete or not at all",
    )
    parser.add_argument("--force", action="store_true", help=f"replace {what} if it exists")


def _any_name(parser: argparse.ArgumentParser) -> None:
    # --as is for one file, --any-name for a directory.
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument(
        "--as", dest="as_kind", choices=("table", "log"),
        help="read the FILE given as PATH as a table or a log, whatever its name and content "
        "(by default: from a data file name, else a table when it ends in the table magic number, else a log)",
    )
    choice.add_argument(
        "--any-name", action="store_true",
        help="in a directory, also read files of any name whose content is a table or starts like a log "
        "(carved files); the others are reported as not admitted",
    )


def _add_summary(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    summary = _command(
        commands, "summary", "tarnwick._commands:run_summary",
        help="list every data file with its status and counts",
        description="One line per data file, in file order: name, kind, file number, size in bytes, "
        "records, how many are Live, Deleted and Unknown, how many came from compressed blocks, "
        "the bytes from which nothing was decoded, and the file's status (read, left out and why, "
        "not admitted as a data file, or a link, never followed); then the totals. --format json gives "
        "the whole read report instead, the bookkeeping files and what the manifest says included.",
        examples=("summary 'Default/Local Storage/leveldb'", "summary store --strict", "summary store --format json",
                  "summary carved/block_0001.bin", "summary carved --any-name"),
    )
    summary.add_argument("directory", metavar="PATH", help="the database directory, or one data file of any name")
    _any_name(summary)
    summary.add_argument(
        "--format",
        choices=("table", "json"),
        default="table",
        help="table (the default), or json: the whole read report, as tarnwick.inspect() gives it",
    )
    _strict(summary)
    _no_salvage(summary)


def _name_choice(names: Sequence[str], what: str) -> Callable[[str], str]:
    """An option's value as the data spells it (``Live``), taken in any case."""
    by_folded = {name.lower(): name for name in names}

    def choose(text: str) -> str:
        try:
            return by_folded[text.lower()]
        except KeyError:
            raise argparse.ArgumentTypeError(
                f"invalid {what}: {text!r} (choose from {', '.join(names)})"
            ) from None

    return choose


def _add_dump(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    dump = _command(
        commands, "dump", "tarnwick._commands:run_dump",
        help="write every record with all its fields",
        description="Write every record: key, user key and value as hex and as escaped text, "
        "sequence number, state, file type, file, offset and whether its block was compressed. "
        "Records come grouped by file in file order, each file's records as stored. "
        "A warning on standard error names each file that was left out.",
        examples=("dump store > records.jsonl", "dump store --state Deleted --format csv -o deleted.csv",
                  "dump store --format parquet -o store.parquet", "dump 'copy of 000005.ldb'",
                  "dump fragment.bin --as log"),
    )
    dump.add_argument("directory", metavar="PATH", help="the database directory, or one data file of any name")
    _any_name(dump)
    dump.add_argument(
        "--format",
        choices=FORMATS,
        default="jsonl",
        help="JSON Lines (default), CSV with a header row (safe to open in a spreadsheet), "
        "a shortened text view for reading, Parquet, or an Arrow IPC file (the last two need pyarrow)",
    )
    dump.add_argument(
        "--state",
        action="append",
        metavar="|".join(KEY_STATE_NAMES),
        type=_name_choice(KEY_STATE_NAMES, "state"),
        help="only records in this state, spelt as the records spell it; repeat for several",
    )
    dump.add_argument(
        "--file-type", metavar="|".join(FILE_TYPE_NAMES), type=_name_choice(FILE_TYPE_NAMES, "file type"),
        help="only records from table files (Ldb) or logs (Log)",
    )
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
    _output(dump)
    _strict(dump)
    _no_salvage(dump)


def _add_chromium(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    chromium = _command(
        commands, "chromium", "tarnwick.chromium.cli:run",
        help="decode the Local Storage, Session Storage and IndexedDB of Chromium and Electron",
        description="DIR is one store (\"Local Storage/leveldb\", \"Session Storage\", an "
        "\"*.indexeddb.leveldb\") or a whole profile or app-data folder, in which every store is "
        "found. By default one row per key, its newest version (for a deleted key the deletion, "
        "with the last value the files still hold); --history lists every version of every key, "
        "labelled current, superseded, last_before_deletion or deleted.",
        examples=("chromium ~/.config/google-chrome/Default --kind localstorage",
                  "chromium profile --history --key to_delete",
                  "chromium profile --format parquet -o profile.parquet"),
    )
    chromium.add_argument("directory", metavar="DIR", help="a store, or a profile or app-data folder")
    chromium.add_argument("--format", "-f", choices=("text", "jsonl", "csv", "parquet"), default="text",
                          help="a line per row for reading (default), JSON Lines, CSV, or Parquet (needs pyarrow)")
    chromium.add_argument("--history", action="store_true", help="every version of every key")
    chromium.add_argument("--all-records", action="store_true",
                          help="metadata, exists, index and external-object records too, not only data")
    chromium.add_argument("--kind", action="append", choices=CHROMIUM_KINDS,
                          help="only stores of this kind (repeatable)")
    chromium.add_argument("--key", help="only this key: its text, or its JSON for other keys (e.g. 1, [1,\"a\"])")
    chromium.add_argument("--origin", help="only origins containing this text")
    _output(chromium)
    _strict(chromium)
    _no_salvage(chromium)


def _add_find(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    find = _command(
        commands, "find", "tarnwick.stores.cli:run_find",
        help="list every LevelDB store in a folder tree",
        description="List every LevelDB store under TREE: kind, origin (or -), files, bytes, path.",
        examples=("find /cases/17/image", "find /cases/17/image --format jsonl > stores.jsonl"),
    )
    find.add_argument("tree", metavar="TREE")
    find.add_argument("--format", choices=("text", "jsonl"), default="text",
                      help="tab-separated text (default) or JSON Lines")
    _strict(find)


def _add_export(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    export = _command(
        commands, "export", "tarnwick.stores.cli:run_export",
        help="export every store in a folder tree to one Parquet dataset",
        description="Write the records of every store under TREE to the Parquet dataset DATASET "
        "(hive-partitioned by store), with a chain-of-custody manifest. A re-run skips unchanged stores.",
        examples=("export /cases/17/image -o /cases/17/dataset --jobs 2",),
    )
    export.add_argument("tree", metavar="TREE")
    export.add_argument("-o", "--output", metavar="DATASET", required=True,
                        help="the dataset folder; never inside the tree, nor reached through it")
    where = export.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_positive, default=1, metavar="N", help="worker processes (default 1)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler instead")
    export.add_argument("--decode", action="store_true",
                        help="add every browser store's decoded rows (every version, labelled) under "
                        "store=<id>/_decoded/ in the dataset")
    _strict(export)


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _add_report(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    report = _command(
        commands, "report", "tarnwick.report.cli:run",
        help="write the read report of stores: hashes, times, records by state, damage map",
        description="For every LevelDB store under each PATH (a store, a browser profile or a whole "
        "evidence tree): each file's size, modification and change times (UTC), SHA-256 and any "
        "other digest asked for (one read per file, no access time changed, no link followed), its "
        "status, its records by state, and the byte ranges from which nothing was decoded with the "
        "reasons; the blob files of browser stores are hashed too. The report names the tool's and "
        "its libraries' versions, the command line, the start and end times, and the digests of the "
        "outputs named with --output-of. HTML is one self-contained page (no scripts, nothing loaded "
        "from elsewhere) with a bar of each file's bytes and a chart of each store's records.",
        examples=("report 'Local Storage/leveldb' -o report.html",
                  "report /evidence/profile --hash md5,sha1 -o report.json --format json",
                  "report store --output-of records.parquet -o report.md --format md"),
    )
    report.add_argument("paths", metavar="PATH", nargs="+", help="a store, a profile, a folder tree, or one data file of any name")
    report.add_argument("-o", "--output", metavar="FILE", required=True, help="the report file, or - for standard output; never inside PATH")
    report.add_argument("--format", choices=("html", "json", "md"), default="html",
                        help="HTML page (default), JSON or Markdown")
    report.add_argument("--hash", metavar="NAMES", type=_digest_names, default=("sha256",),
                        help="digests besides SHA-256, comma-separated: md5, sha1, sha512")
    report.add_argument("--output-of", metavar="FILE", action="append", default=[],
                        help="an output made from these stores, to be hashed into the report (repeatable)")
    report.add_argument("--force", action="store_true", help="replace FILE if it exists")
    _strict(report)


def _digest_names(text: str) -> tuple[str, ...]:
    from ._provenance import digest_names

    try:
        return digest_names(name.strip().lower() for name in text.split(",") if name.strip())
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _add_timeline(commands: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    timeline = _command(
        commands, "timeline", "tarnwick.timeline.cli:run",
        help="write every dated fact of the stores as timeline events",
        description="One event per dated fact of the LevelDB stores under each PATH: each Local "
        "Storage record at its commit time (the META record of its write batch), the META write and "
        "access times, the dates held in IndexedDB keys and values (Date objects, lastModified of "
        "stored files), and the modification times of data files and blob files. JSON Lines for "
        "Timesketch (message, datetime in UTC, timestamp_desc, source fields) or a CSV in the "
        "log2timeline layout; events in time order.",
        examples=("timeline ~/.config/chromium/Default -o events.jsonl",
                  "timeline /evidence/profile --format csv -o events.csv"),
    )
    timeline.add_argument("paths", metavar="PATH", nargs="+", help="a store, a profile or a folder tree")
    timeline.add_argument("-o", "--output", metavar="FILE", required=True, help="the timeline file, or - for standard output; never inside PATH")
    timeline.add_argument("--format", choices=("jsonl", "csv"), default="jsonl",
                          help="Timesketch JSON Lines (default) or log2timeline-style CSV")
    timeline.add_argument("--force", action="store_true", help="replace FILE if it exists")
    _strict(timeline)


# Every subcommand, in the order --help lists them.
_SUBCOMMANDS = (_add_summary, _add_dump, _add_chromium, _add_find, _add_export, _add_report, _add_timeline)


def build_parser() -> argparse.ArgumentParser:
    """The parser of the whole command line."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read LevelDB stores without changing them: every record that their table "
        "files and logs still hold, deleted and superseded ones included.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=_HelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction)
    parser.add_argument("--completion", action=_DocsAction, choices=("bash", "zsh"),
                        help="print the shell completion script (e.g. eval \"$(tarnwick --completion bash)\")")
    parser.add_argument("--man", action=_DocsAction, nargs=0, help="print the manual page (man -l <(tarnwick --man))")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in _SUBCOMMANDS:
        add(commands)
    return parser


# --- Running -------------------------------------------------------------------------


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
        args = build_parser().parse_args(arguments)
        args.command_line = [PROG, *arguments]  # as the report records it
        status: int = args.run(args)
        return status
    except CliError as error:
        if isinstance(error, StdoutError):
            _discard_stdout()
        print_error(str(error))
        return EXIT_ERROR
    except BrokenPipeError:
        # Whoever reads the output has seen enough (``| head``): not an error.
        _discard_stdout()
        return EXIT_OK
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except MemoryError:
        print_error("out of memory")
        return EXIT_ERROR
    except OSError as error:
        where = f"{error.filename!r}: " if error.filename is not None else ""
        print_error(where + reason(error))
        return EXIT_ERROR
    except Exception as error:  # noqa: BLE001 - a bug must still not print a traceback at an examiner
        print_error(f"internal error: {type(error).__name__}: {error}")
        return EXIT_ERROR
