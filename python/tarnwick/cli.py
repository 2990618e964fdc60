"""The ``tarnwick`` command line: summarise or dump a LevelDB directory.

``tarnwick summary DIR`` counts the records of every data file;
``tarnwick dump DIR`` writes every record, with all its fields, as JSON Lines,
CSV or a text view. Both only read the directory.

Exit status: 0 on success (also when the reader of the output goes away
early, as ``head`` does), 2 when the directory or the output cannot be used
(one line on standard error) or the command line is wrong, 130 when
interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import os
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import TextIO

from _tarnwick import RawLevelDb, Record

from ._output import (
    FileSummary,
    Progress,
    StatusLine,
    csv_rows,
    jsonl_lines,
    summary_lines,
    text_lines,
)

PROG = "tarnwick"

EXIT_OK = 0
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

_STATE_VALUES = {"deleted": 0, "live": 1, "unknown": 2}
_FILE_TYPE_VALUES = {"ldb": 1, "log": 2}

# Extensions of the files the reader decodes, and the kind each one is.
_DATA_FILE_KINDS = {"ldb": "ldb", "sst": "ldb", "log": "log"}

# Reading a directory happens in one call that cannot report progress; when
# its data files are at least this large, a terminal is told what is going on.
_READ_NOTICE_BYTES = 64 * 1024 * 1024


class CliError(Exception):
    """A failure to report as one line on standard error, with exit status 2."""


class StdoutError(CliError):
    """Standard output failed; what is still buffered for it must be dropped,
    or the interpreter's final flush would fail again, noisily."""


@contextlib.contextmanager
def _writing(target: str | None) -> Iterator[None]:
    """Turn a failure to write (disk full, I/O error) into a one-line error.
    ``target`` is the output file's name, None for standard output. A closed
    pipe is not a failure and passes through."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        if target is None:
            raise StdoutError(f"cannot write standard output: {_reason(error)}") from None
        raise CliError(f"cannot write {target!r}: {_reason(error)}") from None


# --- The database directory ------------------------------------------------------


def _open_database(directory: str) -> RawLevelDb:
    # The module's own messages are exact but terse; looking first gives the
    # common failures a clearer wording.
    try:
        info = os.stat(directory)
    except FileNotFoundError:
        raise CliError(f"no such directory: {directory!r}") from None
    except (OSError, ValueError) as error:
        raise CliError(f"cannot access {directory!r}: {_reason(error)}") from None
    if not stat.S_ISDIR(info.st_mode):
        raise CliError(f"not a directory: {directory!r}")
    try:
        return RawLevelDb(directory)
    except ValueError as error:
        raise CliError(f"cannot read {directory!r}: {error}") from None
    except UnicodeEncodeError:
        raise CliError(f"cannot read {directory!r}: the path is not valid UTF-8") from None


def _data_files(directory: str) -> list[tuple[str, str, str]]:
    """(name, kind, number) of every entry that the reader takes as a data file:
    a regular file whose name is six ASCII digits, a dot and ldb, sst or log
    in any case. Used to find files that gave no records, and for their size."""
    found = []
    try:
        with os.scandir(directory) as entries:
            for entry in entries:
                stem, dot, extension = entry.name.rpartition(".")
                kind = _DATA_FILE_KINDS.get(extension.lower())
                if not dot or kind is None or len(stem) != 6 or not (stem.isascii() and stem.isdigit()):
                    continue
                try:
                    entry.name.encode("utf-8")  # the reader skips names that are not UTF-8
                    if not entry.is_file():  # follows links, as the reader does
                        continue
                except (OSError, UnicodeEncodeError):
                    continue
                found.append((entry.name, kind, stem))
    except OSError:
        pass
    return found


def _file_size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def _read_records(db: RawLevelDb, directory: str, reverse: bool, status: StatusLine) -> list[Record]:
    """All records, then the database closed: records hold copies of their bytes."""
    with db:
        if status.enabled:
            size = sum(_file_size(os.path.join(directory, name)) or 0 for name, _, _ in _data_files(directory))
            if size >= _READ_NOTICE_BYTES:
                status.show(f"tarnwick: reading {size / 2**20:,.0f} MiB of data files...")
        return db.iterate_records_raw(reverse=reverse)


def _take(
    records: list[Record],
    keep: Callable[[Record], bool] | None,
    progress: Progress,
) -> Iterator[Record]:
    """Yield the records that ``keep`` accepts, in order, emptying the list.

    Popping from the end of the reversed list lets each record be freed as
    soon as it has been written, so the memory of the list drains while the
    output is produced instead of staying at its peak until the end.
    """
    records.reverse()
    pop = records.pop
    examined = written = 0
    while records:
        record = pop()
        examined += 1
        if keep is None or keep(record):
            written += 1
            yield record
        if examined & 511 == 0:
            progress.update(examined, written)


def _record_filter(
    states: Sequence[str] | None, file_type: str | None, key_prefix: bytes | None
) -> Callable[[Record], bool] | None:
    wanted_states = {_STATE_VALUES[s] for s in states} if states else None
    wanted_type = _FILE_TYPE_VALUES[file_type] if file_type else None
    if wanted_states is None and wanted_type is None and not key_prefix:
        return None

    def keep(record: Record) -> bool:
        if wanted_states is not None and int(record.state) not in wanted_states:
            return False
        if wanted_type is not None and int(record.file_type) != wanted_type:
            return False
        return not key_prefix or record.user_key.startswith(key_prefix)

    return keep


# --- Output ----------------------------------------------------------------------


def _reason(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _stdout() -> TextIO:
    stream = sys.stdout
    if stream is None:
        raise CliError("standard output is closed")
    reconfigure = getattr(stream, "reconfigure", None)
    if reconfigure is not None:
        # Paths are the only text that can be non-ASCII; write them as UTF-8
        # whatever the locale says, and leave line ends as written (CSV uses
        # CRLF).
        reconfigure(encoding="utf-8", errors="backslashreplace", newline="")
    return stream


def _open_output(path: str, directory: str) -> TextIO:
    # The directory is evidence: never write into it.
    parent = os.path.dirname(os.path.abspath(path))
    try:
        inside = os.path.samefile(parent, directory)
    except OSError:
        inside = False
    if inside:
        raise CliError(f"refusing to write {path!r} into the database directory")
    try:
        return open(path, "w", encoding="utf-8", errors="backslashreplace", newline="", buffering=1 << 20)
    except OSError as error:
        raise CliError(f"cannot write {path!r}: {_reason(error)}") from None


def _is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False


def _status_line(output: TextIO) -> StatusLine:
    # Progress goes to standard error, and only when someone watches it there
    # and the output itself is not scrolling past on the same terminal.
    return StatusLine(sys.stderr, _is_terminal(sys.stderr) and not _is_terminal(output))


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


# --- Commands --------------------------------------------------------------------


def run_summary(args: argparse.Namespace) -> int:
    directory: str = args.directory
    db = _open_database(directory)
    out = _stdout()
    status = _status_line(out)
    try:
        records = _read_records(db, directory, False, status)
    finally:
        status.clear()

    files: list[FileSummary] = []
    seen: set[str] = set()
    last_path = None
    current: FileSummary | None = None
    records.reverse()
    while records:
        record = records.pop()
        path = record.origin_file
        if current is None or path != last_path:
            last_path = path
            name = os.path.basename(path)
            seen.add(name)
            kind = "log" if int(record.file_type) == 2 else "ldb"
            current = FileSummary(name, kind, os.path.splitext(name)[0], _file_size(path))
            files.append(current)
        current.records += 1
        state = int(record.state)
        if state == 1:
            current.live += 1
        elif state == 0:
            current.deleted += 1
        else:
            current.unknown += 1
        if record.was_compressed:
            current.compressed += 1

    # Data files that gave no record at all (empty, or refused by the reader
    # as damaged) matter as much as the others: list them in their place.
    for name, kind, number in _data_files(directory):
        if name not in seen:
            files.append(FileSummary(name, kind, number, _file_size(os.path.join(directory, name))))
    files.sort(key=lambda f: int(f.number) if f.number.isdigit() else 0)  # stable: keeps the reader's order

    with _writing(None):
        out.writelines(summary_lines(files))
        out.flush()
    return EXIT_OK


def run_dump(args: argparse.Namespace) -> int:
    directory: str = args.directory
    keep = _record_filter(args.state, args.file_type, args.key_prefix)
    db = _open_database(directory)
    to_file = args.output not in (None, "-")
    try:
        out = _open_output(args.output, directory) if to_file else _stdout()
    except BaseException:
        db.close()
        raise
    status = _status_line(out)
    try:
        records = _read_records(db, directory, args.reverse, status)
        status.clear()
        selected = _take(records, keep, Progress(status, len(records)))
        with _writing(args.output if to_file else None):
            if args.format == "csv":
                csv.writer(out).writerows(csv_rows(selected))
            elif args.format == "text":
                out.writelines(text_lines(selected))
            else:
                out.writelines(jsonl_lines(selected))
            if to_file:
                out.close()  # reports a failure of the last write
            else:
                out.flush()
    finally:
        status.clear()
        if to_file and not out.closed:
            try:
                out.close()
            except OSError:
                pass  # a failure to write is on its way up already
    return EXIT_OK


# --- Argument parsing --------------------------------------------------------------


def _hex_bytes(text: str) -> bytes:
    digits = text.strip()
    if digits[:2].lower() == "0x":
        digits = digits[2:]
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a hex byte string: {text!r}") from None


class _VersionAction(argparse.Action):
    """``--version``, looking the version up only when asked (the lookup
    costs more than the rest of the start-up)."""

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


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read a LevelDB database directory without changing it: every record "
        "that its table files and logs still hold, deleted and superseded ones included.",
    )
    parser.add_argument("--version", action=_VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    summary = commands.add_parser(
        "summary",
        help="count the records of every data file",
        description="One line per data file, in file order: name, kind, file number, size in bytes, "
        "records, how many are Live, Deleted and Unknown, and how many came from compressed "
        "blocks; then the totals. Data files that gave no record are listed with zero counts.",
    )
    summary.add_argument("directory", metavar="DIR", help="the database directory")
    summary.set_defaults(run=run_summary)

    dump = commands.add_parser(
        "dump",
        help="write every record with all its fields",
        description="Write every record: key, user key and value as hex and as escaped text, "
        "sequence number, state, file type, file, offset and whether its block was compressed. "
        "Records come grouped by file in file order, each file's records as stored.",
    )
    dump.add_argument("directory", metavar="DIR", help="the database directory")
    dump.add_argument(
        "--format",
        choices=("jsonl", "csv", "text"),
        default="jsonl",
        help="JSON Lines (default), CSV with a header row (safe to open in a spreadsheet), "
        "or a shortened text view for reading",
    )
    dump.add_argument(
        "--state",
        action="append",
        choices=tuple(_STATE_VALUES),
        help="only records in this state; repeat for several",
    )
    dump.add_argument("--file-type", choices=tuple(_FILE_TYPE_VALUES), help="only records from table files or logs")
    dump.add_argument(
        "--key-prefix",
        metavar="HEX",
        type=_hex_bytes,
        help="only records whose user key starts with these bytes, in hex (e.g. 6b65 for 'ke')",
    )
    dump.add_argument("--reverse", action="store_true", help="files in descending order of their numbers")
    dump.add_argument(
        "--output", "-o", metavar="FILE", help="write to FILE instead of standard output (not into DIR)"
    )
    dump.set_defaults(run=run_dump)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        status: int = args.run(args)
        return status
    except CliError as error:
        if isinstance(error, StdoutError):
            _discard_stdout()
        try:
            print(f"{PROG}: error: {error}", file=sys.stderr)
        except (OSError, AttributeError):
            pass
        return EXIT_ERROR
    except BrokenPipeError:
        # Whoever reads the output has seen enough (``| head``): not an error.
        _discard_stdout()
        return EXIT_OK
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
