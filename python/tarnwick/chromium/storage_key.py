"""Blink's StorageKey text: the origin, and for partitioned storage its top-level site.

First-party keys are the origin (Local Storage drops the trailing slash, Session
Storage keeps it). Third-party and opaque keys add attributes, each ``^`` and one digit:
``^0`` top-level site, ``^1``/``^2`` nonce high/low, ``^3`` ancestor-chain bit (1 =
cross-site), ``^4``/``^5`` opaque top-level site nonce, ``^6`` its precursor. Older
Chromium wrote cross-site keys as ``^0site^3bit``; both shapes are read.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import lru_cache

from ._binary import DecodeError

ATTRIBUTE_MARK = "^"
ATTRIBUTES = {"0": "top_level_site", "1": "nonce_high", "2": "nonce_low",
              "3": "ancestor_chain_bit", "4": "top_level_site_nonce_high",
              "5": "top_level_site_nonce_low", "6": "top_level_site_precursor"}


@dataclass(frozen=True)
class StorageKey:
    origin: str
    attributes: dict[str, str] = field(default_factory=dict)

    @property
    def top_level_site(self) -> str | None:
        return self.attributes.get("top_level_site")


def storage_key_text(data: bytes) -> str:
    """A storage key as written in a record's key: UTF-8 text, or a DecodeError."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise DecodeError("storage key is not valid UTF-8") from None


@lru_cache(maxsize=4096)  # a store holds few storage keys and many records of each
def parse_storage_key(text: str) -> StorageKey:
    origin, mark, rest = text.partition(ATTRIBUTE_MARK)
    attributes: dict[str, str] = {}
    if mark:
        for part in (ATTRIBUTE_MARK + rest).split(ATTRIBUTE_MARK)[1:]:
            name = ATTRIBUTES.get(part[:1], f"attribute_{part[:1]}")
            attributes[name] = part[1:]
    return StorageKey(origin.rstrip("/"), attributes)
