"""``tarnwick chromium DIR``: the Chromium and Electron stores under DIR, decoded.

DIR is one store ("Local Storage/leveldb", "Session Storage", an
"*.indexeddb.leveldb") or a whole profile or app-data folder, in which every store
is found. By default one row per key, its newest version (for a deleted key the
deletion, with the last value the files still hold); --history lists every version
of every key, labelled current, superseded, last_before_deletion or deleted.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator
from typing import Any, BinaryIO

from . import _json
from ._problems import Problems
from .entry import Entry
from .output import WRITERS

# 1: with --strict, something could not be read or decoded (see the warnings).
EXIT_OK, EXIT_INCOMPLETE, EXIT_ERROR = 0, 1, 2
KINDS = ("localstorage", "sessionstorage", "indexeddb")


def add_subcommand(subparsers: argparse._SubParsersAction) -> None:  # type: ignore[type-arg]
    p = subparsers.add_parser(
        "chromium",
        help="decode the Local Storage, Session Storage and IndexedDB of Chromium and Electron",
        description=__doc__.split("\n\n", 1)[1] if __doc__ else None,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("directory", metavar="DIR", help="a store, or a profile or app-data folder")
    p.add_argument("--format", "-f", choices=tuple(WRITERS), default="text")
    p.add_argument("--history", action="store_true", help="every version of every key")
    p.add_argument("--all-records", action="store_true",
                   help="metadata, exists, index and external-object records too, not only data")
    p.add_argument("--kind", action="append", choices=KINDS, help="only stores of this kind (repeatable)")
    p.add_argument("--key", help="only this key: its text, or its JSON for other keys (e.g. 1, [1,\"a\"])")
    p.add_argument("--origin", help="only origins containing this text")
    p.add_argument("--output", "-o", metavar="FILE", help="write to FILE, never inside DIR")
    p.add_argument("--force", action="store_true", help="replace FILE if it exists")
    p.add_argument("--strict", action="store_true",
                   help="exit with status 1 when anything could not be read or decoded")
    p.set_defaults(run=run)


def _error(message: str) -> int:
    print(f"tarnwick chromium: error: {message}", file=sys.stderr)
    return EXIT_ERROR


@contextlib.contextmanager
def _destination(args: argparse.Namespace) -> Iterator[BinaryIO]:
    if args.output is None:
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    from .._safe_output import open_output

    with open_output(args.output, stores=[args.directory], force=args.force) as out:
        yield out


def _selected(args: argparse.Namespace, e: Entry) -> bool:
    if args.origin is not None and (e.origin is None or args.origin not in e.origin):
        return False
    if args.key is not None:
        wanted: str = args.key
        return e.key == wanted or _json.dumps(e.key) == wanted.replace(", ", ",")
    return True


def run(args: argparse.Namespace) -> int:
    from . import find_stores

    if not os.path.isdir(args.directory):
        return _error(f"not a directory: {args.directory!r}")
    if args.format == "parquet":
        try:
            import pyarrow  # type: ignore[import-untyped]  # noqa: F401
        except ImportError:
            return _error("parquet output needs pyarrow: pip install 'tarnwick[arrow]'")
    if args.output is not None:
        from .._safe_output import check_outside

        check_outside(args.output, [args.directory])
    try:
        _list_without_trace(args.directory)
    except OSError as error:
        return _error(f"cannot list {args.directory!r}: {error.strerror or error}")
    problems = Problems()
    stores = [(k, s) for k, s in find_stores(args.directory, problems.folder_not_listed)
              if not args.kind or k in args.kind]
    if not stores and not problems.any():
        print(f"tarnwick chromium: no Chromium store found under {args.directory!r}", file=sys.stderr)
    with _destination(args) as out:
        rows = WRITERS[args.format](_entries(args, stores, problems), out)  # type: ignore[arg-type]
    print(problems.closing_line(rows), file=sys.stderr)
    return EXIT_INCOMPLETE if args.strict and problems.any() else EXIT_OK


def _list_without_trace(folder: str) -> list[str]:
    """The names in ``folder``, listed through a descriptor opened without changing
    its access time (the folder named by the examiner may be a link); raises OSError
    when it cannot be listed."""
    from ..stores._evidence_io import open_noatime

    fd = open_noatime(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        return os.listdir(fd)
    finally:
        os.close(fd)


def _entries(args: argparse.Namespace, stores: list[tuple[str | None, str]],
             problems: Problems) -> Iterator[Entry]:
    """The selected rows of every store; what could not be read goes to ``problems``."""
    from . import latest, read_store
    from .history import history

    for kind, store in stores:
        reports: list[Any] = []
        try:
            decoded = list(read_store(store, kind, reports))
        except Exception as error:  # noqa: BLE001 - one store's failure costs only that store
            problems.store_not_read(store, error)
            continue
        for report in reports:
            problems.read_report(report)
        problems.entries(store, decoded)
        for e in (history(decoded) if args.history else latest(decoded)):
            if (args.all_records or e.record_type == "data") and _selected(args, e):
                yield e
