"""Many stores at once: find every LevelDB store in an evidence tree, and
export them all to one Parquet dataset, in parallel processes or on a Dask
cluster.

>>> from tarnwick.stores import find_stores, export
>>> for store in find_stores("/cases/17/image"):
...     print(store.kind, store.origin, store.path, store.file_count, store.bytes)
>>> export("/cases/17/image", "/cases/17/dataset", jobs=4)

Exporting needs pyarrow (the ``arrow`` extra); a cluster needs the ``dask``
extra. Finding needs neither.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .find import Store, StoreFile, find_stores, iter_stores

if TYPE_CHECKING:
    from ._export import ExportError, ExportResult, export

__all__ = ["ExportError", "ExportResult", "Store", "StoreFile", "export", "find_stores", "iter_stores"]


def __getattr__(name: str) -> Any:
    # Exporting imports pyarrow; finding must work without it.
    if name in ("export", "ExportError", "ExportResult"):
        from . import _export as module

        return getattr(module, name)
    raise AttributeError(name)
