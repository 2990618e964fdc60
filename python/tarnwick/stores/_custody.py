"""Tying a store file's recorded hash to the bytes its records came from.

A file is hashed through one descriptor, opened by name under the store's
directory descriptor (never through a link), from start to end. What the
file was is taken from that descriptor before and after: size, modification
and change times, inode. A change time cannot be set back by any tool, so
when these agree with what ``find`` saw and with what the path names after
the records were decoded, the bytes hashed are the bytes decoded; when any of
them differs the file changed while it was exported, and it is flagged.

When the hash must be exactly the bytes decoded whatever happens (a piece of
a large store), the file is copied while it is hashed, in the same pass, and
the copy is what is decoded.
"""

from __future__ import annotations

import errno
import hashlib
import os
import stat
from dataclasses import dataclass

from .._store_vocabulary import open_evidence_file
from ._evidence_io import HASH_BLOCK_BYTES


@dataclass(frozen=True)
class Identity:
    """What must stay the same for a file to count as unchanged."""

    size: int
    mtime_ns: int
    ctime_ns: int
    inode: int

    @classmethod
    def of(cls, info: os.stat_result) -> Identity:
        return cls(info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino)


@dataclass(frozen=True)
class Hashed:
    """One file as it was hashed: its size and SHA-256 (hex), or the system's
    reason why it could not be read; and its identity when opened and when
    the hash was done."""

    size: int | None = None
    sha256: str | None = None
    error: str | None = None
    opened: Identity | None = None
    finished: Identity | None = None


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def hash_file(directory_fd: int, name: str, *, copy_to: str | None = None) -> Hashed:
    """Hash the regular file ``name`` of the directory ``directory_fd``; with
    ``copy_to``, write every byte hashed to that new file as well. A file that
    cannot be read gives a ``Hashed`` with ``error``, the system's reason (and
    no copy); a failure to write the copy (a full disk) is raised: it is the
    dataset's, not the evidence's."""
    try:
        fd = open_evidence_file(name, dir_fd=directory_fd)
    except OSError as error:
        return Hashed(error=_reason(error))
    out = None
    try:
        try:
            opened = os.fstat(fd)
            if not stat.S_ISREG(opened.st_mode):
                return Hashed(error=os.strerror(errno.EINVAL) + ": not a regular file")
        except OSError as error:
            return Hashed(error=_reason(error))
        if copy_to is not None:
            out = os.open(copy_to, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
        digest = hashlib.sha256()
        size = 0
        buffer = bytearray(HASH_BLOCK_BYTES)
        view = memoryview(buffer)
        while True:
            try:
                n = os.readv(fd, [buffer])
            except OSError as error:
                if out is not None:
                    os.close(out)
                    out = None
                    _remove(copy_to)
                return Hashed(error=_reason(error))
            if n == 0:
                break
            digest.update(view[:n])
            if out is not None:
                _write_all(out, view[:n])
            size += n
        return Hashed(size, digest.hexdigest(), None, Identity.of(opened), Identity.of(os.fstat(fd)))
    except BaseException:
        if out is not None:
            os.close(out)
            out = None
            _remove(copy_to)
        raise
    finally:
        os.close(fd)
        if out is not None:
            os.close(out)


def _write_all(fd: int, data: memoryview) -> None:
    while data:
        written = os.write(fd, data)
        data = data[written:]


def _remove(path: str | None) -> None:
    if path is None:
        return
    try:
        os.unlink(path)
    except OSError:
        pass


def identity_now(directory_fd: int, name: str) -> Identity | None:
    """The identity of what ``name`` names now (a link not followed); None
    when nothing does."""
    try:
        return Identity.of(os.stat(name, dir_fd=directory_fd, follow_symlinks=False))
    except OSError:
        return None


def change_of(
    found: Identity,
    hashed: Hashed,
    *,
    read_from_copy: bool,
    after_reading: Identity | None = None,
    decoded_size: int | None = None,
) -> str | None:
    """Why the file counts as changed while it was exported, or None.

    ``found`` is what ``find`` saw. When the records were decoded from the
    file itself (not from the copy made while hashing), ``after_reading`` is
    what its name led to afterwards (None: nothing) and ``decoded_size`` the
    size the reader saw."""
    if hashed.error is not None:
        return None  # reported as unreadable instead
    assert hashed.opened is not None and hashed.finished is not None
    if hashed.opened != found:
        return _difference("when found", found, "when hashed", hashed.opened)
    if hashed.finished != hashed.opened or hashed.size != hashed.opened.size:
        return _difference("when opened", hashed.opened, "after hashing", hashed.finished, hashed.size)
    if read_from_copy:
        return None  # the bytes decoded are the bytes hashed
    if after_reading is None:
        return "it was gone after its records were read"
    if after_reading != hashed.finished:
        return _difference("when hashed", hashed.finished, "after its records were read", after_reading)
    if decoded_size is not None and decoded_size != hashed.size:
        return f"the reader saw {decoded_size} bytes, the hash covers {hashed.size}"
    return None


def _difference(first: str, a: Identity, second: str, b: Identity, read: int | None = None) -> str:
    parts = []
    if a.inode != b.inode:
        parts.append(f"another file (inode {a.inode} {first}, {b.inode} {second})")
    if a.size != b.size:
        parts.append(f"size {a.size} {first}, {b.size} {second}")
    if read is not None and read != b.size:
        parts.append(f"{read} bytes hashed")
    if a.mtime_ns != b.mtime_ns:
        parts.append(f"modified {second}")
    if a.ctime_ns != b.ctime_ns and not parts:
        parts.append(f"its status changed {second}")
    return "; ".join(parts) or f"changed {second}"
