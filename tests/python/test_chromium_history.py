"""Version labels of the history, and Session Storage rows of the legacy layout, on
hand-made record sequences: the chains a browser cannot be made to leave on demand
(a value in both a log and its table, unknown states, reused keys after deletion)."""

from __future__ import annotations

import pytest

from tarnwick.chromium import history, latest, localstorage, sessionstorage
from tarnwick.chromium._records import RawRecord

KEY = b"_https://example.com\x00\x01k"


def rec(seq: int, state: str, value: bytes = b"", file: str = "000003.log") -> RawRecord:
    return RawRecord(KEY, value if state != "deleted" else b"", seq, state, file, seq * 10)


@pytest.mark.parametrize(
    ("chain", "labels"),
    [
        ([("live", b"\x01a")], ["current"]),
        ([("live", b"\x01a"), ("live", b"\x01b")], ["superseded", "current"]),
        ([("live", b"\x01a"), ("deleted", b"")], ["last_before_deletion", "deleted"]),
        ([("live", b"\x01a"), ("deleted", b""), ("live", b"\x01c")],
         ["last_before_deletion", "deleted", "current"]),
        ([("deleted", b"")], ["deleted"]),
        ([("live", b"\x01a"), ("unknown", b"\x01?"), ("deleted", b"")],
         ["last_before_deletion", "unknown", "deleted"]),
    ],
)
def test_labels(chain: list[tuple[str, bytes]], labels: list[str]) -> None:
    records = [rec(i + 1, state, value) for i, (state, value) in enumerate(chain)]
    got = history(localstorage.decode(reversed(records), "store"))
    assert [e.version_status for e in got] == labels
    assert [e.seq for e in got] == sorted(e.seq for e in got)


def test_a_record_in_both_a_log_and_its_table_counts_once() -> None:
    records = [rec(1, "live", b"\x01a", "000005.ldb"), rec(1, "live", b"\x01a", "000003.log"),
               rec(2, "deleted")]
    got = history(localstorage.decode(records, "store"))
    assert [(e.seq, e.version_status) for e in got] == [(1, "last_before_deletion"), (2, "deleted")]


def test_latest_shows_a_deleted_key_with_its_last_value() -> None:
    (e,) = latest(localstorage.decode([rec(1, "live", b"\x01a"), rec(2, "live", b"\x01b"),
                                       rec(3, "deleted")], "store"))
    assert (e.state, e.value, e.details["value_from_seq"]) == ("deleted", "b", 2)


SESSION = "dabc53e1_8291_4de5_824f_dab8aa69c846"


@pytest.mark.parametrize(
    ("key", "value", "record_type", "decoded_key", "decoded_value"),
    [
        (b"namespace-", b"", "namespace_marker", "", None),
        (f"namespace-{SESSION}-".encode(), b"", "namespace_marker", SESSION, None),
        (b"map-3-", b"2", "map_refcount", "3", 2),
        (f"namespace-{SESSION}-https://a.example/".encode(), b"3", "namespace",
         "https://a.example/", {"map": 3}),
        ("map-3-ключ-2".encode(), "знач".encode("utf-16-le"), "data", "ключ-2", "знач"),
        (b"next-map-id", b"4", "next-map-id", "next-map-id", 4),
    ],
)
def test_session_storage_rows(key: bytes, value: bytes, record_type: str, decoded_key: str,
                              decoded_value: object) -> None:
    owner = RawRecord(f"namespace-{SESSION}-https://a.example/".encode(), b"3", 1, "live", "f", 0)
    entries = list(sessionstorage.decode([owner, RawRecord(key, value, 2, "live", "f", 9)], "s"))
    e = entries[1]
    assert (e.record_type, e.key, e.value, e.error) == (record_type, decoded_key, decoded_value, None)
    if record_type == "data":
        assert (e.origin, e.namespace) == ("https://a.example", SESSION)


@pytest.mark.parametrize("key", [b"namespace-short-https://a/", b"map-x-k", b"map-3", b"other"])
def test_session_storage_keys_of_no_known_shape(key: bytes) -> None:
    (e,) = sessionstorage.decode([RawRecord(key, b"1", 1, "live", "f", 0)], "s")
    assert e.error and e.user_key == key


@pytest.mark.parametrize(
    ("key", "value", "decoded", "error"),
    [(KEY[:-2] + b"\x02k", b"\x01v", (None, "v"), "key: unknown string format byte 0x02"),
     (KEY, b"\x07v", ("k", None), "value: unknown string format byte 0x07"),
     (KEY[:-2] + b"\x00k", b"\x00v", (None, None), "key: UTF-16 text of odd length 1; value: UTF-16 text of odd length 1")],
)
def test_a_damaged_key_keeps_its_value_and_the_other_way_round(key: bytes, value: bytes,
                                                               decoded: tuple, error: str) -> None:
    (e,) = localstorage.decode([RawRecord(key, value, 1, "live", "f", 0)], "store")
    assert ((e.key, e.value), e.error) == (decoded, error)
