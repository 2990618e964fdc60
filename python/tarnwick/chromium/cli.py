"""``tarnwick chromium DIR``: the Chromium and Electron stores under DIR, decoded.

DIR is one store ("Local Storage/leveldb", "Session Storage", an
"*.indexeddb.leveldb") or a whole profile or app-data folder, in which every store
is found. By default one row per key, its newest version (for a deleted key the
deletion, with the last value the files still hold); --history lists every version
of every key, labelled current, superseded, last_before_deletion or deleted.

The options are registered with every other subcommand's in ``tarnwick.cli``;
this is the work, imported only when the subcommand runs. The command shares
the command line's spine: the same output check, progress line, closing line
and exit-status table as ``dump``. What it could not read or decode is told as
it is met and counted in the closing line (``_problems``).
"""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from typing import Any

from .._cli_errors import CliError, closing_line, destination_name, exit_status, reason, say, warn
from .._commands import check_directory, destination
from .._progress import Progress, watched
from .._safe_output import check_outside
from ._problems import Problems


def run(args: argparse.Namespace) -> int:
    from .._store_vocabulary import list_names
    from . import find_stores
    from .discover import find_sqlite_indexeddb
    from .entry import INDEXED_DB
    from .scan import ChromiumScan, store_sources

    check_directory(args.directory)
    if args.format == "parquet":
        try:
            import pyarrow  # type: ignore[import-untyped]  # noqa: F401
        except ImportError:
            raise CliError("--format parquet needs pyarrow: install it with  pip install 'tarnwick[arrow]'") from None
    if args.output not in (None, "-"):
        check_outside(args.output, [args.directory])  # refused before anything is read
    try:
        list_names(args.directory)  # a folder that cannot be listed is an error, not "no store"
    except OSError as error:
        raise CliError(f"cannot list {args.directory!r}: {reason(error)}") from None
    problems = Problems()
    stores = [(k, s) for k, s in find_stores(args.directory, on_error=problems.folder_not_listed)
              if not args.kind or k in args.kind]
    if not args.kind or INDEXED_DB in args.kind:
        # Folders it cannot list were told by find_stores' walk already.
        for path in find_sqlite_indexeddb(args.directory):
            problems.sqlite_store(path)
    if not stores and not problems.any():
        warn(f"no Chromium store found under {args.directory!r}")
    sources = store_sources(stores)
    # A folder given itself is a store of some kind only if its keys say so;
    # one whose keys do not is passed over, and says so rather than pass for read.
    taken = {path for path, *_ in sources}
    for store in (store for _, store in stores if store not in taken):
        warn(f"{store!r}: not a Chromium store (its keys are not Local Storage's, Session Storage's or "
             "IndexedDB's); tarnwick dump gives its records")
    rows = ChromiumScan(sources, history=args.history, salvage=args.salvage, origin=args.origin,
                        key=args.key, all_records=args.all_records)
    with destination(args.output, [args.directory], args.force) as (out, target):
        progress = Progress("stores", len(stores), enabled=watched(target is None))
        watch = _Watch(rows, problems, progress)
        reader = _ReaderWatch(out, rows)
        try:
            if args.format == "jsonl":
                written = _write_jsonl(rows, out, watch)
            elif args.format == "parquet":
                written = _write_batches(args.format, rows, out, watch,
                                         metadata=lambda: _provenance(args.directory, stores, problems))
            else:
                written = _write_batches(args.format, rows, out, watch)
            if reader.gone():
                # The scan was stopped for it: what is left unwritten is the
                # reader's choice (``| head``), as a closed pipe always is.
                raise BrokenPipeError
            watch.finished()
        finally:
            reader.stop()
            rows.close()
            progress.clear()
    say(closing_line(destination_name(target), written, problems.left_out()))
    return exit_status(sum(problems.left_out().values()), args.strict)


class _Watch:
    """Tells ``problems`` about each store as the scan finishes it (its read
    report, its error rows, or why it could not be read), keeps the progress
    line going, and finds the blob files that rows say were not read."""

    def __init__(self, rows: Any, problems: Problems, progress: Progress) -> None:
        self.rows, self.problems, self.progress = rows, problems, progress
        self.told = 0

    def finished(self) -> None:
        from ..scanning import ReadReport

        outcomes = self.rows._outcomes(self.told)
        for o in outcomes:
            if o["report"] is None:
                self.problems.store_not_read(o["path"], o["failure"])
                continue
            self.problems.read_report(ReadReport.from_dict(o["report"]))
            self.problems.failed_rows(o["path"], o["error_rows"])
        self.told += len(outcomes)
        self.progress.update(self.told)

    def details(self, details: Any) -> None:
        for unread in details.get("unread_files", ()):
            self.problems.blob_not_read(unread)


class _ReaderWatch:
    """When the output is a pipe, notices its reader going away (``| head``
    has seen enough) and stops the scan then, not when the next rows are
    written, which a selective filter may not make until the last store has
    been read. A pipe whose reader is gone reports an error to poll() on its
    writing end; nothing is asked of it but that."""

    def __init__(self, out: Any, rows: Any) -> None:
        import os
        import stat
        import threading

        self._gone = threading.Event()
        self._thread: threading.Thread | None = None
        try:
            fd = out.fileno()
            if not stat.S_ISFIFO(os.fstat(fd).st_mode):
                return
        except (OSError, ValueError, AttributeError):
            return
        self._wake_read, self._wake_write = os.pipe()
        self._thread = threading.Thread(target=self._watch, args=(fd, rows), daemon=True)
        self._thread.start()

    def _watch(self, fd: int, rows: Any) -> None:
        import select

        poller = select.poll()
        poller.register(fd, 0)  # no event asked for: POLLERR, POLLHUP and POLLNVAL come anyway
        poller.register(self._wake_read, select.POLLIN)
        while True:
            for ready, _ in poller.poll():
                if ready == self._wake_read:
                    return
                self._gone.set()
                rows.close()
                return

    def gone(self) -> bool:
        return self._gone.is_set()

    def stop(self) -> None:
        import os

        if self._thread is None:
            return
        os.write(self._wake_write, b"x")
        self._thread.join()
        os.close(self._wake_read)
        os.close(self._wake_write)
        self._thread = None


_UNREAD_FILES = b'"unread_files"'


def _write_jsonl(rows: Any, out: Any, watch: _Watch) -> int:
    """The native JSON Lines chunks as they are; only lines that mention unread
    blob files are parsed, for their warnings."""
    import json

    n = 0
    for chunk in rows.jsonl():
        out.write(chunk)
        out.flush()  # the first rows reach the reader as soon as they are made
        n += chunk.count(b"\n")
        if _UNREAD_FILES in chunk:
            for line in chunk.splitlines():
                if _UNREAD_FILES in line:
                    watch.details(json.loads(line)["details"] or {})
        watch.finished()
    out.flush()
    return n


def _write_batches(fmt: str, rows: Any, out: Any, watch: _Watch, **options: Any) -> int:
    """The Arrow batches through the format's writer."""
    import json

    import pyarrow as pa

    from .output import WRITERS

    def batches() -> Iterator[Any]:
        for batch in pa.RecordBatchReader.from_stream(rows):
            details = batch.column("details")
            if isinstance(details.type, pa.BaseExtensionType):
                details = details.storage
            for text in details.to_pylist():
                if text is not None and '"unread_files"' in text:
                    watch.details(json.loads(text))
            yield batch
            out.flush()  # the batch's rows, written by now, reach the reader before the next is waited for
            watch.finished()
        watch.finished()  # the last store ends with the stream, before Parquet asks for its metadata

    return WRITERS[fmt](batches(), out, **options)


def _provenance(directory: str, stores: list[tuple[str | None, str]], problems: Problems) -> dict[bytes, bytes]:
    """Where a Parquet output came from: every file of the stores read (blob
    files included) with its size, times and SHA-256, and the read reports."""
    import os

    from .._provenance import file_facts, source_metadata, walk_files
    from ..report._collect import blob_folder

    folders = [folder for _, store in stores for folder in (store, blob_folder(store)) if folder is not None]
    files = [file_facts(path) for folder in folders for path in walk_files(folder)]
    reports = [report.to_dict() for report in problems.reports]
    # Databases of IndexedDB's SQLite backend were found but not decoded.
    not_decoded = [{"path": path, "kind": "indexeddb", "backend": "sqlite"} for path in problems.sqlite_stores]
    return source_metadata(os.path.abspath(directory), files, {"stores": reports, "not_decoded": not_decoded})
