"""One decoded record of a Chromium store: the row every output form is made of."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

# The kinds of store, as the package's store vocabulary names them.
from .._store_vocabulary import INDEXEDDB
from .._store_vocabulary import LOCAL_STORAGE as LOCAL_STORAGE
from .._store_vocabulary import SESSION_STORAGE as SESSION_STORAGE
from ._binary import DecodeError
from .storage_key import parse_storage_key

INDEXED_DB = INDEXEDDB


def failure_text(error: BaseException) -> str:
    """Why a record (or a part of it) could not be decoded. A decoding error says
    it in its own words; any other exception is named, since it points at a fault
    of the decoder rather than of the bytes."""
    if isinstance(error, DecodeError):
        return str(error)
    return f"{type(error).__name__}: {error}"


@dataclass(slots=True)
class Entry:
    """A record of a store with its meaning.

    ``record_type`` says what the record is (``data`` for the script's own keys and
    values, otherwise the kind of metadata, or ``exists``, ``index``, ...). ``key`` and
    ``value`` are decoded (tagged JSON); when a part could not be decoded it is None,
    ``error`` says why and ``raw_key`` / ``raw_value`` keep the bytes.
    ``logical_key`` groups the versions of one key: the store and the exact key bytes.
    """

    store_kind: str
    store_path: str
    record_type: str
    origin: str | None
    key: Any
    value: Any
    state: str
    seq: int
    file: str
    offset: int
    user_key: bytes
    raw_value: bytes
    database: str | None = None
    object_store: str | None = None
    index: str | None = None
    storage_key: str | None = None
    top_level_site: str | None = None
    namespace: str | None = None
    error: str | None = None
    version_status: str | None = None
    details: dict[str, Any] = field(default_factory=dict)

    @property
    def logical_key(self) -> tuple[str, bytes]:
        return (self.store_path, self.user_key)

    def set_storage_key(self, text: str) -> None:
        """The storage key the record belongs to, with its origin and top-level site."""
        parsed = parse_storage_key(text)
        self.storage_key, self.origin, self.top_level_site = text, parsed.origin, parsed.top_level_site

    def decode_key_and_value(
        self,
        key: Callable[[], Any],
        key_errors: type[Exception] | tuple[type[Exception], ...],
        value: Callable[[], Any] | None,
        value_errors: type[Exception] | tuple[type[Exception], ...],
    ) -> None:
        """Decodes the key and the value (None: the record has none) apart, so
        that a damaged key keeps a readable value; a part that fails with one
        of its errors stays None, and ``error`` names each failure."""
        errors = []
        try:
            self.key = key()
        except key_errors as error:
            errors.append(f"key: {failure_text(error)}")
        if value is not None:
            try:
                self.value = value()
            except value_errors as error:
                errors.append(f"value: {failure_text(error)}")
        if errors:
            self.error = "; ".join(errors)
