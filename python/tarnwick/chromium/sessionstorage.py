"""Session Storage (``<profile>/Session Storage``).

Keys: ``version`` and ``next-map-id`` (decimal text); ``namespace-`` + 36-character
session id + ``-`` + storage key, whose value is the number of the map holding that
tab session's data for that storage key; ``map-`` + number + ``-`` + UTF-8 script key,
whose value is the script value in UTF-16LE. Several namespaces may share one map.
Databases of the legacy layout also hold empty ``namespace-`` markers and
``map-<n>-`` reference counts.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

from ._binary import DecodeError, decimal_int, utf16
from ._records import RawRecord
from .entry import SESSION_STORAGE, Entry, failure_text
from .storage_key import storage_key_text

VERSION_KEY = b"version"
NEXT_MAP_ID_KEY = b"next-map-id"
NAMESPACE_PREFIX = b"namespace-"
MAP_PREFIX = b"map-"
SEPARATOR = b"-"
SESSION_ID_LENGTH = 36


_decimal = decimal_int


def _namespace(k: bytes) -> tuple[str, str | None]:
    """(session id, storage key text or None for a legacy marker)."""
    rest = k[len(NAMESPACE_PREFIX):]
    session, sep, sk = rest[:SESSION_ID_LENGTH], rest[SESSION_ID_LENGTH:SESSION_ID_LENGTH + 1], \
        rest[SESSION_ID_LENGTH + 1:]
    if len(session) < SESSION_ID_LENGTH or sep != SEPARATOR:
        raise DecodeError("namespace key without a 36-character session id and '-'")
    return session.decode("ascii"), (storage_key_text(sk) if sk else None)


def _script_key_text(data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise DecodeError("script key is not valid UTF-8") from None


def _map_key(k: bytes) -> tuple[int, bytes]:
    number, sep, script_key = k[len(MAP_PREFIX):].partition(SEPARATOR)
    if not sep:
        raise DecodeError("map key without '-' after its number")
    return _decimal(number), script_key


def decode(records: Iterable[RawRecord], store_path: str) -> Iterator[Entry]:
    records = list(records)
    # Which storage keys (and sessions) each map belongs to, from every namespace record.
    owners: dict[int, dict[str, set[str]]] = {}
    for r in records:
        if r.user_key.startswith(NAMESPACE_PREFIX) and r.state != "deleted":
            try:
                session, sk = _namespace(r.user_key)
                if sk is not None:
                    m = owners.setdefault(_decimal(r.value), {})
                    m.setdefault(sk, set()).add(session)
            except Exception:  # noqa: BLE001, S110 - the record itself reports why
                pass
    for r in records:
        yield _decode_record(r, store_path, owners)


def _decode_record(r: RawRecord, store_path: str, owners: dict[int, dict[str, set[str]]]) -> Entry:
    k = r.user_key
    has_value = r.state != "deleted"
    e = Entry(SESSION_STORAGE, store_path, "unknown", None, None, None, r.state, r.seq, r.file,
              r.offset, k, r.value)
    try:
        if k in (VERSION_KEY, NEXT_MAP_ID_KEY):
            e.record_type = k.decode()
            e.key = k.decode()
            if has_value:
                e.value = _decimal(r.value)
        elif k.startswith(NAMESPACE_PREFIX):
            if k == NAMESPACE_PREFIX:
                e.record_type, e.key = "namespace_marker", ""
                return e
            session, sk = _namespace(k)
            e.namespace = session
            if sk is None:
                e.record_type, e.key = "namespace_marker", session
                return e
            e.record_type = "namespace"
            e.set_storage_key(sk)
            e.key = sk
            if has_value:
                e.value = {"map": _decimal(r.value)}
        elif k.startswith(MAP_PREFIX):
            number, script_key = _map_key(k)
            e.details["map"] = number
            if not script_key:
                e.record_type, e.key = "map_refcount", str(number)
                if has_value:
                    e.value = _decimal(r.value)
                return e
            e.record_type = "data"
            owner = owners.get(number, {})
            if owner:
                sks = sorted(owner)
                e.set_storage_key(sks[0])
                if len(sks) > 1:
                    e.details["storage_keys"] = sks
                e.namespace = ",".join(sorted(set().union(*owner.values())))
            e.decode_key_and_value(
                lambda: _script_key_text(script_key),
                Exception,
                (lambda: utf16(r.value, "little")) if has_value else None,
                Exception,
            )
        else:
            raise DecodeError("key of no known Session Storage kind")
    except Exception as error:  # noqa: BLE001 - one record's failure stays with it
        e.error = failure_text(error)
    return e
