"""Output files that can never damage the evidence they are made from.

A command that reads a store and writes what it found uses this module for
its output file, so that the output can never land in the store, never write
through a link into it, and never leave a half-written file that looks like a
finished one::

    from tarnwick._safe_output import OutputError, open_output

    try:
        with open_output(path, stores=[store_dir], force=args.force) as out:
            out.write(b"...")        # out is a binary file object
    except OutputError as error:     # one line, ready to print
        ...

``open_output(target, *, stores, force=False, buffering=1 MiB)`` refuses (with
``OutputError``) a target that is, or whose resolution passes through, any of
``stores`` or anything inside them: the real path of the target, of its folder
and of every link met on the way is checked, and the folder is compared by
identity (device and inode) with the stores and their ancestors, so bind
mounts and ``..`` tricks are caught too. It refuses an existing target unless
``force`` is true. The data goes to a new hidden file beside the target,
created with ``O_EXCL | O_NOFOLLOW``; when the ``with`` block ends normally
the file is closed and renamed onto the target (an existing link at the
target is replaced, never written through). When the block raises (an error,
Ctrl-C) the temporary file is removed and the target is left as it was.
A target that already exists as a device or a pipe (``/dev/null``, a FIFO)
is written in place: there is nothing to replace and nothing that could look
complete. So is a descriptor named through ``/dev/stdout``, ``/dev/fd/N`` or
``/proc/self/fd/N``: the process's own descriptor is written (with its offset
and its append mode), and the link is never renamed over.

``check_outside(target, stores)`` performs the same refusal alone, for a
command that wants to fail before it starts reading, or whose target is a
folder (``export``'s dataset): the nearest folder of the target that exists,
and every folder above it, are compared by identity with the stores too. A
command that reads a tree passes the tree and every store found in it, so
that a bind mount of any of them is caught.
"""

from __future__ import annotations

import errno
import os
import re
import secrets
import stat
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import BinaryIO

from ._cli_errors import CliError

__all__ = ["OutputError", "check_outside", "open_output"]

# Links followed while resolving one path, as the kernel allows (ELOOP beyond).
_MAX_LINKS = 40
# The longest file name most file systems take, in bytes.
_NAME_MAX = 255
_DEFAULT_BUFFERING = 1 << 20


class OutputError(CliError):
    """The output cannot or must not be written; the message is one line."""


def _show(path: str) -> str:
    return repr(path)


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


# --- Where a path really leads --------------------------------------------------------


def _resolution_steps(path: str) -> list[str]:
    """Every absolute location met while resolving ``path``: the target of
    each link followed on the way (each as far as it was resolved), and the
    final real path. The final component is followed too if it is a link:
    where it points must not be inside a store either."""
    return _resolve(path)[0]


def _resolve(path: str) -> tuple[list[str], list[str]]:
    """The locations of ``_resolution_steps``, and the paths of the links met."""
    pending = [part for part in os.path.abspath(path).split(os.sep) if part]
    pending.reverse()
    current = os.sep
    seen: list[str] = []
    met: list[str] = []
    links = 0
    while pending:
        part = pending.pop()
        if part == ".":
            continue
        if part == "..":
            current = os.path.dirname(current)
            continue
        candidate = os.path.join(current, part)
        try:
            target = os.readlink(candidate)
        except OSError:  # not a link, or not there (yet): take the name as it is
            current = candidate
            continue
        links += 1
        met.append(candidate)
        if links > _MAX_LINKS:
            raise OutputError(f"cannot write {_show(path)}: {os.strerror(errno.ELOOP)}")
        if os.path.isabs(target):
            current = os.sep
        rest = [p for p in target.split(os.sep) if p]
        rest.reverse()
        pending.extend(rest)
        seen.append(os.path.normpath(os.path.join(current, target)))
    seen.append(current)
    return seen, met


def _is_within(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip(os.sep) + os.sep)


class _Store:
    """A directory whose contents must never be written: its real path, and its
    identity for comparisons that no path spelling can fool."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.real = os.path.realpath(path)
        try:
            info = os.stat(path)
            self.identity: tuple[int, int] | None = (info.st_dev, info.st_ino)
        except OSError:
            self.identity = None


def _stores(stores: Iterable[str]) -> list[_Store]:
    return [_Store(s) for s in stores if s not in ("", None)]


def _refuse_if_inside(target: str, stores: list[_Store]) -> None:
    for location in _resolution_steps(target):
        for store in stores:
            if _is_within(location, store.real):
                raise OutputError(f"refusing to write {_show(target)}: it leads inside the database directory {_show(store.path)}")


def check_outside(target: str, stores: Iterable[str]) -> None:
    """Raise ``OutputError`` when writing ``target`` (a file, or a folder to
    fill) could touch anything in ``stores``: by path, and by the identity of
    its nearest existing folder and of every folder above that."""
    checked = _stores(stores)
    _refuse_if_inside(target, checked)
    folder = _nearest_existing_folder(target)
    if folder is None:
        return
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # the write itself will fail, and say why
    try:
        _refuse_if_folder_inside(fd, target, checked)
    finally:
        os.close(fd)


def _nearest_existing_folder(target: str) -> str | None:
    """The target itself if it is a folder, else the nearest folder above it
    that exists (links followed, as the write would follow them)."""
    current = os.path.abspath(target)
    while True:
        try:
            if stat.S_ISDIR(os.stat(current).st_mode):
                return current
        except OSError:
            pass
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


def _refuse_if_folder_inside(folder_fd: int, target: str, stores: list[_Store]) -> None:
    """The opened folder, and every folder above it, compared by identity."""
    identities = {s.identity: s for s in stores if s.identity is not None}
    real = _fd_path(folder_fd)
    if real is not None:
        for store in stores:
            if _is_within(real, store.real):
                raise OutputError(f"refusing to write {_show(target)}: it leads inside the database directory {_show(store.path)}")
    fd = os.dup(folder_fd)
    try:
        while True:
            info = os.fstat(fd)
            found = identities.get((info.st_dev, info.st_ino))
            if found is not None:
                raise OutputError(f"refusing to write {_show(target)}: it leads inside the database directory {_show(found.path)}")
            parent = os.open("..", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC, dir_fd=fd)
            above = os.fstat(parent)
            os.close(fd)
            fd = parent
            if (above.st_dev, above.st_ino) == (info.st_dev, info.st_ino):  # the root
                break
    except OSError:
        pass  # a folder above that cannot be opened: the path checks stand
    finally:
        os.close(fd)


def _fd_path(fd: int) -> str | None:
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return None


# --- Writing ---------------------------------------------------------------------------


def _temporary_name(name: str) -> str:
    """A hidden name beside the target that says what it is and cannot be
    mistaken for the finished file."""
    suffix = f".{secrets.token_hex(4)}.part"
    stem = os.fsencode(name)[: _NAME_MAX - len(suffix) - 1]
    return "." + os.fsdecode(stem) + suffix


def _open_folder(folder: str, target: str) -> int:
    try:
        return os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as error:
        raise OutputError(f"cannot write {_show(target)}: {_reason(error)}") from None


def _create_temporary(folder_fd: int, name: str, target: str) -> tuple[str, int]:
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(16):
        temporary = _temporary_name(name)
        try:
            return temporary, os.open(temporary, flags, 0o666, dir_fd=folder_fd)
        except FileExistsError:
            continue
        except OSError as error:
            raise OutputError(f"cannot write {_show(target)}: {_reason(error)}") from None
    raise OutputError(f"cannot write {_show(target)}: no free temporary name beside it")


def _existing(folder_fd: int, name: str) -> os.stat_result | None:
    try:
        return os.lstat(name, dir_fd=folder_fd)
    except FileNotFoundError:
        return None
    except OSError:
        return None


def _put_in_place(folder_fd: int, temporary: str, name: str, target: str, force: bool) -> None:
    if force:
        os.rename(temporary, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
        return
    # A hard link fails if the name has appeared meanwhile, where a rename
    # would silently replace it.
    try:
        os.link(temporary, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd, follow_symlinks=False)
    except FileExistsError:
        raise OutputError(f"{_show(target)} exists; add --force to replace it") from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.ENOSYS):
            raise
        # A file system without hard links: the check and the rename are
        # two steps, the best it allows.
        if _existing(folder_fd, name) is not None:
            raise OutputError(f"{_show(target)} exists; add --force to replace it") from None
        os.rename(temporary, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
        return
    os.unlink(temporary, dir_fd=folder_fd)


# A path naming one of a process's open descriptors.
_DESCRIPTOR_PATH = re.compile(r"^/(?:proc/(?:self|thread-self|(\d+))(?:/task/\d+)?|dev)/fd/(\d+)$")


def _own_descriptor(target: str) -> int | None:
    """The number N when ``target`` leads through ``/proc/self/fd/N`` (or
    ``/dev/fd/N``, ``/dev/stdout``, this process's ``/proc/PID/fd/N``)."""
    steps, links = _resolve(target)
    for path in [os.path.abspath(target), *links, *steps]:
        match = _DESCRIPTOR_PATH.match(path)
        if match is not None and match.group(1) in (None, str(os.getpid())):
            return int(match.group(2))
    return None


def _in_place(folder_fd: int, name: str, target: str, existing: os.stat_result) -> int | None:
    """A descriptor to write an existing device, pipe or open descriptor in
    place, or None for a regular file (or a link to one), which is replaced."""
    number = _own_descriptor(target) if stat.S_ISLNK(existing.st_mode) else None
    if number is not None:
        try:
            return os.dup(number)  # the same open file, its offset and append mode kept
        except OSError:
            pass  # not open here: open what the link names
    if stat.S_ISLNK(existing.st_mode):
        try:
            followed = os.stat(name, dir_fd=folder_fd)
        except OSError:
            return None  # a dangling link: replaced like a file
        if number is None and (stat.S_ISREG(followed.st_mode) or stat.S_ISDIR(followed.st_mode)):
            return None
        flags = os.O_WRONLY | os.O_CLOEXEC  # a link to a device or descriptor: followed
    elif stat.S_ISREG(existing.st_mode):
        return None
    else:
        flags = os.O_WRONLY | os.O_NOFOLLOW | os.O_CLOEXEC
    try:
        return os.open(name, flags, dir_fd=folder_fd)
    except OSError as error:
        raise OutputError(f"cannot write {_show(target)}: {_reason(error)}") from None


@contextmanager
def open_output(
    target: str, *, stores: Iterable[str], force: bool = False, buffering: int = _DEFAULT_BUFFERING
) -> Iterator[BinaryIO]:
    """A binary file object for ``target``; see the module's description.

    Failures to set up raise ``OutputError``; a failure while writing or
    closing raises the ``OSError`` itself (the caller words it), and in
    every failure the temporary file is gone and the target untouched.
    """
    checked = _stores(stores)
    folder, name = os.path.split(target)
    if name in ("", ".", ".."):
        raise OutputError(f"cannot write {_show(target)}: {os.strerror(errno.EISDIR)}")
    _refuse_if_inside(target, checked)
    folder_fd = _open_folder(folder or ".", target)
    try:
        _refuse_if_folder_inside(folder_fd, target, checked)
        existing = _existing(folder_fd, name)
        if existing is not None:
            kind = existing.st_mode
            if stat.S_ISDIR(kind):
                raise OutputError(f"cannot write {_show(target)}: {os.strerror(errno.EISDIR)}")
            fd = _in_place(folder_fd, name, target, existing)
            if fd is not None:
                with os.fdopen(fd, "wb", buffering=buffering) as stream:
                    yield stream
                return
            if not force:
                raise OutputError(f"{_show(target)} exists; add --force to replace it")
        temporary, fd = _create_temporary(folder_fd, name, target)
        try:
            with os.fdopen(fd, "wb", buffering=buffering) as stream:
                yield stream
            _put_in_place(folder_fd, temporary, name, target, force)
        except BaseException:
            try:
                os.unlink(temporary, dir_fd=folder_fd)
            except OSError:
                pass
            raise
    finally:
        os.close(folder_fd)
