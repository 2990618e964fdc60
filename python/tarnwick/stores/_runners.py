"""Running chunks: in this process, in a pool of processes, or on a Dask cluster.

Each runner yields the chunks' results as they finish, in any order; the
caller puts them together. Chunks are pure functions of their description
(they write only their own part file), so any runner gives the same dataset.
"""

from __future__ import annotations

import multiprocessing
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


def run_chunk(chunk: Chunk) -> dict[str, Any]:
    """Read one chunk in the process that runs this. The reading code, and
    pyarrow, are imported there only: a parent that hands out chunks
    starts its workers without waiting for them."""
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


def in_processes(chunks: Sequence[Chunk], jobs: int) -> Iterator[dict[str, Any]]:
    context = _context()
    broken: list[Chunk] = []
    with ProcessPoolExecutor(max_workers=min(jobs, len(chunks)), mp_context=context) as pool:
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
                pool = ProcessPoolExecutor(max_workers=1, mp_context=context)
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
