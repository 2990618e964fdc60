# The scanner's extension module. Used through tarnwick.scanning.
from collections.abc import Iterator, Sequence
from typing import Any, final

from _tarnwick import FileType, KeyState

@final
class ScanRecord:
    @property
    def key(self) -> bytes: ...
    @property
    def value(self) -> bytes: ...
    @property
    def seq(self) -> int: ...
    @property
    def state(self) -> KeyState: ...
    @property
    def file_type(self) -> FileType: ...
    @property
    def origin_file(self) -> str: ...
    @property
    def offset(self) -> int: ...
    @property
    def was_compressed(self) -> bool: ...
    @property
    def user_key(self) -> bytes: ...
    @property
    def file_number(self) -> int: ...

@final
class ArrowScan:
    def __new__(
        cls,
        path: str | bytes,
        reverse: bool,
        threads: int,
        key_prefix: bytes,
        states: int,
        file_types: int,
        salvage: bool,
        any_name: bool,
        as_kind: int,
        batch_rows: int,
        batch_bytes: int,
        files: tuple[str | bytes, ...] | None = None,
        /,
    ) -> ArrowScan: ...
    def stream_capsule(self) -> object: ...
    def next_records(
        self, states: Sequence[KeyState], file_types: Sequence[FileType], /
    ) -> list[ScanRecord] | None: ...
    def report(self) -> dict[str, Any]: ...
    def cancel(self) -> None: ...

@final
class TextScan(Iterator[bytes]):
    def __new__(
        cls,
        path: str | bytes,
        reverse: bool,
        threads: int,
        key_prefix: bytes,
        states: int,
        file_types: int,
        salvage: bool,
        any_name: bool,
        as_kind: int,
        format: int,
        chunk_bytes: int,
        /,
    ) -> TextScan: ...
    def __next__(self) -> bytes: ...
    def report(self) -> dict[str, Any]: ...
    def cancel(self) -> None: ...

def schema_capsule() -> object: ...
def chromium_schema_capsule() -> object: ...
def inspect(path: str | bytes, threads: int, salvage: bool = True, any_name: bool = False, as_kind: int = 0, /) -> dict[str, Any]: ...
def data_file_name(name: str | bytes, /) -> tuple[str, int] | None: ...
def decode_chromium(kind: str, data: bytes, /) -> str: ...

@final
class ChromiumScan(Iterator[bytes]):
    def __new__(
        cls,
        stores: Sequence[tuple[str | bytes, str, str | None, str | bytes | None]],
        history: bool,
        salvage: bool,
        origin: str | None,
        key_texts: Sequence[str] | None,
        all_records: bool,
        batch_rows: int,
        batch_bytes: int,
        /,
    ) -> ChromiumScan: ...
    def __next__(self) -> bytes: ...
    def stream_capsule(self) -> object: ...
    def outcomes(self, start: int = 0, /) -> list[dict[str, Any]]: ...
    def cancel(self) -> None: ...
