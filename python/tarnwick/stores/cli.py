"""The work of the ``find`` and ``export`` subcommands (their options are
registered in ``tarnwick.cli``; this is imported only when one of them runs).

``tarnwick find TREE`` lists every store with its kind, origin, file count and
bytes; ``tarnwick export TREE -o DATASET`` writes the Parquet dataset. Both
only read the tree, and share the command line's spine: one-line errors, the
exit-status table, the progress line and the closing line.
"""

from __future__ import annotations

import argparse
import os
from typing import Any

from .._cli_errors import CliError, closing_line, destination_name, exit_status, reason, say, warn
from .._commands import check_directory, stdout, writing
from .._progress import Progress, watched
from .._safe_output import OutputError, check_outside


class _Unlisted:
    """Folders of the tree that could not be listed: each warned of once."""

    def __init__(self, consequence: str) -> None:
        self.consequence = consequence
        self.paths: dict[str, str] = {}

    def __call__(self, path: str, error: OSError) -> None:
        self.paths[path] = reason(error)
        warn(f"cannot list {path!r}: {reason(error)}; {self.consequence}")


def run_find(args: argparse.Namespace) -> int:
    from .._line_escape import escape_line
    from ._dataset import json_text
    from .find import find_stores

    check_directory(args.tree)
    unlisted = _Unlisted("stores in it are not found")
    try:
        stores = find_stores(args.tree, on_error=unlisted)
    except OSError as error:
        raise CliError(f"cannot list {args.tree!r}: {reason(error)}") from None
    if not stores:
        # As the other commands do: an empty listing is not mistaken for a
        # tree that was looked at and has nothing in a wrong place.
        warn(f"no LevelDB store under {args.tree!r}")
    if args.format == "jsonl":
        lines = [json_text(store.to_dict(), sort_keys=False) + "\n" for store in stores]
    else:
        lines = ["\t".join(escape_line(str(field)) for field in (s.kind, s.origin or "-", s.file_count, s.bytes, s.path))
                 + "\n" for s in stores]
    out = stdout()
    with writing(None):
        out.write("".join(lines).encode("utf-8", "surrogateescape"))
        out.flush()
    return exit_status(len(unlisted.paths), args.strict)


def _dataset_outside_the_tree(tree: str, dataset: str) -> None:
    """The dataset may not be written into the tree, nor through a bind mount
    of the tree or of any store in it: each is compared by identity with the
    dataset's nearest existing folder and every folder above it."""
    from .find import iter_stores

    stores = [os.path.join(tree, store.path) for store in iter_stores(tree)]
    try:
        check_outside(dataset, [tree, *stores])
    except OutputError as error:
        raise CliError(f"refusing to write the dataset {dataset!r}: it leads inside the tree {tree!r} ({error})") from None


def run_export(args: argparse.Namespace) -> int:
    from ._export import ExportError, export

    check_directory(args.tree)
    _dataset_outside_the_tree(args.tree, args.output)
    client: Any = None
    progress = Progress("pieces", enabled=watched(False))
    try:
        if args.scheduler:
            try:
                from distributed import Client
            except ImportError:
                raise CliError("--scheduler needs Dask: install it with  pip install 'tarnwick[dask]'") from None
            try:
                client = Client(args.scheduler)  # type: ignore[no-untyped-call]
            except OSError as error:
                raise CliError(f"cannot reach the scheduler {args.scheduler!r}: {reason(error)}") from None
        try:
            result = export(args.tree, args.output, jobs=args.jobs, client=client, progress=progress.update,
                            decode=args.decode)
        except ExportError as error:
            raise CliError(str(error)) from None
    finally:
        progress.clear()
        if client is not None:
            client.close()
    for path, why in result.unlisted.items():
        warn(f"cannot list {path!r}: {why}; stores in it are not exported")
    for path, why in sorted(result.failed.items()):
        warn(f"failed {path!r}: {why}")
    for path, files in sorted(result.unreadable.items()):
        for name, why in sorted(files.items()):
            warn(f"cannot read {path + '/' + name!r}: {why}; the store's other files are exported")
    for path, names in sorted(result.changed.items()):
        warn(f"{path!r}: changed while exported: {', '.join(names)} (see the manifest)")
    for path, why in sorted(result.not_decoded.items()):
        warn(f"{path!r}: its records are exported, but they could not be decoded: {why}")
    unreadable = sum(len(files) for files in result.unreadable.values())
    changed = sum(len(names) for names in result.changed.values())
    left_out = {"store": len(result.failed), "unreadable file": unreadable, "changed file": changed,
                "unlisted folder": len(result.unlisted), "store not decoded": len(result.not_decoded)}
    say(
        f"{len(result.exported)} stores exported, {len(result.unchanged)} unchanged, "
        f"{len(result.failed)} failed, {len(result.removed)} removed; "
        + closing_line(destination_name(result.dataset), result.records, left_out)
    )
    return exit_status(sum(left_out.values()), args.strict)
