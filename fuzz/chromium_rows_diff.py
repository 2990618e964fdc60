#!/usr/bin/env python3
"""Differential fuzzing of whole decoded Chromium stores: native rows against Python rows.

    fuzz/chromium_rows_diff.py --smoke [SECONDS]          each target SECONDS (default 5)
    fuzz/chromium_rows_diff.py TARGET [libFuzzer options]  one target, for long runs, e.g.
        fuzz/chromium_rows_diff.py indexeddb -max_total_time=1200 -rss_limit_mb=2048 -timeout=60 \
            -artifact_prefix=build/fuzz-artifacts/rows-indexeddb-
    fuzz/chromium_rows_diff.py --show TARGET FILE          an input's records and the disagreement

Targets: localstorage, sessionstorage, indexeddb (the kind of store the input becomes).
Each input is a short list of records (see ``parse``), written as the one log file
of a store of that kind in a folder under /dev/shm named as the browser names it.
The store is then decoded by both decoders, ``tarnwick.chromium.scan`` (native)
and ``read_store`` with the history labels (Python), with history and newest-only,
and the rows must be the same multiset once the deliberate differences are taken
out (tests/python/row_comparison.py). The seeds are the records of the real-browser
fixtures (tests/fixtures/chromium), one store or a window of it per seed, written
to fuzz/corpus/chromium_rows_<target>/generated/.

An input that makes the two disagree is written by libFuzzer as a crash file;
``--show`` prints its records and the rows that differ.
atheris is installed on first use, as for fuzz/chromium_decoders.py.
"""

from __future__ import annotations

import os
import shutil
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "fuzz"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

import chromium_decoders  # noqa: E402  (its atheris install and smoke runner)

FIXTURES = ROOT / "tests" / "fixtures" / "chromium"
TARGETS = ("localstorage", "sessionstorage", "indexeddb")
# Where each kind of store sits in a profile: the folder name tells the kind
# (and, for IndexedDB, the origin).
STORE_FOLDERS = {"localstorage": "Local Storage/leveldb", "sessionstorage": "Session Storage",
                 "indexeddb": "IndexedDB/http_127.0.0.1_8080.indexeddb.leveldb"}
FIXTURE_STORES = {"localstorage": "Local Storage/leveldb", "sessionstorage": "Session Storage",
                  "indexeddb": "IndexedDB/*.indexeddb.leveldb"}
LOG_NAME = "000003.log"
# The flags byte in front of each record.
DELETION = 0x01
NEW_BATCH = 0x02
SAME_SEQ = 0x04  # the new batch starts at the sequence number of the batch before
SEED_WINDOW = 16
MAX_LEN = 4096
# Rows of the hostile fixture nest thousands deep; Python's json reads them recursively.
RECURSION_LIMIT = 20_000


class Record(NamedTuple):
    key: bytes
    value: bytes | None  # None: a deletion
    new_batch: bool = True
    same_seq: bool = False


def _varint(data: bytes, pos: int) -> tuple[int, int]:
    """(value, position after it) of a length; one cut short takes what is there."""
    value = shift = 0
    while pos < len(data) and shift < 35:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            break
    return value, pos


def parse(data: bytes) -> list[Record]:
    """The records of an input: each is a flags byte, a varint length and the key,
    then (unless a deletion) a varint length and the value. A length that runs
    past the end takes what is there."""
    out: list[Record] = []
    pos = 0
    while pos < len(data):
        flags = data[pos]
        size, pos = _varint(data, pos + 1)
        key, pos = data[pos:pos + size], min(pos + size, len(data))
        value = None
        if not flags & DELETION:
            size, pos = _varint(data, pos)
            value, pos = data[pos:pos + size], min(pos + size, len(data))
        out.append(Record(key, value, bool(flags & NEW_BATCH) or not out, bool(flags & SAME_SEQ)))
    return out


def unparse(records: list[Record]) -> bytes:
    """The input that ``parse`` reads as ``records``."""
    from craft import varint

    out = bytearray()
    for r in records:
        flags = (DELETION if r.value is None else 0) | (NEW_BATCH if r.new_batch else 0) | \
            (SAME_SEQ if r.same_seq else 0)
        out += bytes([flags]) + varint(len(r.key)) + r.key
        if r.value is not None:
            out += varint(len(r.value)) + r.value
    return bytes(out)


def log_bytes(records: list[Record]) -> bytes:
    """The records as the write batches of one log file, as LevelDB writes them:
    the entries of a batch take consecutive sequence numbers from its header's."""
    import craft

    batches: list[tuple[int, list[bytes]]] = []
    for r in records:
        entry = craft.delete(r.key) if r.value is None else craft.put(r.key, r.value)
        if r.new_batch or not batches:
            if not batches:
                start = 1
            else:
                seq, entries = batches[-1]
                start = seq if r.same_seq else seq + len(entries)
            batches.append((start, []))
        batches[-1][1].append(entry)
    return craft.log_file(craft.write_batch(seq, entries) for seq, entries in batches)


def write_store(profile: Path, target: str, records: list[Record]) -> str:
    """A store of kind ``target`` under ``profile`` whose one file holds ``records``."""
    store = profile / STORE_FOLDERS[target]
    if store.exists():
        shutil.rmtree(store)
    store.mkdir(parents=True)
    (store / LOG_NAME).write_bytes(log_bytes(records))
    return str(store)


def disagreement(target: str, store: str) -> str | None:
    """What the two decoders disagree on for the store, None when nothing."""
    from row_comparison import comparable_rows, differences, multiset

    for history in (True, False):
        native, python = comparable_rows(target, store, history)
        if multiset(native) != multiset(python):
            mode = "history" if history else "newest"
            return f"{mode}: {len(native)} native rows, {len(python)} Python rows\n{differences(native, python)}"
    return None


_PROFILE: Path | None = None
SCRATCH = Path("/dev/shm" if os.path.isdir("/dev/shm") else "/tmp")
SCRATCH_PREFIX = "tarnwick-rows-"


def _scratch_profile() -> Path:
    """This process's folder for the stores it writes. libFuzzer ends the process
    without Python's clean-up (a finding, or the time is up), so the folders of
    runs whose process is gone are removed here instead."""
    for old in SCRATCH.glob(f"{SCRATCH_PREFIX}*"):
        pid = old.name.rsplit("-", 1)[-1]
        if pid.isdigit() and not Path(f"/proc/{pid}").exists():
            shutil.rmtree(old, ignore_errors=True)
    return SCRATCH / f"{SCRATCH_PREFIX}{os.getpid()}"


def check(target: str, data: bytes) -> None:
    """The input as a store of kind ``target``: both decoders give the same rows."""
    global _PROFILE
    if _PROFILE is None:
        sys.setrecursionlimit(max(sys.getrecursionlimit(), RECURSION_LIMIT))
        _PROFILE = _scratch_profile()
    problem = disagreement(target, write_store(_PROFILE, target, parse(data)))
    assert problem is None, problem


def _fixture_records(store: str) -> list[Record]:
    """The records of a real store in sequence order, each record once."""
    from tarnwick.chromium._records import iter_records

    seen, ordered = set(), []
    for r in sorted(iter_records(store), key=lambda r: r.seq):
        if (r.seq, r.user_key) not in seen and r.state in ("live", "deleted"):
            seen.add((r.seq, r.user_key))
            ordered.append((r.seq, r.user_key, None if r.state == "deleted" else r.value))
    out, previous = [], None
    for seq, key, value in ordered:
        new_batch = previous is None or seq != previous + 1
        out.append(Record(key, value, new_batch, previous is not None and seq == previous))
        previous = seq
    return out


def seed_stores(target: str) -> Iterator[list[Record]]:
    """Every store of ``target``'s kind in the fixtures, whole and in windows."""
    for profile in (FIXTURES / "profile", FIXTURES / "hostile" / "profile", FIXTURES / "idb_versions"):
        pattern = FIXTURE_STORES[target] if profile.name == "profile" else \
            ("*.indexeddb.leveldb" if target == "indexeddb" else None)
        for store in sorted(profile.glob(pattern)) if pattern else ():
            records = _fixture_records(str(store))
            yield records
            for start in range(0, len(records), SEED_WINDOW):
                window = records[start:start + SEED_WINDOW]
                yield [window[0]._replace(new_batch=True, same_seq=False), *window[1:]]


def seeds(target: str) -> list[bytes]:
    return [unparse(records) for records in seed_stores(target)]


def fuzz(target: str, options: list[str]) -> None:
    # Small stores mutate fastest: longer inputs (whole fixture stores) are cut
    # to MAX_LEN unless the options say otherwise (the last -max_len counts).
    chromium_decoders.run_atheris(f"chromium_rows_{target}", lambda: seeds(target), lambda data: check(target, data),
                                  [f"-max_len={MAX_LEN}", *options])


def show(target: str, path: str) -> int:
    """Print the records of an input (a crash file) and what the decoders disagree on."""
    records = parse(Path(path).read_bytes())
    for r in records:
        print(r)
    check_profile = _scratch_profile()
    sys.setrecursionlimit(max(sys.getrecursionlimit(), RECURSION_LIMIT))
    try:
        problem = disagreement(target, write_store(check_profile, target, records))
    finally:
        shutil.rmtree(check_profile, ignore_errors=True)
    print(problem or "the decoders agree")
    return 1 if problem else 0


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[0] == "--show":
        return show(argv[1], argv[2])
    return chromium_decoders.command(argv, __file__, TARGETS, fuzz, __doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
