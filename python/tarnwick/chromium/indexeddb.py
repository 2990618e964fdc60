"""IndexedDB (``<origin id>.indexeddb.leveldb`` and ``WebStorage/<bucket>/IndexedDB``).

Every key starts with the «database, object store, index» prefix (``idb_key``):
(0, 0, 0) global metadata, (db, 0, 0) a database's metadata, index 1 the object
store's records, 2 their "exists" entries, 3 their external-object lists, 30 and up the
user indexes. A record's value is a varint record version, then the value: Blink's
SerializedScriptValue, or ``FF 11 02`` + raw Snappy of it, or ``FF 11 01`` + size + index
of the external Blob file that holds it.

Names come from other records (the database name from global key 201, object store and
index names from their metadata), so the store is read in two passes: metadata first,
then every record.
"""

from __future__ import annotations

import bisect
import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

from .._store_vocabulary import origin_from_identifier, path_parts, recognise
from . import protobuf, snappy
from ._binary import Cursor, DecodeError, int_le, utf16
from ._records import RawRecord
from ._tagged import windows_us_iso
from ._budget import Budget
from .entry import INDEXED_DB, Entry, failure_text
from .external import (INLINE_LIMIT, MISSING, READ, VALUE_FILE_LIMIT, WRAPPER_MIME, BlobFile,
                       ExternalObject, decode_list, read_blob)
from .idb_key import decode_key, decode_key_path, decode_prefix, decode_whole_key, string_with_length
from .v8value import decode_ssv

# Index ids of a data prefix.
OBJECT_STORE_DATA, EXISTS_ENTRY, BLOB_ENTRY = 1, 2, 3
MIN_USER_INDEX_ID = 30

# Global metadata type bytes.
G_SCHEMA_VERSION, G_MAX_DATABASE_ID, G_DATA_VERSION = 0, 1, 2
G_RECOVERY_JOURNAL, G_ACTIVE_JOURNAL, G_EARLIEST_SWEEP, G_EARLIEST_COMPACTION = 3, 4, 5, 6
G_SCOPES, G_DATABASE_FREE_LIST, G_DATABASE_NAME = 50, 100, 201
# Scopes keys after the global type byte 50: metadata, a scope's locks, its log.
SCOPES_METADATA, SCOPES_SCOPE, SCOPES_LOG = 0, 1, 2
SCOPES_UNDO = 0
# LevelDBScopesUndoTask's oneof: put (key, value), delete (key), delete_range (begin, end).
UNDO_PUT, UNDO_DELETE, UNDO_DELETE_RANGE = 1, 2, 3
UNDO_OPERATIONS = {UNDO_PUT: "put", UNDO_DELETE: "delete", UNDO_DELETE_RANGE: "delete_range"}
# Database metadata type bytes.
D_ORIGIN_NAME, D_DATABASE_NAME, D_STRING_VERSION, D_MAX_OBJECT_STORE_ID = 0, 1, 2, 3
D_VERSION, D_BLOB_KEY_GENERATOR = 4, 5
D_OBJECT_STORE_META, D_INDEX_META = 50, 100
D_OBJECT_STORE_FREE_LIST, D_INDEX_FREE_LIST = 150, 151
D_OBJECT_STORE_NAMES, D_INDEX_NAMES = 200, 201
# Object store metadata fields (after 50, store id).
OBJECT_STORE_FIELDS = {0: "name", 1: "key_path", 2: "auto_increment", 3: "evictable",
                       4: "last_version", 5: "max_index_id", 6: "has_key_path",
                       7: "key_generator_current_number"}
OBJECT_STORE_NAME = 0
# Index metadata fields (after 100, store id, index id).
INDEX_FIELDS = {0: "name", 1: "unique", 2: "key_path", 3: "multi_entry"}
INDEX_NAME = 0
# The record value prefixes Blink uses for values it had to process: a genuine
# SerializedScriptValue of Blink version 17 (0x11) always continues with FF.
WRAPPED_PREFIX = b"\xff\x11\x01"
COMPRESSED_PREFIX = b"\xff\x11\x02"
# V8's tag before one of Blink's own objects, and the Blink tags of the objects
# that are indexes into the record's external-object list (Blob, File, FileList).
HOST_OBJECT_TAG = b"\\"
EXTERNAL_HOST_TAGS = (b"i", b"e", b"L")
# How far apart (in sequence numbers) the deletions of one database's name record
# and of its own metadata may lie: with LevelDB scopes the name goes in the scope's
# commit (with its undo task, journal and scope records) and the metadata in the
# cleanup batch right after it, 7 apart in a real deletion.
SAME_BATCH_DISTANCE = 16
LEGACY_DIR_SUFFIX = ".indexeddb.leveldb"
BLOB_DIR_SUFFIX = ".indexeddb.blob"


def blob_dir_for(store_dir: str) -> str:
    base = os.path.basename(os.path.normpath(store_dir))
    parent = os.path.dirname(os.path.normpath(store_dir))
    if base.endswith(LEGACY_DIR_SUFFIX):
        return os.path.join(parent, base[:-len(LEGACY_DIR_SUFFIX)] + BLOB_DIR_SUFFIX)
    return os.path.join(parent, "indexeddb.blob")


@dataclass
class _Names:
    """What the metadata records say, newest live version winning."""
    schema_version: int | None = None
    databases: dict[int, tuple[str, str | None]] = field(default_factory=dict)  # id -> (name, origin)
    stores: dict[tuple[int, int], str] = field(default_factory=dict)
    indexes: dict[tuple[int, int, int], str] = field(default_factory=dict)
    # (db, store, primary key bytes) -> [(seq, external objects)]
    externals: dict[tuple[int, int, bytes], list[tuple[int, list[ExternalObject]]]] = \
        field(default_factory=dict)
    # (db, store, primary key bytes) -> the record version of its newest "exists" entry
    # (None once the newest entry is a deletion).
    exists: dict[tuple[int, int, bytes], int | None] = field(default_factory=dict)
    # id -> (name, origin) of a deleted database, from the one name record deleted
    # near its metadata (see _infer_deleted_names).
    inferred: dict[int, tuple[str, str | None]] = field(default_factory=dict)
    # (db, store, primary key bytes) -> sequence numbers of the record's versions
    # that may name external objects, and of its deletions after the first such.
    record_versions: dict[tuple[int, int, bytes], list[int]] = field(default_factory=dict)


def _collect_names(records: list[RawRecord]) -> _Names:
    names = _Names()
    newest: dict[Any, int] = {}
    deleted_names: list[tuple[int, str, str | None]] = []  # (seq, name, origin)
    deleted_spans: dict[int, tuple[int, int]] = {}  # db -> lowest and highest seq of its deleted metadata
    lists: list[tuple[int, int, bytes, RawRecord]] = []

    def keep(slot: Any, seq: int) -> bool:
        if seq < newest.get(slot, -1):
            return False
        newest[slot] = seq
        return True

    for r in records:
        try:
            cur = Cursor(r.user_key)
            db, os_, idx = decode_prefix(cur)
            if idx == EXISTS_ENTRY and os_ and db:
                slot = (db, os_, r.user_key[cur.pos:])
                if keep(("exists", slot), r.seq):
                    names.exists[slot] = int_le(r.value) if r.state == "live" else None
                continue
            if r.state == "deleted":
                if db == 0 and cur.byte() == G_DATABASE_NAME:
                    origin_id = string_with_length(cur)
                    deleted_names.append((r.seq, string_with_length(cur), origin_from_identifier(origin_id)))
                elif db and os_ == 0:
                    low, high = deleted_spans.get(db, (r.seq, r.seq))
                    deleted_spans[db] = (min(low, r.seq), max(high, r.seq))
                elif db and idx == OBJECT_STORE_DATA:
                    # A deletion ends a version of a record whose earlier versions are remembered.
                    versions = names.record_versions.get((db, os_, r.user_key[cur.pos:]))
                    if versions is not None:
                        versions.append(r.seq)
                continue
            if db and os_ and idx == OBJECT_STORE_DATA:
                if _may_refer_to_external_objects(r.value):
                    names.record_versions.setdefault((db, os_, r.user_key[cur.pos:]), []).append(r.seq)
                continue
            if db == 0:
                kind = cur.byte()
                if kind == G_SCHEMA_VERSION and keep("schema", r.seq):
                    names.schema_version = int_le(r.value)
                elif kind == G_DATABASE_NAME:
                    origin_id = string_with_length(cur)
                    name = string_with_length(cur)
                    db_id = int_le(r.value)
                    if keep(("db", db_id), r.seq):
                        names.databases[db_id] = (name, origin_from_identifier(origin_id))
            elif os_ == 0:
                kind = cur.byte()
                if kind == D_OBJECT_STORE_META:
                    store = cur.varint()
                    if cur.byte() == OBJECT_STORE_NAME and keep(("os", db, store), r.seq):
                        names.stores[(db, store)] = utf16(r.value, "big")
                elif kind == D_INDEX_META:
                    store, index = cur.varint(), cur.varint()
                    if cur.byte() == INDEX_NAME and keep(("ix", db, store, index), r.seq):
                        names.indexes[(db, store, index)] = utf16(r.value, "big")
            elif idx == BLOB_ENTRY:
                lists.append((db, os_, r.user_key[cur.pos:], r))
        except Exception:  # noqa: BLE001, S112 - the record itself reports why when decoded
            continue
    # The layout of external-object lists depends on the schema version, known only now.
    for db, os_, pk, r in lists:
        try:
            parsed = decode_list(r.value, names.schema_version)
        except Exception:  # noqa: BLE001, S112 - as above
            continue
        names.externals.setdefault((db, os_, pk), []).append((r.seq, parsed))
    for lists_of_record in names.externals.values():
        lists_of_record.sort(key=lambda v: v[0])
    for seqs in names.record_versions.values():
        seqs.sort()
    names.inferred = _infer_deleted_names(deleted_names, deleted_spans, names.databases)
    return names


def _may_refer_to_external_objects(value: bytes) -> bool:
    """Whether an object-store record's value may refer to external objects: it is
    kept in a blob file or compressed (its V8 data unseen), or its V8 data holds a
    host-object tag followed by a Blob, File or FileList index tag. Only such
    versions of a record bound the external-object lists of its other versions."""
    cur = Cursor(value)
    try:
        cur.varint()  # the record version
    except DecodeError:
        return False
    rest = value[cur.pos:]
    if rest.startswith((WRAPPED_PREFIX, COMPRESSED_PREFIX)):
        return True
    at = rest.find(HOST_OBJECT_TAG)
    while at >= 0:
        if rest[at + 1:at + 2] in EXTERNAL_HOST_TAGS:
            return True
        at = rest.find(HOST_OBJECT_TAG, at + 1)
    return False


def _infer_deleted_names(deleted_names: list[tuple[int, str, str | None]],
                         deleted_spans: dict[int, tuple[int, int]],
                         databases: dict[int, tuple[str, str | None]]) -> dict[int, tuple[str, str | None]]:
    """Names of deleted databases. Deleting a database deletes its name record
    (global metadata, keyed by origin and name) and its own metadata in the same
    or the next batch, a few sequence numbers apart: a database with no live name
    whose deleted metadata has exactly one deleted name record within
    SAME_BATCH_DISTANCE, a record near no other such database, is taken to have
    had that name. Binary searches, so that thousands of deleted databases cost
    no more than sorting them."""
    deleted_names.sort(key=lambda n: n[0])
    # A name record deleted in a batch may sit in two files: one deletion.
    names = [n for i, n in enumerate(deleted_names)
             if i == 0 or (deleted_names[i - 1][0], deleted_names[i - 1][1]) != (n[0], n[1])]
    seqs = [n[0] for n in names]
    unnamed = {db: (max(low - SAME_BATCH_DISTANCE, 0), high + SAME_BATCH_DISTANCE)
               for db, (low, high) in deleted_spans.items() if db not in databases}
    starts = sorted(low for low, _ in unnamed.values())
    ends = sorted(high for _, high in unnamed.values())
    inferred = {}
    for db, (low, high) in unnamed.items():
        first, last = bisect.bisect_left(seqs, low), bisect.bisect_right(seqs, high)
        if last - first != 1:
            continue
        seq, name, origin = names[first]
        # How many unnamed databases' widened spans hold this deletion.
        if bisect.bisect_right(starts, seq) - bisect.bisect_left(ends, seq) == 1:
            inferred[db] = (name, origin)
    return inferred


class _Decoder:
    def __init__(self, store_path: str, names: _Names, store_origin: str | None) -> None:
        self.store_path = store_path
        self.names = names
        self.store_origin = store_origin
        self.blob_dir = blob_dir_for(store_path)
        self._in_undo = False  # undo tasks are decoded one level deep only

    def decode(self, r: RawRecord) -> Entry:
        e = Entry(INDEXED_DB, self.store_path, "unknown", self.store_origin, None, None, r.state,
                  r.seq, r.file, r.offset, r.user_key, r.value)
        try:
            cur = Cursor(r.user_key)
            db, os_, idx = decode_prefix(cur)
            if db:
                name, origin = self.names.databases.get(db) or self.names.inferred.get(db) or (None, None)
                e.database = name
                e.details["database_id"] = db
                if db not in self.names.databases and db in self.names.inferred:
                    e.details["database_name_inferred"] = True
                if origin:
                    e.origin = origin
            if os_:
                e.object_store = self.names.stores.get((db, os_))
                e.details["object_store_id"] = os_
            if db == 0:
                self._global(e, cur, r)
            elif os_ == 0:
                self._database_meta(e, cur, r, db)
            elif idx == OBJECT_STORE_DATA:
                self._data(e, cur, r, db, os_)
            elif idx == EXISTS_ENTRY:
                e.record_type = "exists"
                e.key = decode_whole_key(r.user_key[cur.pos:])
                if r.state != "deleted":
                    e.value = {"record_version": int_le(r.value)}
            elif idx == BLOB_ENTRY:
                e.record_type = "external_objects"
                e.key = decode_whole_key(r.user_key[cur.pos:])
                if r.state != "deleted":
                    e.value = [o.describe() for o in decode_list(r.value, self.names.schema_version)]
            elif idx >= MIN_USER_INDEX_ID:
                self._index(e, cur, r, db, os_, idx)
            else:
                raise DecodeError(f"index id {idx} is reserved")
        except Exception as error:  # noqa: BLE001 - one record's failure stays with it
            e.error = failure_text(error)
        return e

    # -- metadata -----------------------------------------------------------------------
    def _global(self, e: Entry, cur: Cursor, r: RawRecord) -> None:
        kind = cur.byte()
        v = r.value if r.state != "deleted" else None
        simple = {G_SCHEMA_VERSION: "schema_version", G_MAX_DATABASE_ID: "max_database_id",
                  G_EARLIEST_SWEEP: "earliest_sweep", G_EARLIEST_COMPACTION: "earliest_compaction"}
        if kind in simple:
            e.record_type = e.key = simple[kind]
            if v is not None:
                n = int_le(v)
                e.value = windows_us_iso(n) if kind in (G_EARLIEST_SWEEP, G_EARLIEST_COMPACTION) else n
        elif kind == G_DATA_VERSION:
            e.record_type = e.key = "data_version"
            if v is not None:
                n = int_le(v)
                e.value = {"v8": n >> 32, "blink": n & 0xFFFFFFFF}
        elif kind in (G_RECOVERY_JOURNAL, G_ACTIVE_JOURNAL):
            e.record_type = e.key = "recovery_blob_journal" if kind == G_RECOVERY_JOURNAL \
                else "active_blob_journal"
            if v is not None:
                jc = Cursor(v)
                pairs = []
                while not jc.at_end():
                    pairs.append({"database_id": jc.varint(), "blob_number": jc.varint()})
                e.value = pairs
        elif kind == G_SCOPES:
            self._scopes(e, cur, v)
        elif kind == G_DATABASE_FREE_LIST:
            e.record_type = "database_free_list"
            e.key = {"database_id": cur.varint()}
        elif kind == G_DATABASE_NAME:
            e.record_type = "database_name"
            origin_id = string_with_length(cur)
            name = string_with_length(cur)
            e.database = name
            e.key = {"origin_identifier": origin_id, "name": name}
            e.origin = origin_from_identifier(origin_id) or e.origin
            if v is not None:
                e.value = {"database_id": int_le(v)}
        else:
            raise DecodeError(f"unknown global metadata type {kind}")

    def _scopes(self, e: Entry, cur: Cursor, v: bytes | None) -> None:
        """LevelDB scopes, IndexedDB's transaction log. Its undo tasks keep copies of
        keys and values as they were before a transaction changed them."""
        e.record_type = "scopes_log"
        sub = cur.byte()
        if sub == SCOPES_METADATA:
            e.key = {"scopes": "metadata"}
            if v is not None:
                e.value = {"fields": {str(k): x if isinstance(x, int) else x.hex()
                                      for k, x in protobuf.fields(v).items()}}
            return
        scope = cur.varint()
        if sub == SCOPES_SCOPE:
            e.key = {"scopes": "scope", "scope": scope}
            if v is not None:
                e.value = {"$bytes": v.hex()}
            return
        if sub != SCOPES_LOG:
            raise DecodeError(f"unknown scopes key type {sub}")
        task = cur.byte()
        e.key = {"scopes": "undo" if task == SCOPES_UNDO else "cleanup", "scope": scope,
                 "sequence": cur.u64_be()}
        if v is None:
            return
        if task != SCOPES_UNDO:
            e.value = {"$bytes": v.hex()}
            return
        task_fields = protobuf.fields(v)
        ops = [op for op in task_fields if op in UNDO_OPERATIONS]
        body = task_fields[ops[0]] if len(ops) == 1 else None
        if not isinstance(body, bytes):
            raise DecodeError("undo task of no known kind")
        op = ops[0]
        f = protobuf.fields(body)
        key, value = f.get(1, b""), f.get(2, b"")
        undo: dict[str, Any] = {"undo": UNDO_OPERATIONS[op]}
        if op == UNDO_DELETE_RANGE:
            undo.update(begin=_hex(key), end=_hex(value))
        else:
            undo["key"] = _hex(key)
            if isinstance(key, bytes) and not self._in_undo:
                # The record the undo would restore (put: its earlier value) or remove
                # (delete: it did not exist before), decoded like any record.
                self._in_undo = True
                try:
                    inner = self.decode(RawRecord(
                        key, value if isinstance(value, bytes) else b"", e.seq,
                        "live" if op == UNDO_PUT else "deleted", e.file, e.offset))
                finally:
                    self._in_undo = False
                undo["record"] = {"record_type": inner.record_type, "database": inner.database,
                                  "object_store": inner.object_store, "key": inner.key}
                if op == UNDO_PUT:
                    undo["previous_value"] = inner.value
                if inner.error:
                    undo["record"]["error"] = inner.error
        e.value = undo

    def _database_meta(self, e: Entry, cur: Cursor, r: RawRecord, db: int) -> None:
        kind = cur.byte()
        v = r.value if r.state != "deleted" else None
        if kind in (D_ORIGIN_NAME, D_DATABASE_NAME, D_STRING_VERSION):
            e.record_type = e.key = {D_ORIGIN_NAME: "origin_name", D_DATABASE_NAME: "database_name_field",
                                     D_STRING_VERSION: "string_version"}[kind]
            e.value = utf16(v, "big") if v is not None else None
        elif kind == D_MAX_OBJECT_STORE_ID:
            e.record_type = e.key = "max_object_store_id"
            e.value = int_le(v) if v is not None else None
        elif kind in (D_VERSION, D_BLOB_KEY_GENERATOR):
            e.record_type = e.key = "database_version" if kind == D_VERSION else "blob_number_generator"
            e.value = Cursor(v).varint() if v is not None else None
        elif kind == D_OBJECT_STORE_META:
            store = cur.varint()
            fld = cur.byte()
            e.object_store = self.names.stores.get((db, store))
            e.details["object_store_id"] = store
            e.record_type = "object_store_metadata"
            e.key = OBJECT_STORE_FIELDS.get(fld, f"field_{fld}")
            if v is not None:
                e.value = _store_field(fld, v)
        elif kind == D_INDEX_META:
            store, index = cur.varint(), cur.varint()
            fld = cur.byte()
            e.object_store = self.names.stores.get((db, store))
            e.index = self.names.indexes.get((db, store, index))
            e.details.update(object_store_id=store, index_id=index)
            e.record_type = "index_metadata"
            e.key = INDEX_FIELDS.get(fld, f"field_{fld}")
            if v is not None:
                e.value = _index_field(fld, v)
        elif kind in (D_OBJECT_STORE_FREE_LIST, D_INDEX_FREE_LIST):
            e.record_type = "object_store_free_list" if kind == D_OBJECT_STORE_FREE_LIST \
                else "index_free_list"
            e.key = r.user_key[cur.pos:].hex()
        elif kind == D_OBJECT_STORE_NAMES:
            e.record_type = "object_store_name"
            e.key = string_with_length(cur)
            e.value = {"object_store_id": int_le(v)} if v is not None else None
        elif kind == D_INDEX_NAMES:
            store = cur.varint()
            e.record_type = "index_name"
            e.object_store = self.names.stores.get((db, store))
            e.key = string_with_length(cur)
            e.value = {"index_id": int_le(v)} if v is not None else None
        else:
            raise DecodeError(f"unknown database metadata type {kind}")

    # -- records ------------------------------------------------------------------------
    def _data(self, e: Entry, cur: Cursor, r: RawRecord, db: int, os_: int) -> None:
        e.record_type = "data"
        pk_bytes = r.user_key[cur.pos:]
        try:
            e.key = decode_whole_key(pk_bytes)
        except DecodeError as error:  # the value may still be readable
            e.error = f"key: {error}"
        if r.state == "deleted":
            return
        vc = Cursor(r.value)
        e.details["record_version"] = vc.varint()
        externals = self._externals_for(db, os_, pk_bytes, r.seq)
        value = r.value[vc.pos:]
        stored = []
        for _ in range(3):  # a wrapped value's file may itself be compressed
            if value.startswith(WRAPPED_PREFIX):
                wc = Cursor(value, len(WRAPPED_PREFIX))
                size, index = wc.varint(), wc.varint()
                stored.append("blob_file")
                value = self._unwrap(e, db, externals, size, index)
            elif value.startswith(COMPRESSED_PREFIX):
                stored.append("snappy")
                value = self._decompress(value[len(COMPRESSED_PREFIX):])
            else:
                break
        e.details["stored_as"] = "+".join(stored) or "plain"
        # What the value may expand to grows with its bytes as stored, unwrapped.
        budget = Budget(len(value))

        def resolve(kind: str, index: int) -> Any:
            return self._external(e, db, externals, index, budget)

        try:
            e.value, versions = decode_ssv(value, resolve, budget)
        except Exception as error:  # noqa: BLE001 - the key decoded above is kept
            text = failure_text(error)
            raise DecodeError(f"{e.error}; value: {text}" if e.error else text) from None
        e.details.update(versions)

    @staticmethod
    def _decompress(compressed: bytes) -> bytes:
        """A Snappy layer of a value. Layers could multiply each other's expansion:
        none may claim more than a value kept in a blob file may hold."""
        try:
            claimed = Cursor(compressed).varint()
        except DecodeError:
            claimed = 0  # the decompressor says what is wrong with the header
        if claimed > VALUE_FILE_LIMIT:
            raise DecodeError(f"compressed value claims {claimed} bytes, over the {VALUE_FILE_LIMIT}-byte cap")
        return snappy.decompress(compressed)

    def _externals_for(self, db: int, os_: int, pk: bytes, seq: int) -> list[ExternalObject]:
        """The external-object list written with this version of the record.
        Chromium writes a transaction's changes in key order, so a record (index 1)
        comes before its list (index 3) in the batch: the list of a version is the
        first one after it and before the record's next version. A list before it
        is an earlier version's."""
        versions = self.names.externals.get((db, os_, pk))
        if not versions:
            return []
        record_versions = self.names.record_versions.get((db, os_, pk), [])
        if self._in_undo:
            # An undo task restores the value its transaction overwrote, and that
            # value's list is the one in force when the transaction began: the
            # newest list before the task. (The transaction's own list, if any,
            # comes after the task: lists sort after records in key order, and
            # Chromium writes each change before its undo task.)
            before = [v for v in versions if v[0] < seq]
            return before[-1][1] if before else []
        after = bisect.bisect_right(record_versions, seq)
        following = record_versions[after] if after < len(record_versions) else None
        first = bisect.bisect_right([v[0] for v in versions], seq)
        if first == len(versions) or (following is not None and versions[first][0] >= following):
            return []
        return versions[first][1]

    def _unwrap(self, e: Entry, db: int, externals: list[ExternalObject], size: int,
                index: int) -> bytes:
        if index >= len(externals):
            raise DecodeError(f"value kept in external object {index}, which is not listed")
        o = externals[index]
        if o.blob_number is None:
            raise DecodeError(f"value kept in external object {index}, which names no blob file")
        found = read_blob(self.blob_dir, db, o.blob_number, VALUE_FILE_LIMIT)
        e.details["blob_file"] = found.path
        if o.mime != WRAPPER_MIME:
            e.details["wrapper_type"] = o.mime
        if found.data is None:
            _note_unread(e, found)
            raise DecodeError(f"value kept in blob file {found.path}, which is {found.describe()}")
        if len(found.data) != size:
            e.details["wrapper_size_mismatch"] = {"expected": size, "found": len(found.data)}
        return found.data

    def _external(self, e: Entry, db: int, externals: list[ExternalObject], index: int,
                  budget: Budget) -> Any:
        if index >= len(externals):
            return {"index": index, "missing": True, "reason": "not listed"}
        o = externals[index]
        out = o.describe()
        out.pop("kind", None)
        out["index"] = index
        if o.blob_number is None:
            return out
        found = read_blob(self.blob_dir, db, o.blob_number, INLINE_LIMIT)
        out["file"] = found.path
        if found.data is not None:
            budget.charge(2 * len(found.data), "a blob file's bytes")
            out["hex"] = found.data.hex()
        elif found.status == MISSING:
            out["missing"] = True
        else:
            out["file_status"] = found.describe()
            _note_unread(e, found)
        return out

    def _index(self, e: Entry, cur: Cursor, r: RawRecord, db: int, os_: int, idx: int) -> None:
        e.record_type = "index"
        e.index = self.names.indexes.get((db, os_, idx))
        e.details["index_id"] = idx
        e.key = decode_key(cur)
        primary: Any = None
        primary_bytes = b""
        if not cur.at_end():
            e.details["sequence"] = cur.varint()
            if not cur.at_end():
                start = cur.pos
                primary = decode_key(cur)
                primary_bytes = r.user_key[start:cur.pos]
        if r.state != "deleted":
            vc = Cursor(r.value)
            version = vc.varint()
            if primary is None and not vc.at_end():
                start = vc.pos
                primary = decode_key(vc)
                primary_bytes = r.value[start:vc.pos]
            e.value = {"record_version": version, "primary_key": primary}
            # An index entry is stale when its record was since overwritten or deleted:
            # Chromium removes such entries lazily.
            current = self.names.exists.get((db, os_, primary_bytes))
            e.details["stale"] = current != version
        elif primary is not None:
            e.details["primary_key"] = primary


def _note_unread(e: Entry, found: BlobFile) -> None:
    """A blob file that is there but was not read (a link, a FIFO, too large, ...):
    listed with the record, and warned about by the command line."""
    if found.status not in (READ, MISSING):
        e.details.setdefault("unread_files", []).append({"file": found.path, "reason": found.describe()})


def _hex(x: int | bytes) -> str | int:
    return x.hex() if isinstance(x, bytes) else x


def _store_field(fld: int, v: bytes) -> Any:
    if fld == 0:
        return utf16(v, "big")
    if fld == 1:
        return decode_key_path(v)
    if fld in (2, 3, 6):
        return bool(int_le(v))
    return int_le(v)


def _index_field(fld: int, v: bytes) -> Any:
    if fld == 0:
        return utf16(v, "big")
    if fld == 2:
        return decode_key_path(v)
    return bool(int_le(v))


def store_origin_from_path(store_path: str) -> str | None:
    return recognise(path_parts(store_path)).origin


def decode(records: Iterable[RawRecord], store_path: str) -> Iterator[Entry]:
    records = list(records)
    names = _collect_names(records)
    decoder = _Decoder(store_path, names, store_origin_from_path(store_path))
    for r in records:
        yield decoder.decode(r)
