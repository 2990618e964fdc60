"""``tarnwick chromium DIR``: the Chromium and Electron stores under DIR, decoded.

The options are registered with every other subcommand's in ``tarnwick.cli``;
this is the work, imported only when the subcommand runs. The command shares
the command line's spine: the same output check, progress line, closing line
and exit-status table as ``dump``.
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Iterator

from .._cli_errors import CliError, closing_line, destination_name, exit_status, reason, say, warn
from .._commands import check_directory, destination
from .._progress import Progress, watched
from .._safe_output import check_outside
from .entry import Entry


def _selected(args: argparse.Namespace, e: Entry) -> bool:
    if args.origin is not None and (e.origin is None or args.origin not in e.origin):
        return False
    if args.key is not None:
        wanted: str = args.key
        return e.key == wanted or json.dumps(e.key, ensure_ascii=False, separators=(",", ":")) \
            == wanted.replace(", ", ",")
    return True


class _Tally:
    """What the run could not read or decode, for the closing line and the status."""

    def __init__(self) -> None:
        self.stores_skipped = 0
        self.folders_unlisted = 0
        self.undecoded = 0

    def left_out(self) -> dict[str, int]:
        return {"store": self.stores_skipped, "unlisted folder": self.folders_unlisted, "undecoded record": self.undecoded}


def run(args: argparse.Namespace) -> int:
    from . import find_stores, latest, read_store
    from .history import history
    from .output import WRITERS

    check_directory(args.directory)
    if args.format == "parquet":
        try:
            import pyarrow  # type: ignore[import-untyped]  # noqa: F401
        except ImportError:
            raise CliError("--format parquet needs pyarrow: install it with  pip install 'tarnwick[arrow]'") from None
    if args.output not in (None, "-"):
        check_outside(args.output, [args.directory])  # refused before anything is read
    tally = _Tally()

    def unlisted(path: str, error: OSError) -> None:
        warn(f"cannot list {path!r}: {reason(error)}; stores in it are not read")
        tally.folders_unlisted += 1

    stores = [(k, s) for k, s in find_stores(args.directory, on_error=unlisted) if not args.kind or k in args.kind]
    if not stores:
        warn(f"no Chromium store found under {args.directory!r}")

    def entries(progress: Progress) -> Iterator[Entry]:
        for done, (kind, store) in enumerate(stores):
            progress.update(done)
            try:
                decoded = list(read_store(store, kind))
            except (OSError, ValueError) as error:  # a store that cannot be listed or opened
                warn(f"skipped {store!r}: {reason(error)}")
                tally.stores_skipped += 1
                continue
            for e in (history(decoded) if args.history else latest(decoded)):
                if (args.all_records or e.record_type == "data") and _selected(args, e):
                    if e.error is not None:
                        tally.undecoded += 1
                    yield e

    with destination(args.output, [args.directory], args.force) as (out, target):
        progress = Progress("stores", len(stores), enabled=watched(target is None))
        try:
            written = WRITERS[args.format](entries(progress), out)
        finally:
            progress.clear()
    say(closing_line(destination_name(target), written, tally.left_out()))
    return exit_status(sum(tally.left_out().values()), args.strict)
