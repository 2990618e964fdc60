"""Exporting every store of a tree to one Parquet dataset, with a manifest.

``export(tree, dataset)`` finds the stores, reads each (in pieces for large
ones; see ``_chunks``), writes each store's records to its own hive partition
``store=<id>`` and records, for the chain of custody, every file's size and
SHA-256, the record counts and the read report, per store in the partition's
``_store.json`` and for the whole run in ``_manifest.json``.

A store whose files are all unchanged since the partition was written (same
names, sizes, modification and change times and inodes; a change time cannot
be set back by any tool) keeps its partition and its recorded hashes: a re-run
reads only what changed. A dataset belongs to the one tree it was first
written from, and exporting another tree into it is refused: partitions are
removed only for stores that the same tree no longer holds (a store under a
folder that could not be listed keeps its partition, and so does a store that
fails in this run: its earlier export stands under its own entry). An interrupted run
leaves complete partitions and staging debris that the next run removes; no
partition ever looks complete that is not.

A file that cannot be read costs that file: the store's other files are
exported, and the file is listed as unreadable with the system's reason. A
file whose size, times or inode changed between finding, hashing and reading
is listed in ``changed_while_exported`` (see ``_custody``). Either keeps the
store from counting as unchanged on the next run.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from .. import _safe_output
from .._store_vocabulary import CHROMIUM_KINDS
from . import _layout, _runners
from ._dataset import Dataset, DatasetBusy, DatasetOfAnotherTree, existing_entries, write_json
from ._plan import Chunk, plan_chunks
from .find import Store, find_stores


class ExportError(Exception):
    """The export cannot start (the tree or the dataset cannot be used); one line."""


@dataclass
class ExportResult:
    dataset: str
    manifest: str
    exported: list[str] = field(default_factory=list)  # store paths read in this run
    unchanged: list[str] = field(default_factory=list)  # kept from an earlier run
    failed: dict[str, str] = field(default_factory=dict)  # store path -> reason
    unreadable: dict[str, dict[str, str]] = field(default_factory=dict)  # store path -> file name -> reason
    changed: dict[str, list[str]] = field(default_factory=dict)  # store path -> files changed while read
    kept_unlisted: list[str] = field(default_factory=list)  # partitions kept: their folder could not be listed
    kept_earlier: list[str] = field(default_factory=list)  # failed now; their earlier run's partition kept
    removed: list[str] = field(default_factory=list)  # partitions of stores gone from the tree
    not_decoded: dict[str, str] = field(default_factory=dict)  # store path -> why its rows were not decoded
    unlisted: dict[str, str] = field(default_factory=dict)  # directories of the tree that could not be listed
    records: int = 0  # in the whole dataset


Progress = Callable[[int, int], None]


def _fingerprint(store: Store) -> list[str]:
    """What must be equal for a store to count as unchanged: per file its name,
    size, modification and change times (ns) and inode; the links skipped."""
    return [f"{f.name} {f.size} {f.mtime_ns} {f.ctime_ns} {f.inode}" for f in store.files] + [
        f"link {name}" for name in store.skipped_links
    ]


def _is_within(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip(os.sep) + os.sep)


def _check_paths(tree: str, dataset: str) -> tuple[str, str]:
    real_tree = os.path.realpath(tree)
    if not os.path.isdir(real_tree):
        raise ExportError(f"not a directory: {tree!r}")
    try:
        _safe_output.check_outside(dataset, [tree])
    except _safe_output.OutputError as error:
        raise ExportError(f"refusing to write the dataset {dataset!r} inside the tree {tree!r}") from error
    real_dataset = os.path.realpath(dataset)
    if _is_within(real_tree, real_dataset):
        raise ExportError(f"the tree {tree!r} is inside the dataset {dataset!r}")
    if os.path.lexists(dataset):
        if not os.path.isdir(dataset):
            raise ExportError(f"the dataset {dataset!r} exists and is not a directory")
        names = os.listdir(dataset)
        # A run interrupted before its manifest leaves complete partitions.
        marks = {_layout.MANIFEST_NAME, _layout.LOCK_NAME, _layout.STAGING_DIR, _layout.TREE_NAME}
        ours = bool(marks & set(names)) or any(
            n.startswith(_layout.PARTITION_KEY + "=")
            and os.path.isfile(os.path.join(dataset, n, _layout.STORE_ENTRY_NAME))
            for n in names
        )
        if names and not ours:
            raise ExportError(f"{dataset!r} is not empty and not a tarnwick dataset; choose a new directory")
    return real_tree, os.path.abspath(dataset)


def _store_entry(tree: str, store: Store, identifier: str, results: list[dict[str, Any]]) -> dict[str, Any]:
    decoded = [r for r in results if "decoded_rows" in r]
    results = sorted((r for r in results if "decoded_rows" not in r), key=lambda r: r["index"])
    hashes: dict[str, Any] = {}
    unreadable: dict[str, str] = {}
    changed: dict[str, str] = {}
    by_state: dict[str, int] = {}
    by_file: dict[str, int] = {}
    for r in results:
        hashes.update(r["hashes"])
        unreadable.update(r["unreadable"])
        changed.update(r["changed"])
        for k, v in r["by_state"].items():
            by_state[k] = by_state.get(k, 0) + v
        for k, v in r["by_file"].items():
            by_file[k] = by_file.get(k, 0) + v
    data_names = {f.name for f in store.data_files}
    return {
        "dataset_version": _layout.DATASET_VERSION,
        "tree": tree,
        "path": store.path,
        "id": identifier,
        "partition": _layout.partition_name(identifier),
        "kind": store.kind,
        "origin": store.origin,
        "files": [
            {
                "name": f.name,
                "data_file": f.name in data_names,
                "modified": _timestamp_ns(f.mtime_ns),
                **hashes.get(f.name, {"size": f.size, "sha256": None}),
                **({"unreadable": unreadable[f.name]} if f.name in unreadable else {}),
                **({"changed": changed[f.name]} if f.name in changed else {}),
            }
            for f in store.files
        ],
        "skipped_links": list(store.skipped_links),
        # Files that changed between being found, hashed and read: the store
        # is live, or being copied. Their entry under "files" says how.
        "changed_while_exported": sorted(changed),
        "unreadable_files": sorted(unreadable),
        "records": sum(r["records"] for r in results),
        "records_by_state": dict(sorted(by_state.items())),
        "records_by_file": dict(sorted(by_file.items())),
        "parts": [_layout.part_name(r["index"]) for r in results],
        "read_report": [r["report"] for r in results],
        **({"decoded": decoded[0]["decoded"]} if decoded else {}),
        # A store not read whole and unchanged is read again by the next run.
        "fingerprint": None if unreadable or changed else _fingerprint(store),
    }


def export(
    tree: str | os.PathLike[str],
    dataset: str | os.PathLike[str],
    *,
    jobs: int = 1,
    client: Any = None,
    progress: Progress | None = None,
    decode: bool = False,
) -> ExportResult:
    """Export every store under ``tree`` into the dataset directory ``dataset``.

    ``jobs`` worker processes read the stores (``1``: this process); with
    ``client`` (a ``dask.distributed.Client``) every piece is one task on its
    cluster instead, and the workers must see ``tree`` and ``dataset`` at the
    same paths. ``progress(done, total)`` is called after every piece.
    With ``decode``, every browser store's decoded rows (every version of
    every record, labelled, as ``tarnwick.chromium.scan`` gives them) go to
    its partition's ``_decoded`` folder as well.
    Raises ``ExportError`` when the tree or the dataset cannot be used; a
    store that fails is reported in the result and the rest go on.
    """
    if jobs < 1:
        raise ExportError("jobs must be at least 1")
    if importlib.util.find_spec("pyarrow") is None:
        raise ExportError("exporting needs pyarrow (pip install 'tarnwick[arrow]')")
    tree_path, dataset_path = _check_paths(os.fspath(tree), os.fspath(dataset))
    started = time.time()
    if client is None and jobs > 1:
        _runners.start_early()
    unlisted: dict[str, str] = {}

    def note_unlisted(path: str, error: OSError) -> None:
        unlisted[os.path.relpath(path, tree_path)] = error.strerror or str(error)

    stores = find_stores(tree_path, on_error=note_unlisted)
    output = Dataset(dataset_path)
    try:
        output.prepare(tree_path)
    except (DatasetBusy, DatasetOfAnotherTree) as error:
        raise ExportError(str(error)) from None
    try:
        result = _export_into(output, tree_path, stores, unlisted, jobs, client, progress, started, decode)
    finally:
        output.release()
    return result


def _export_into(
    output: Dataset,
    tree_path: str,
    stores: list[Store],
    unlisted: dict[str, str],
    jobs: int,
    client: Any,
    progress: Progress | None,
    started: float,
    decode: bool = False,
) -> ExportResult:
    dataset_path = output.path
    existing = existing_entries(dataset_path)
    result = ExportResult(dataset_path, os.path.join(dataset_path, _layout.MANIFEST_NAME), unlisted=unlisted)

    entries: dict[str, dict[str, Any]] = {}
    pending: dict[str, tuple[Store, str, int]] = {}
    chunks: list[Chunk] = []
    for store in stores:
        identifier = _layout.store_id(store.path)
        partition = _layout.partition_name(identifier)
        previous = existing.get(partition)
        if (
            previous is not None
            and previous.get("dataset_version") == _layout.DATASET_VERSION
            and previous.get("path") == store.path
            and previous.get("fingerprint") == _fingerprint(store)
            and (not decode or store.kind not in CHROMIUM_KINDS or "decoded" in previous)
        ):
            entries[partition] = previous
            result.unchanged.append(store.path)
            continue
        planned = plan_chunks(tree_path, store, output.staged(partition), decode=decode)
        pending[partition] = (store, identifier, len(planned))
        chunks.extend(planned)

    collected: dict[str, list[dict[str, Any]]] = {}
    done = 0
    try:
        for outcome in _runners.run(chunks, jobs=jobs, client=client):
            done += 1
            if progress is not None:
                progress(done, len(chunks))
            partition = _layout.partition_name(_layout.store_id(outcome["store_path"]))
            collected.setdefault(partition, []).append(outcome)
            store, identifier, count = pending[partition]
            if len(collected[partition]) < count:
                continue
            results = collected.pop(partition)
            errors = [r["error"] for r in results if "error" in r]
            if errors:
                result.failed[store.path] = errors[0]
                output.drop_staged(partition)
                if partition in existing:
                    # The tree still holds the store: its earlier export stays,
                    # under its own entry and hashes, until a run reads it.
                    entries[partition] = existing[partition]
                    result.kept_earlier.append(store.path)
                continue
            entry = entries[partition] = _store_entry(tree_path, store, identifier, results)
            output.commit(partition, entry)
            result.exported.append(store.path)
            if entry["unreadable_files"]:
                result.unreadable[store.path] = {f["name"]: f["unreadable"] for f in entry["files"] if "unreadable" in f}
            if "error" in entry.get("decoded", {}):
                result.not_decoded[store.path] = entry["decoded"]["error"]
            if entry["changed_while_exported"]:
                result.changed[store.path] = entry["changed_while_exported"]
    finally:
        shutil.rmtree(output.staging, ignore_errors=True)

    current = {_layout.partition_name(_layout.store_id(s.path)) for s in stores}
    for partition, entry in existing.items():
        if partition in current:
            continue
        path = entry.get("path")
        if isinstance(path, str) and any(_is_within(path, folder) for folder in unlisted):
            # The tree may still hold it: the folder above it could not be listed.
            entries[partition] = entry
            result.kept_unlisted.append(path)
            continue
        output.discard(partition)
        result.removed.append(str(path if path is not None else partition))
    output.clean()

    ordered = sorted(entries.values(), key=lambda e: e["path"])
    result.records = sum(e["records"] for e in ordered)
    result.exported.sort()
    result.unchanged.sort()
    manifest = {
        "format": _layout.DATASET_FORMAT,
        "dataset_version": _layout.DATASET_VERSION,
        "tarnwick_version": _version(),
        "tree": tree_path,
        "started": _timestamp(started),
        "finished": _timestamp(time.time()),
        "stores_found": len(stores),
        "records": result.records,
        "failed": [{"path": p, "error": e} for p, e in sorted(result.failed.items())],
        "unlisted_directories": [{"path": p, "error": e} for p, e in sorted(unlisted.items())],
        "kept_unlisted": sorted(result.kept_unlisted),
        "kept_from_earlier_run": sorted(result.kept_earlier),
        "unreadable_files": [
            {"path": p, "file": name, "error": e} for p, files in sorted(result.unreadable.items()) for name, e in sorted(files.items())
        ],
        "stores": ordered,
    }
    write_json(result.manifest, manifest, sync=True)
    return result


def _timestamp(seconds: float) -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def _timestamp_ns(ns: int) -> str:
    seconds, fraction = divmod(ns, 1_000_000_000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + f".{fraction:09d}Z"


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarnwick")
    except PackageNotFoundError:
        return "unknown"

