"""Where an output came from: the facts an examiner attaches to it.

Every output that leaves the tool can carry its custody record: the tool and
the versions of what it ran on, the files it read (size, modification and
change times, digests) and what the read found. ``file_facts`` reads a file
once, without following a link and without changing its access time, and
computes every digest asked for in that one read; ``source_metadata`` turns
the facts into the key-value metadata of a Parquet or Arrow file, so that the
record of custody travels inside the data it describes.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import stat
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from importlib.metadata import PackageNotFoundError, version
from typing import Any

from ._store_vocabulary import open_directory
from .stores._evidence_io import digests_of

# The digest every file gets; others are added on request.
DEFAULT_DIGEST = "sha256"
# The digests an examiner may ask for besides (hashlib names).
DIGESTS = ("md5", "sha1", "sha256", "sha512")

# Distributions whose versions an output names, when installed: the tool, and
# the libraries that can shape what it writes.
_DISTRIBUTIONS = ("tarnwick", "pyarrow", "plyvel")

# Prefix of every key this tool writes into a columnar file's metadata.
METADATA_PREFIX = "tarnwick."


def iso_utc(ns: int) -> str:
    """Nanoseconds since the Unix epoch as ISO 8601 UTC, to the microsecond."""
    seconds, rest = divmod(ns, 1_000_000_000)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.replace(microsecond=rest // 1000).isoformat().replace("+00:00", "Z")


def now_utc() -> str:
    return iso_utc(time.time_ns())


def versions() -> dict[str, str]:
    """The version of the tool, of the interpreter and of each library that
    shapes the outputs (those not installed are left out)."""
    found = {"python": platform.python_version()}
    for name in _DISTRIBUTIONS:
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            if name == "tarnwick":
                found[name] = "unknown"
    return found


@dataclass(frozen=True)
class FileFacts:
    """A file as it was read: its size, times and digests, or why it could
    not be read (``error``; the other fields then hold what is known)."""

    path: str
    size: int | None
    mtime: str | None
    ctime: str | None
    digests: dict[str, str] = field(default_factory=dict)
    error: str = ""

    def to_dict(self) -> dict[str, Any]:
        return {"path": self.path, "size": self.size, "mtime": self.mtime, "ctime": self.ctime,
                "digests": dict(self.digests), "error": self.error}


def digest_names(extra: Iterable[str] = ()) -> tuple[str, ...]:
    """SHA-256 and the digests asked for besides, each once, in a fixed order."""
    wanted = {DEFAULT_DIGEST, *extra}
    unknown = wanted - set(DIGESTS)
    if unknown:
        raise ValueError(f"unknown digest {sorted(unknown)[0]!r} (expected some of {', '.join(DIGESTS)})")
    return tuple(name for name in DIGESTS if name in wanted)


def file_facts(path: str, digests: Sequence[str] = (DEFAULT_DIGEST,)) -> FileFacts:
    """Reads the file at ``path`` once (no link followed, no access time
    changed) and reports its size, times and digests. A file that cannot be
    read is reported with its reason and whatever its entry still tells."""
    try:
        read = digests_of(path, tuple(digests))
    except OSError as error:
        try:
            info = os.lstat(path)
        except OSError:
            return FileFacts(path, None, None, None, {}, error.strerror or str(error))
        kind = "a symbolic link, not followed" if stat.S_ISLNK(info.st_mode) else (error.strerror or str(error))
        return FileFacts(path, info.st_size, iso_utc(info.st_mtime_ns), iso_utc(info.st_ctime_ns), {}, kind)
    changed = "" if read.size == read.info.st_size else f"changed while read: {read.info.st_size} bytes at the start"
    return FileFacts(path, read.size, iso_utc(read.info.st_mtime_ns), iso_utc(read.info.st_ctime_ns),
                     read.hexdigests, changed)


def walk_files(top: str) -> Iterator[str]:
    """Every entry below the directory ``top`` that is not a directory
    (regular files, and links, which are never followed), in path order;
    directories are listed through descriptors opened without changing their
    access times. A directory that cannot be listed is passed over."""
    stack = [top]
    while stack:
        directory = stack.pop()
        try:
            fd = open_directory(directory)
        except OSError:
            continue
        try:
            with os.scandir(fd) as entries:
                names = sorted((e.name, e.is_dir(follow_symlinks=False)) for e in entries)
        except OSError:
            names = []
        finally:
            os.close(fd)
        for name, is_dir in names:
            if not is_dir:
                yield os.path.join(directory, name)
        stack.extend(os.path.join(directory, name) for name, is_dir in reversed(names) if is_dir)


def source_metadata(source: str, files: Iterable[FileFacts], read_report: dict[str, Any] | None) -> dict[bytes, bytes]:
    """The key-value metadata that records where a columnar output came from:
    the tool's and its libraries' versions, the source path, each source
    file's size, times and SHA-256, and the read report (JSON)."""
    items = {
        "versions": versions(),
        "source": source,
        "source_files": [f.to_dict() for f in files],
        "read_report": read_report,
    }
    # A path byte that is not UTF-8 arrives as a lone surrogate, written as
    # its JSON escape (\udcXX), which reads back as the same string.
    return {f"{METADATA_PREFIX}{key}".encode(): json.dumps(value, ensure_ascii=False).encode("utf-8", "backslashreplace")
            for key, value in items.items()}


def store_metadata(directory: str, report: Any) -> dict[bytes, bytes]:
    """``source_metadata`` of one store after a read: every entry of its read
    report (``tarnwick.ReadReport``, or None when nothing was read) hashed."""
    paths = [f.path for f in report.files] + [e.path for e in report.others] if report is not None else []
    return source_metadata(os.path.abspath(directory), [file_facts(p) for p in paths],
                           report.to_dict() if report is not None else None)


def json_column_type(pa: Any) -> Any:
    """The Arrow type of a column of JSON text: the canonical JSON extension
    type where pyarrow has it (19 and later), plain strings before."""
    make = getattr(pa, "json_", None)
    return make() if make is not None else pa.string()
