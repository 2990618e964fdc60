"""The custody hash of an evidence file, read without leaving a trace (see
``tarnwick._store_vocabulary`` for how evidence is opened)."""

from __future__ import annotations

import errno
import hashlib
import os
import stat

from .._store_vocabulary import open_evidence_file

HASH_BLOCK_BYTES = 1 << 20


class NotRegularFile(OSError):
    pass


def sha256_of(path: str) -> tuple[int, str]:
    """The size and SHA-256 (hex) of the regular file at ``path``, read once
    from start to end; what is hashed is what the file held while it was read."""
    fd = open_evidence_file(path)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise NotRegularFile(errno.EINVAL, "not a regular file", path)
        digest = hashlib.sha256()
        size = 0
        buffer = bytearray(HASH_BLOCK_BYTES)
        view = memoryview(buffer)
        while True:
            n = os.readv(fd, [buffer])
            if n == 0:
                break
            digest.update(view[:n])
            size += n
        return size, digest.hexdigest()
    finally:
        os.close(fd)
