"""Type information for the ``_tarnwick`` extension module.

The module reads LevelDB database directories without changing them and hands
back every key/value record that the table files (.ldb, .sst) and the
write-ahead logs (.log) still hold: deleted entries, superseded versions and
what can still be decoded from damaged files.
"""

from types import TracebackType
from typing import ClassVar, Literal, final

__all__ = ["KeyState", "FileType", "Record", "RawLevelDb"]

@final
class KeyState:
    """What a record says about its key.

    The members compare equal to their integer values (``Deleted == 0``,
    ``Live == 1``, ``Unknown == 2``) and convert with ``int()``; they cannot
    be ordered or hashed, and every member is true, ``Deleted`` included.
    """

    Deleted: ClassVar[KeyState]
    """The record is a deletion marker for its key (value 0)."""
    Live: ClassVar[KeyState]
    """The record sets its key to its value (value 1)."""
    Unknown: ClassVar[KeyState]
    """The record's bytes do not say (value 2)."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class FileType:
    """The kind of file a record was found in.

    ``Ldb == 1`` (a table file, .ldb or .sst) and ``Log == 2`` (a write-ahead
    log). Compares with integers and converts with ``int()`` like ``KeyState``.
    """

    Ldb: ClassVar[FileType]
    """A table file, .ldb or .sst (value 1)."""
    Log: ClassVar[FileType]
    """A write-ahead log file, .log (value 2)."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...

@final
class Record:
    """One key/value record exactly as found in one file; read-only.

    Every attribute read builds a new object. Records stay valid after the
    ``RawLevelDb`` they came from is closed: they hold copies of their bytes.
    """

    @property
    def key(self) -> bytes:
        """The stored key: for a table file the user key plus its 8-byte
        trailer (sequence number and value type), for a log the key as written."""
    @property
    def value(self) -> bytes:
        """The stored value; empty for a deletion."""
    @property
    def seq(self) -> int:
        """The sequence number, 0 to 2**64 - 1."""
    @property
    def state(self) -> KeyState:
        """Whether the record sets its key, deletes it, or does not say."""
    @property
    def file_type(self) -> FileType:
        """The kind of file the record came from."""
    @property
    def origin_file(self) -> str:
        """The path of that file: the directory as given, joined with the file name."""
    @property
    def offset(self) -> int:
        """The byte position in ``origin_file`` attributed to the record."""
    @property
    def was_compressed(self) -> bool:
        """True when the record came from a compressed table block."""
    @property
    def user_key(self) -> bytes:
        """``key`` without its 8-byte trailer for table-file records of at
        least 8 bytes; otherwise the whole ``key``."""

@final
class RawLevelDb:
    """A LevelDB database directory opened read-only.

    Raises ``ValueError`` when ``in_dir`` is not a directory or cannot be
    listed. Damage inside files never raises; it only leaves records out.
    Usable as a context manager, which closes the database on exit.
    """

    def __new__(cls, in_dir: str) -> RawLevelDb: ...
    @property
    def in_dir_path(self) -> str:
        """The directory path exactly as given; ``RuntimeError`` once closed."""
    def iterate_records_raw(self, *, reverse: bool = False) -> list[Record]:
        """Every record of every data file, the files in ascending order of
        the numbers in their names (descending with ``reverse=True``), each
        file's records in the order the file holds them."""
    def close(self) -> None:
        """Release every file the database holds open; calling it again does nothing."""
    def __enter__(self) -> RawLevelDb: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
