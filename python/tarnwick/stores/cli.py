"""The ``find`` and ``export`` commands, wired into ``tarnwick`` by ``add_subcommand``.

``tarnwick find TREE`` lists every store with its kind, origin, file count and
bytes; ``tarnwick export TREE -o DATASET`` writes the Parquet dataset. Both
only read the tree. Exit status: 0 on success, 1 when some stores or files could
not be exported (the rest are), 2 when the tree or the dataset cannot be used,
130 when interrupted.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


def _error(message: str) -> int:
    print(f"tarnwick: {message}", file=sys.stderr)
    return EXIT_ERROR


def _warn_unlisted(path: str, error: OSError) -> None:
    print(f"tarnwick: cannot list {path!r}: {error.strerror or error}; stores in it are not found", file=sys.stderr)


def run_find(args: argparse.Namespace) -> int:
    from ._dataset import json_text
    from .find import find_stores

    try:
        stores = find_stores(args.tree, on_error=_warn_unlisted)
    except OSError as error:
        return _error(f"cannot list {args.tree!r}: {error.strerror or error}")
    out = sys.stdout
    try:
        if args.format == "jsonl":
            for store in stores:
                out.write(json_text(store.to_dict(), sort_keys=False) + "\n")
        else:
            for store in stores:
                origin = store.origin or "-"
                out.write(f"{store.kind}\t{origin}\t{store.file_count}\t{store.bytes}\t{store.path}\n")
        out.flush()
    except BrokenPipeError:
        # The reader went away (``| head``): what is still buffered goes nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return EXIT_OK


class _ProgressLine:
    def __init__(self) -> None:
        self.enabled = sys.stderr.isatty()

    def __call__(self, done: int, total: int) -> None:
        if self.enabled:
            sys.stderr.write(f"\rtarnwick: {done}/{total} pieces read")
            sys.stderr.flush()

    def clear(self) -> None:
        if self.enabled:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def run_export(args: argparse.Namespace) -> int:
    from ._export import ExportError, export

    client: Any = None
    progress = _ProgressLine()
    try:
        if args.scheduler:
            try:
                from distributed import Client
            except ImportError:
                return _error("--scheduler needs Dask (pip install 'tarnwick[dask]')")
            try:
                client = Client(args.scheduler)  # type: ignore[no-untyped-call]
            except OSError as error:
                return _error(f"cannot reach the scheduler {args.scheduler!r}: {error}")
        try:
            result = export(args.tree, args.output, jobs=args.jobs, client=client, progress=progress)
        except ExportError as error:
            return _error(str(error))
        except OSError as error:
            return _error(f"cannot export: {error}")
    except KeyboardInterrupt:
        progress.clear()
        return EXIT_INTERRUPTED
    finally:
        if client is not None:
            client.close()
    progress.clear()
    print(
        f"tarnwick: {len(result.exported)} stores exported, {len(result.unchanged)} unchanged, "
        f"{len(result.failed)} failed, {len(result.removed)} removed; "
        f"{result.records} records in {result.dataset}",
        file=sys.stderr,
    )
    for path, reason in result.unlisted.items():
        print(f"tarnwick: cannot list {path!r}: {reason}; stores in it are not exported", file=sys.stderr)
    for path, reason in sorted(result.failed.items()):
        print(f"tarnwick: failed {path!r}: {reason}", file=sys.stderr)
    for path, files in sorted(result.unreadable.items()):
        for name, reason in sorted(files.items()):
            print(f"tarnwick: cannot read {path + '/' + name!r}: {reason}; the store's other files are exported", file=sys.stderr)
    for path, names in sorted(result.changed.items()):
        print(f"tarnwick: {path!r}: changed while exported: {', '.join(names)} (see the manifest)", file=sys.stderr)
    return EXIT_SOME_FAILED if result.failed or result.unreadable else EXIT_OK


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def add_subcommand(subparsers: Any) -> None:
    """Add ``find`` and ``export`` to the ``tarnwick`` command's subparsers."""
    find = subparsers.add_parser(
        "find",
        help="list every LevelDB store in a folder tree",
        description="List every LevelDB store under TREE: kind, origin (or -), files, bytes, path.",
    )
    find.add_argument("tree", metavar="TREE")
    find.add_argument("--format", choices=("text", "jsonl"), default="text", help="tab-separated text (default) or JSON Lines")
    find.set_defaults(run=run_find)

    export = subparsers.add_parser(
        "export",
        help="export every store in a folder tree to one Parquet dataset",
        description="Write the records of every store under TREE to the Parquet dataset DATASET "
        "(hive-partitioned by store), with a chain-of-custody manifest. A re-run skips unchanged stores.",
    )
    export.add_argument("tree", metavar="TREE")
    export.add_argument("-o", "--output", metavar="DATASET", required=True, help="the dataset directory")
    where = export.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_positive, default=1, metavar="N", help="worker processes (default 1)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler instead")
    export.set_defaults(run=run_export)
