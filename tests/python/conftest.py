"""Fixtures shared by the Python tests."""

import os
from pathlib import Path

import pytest

import craft


@pytest.fixture
def small_db(tmp_path: Path) -> Path:
    """A small hand-made database directory: a table file 000005.ldb with a
    live and a deleted entry, and a log file 000007.log with one batch of a
    put and a delete. Together they give four records: two of kind Ldb, then
    two of kind Log."""
    return craft.write_files(
        tmp_path / "small_db",
        {
            "000005.ldb": craft.table_file(
                [[(craft.internal_key(b"apple", 2), b"red"), (craft.internal_key(b"pear", 1, 0), b"")]]
            ),
            "000007.log": craft.log_file(
                [craft.write_batch(3, [craft.put(b"plum", b"purple"), craft.delete(b"apple")])]
            ),
        },
    )


@pytest.fixture
def foreign_env() -> dict[str, str]:
    """The environment for programs that are not ours (a browser, groff): the
    sanitized run's preloaded ASan runtime would instrument them too, and they
    are not built for it (groff fails, the browser hangs)."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
