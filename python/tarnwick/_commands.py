"""What ``tarnwick summary`` and ``tarnwick dump`` do, once their arguments are parsed.

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
from ._cli_errors import CliError, StdoutError, reason
from ._names import FILE_TYPE_NAMES, KEY_STATE_NAMES
from ._columnar_output import SCAN_SETTINGS, import_pyarrow, write_columnar
from ._quiet_listing import list_names, looks_like_store, store_hint
from ._safe_output import open_output

PROG = "tarnwick"

EXIT_OK = 0
EXIT_LEFT_OUT = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143  # 128 + SIGTERM, as a shell reports a process ended by it

TEXT_FORMATS = ("jsonl", "csv", "text")
COLUMNAR_FORMATS = ("parquet", "arrow")
FORMATS = TEXT_FORMATS + COLUMNAR_FORMATS
# The choices of --state and --file-type, and the names the scanner takes.
STATES = {name.lower(): name for name in KEY_STATE_NAMES}
FILE_TYPES = {name.lower(): name for name in FILE_TYPE_NAMES}


def _check_directory(directory: str) -> None:
    try:
        info = os.stat(directory)
    except FileNotFoundError:
        raise CliError(f"no such directory: {directory!r}") from None
    except (OSError, ValueError) as error:
        raise CliError(f"cannot access {directory!r}: {reason(error)}") from None
    if not stat.S_ISDIR(info.st_mode):
        raise CliError(f"not a directory: {directory!r}")


def _warn(message: str) -> None:
    try:
        print(f"{PROG}: warning: {message}", file=sys.stderr)
    except (OSError, ValueError, AttributeError):
        pass


def _hint_if_no_store(directory: str, report: _output.StoreReport) -> None:
    """A folder holding no LevelDB file at all gets a hint: most often the
    user pointed one or two levels above the store."""
    if report.files or report.not_admitted:
        return
    try:
        if looks_like_store(list_names(directory)):
            return
    except OSError:
        return
    hint = store_hint(directory)
    _warn(hint if hint is not None else f"no LevelDB file in {directory!r}")


# --- Output ------------------------------------------------------------------------


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
            raise StdoutError(f"cannot write standard output: {reason(error)}") from None
        raise CliError(f"cannot write {target!r}: {reason(error)}") from None


def _stdout() -> BinaryIO:
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
def _destination(args: argparse.Namespace, directory: str) -> Iterator[tuple[BinaryIO, str | None]]:
    """The binary stream to write to, and the name of the file (None for
    standard output). A file is complete or not there at all."""
    target = args.output
    if target in (None, "-"):
        out = _stdout()
        with _writing(None):
            yield out, None
            out.flush()
        return
    with _writing(target), open_output(target, stores=[directory], force=args.force) as out:
        yield out, target


def _is_terminal(stream: object) -> bool:
    try:
        return bool(stream is not None and stream.isatty())  # type: ignore[attr-defined]
    except (OSError, ValueError, AttributeError):
        return False


def _status_line(to_file: bool) -> _output.StatusLine:
    # Progress goes to standard error, and only when someone watches it there
    # and the output itself is not scrolling past on the same terminal.
    watched = _is_terminal(sys.stderr) and (to_file or not _is_terminal(sys.stdout))
    return _output.StatusLine(sys.stderr, watched)


# --- dump ------------------------------------------------------------------------------


def _scan_options(args: argparse.Namespace) -> dict[str, object]:
    return {
        "reverse": args.reverse,
        "states": [STATES[s] for s in args.state] if args.state else None,
        "file_types": [FILE_TYPES[args.file_type]] if args.file_type else None,
        "key_prefix": args.key_prefix or None,
        "salvage": args.salvage,
    }


def _needs_pyarrow(fmt: str) -> None:
    try:
        import_pyarrow()
    except ImportError:
        raise CliError(f"--format {fmt} needs pyarrow: install it with  pip install 'tarnwick[arrow]'") from None


def run_dump(args: argparse.Namespace) -> int:
    directory: str = args.directory
    _check_directory(directory)
    if args.format in COLUMNAR_FORMATS:
        _needs_pyarrow(args.format)
        if args.output in (None, "-") and _is_terminal(sys.stdout):
            raise CliError(f"--format {args.format} writes binary data: give a file with --output")
    with _destination(args, directory) as (out, target):
        status = _status_line(target is not None)
        try:
            report = _dump(args, directory, out, status)
        finally:
            status.clear()
    return _finish(args, directory, report)


def _dump(args: argparse.Namespace, directory: str, out: BinaryIO, status: _output.StatusLine) -> _output.StoreReport:
    options = _scan_options(args)
    if args.format in TEXT_FORMATS:
        written = _output.ByteProgress(status)
        chunks, report = _reading.text_chunks(directory, args.format, **options)
        for chunk in chunks:
            out.write(chunk)
            written.add(len(chunk))
        return report()
    source, report = _reading.batches(directory, **SCAN_SETTINGS[args.format], **options)
    write_columnar(source, args.format, out, status)
    return report()


def _finish(args: argparse.Namespace, directory: str, report: _output.StoreReport) -> int:
    for line in report.warnings():
        _warn(line)
    _hint_if_no_store(directory, report)
    if args.strict and report.anything_left_out():
        return EXIT_LEFT_OUT
    return EXIT_OK


# --- summary -----------------------------------------------------------------------


def run_summary(args: argparse.Namespace) -> int:
    directory: str = args.directory
    _check_directory(directory)
    status = _status_line(False)
    try:
        report = _reading.summarise(directory, status, salvage=args.salvage)
    finally:
        status.clear()
    out = _stdout()
    text = "".join(_output.summary_lines(report)).encode("utf-8", "backslashreplace")
    with _writing(None):
        out.write(text)
        out.flush()
    return _finish(args, directory, report)
