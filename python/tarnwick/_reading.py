"""How the command line reads a store: through the scanner, in bounded memory.

``text_chunks(directory, fmt, **options)`` gives the encoded output (made by
the scanner's worker threads) in chunks of bytes, and a function returning
the store's report once they are used up; ``batches(directory,
**options)`` gives a stream of Arrow record batches and the same function;
``summarise(directory)`` the report alone, with counts per file. The
``options`` are ``reverse``, ``states`` (KeyState names), ``file_types``
(FileType names) and ``key_prefix`` (bytes), and for batches also
``threads`` and ``batch_bytes``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any, Literal

from ._cli_errors import CliError
from .scanning import ReadReport, Scan, TextScan, inspect, scan, scan_text

ReportFunction = Callable[[], ReadReport]


def _cannot_read(directory: str, error: BaseException) -> Exception:
    return CliError(f"cannot read {directory!r}: {error}")


def _started(directory: str, start: Callable[[], Any]) -> Any:
    """A scan started; the scanner's refusals (not a directory, not listable)
    as one-line errors."""
    try:
        return start()
    except (ValueError, OSError) as error:
        raise _cannot_read(directory, error) from None


def _chunks(directory: str, text: TextScan) -> Iterator[bytes]:
    try:
        yield from text
    except RuntimeError as error:  # a worker failed: the scan ended early
        raise _cannot_read(directory, error) from None
    finally:
        text.close()  # stops the workers at once if the output went away


def text_chunks(directory: str, fmt: Literal["jsonl", "csv", "text"], **options: Any) -> tuple[Iterator[bytes], ReportFunction]:
    text = _started(directory, lambda: scan_text(directory, fmt, **options))
    return _chunks(directory, text), lambda: text.report


def batches(directory: str, **options: Any) -> tuple[Scan, ReportFunction]:
    source = _started(directory, lambda: scan(directory, **options))

    def report() -> ReadReport:
        latest = source.report
        # No consumer asked for the stream: nothing was read.
        return latest if latest is not None else ReadReport(directory, False, False, (), (), None)

    return source, report


# --- summary ---------------------------------------------------------------------------


def summarise(directory: str, **options: Any) -> ReadReport:
    """The store's report with each file's records counted by state and by
    compression, all counted by the scanner: no record becomes a Python
    object. ``options`` are inspect()'s ``any_name`` and ``as_kind``."""
    try:
        report: ReadReport = _started(directory, lambda: inspect(directory, **options))
    except RuntimeError as error:  # a worker failed: the scan ended early
        raise _cannot_read(directory, error) from None
    return report
