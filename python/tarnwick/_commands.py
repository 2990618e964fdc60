"""What ``tarnwick summary`` and ``tarnwick dump`` do, once their arguments are
parsed; and the pieces every subcommand shares to check its input, write to
standard output, show progress and finish (warnings, closing line, status).

Both only read the store, through the scanner: files are opened one at a
time as they are read, records are never all in memory at once, and the
scanner's report says what was read and what was left out, and why.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
from collections.abc import Iterator
from typing import BinaryIO

from . import _output, _reading
from ._cli_errors import (
    EXIT_ERROR,
    EXIT_INTERRUPTED,
    EXIT_LEFT_OUT,
    EXIT_OK,
    EXIT_TERMINATED,
    PROG,
    CliError,
    StdoutError,
    closing_line,
    destination_name,
    exit_status,
    reason,
    say,
    warn,
)
from ._columnar_output import SCAN_SETTINGS, import_pyarrow, write_columnar
from ._progress import Progress, watched
from ._quiet_listing import store_hint
from .scanning import ReadReport
from ._safe_output import open_output
from ._store_vocabulary import is_data_file_name, list_names

__all__ = [
    "EXIT_ERROR", "EXIT_INTERRUPTED", "EXIT_LEFT_OUT", "EXIT_OK", "EXIT_TERMINATED", "PROG",
    "check_directory", "check_path", "destination", "run_dump", "run_summary", "stdout", "writing",
]

TEXT_FORMATS = ("jsonl", "csv", "text")
COLUMNAR_FORMATS = ("parquet", "arrow")


def check_directory(directory: str) -> None:
    """A one-line error unless ``directory`` is a folder that can be looked at."""
    try:
        info = os.stat(directory)
    except FileNotFoundError:
        raise CliError(f"no such directory: {directory!r}") from None
    except (OSError, ValueError) as error:
        raise CliError(f"cannot access {directory!r}: {reason(error)}") from None
    if not stat.S_ISDIR(info.st_mode):
        raise CliError(f"not a directory: {directory!r}")


def check_path(path: str, args: argparse.Namespace) -> None:
    """A one-line error unless ``path`` is a folder, or a file (of any name),
    that can be looked at; ``--as`` takes a file only."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        if not os.path.islink(path):
            raise CliError(f"no such file or directory: {path!r}") from None
        return  # a dangling link: the scanner reports it, never following it
    except (OSError, ValueError) as error:
        raise CliError(f"cannot access {path!r}: {reason(error)}") from None
    if stat.S_ISDIR(info.st_mode) and args.as_kind is not None:
        raise CliError(f"--as reads one file, and {path!r} is a directory (use --any-name for a folder of files)")


def _listing_options(args: argparse.Namespace) -> dict[str, object]:
    return {"any_name": args.any_name, "as_kind": args.as_kind}


def _hint_if_no_store(directory: str, report: ReadReport) -> None:
    """A folder holding no file of a store at all gets a hint: most often the
    user pointed one or two levels above the store. The report lists every
    entry named like a file of a store (data files and bookkeeping alike), so
    the folder itself is not listed again."""
    if report.files or report.others:
        return
    hint = store_hint(directory)
    warn(hint if hint is not None else f"no LevelDB file in {directory!r}")


# --- Output ------------------------------------------------------------------------


@contextlib.contextmanager
def writing(target: str | None) -> Iterator[None]:
    """Turn a failure to write (disk full, I/O error) into a one-line error.
    ``target`` is the output file's name, None for standard output. A closed
    pipe is not a failure and passes through."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        if target is None:
            raise StdoutError(f"cannot write standard output: {reason(error)}") from None
        raise CliError(f"cannot write {target!r}: {reason(error)}") from None


def stdout() -> BinaryIO:
    """Standard output as a binary stream, with what is buffered in its text
    layer flushed first."""
    stream = sys.stdout
    if stream is None:
        raise CliError("standard output is closed")
    with contextlib.suppress(AttributeError, ValueError, OSError):
        stream.flush()
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        raise CliError("standard output takes no bytes")
    return buffer  # type: ignore[no-any-return]


@contextlib.contextmanager
def destination(target: str | None, evidence: list[str], force: bool) -> Iterator[tuple[BinaryIO, str | None]]:
    """The binary stream every writer writes to, and the name of the file
    (None for standard output, also given as ``-``). A file is written
    through ``open_output``: never in ``evidence``, complete or not at all."""
    if target in (None, "-"):
        out = stdout()
        with writing(None):
            yield out, None
            out.flush()
        return
    with writing(target), open_output(target, stores=evidence, force=force) as out:
        yield out, target


def _is_terminal(stream: object) -> bool:
    try:
        return bool(stream is not None and stream.isatty())  # type: ignore[attr-defined]
    except (OSError, ValueError, AttributeError):
        return False


def _data_bytes(directory: str) -> int | None:
    """The size of the store's data files (or of the one file given), the
    total a dump's progress counts towards; None when the folder cannot be
    listed."""
    with contextlib.suppress(OSError):
        info = os.lstat(directory)
        if stat.S_ISREG(info.st_mode):
            return info.st_size
    try:
        names = [name for name in list_names(os.path.realpath(directory)) if is_data_file_name(name)]
    except OSError:
        return None
    total = 0
    for name in names:
        try:
            info = os.lstat(os.path.join(directory, name))
        except OSError:
            continue
        if stat.S_ISREG(info.st_mode):
            total += info.st_size
    return total


# --- dump ------------------------------------------------------------------------------


def _scan_options(args: argparse.Namespace) -> dict[str, object]:
    return {
        "reverse": args.reverse,
        "states": list(args.state) if args.state else None,
        "file_types": [args.file_type] if args.file_type else None,
        "key_prefix": args.key_prefix or None,
        "salvage": args.salvage,
        **_listing_options(args),
    }


def _needs_pyarrow(fmt: str) -> None:
    try:
        import_pyarrow()
    except ImportError:
        raise CliError(f"--format {fmt} needs pyarrow: install it with  pip install 'tarnwick[arrow]'") from None


def run_dump(args: argparse.Namespace) -> int:
    directory: str = args.directory
    check_path(directory, args)
    if args.format in COLUMNAR_FORMATS:
        _needs_pyarrow(args.format)
        if args.output in (None, "-") and _is_terminal(sys.stdout):
            raise CliError(f"--format {args.format} writes binary data: give a file with --output")
    with destination(args.output, [directory], args.force) as (out, target):
        shown = watched(target is None)
        progress = Progress("MiB", _data_bytes(directory) if shown else None, enabled=shown)
        try:
            records, report = _dump(args, directory, out, progress)
        finally:
            progress.clear()
    left_out = _finish(directory, report)
    say(closing_line(destination_name(target), records, {"file": left_out}))
    return exit_status(left_out, args.strict)


def _dump(args: argparse.Namespace, directory: str, out: BinaryIO, progress: Progress) -> tuple[int, ReadReport]:
    """Writes the records; returns how many, and the store's report."""
    options = _scan_options(args)
    if args.format in TEXT_FORMATS:
        text = _reading.text_chunks(directory, args.format, **options)
        chunks, report = text
        lines = 0
        for chunk in chunks:
            out.write(chunk)
            lines += chunk.count(b"\n")
            if progress.due():
                progress.update(_bytes_read(report()))
        return _records_in(lines, args.format, directory), report()
    from ._provenance import store_metadata  # hashing and versions: only a columnar file records them

    source, report = _reading.batches(directory, **SCAN_SETTINGS[args.format], **options)
    rows = write_columnar(source, args.format, out, progress,  # type: ignore[arg-type]
                          metadata=lambda: store_metadata(directory, source.report))
    return rows, report()


def _records_in(lines: int, fmt: str, directory: str) -> int:
    """How many records the text output's lines hold. JSON Lines and the text
    view escape every line break, so a record is a line; CSV adds a header
    row, and its file cell (the store's path and a data file's name, quoted)
    holds each line break of the store's path as it is."""
    if fmt != "csv":
        return lines
    per_record = 1 + os.fsencode(directory).count(b"\n")
    return max(0, lines - 1) // per_record


def _bytes_read(report: ReadReport) -> int:
    """The size of the data files the scanner is done with."""
    return sum(f.size for f in report.files if f.status in ("read", "left_out"))


def _finish(directory: str, report: ReadReport) -> int:
    """Warns of everything that kept the read from being complete (and of
    what the manifest says is missing); returns how many files were not read
    whole, at least 1 for a read that is not complete."""
    for line in report.warnings():
        warn(line)
    _hint_if_no_store(directory, report)
    if report.complete:
        return 0
    not_whole = len(report.left_out) + len(report.not_admitted) + len(report.links)
    not_whole += sum(1 for f in report.files if (f.status == "read" and f.unread) or f.status == "salvaged")
    return max(not_whole, 1)


# --- summary -----------------------------------------------------------------------


def run_summary(args: argparse.Namespace) -> int:
    directory: str = args.directory
    check_path(directory, args)
    report = _reading.summarise(directory, salvage=args.salvage, **_listing_options(args))
    if getattr(args, "format", "table") == "json":
        text = _output.summary_json(report)
    else:
        text = "".join(_output.summary_lines(report))
    out = stdout()
    with writing(None):
        out.write(text.encode("utf-8", "backslashreplace"))
        out.flush()
    return exit_status(_finish(directory, report), args.strict)
