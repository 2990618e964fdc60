"""Reading evidence without leaving a trace: no access time changed, no link followed.

``O_NOATIME`` keeps the kernel from updating a file's or a directory's access
time when it is read; the kernel allows it only to the file's owner or a
privileged process (EPERM otherwise), and then the open is retried without it.
``O_NOFOLLOW`` makes the open fail on a symbolic link instead of following it
anywhere, out of the tree included.
"""

from __future__ import annotations

import errno
import hashlib
import os
import stat
from typing import NamedTuple

_NOATIME = getattr(os, "O_NOATIME", 0)
_DIRECTORY_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# O_NONBLOCK: a FIFO swapped in for a file must not block the open.
_FILE_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK

HASH_BLOCK_BYTES = 1 << 20


def open_noatime(path: str, flags: int, *, dir_fd: int | None = None) -> int:
    if _NOATIME:
        try:
            return os.open(path, flags | _NOATIME, dir_fd=dir_fd)
        except PermissionError as error:
            if error.errno != errno.EPERM:
                raise
    return os.open(path, flags, dir_fd=dir_fd)


def open_directory(path: str) -> int:
    """A descriptor of the directory at ``path`` (itself no link)."""
    return open_noatime(path, _DIRECTORY_FLAGS)


class NotRegularFile(OSError):
    pass


class Digests(NamedTuple):
    info: os.stat_result  # taken from the open descriptor, before the read
    size: int  # the bytes read and hashed
    hexdigests: dict[str, str]  # by hashlib name


def digests_of(path: str, algorithms: tuple[str, ...] = ("sha256",)) -> Digests:
    """The status, size and digests of the regular file at ``path``, every
    digest computed in the same single read from start to end; what is hashed
    is what the file held while it was read."""
    fd = open_noatime(path, _FILE_FLAGS)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise NotRegularFile(errno.EINVAL, "not a regular file", path)
        os.set_blocking(fd, True)
        digests = {name: hashlib.new(name) for name in algorithms}
        size = 0
        buffer = bytearray(HASH_BLOCK_BYTES)
        view = memoryview(buffer)
        while True:
            n = os.readv(fd, [buffer])
            if n == 0:
                break
            for digest in digests.values():
                digest.update(view[:n])
            size += n
        return Digests(info, size, {name: digest.hexdigest() for name, digest in digests.items()})
    finally:
        os.close(fd)


def sha256_of(path: str) -> tuple[int, str]:
    """The size and SHA-256 (hex) of the regular file at ``path``, read once
    from start to end."""
    read = digests_of(path)
    return read.size, read.hexdigests["sha256"]
