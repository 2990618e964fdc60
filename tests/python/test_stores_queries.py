"""The README's DuckDB queries, run over an exported dataset and checked against the reader."""

from __future__ import annotations

import re
from collections import Counter
from pathlib import Path

import pytest

import stores_tree
from _tarnwick import KeyState, RawLevelDb
from tarnwick.stores import export, find_stores

duckdb = pytest.importorskip("duckdb")

README = Path(__file__).resolve().parents[2] / "README.md"
README_DATASET = "/cases/17/dataset"


def readme_queries() -> list[str]:
    text = README.read_text()
    section = text[text.index("## Many stores") :]
    section = section[: section.index("\n## ", 1)]
    section = section[: section.index("### Decoded rows")]
    queries = re.findall(r"```sql\n(.*?)```", section, re.S)
    assert len(queries) == 2
    return queries


@pytest.fixture(scope="module")
def exported(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    base = tmp_path_factory.mktemp("queries")
    tree = base / "tree"
    stores_tree.make_tree(tree, base / "outside")
    (tree / "apps/chat/leveldb/999999.log").unlink()  # every store read as the reader reads it
    export(tree, base / "dataset", jobs=2)
    return tree, base / "dataset"


def run(query: str, dataset: Path) -> list[tuple]:
    return duckdb.sql(query.replace(README_DATASET, str(dataset))).fetchall()


def test_every_deleted_record_across_all_stores(exported):
    tree, dataset = exported
    rows = run(readme_queries()[0], dataset)
    expected = []
    for store in find_stores(tree):
        with RawLevelDb(str(tree / store.path)) as db:
            for r in db.iterate_records_raw():
                if r.state == KeyState.Deleted:
                    file = f"{store.path}/{Path(r.origin_file).name}"
                    expected.append((store.path, file, r.offset, r.seq, r.user_key))
    assert Counter(rows) == Counter(expected)
    assert len(rows) > 0
    assert [r[0] for r in rows] == sorted(r[0] for r in rows)


def test_the_stores_with_the_most_records(exported):
    tree, dataset = exported
    rows = run(readme_queries()[1], dataset)
    expected = []
    for store in find_stores(tree):
        with RawLevelDb(str(tree / store.path)) as db:
            records = db.iterate_records_raw()
        deleted = sum(1 for r in records if r.state == KeyState.Deleted)
        expected.append((store.path, store.kind, len(records), deleted))
    expected.sort(key=lambda row: (-row[2], row[0]))
    assert rows == expected[:10]
