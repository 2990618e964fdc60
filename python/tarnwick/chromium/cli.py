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
from . import _json
from ._problems import Problems
from .entry import Entry


def _selected(args: argparse.Namespace, e: Entry) -> bool:
    if args.origin is not None and (e.origin is None or args.origin not in e.origin):
        return False
    if args.key is not None:
        wanted: str = args.key
        return e.key == wanted or _json.dumps(e.key) == wanted.replace(", ", ",")
    return True


def run(args: argparse.Namespace) -> int:
    from .._store_vocabulary import list_names
    from . import find_stores
    from .output import WRITERS

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
    if not stores and not problems.any():
        warn(f"no Chromium store found under {args.directory!r}")
    with destination(args.output, [args.directory], args.force) as (out, target):
        progress = Progress("stores", len(stores), enabled=watched(target is None))
        try:
            rows = _entries(args, stores, problems, progress)
            if args.format == "parquet":
                written = WRITERS["parquet"](rows, out, metadata=lambda: _provenance(args.directory, stores, problems))  # type: ignore[call-arg]
            else:
                written = WRITERS[args.format](rows, out)  # type: ignore[arg-type]
        finally:
            progress.clear()
    say(closing_line(destination_name(target), written, problems.left_out()))
    return exit_status(sum(problems.left_out().values()), args.strict)


def _provenance(directory: str, stores: list[tuple[str | None, str]], problems: Problems) -> dict[bytes, bytes]:
    """Where a Parquet output came from: every file of the stores read (blob
    files included) with its size, times and SHA-256, and the read reports."""
    import os

    from .._provenance import file_facts, source_metadata, walk_files
    from ..report._collect import blob_folder

    folders = [folder for _, store in stores for folder in (store, blob_folder(store)) if folder is not None]
    files = [file_facts(path) for folder in folders for path in walk_files(folder)]
    reports = [report.to_dict() for report in problems.reports]
    return source_metadata(os.path.abspath(directory), files, {"stores": reports})


def _entries(args: argparse.Namespace, stores: list[tuple[str | None, str]], problems: Problems,
             progress: Progress) -> Iterator[Entry]:
    """The selected rows of every store; what could not be read goes to ``problems``."""
    from . import latest, read_store
    from .history import history

    for done, (kind, store) in enumerate(stores):
        progress.update(done)
        reports: list[Any] = []
        try:
            decoded = list(read_store(store, kind, reports, salvage=args.salvage))
        except Exception as error:  # noqa: BLE001 - one store's failure costs only that store
            problems.store_not_read(store, error)
            continue
        for report in reports:
            problems.read_report(report)
        problems.entries(store, decoded)
        for e in (history(decoded) if args.history else latest(decoded)):
            if (args.all_records or e.record_type == "data") and _selected(args, e):
                yield e
