"""Custody records inside outputs: a Parquet dump says where its records came
from, checked against the system's digests and the scanner's own report."""

from __future__ import annotations

import json
import shutil
import subprocess
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tarnwick
from tarnwick._provenance import json_column_type
from tarnwick.cli import main

SAMPLE = Path(__file__).resolve().parents[1] / "fixtures" / "sample_db"


@pytest.mark.parametrize("damaged", [False, True], ids=["intact", "damaged"])
def test_parquet_dump_carries_its_source(tmp_path: Path, damaged: bool) -> None:
    store = tmp_path / "store"
    shutil.copytree(SAMPLE, store)
    if damaged:
        data = bytearray((store / "000005.ldb").read_bytes())
        data[200:260] = bytes(60)
        (store / "000005.ldb").write_bytes(bytes(data))
    out = tmp_path / "records.parquet"
    assert main(["dump", str(store), "-o", str(out), "--format", "parquet"]) == 0
    metadata = {k.decode(): json.loads(v) for k, v in pq.read_metadata(out).metadata.items()
                if k.startswith(b"tarnwick.")}
    assert metadata["tarnwick.source"] == str(store)
    assert metadata["tarnwick.versions"]["tarnwick"] and metadata["tarnwick.versions"]["pyarrow"] == pa.__version__
    files = {Path(f["path"]).name: f for f in metadata["tarnwick.source_files"]}
    assert set(files) == {p.name for p in store.iterdir()}
    for name, f in files.items():
        expected = subprocess.run(["sha256sum", str(store / name)], capture_output=True, text=True).stdout.split()[0]
        assert (f["digests"]["sha256"], f["size"]) == (expected, (store / name).stat().st_size)
    assert metadata["tarnwick.read_report"] == json.loads(json.dumps(tarnwick.inspect(store).to_dict()))
    # The records themselves are untouched by the metadata.
    assert pq.read_table(out).num_rows == sum(1 for _ in tarnwick.records(store))


def test_json_columns_get_the_arrow_json_type() -> None:
    kind = json_column_type(pa)
    if hasattr(pa, "json_"):
        assert kind == pa.json_()
        column = pa.array(['{"a":1}', None], type=kind)
        assert column.storage.to_pylist() == ['{"a":1}', None]
    else:
        assert kind == pa.string()
