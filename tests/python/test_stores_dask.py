"""The export on a Dask cluster: two worker processes give the dataset one process gives."""

from __future__ import annotations

from pathlib import Path

import pytest

import stores_tree
from tarnwick.stores import export
from tarnwick import cli

distributed = pytest.importorskip("distributed")


def parquet_files(dataset: Path) -> dict[str, bytes]:
    return {str(p.relative_to(dataset)): p.read_bytes() for p in sorted(dataset.rglob("*.parquet"))}


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    ) as cluster:
        yield cluster


def test_a_cluster_of_two_worker_processes_gives_the_same_dataset(tmp_path, cluster, monkeypatch):
    tree = tmp_path / "tree"
    stores_tree.make_tree(tree, tmp_path / "outside")
    local = export(tree, tmp_path / "local", jobs=1)

    with distributed.Client(cluster) as client:
        on_cluster = export(tree, tmp_path / "cluster", client=client)
        workers = client.run(lambda: True)
    assert len(workers) == 2
    assert on_cluster.exported == local.exported and on_cluster.failed == {}
    assert parquet_files(tmp_path / "cluster") == parquet_files(tmp_path / "local")

    # The command line, given the scheduler's address.
    assert cli.main(["export", str(tree), "-o", str(tmp_path / "cli"), "--scheduler", cluster.scheduler_address]) == 0
    assert parquet_files(tmp_path / "cli") == parquet_files(tmp_path / "local")
