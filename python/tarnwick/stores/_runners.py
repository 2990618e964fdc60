"""Running chunks: in this process, in a pool of processes, or on a Dask cluster.

Each runner yields the chunks' results as they finish, in any order; the
caller puts them together. Chunks are pure functions of their description
(they write only their own part file), so any runner gives the same dataset.
"""

from __future__ import annotations

import multiprocessing
from collections.abc import Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from typing import Any

from ._chunks import Chunk, run_chunk

# Worker processes start from a fresh interpreter (a fork of a process that
# may hold threads, open stores or a Dask client is not safe); the fork server
# imports the reading code once, and every worker is a fork of it.
_START_METHOD = "forkserver"


def in_process(chunks: Sequence[Chunk]) -> Iterator[dict[str, Any]]:
    for chunk in chunks:
        yield run_chunk(chunk)


def in_processes(chunks: Sequence[Chunk], jobs: int) -> Iterator[dict[str, Any]]:
    context = multiprocessing.get_context(_START_METHOD)
    context.set_forkserver_preload([run_chunk.__module__])
    with ProcessPoolExecutor(max_workers=min(jobs, len(chunks)), mp_context=context) as pool:
        futures = [pool.submit(run_chunk, chunk) for chunk in chunks]
        try:
            for future in as_completed(futures):
                yield future.result()
        except BaseException:
            for future in futures:
                future.cancel()
            raise


def on_dask(chunks: Sequence[Chunk], client: Any) -> Iterator[dict[str, Any]]:
    """One task per chunk on the cluster behind ``client`` (a
    ``dask.distributed.Client``). The workers must see the tree and the
    dataset at the same paths as this process."""
    from distributed import as_completed as dask_as_completed

    futures = client.map(run_chunk, list(chunks), pure=False)
    try:
        for future in dask_as_completed(futures):  # type: ignore[no-untyped-call]
            yield future.result()
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
