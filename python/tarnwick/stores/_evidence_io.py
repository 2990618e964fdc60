"""The custody hashes of an evidence file, read without leaving a trace (see
``tarnwick._store_vocabulary`` for how evidence is opened)."""

from __future__ import annotations

import errno
import hashlib
import os
import stat
from typing import NamedTuple

from .._store_vocabulary import open_evidence_file

HASH_BLOCK_BYTES = 1 << 20


class NotRegularFile(OSError):
    pass


class Digests(NamedTuple):
    info: os.stat_result  # taken from the open descriptor, before the read
    size: int  # the bytes read and hashed
    hexdigests: dict[str, str]  # by hashlib name


def digests_of(path: str | bytes, algorithms: tuple[str, ...] = ("sha256",)) -> Digests:
    """The status, size and digests of the regular file at ``path``, every
    digest computed in the same single read from start to end; what is hashed
    is what the file held while it was read."""
    fd = open_evidence_file(path)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise NotRegularFile(errno.EINVAL, "not a regular file", path)
        os.set_blocking(fd, True)  # opened without blocking, in case it was a FIFO
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

