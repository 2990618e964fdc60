"""Damaged records never make the Chromium decoders raise.

Every record of the real-browser fixture is damaged in turn (each of its first bytes
replaced, the whole truncated at each length) and decoded by its store's decoder: the
result is an entry, with the reason in ``error`` when the bytes no longer decode."""

from __future__ import annotations

from pathlib import Path

import pytest

from tarnwick.chromium import indexeddb, localstorage, sessionstorage
from tarnwick.chromium._records import RawRecord, iter_records

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"
STORES = {
    "localstorage": (localstorage.decode, PROFILE / "Local Storage" / "leveldb"),
    "sessionstorage": (sessionstorage.decode, PROFILE / "Session Storage"),
    "indexeddb": (indexeddb.decode, next((PROFILE / "IndexedDB").glob("*.indexeddb.leveldb"))),
}
# Bytes of each key and value that are damaged one by one; large values are truncated.
SWEEP_BYTES = 48
REPLACEMENTS = (0x00, 0xFF, 0x7F)


def _variants(data: bytes) -> list[bytes]:
    head = data[:SWEEP_BYTES * 4]
    out = [head[:n] for n in range(len(head))]
    for i in range(min(len(head), SWEEP_BYTES)):
        for b in REPLACEMENTS:
            if head[i] != b:
                out.append(head[:i] + bytes([b]) + head[i + 1:])
    return out


@pytest.mark.parametrize("kind", STORES)
@pytest.mark.parametrize("part", ["key", "value"])
def test_damaged_records_decode_to_entries_or_reasons(kind: str, part: str) -> None:
    decode, store = STORES[kind]
    records = list(iter_records(store))
    damaged = []
    for r in records:
        if r.state != "live":
            continue
        for v in _variants(r.user_key if part == "key" else r.value):
            fields = dict(user_key=r.user_key, value=r.value, seq=r.seq, state=r.state,
                          file=r.file, offset=r.offset)
            fields["user_key" if part == "key" else "value"] = v
            damaged.append(RawRecord(**fields))
    # Decoded together with the intact records, as they would meet in a store.
    entries = list(decode(records + damaged, str(store)))
    assert len(entries) == len(records) + len(damaged)
    failed = [e for e in entries if e.error is not None]
    assert failed, "damage should be noticed somewhere"
    assert all(isinstance(e.error, str) and e.error for e in failed)
