"""Running chunks: in this process, in a pool of processes, or on a Dask cluster.

Each runner yields the chunks' results as they finish, in any order; the
caller puts them together. Chunks are pure functions of their description
(they write only their own part file), so any runner gives the same dataset.
"""

from __future__ import annotations

import multiprocessing
import os
import select
import threading
import time
from multiprocessing import forkserver
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from ._plan import Chunk, failed_result

# Worker processes start from a fresh interpreter (a fork of a process that
# may hold threads, open stores or a Dask client is not safe); the fork server
# imports the reading code once, and every worker is a fork of it.
_START_METHOD = "forkserver"
_READING_MODULE = "tarnwick.stores._chunks"
# How often a worker without pidfd support looks whether its export is alive.
_PARENT_POLL_SECONDS = 1.0
# A worker whose export died ends with this status.
_ORPHAN_EXIT_STATUS = 70


def end_with_parent(parent: int) -> None:
    """Run in every worker as it starts: end the worker as soon as the export
    that started it (``parent``) ends, however it ends (``kill -9`` included).
    A worker's own parent is the fork server, so the death signal of its
    parent is no help; the export's process is watched instead, through a
    descriptor that becomes readable when it exits. Once no worker holds
    them, the fork server and the resource tracker see their pipes close
    and end too."""
    try:
        watched: int | None = os.pidfd_open(parent)
    except ProcessLookupError:
        os._exit(_ORPHAN_EXIT_STATUS)
    except (AttributeError, OSError):  # no pidfd (old kernel or Python): look now and then
        watched = None

    def watch() -> None:
        if watched is not None:
            select.select([watched], [], [])
        else:
            while _alive(parent):
                time.sleep(_PARENT_POLL_SECONDS)
        os._exit(_ORPHAN_EXIT_STATUS)

    threading.Thread(target=watch, name="tarnwick-end-with-parent", daemon=True).start()


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def run_chunk(chunk: Chunk) -> dict[str, Any]:
    """Read one chunk in the process that runs this. The reading code, and
    pyarrow, are imported there only: a parent that hands out chunks
    starts its workers without waiting for them."""
    if chunk.decode:
        from ._decoded import decode_chunk

        return decode_chunk(chunk)
    from ._chunks import read_chunk

    return read_chunk(chunk)


def in_process(chunks: Sequence[Chunk]) -> Iterator[dict[str, Any]]:
    for chunk in chunks:
        yield run_chunk(chunk)


def _context() -> Any:
    context = multiprocessing.get_context(_START_METHOD)
    context.set_forkserver_preload([_READING_MODULE])
    return context


def start_early() -> None:
    """Start the fork server now: its import of the reading code (a third of
    a second, most of it pyarrow) then overlaps finding and planning."""
    _context()
    forkserver.ensure_running()


def _pool(workers: int, context: Any) -> ProcessPoolExecutor:
    return ProcessPoolExecutor(
        max_workers=workers, mp_context=context, initializer=end_with_parent, initargs=(os.getpid(),)
    )


def in_processes(chunks: Sequence[Chunk], jobs: int) -> Iterator[dict[str, Any]]:
    context = _context()
    broken: list[Chunk] = []
    with _pool(min(jobs, len(chunks)), context) as pool:
        futures = {pool.submit(run_chunk, chunk): chunk for chunk in chunks}
        try:
            for future in as_completed(futures):
                try:
                    yield future.result()
                except BrokenProcessPool:
                    broken.append(futures[future])
                except Exception as error:
                    yield failed_result(futures[future], error)
        except BaseException:
            for future in futures:
                future.cancel()
            raise
    # A worker died (killed for memory, say) and the pool took every chunk
    # still in it down too. Those run again one at a time, so that only the
    # chunk that kills its worker fails.
    yield from _one_at_a_time(broken, context)


def _one_at_a_time(chunks: Sequence[Chunk], context: Any) -> Iterator[dict[str, Any]]:
    pool = None
    try:
        for chunk in chunks:
            if pool is None:
                pool = _pool(1, context)
            try:
                yield pool.submit(run_chunk, chunk).result()
            except BrokenProcessPool as error:
                pool.shutdown(wait=True)
                pool = None
                yield failed_result(chunk, error)
            except Exception as error:
                yield failed_result(chunk, error)
    finally:
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)


def on_dask(chunks: Sequence[Chunk], client: Any) -> Iterator[dict[str, Any]]:
    """One task per chunk on the cluster behind ``client`` (a
    ``dask.distributed.Client``). The workers must see the tree and the
    dataset at the same paths as this process."""
    from distributed import as_completed as dask_as_completed

    futures = client.map(run_chunk, list(chunks), pure=False)
    chunk_of = {future.key: chunk for future, chunk in zip(futures, chunks)}
    try:
        for future in dask_as_completed(futures):  # type: ignore[no-untyped-call]
            try:
                yield future.result()
            except Exception as error:  # the cluster gave up on it (its workers died)
                yield failed_result(chunk_of[future.key], error)
    except BaseException:
        client.cancel(futures)
        raise


def run(chunks: Sequence[Chunk], *, jobs: int, client: Any = None) -> Iterator[dict[str, Any]]:
    if not chunks:
        return iter(())
    # The largest first, so that one big store does not start last.
    ordered = sorted(chunks, key=lambda c: -c.weight)
    if client is not None:
        return on_dask(ordered, client)
    if jobs <= 1 or len(chunks) == 1:
        return in_process(ordered)
    return in_processes(ordered, jobs)
